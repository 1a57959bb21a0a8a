#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "RvStreams/Catch.h"
#include "RvStreams/FlatMapLatest.h"
#include "RvStreams/Just.h"
#include "RvStreams/Merge.h"
#include "RvStreams/Multicast.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreams/Share.h"
#include "RvStreams/Skip.h"
#include "RvStreams/Take.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::makeError;
using test::RecordingObserver;
using test::TestSource;

TEST(RetryStress, FailuresOnAnotherThreadRacingDisposeLeaveNoSubscription) {
  for (int round = 0; round < 200; ++round) {
    auto source = TestSource<int>::create();
    auto recorder = RecordingObserver<int>::create();
    auto subscription = (source | retry())->subscribe(recorder);
    std::barrier start(2);
    std::thread failer([&] {
      start.arrive_and_wait();
      for (int i = 0; i < 20; ++i) {
        source->onNext(i);
        source->onError(makeError());
      }
    });
    start.arrive_and_wait();
    subscription->dispose();
    failer.join();
    EXPECT_EQ(source->observerCount(), 0);
    EXPECT_EQ(recorder->stopCount(), 0);
  }
}

// Observers come and go on four threads while the source emits on a fifth;
// every connection that was made is ended once the last observer is gone.
void churn(const Ref<Observable<int>>& shared, const Ref<TestSource<int>>& source) {
  std::atomic<bool> stop{false};
  std::thread emitter([&] {
    int i = 0;
    while (!stop.load()) source->onNext(i++);
  });
  std::vector<std::thread> churners;
  for (int t = 0; t < 4; ++t) {
    churners.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        auto recorder = RecordingObserver<int>::create();
        auto d = shared->subscribe(recorder);
        d->dispose();
        EXPECT_EQ(recorder->stopCount(), 0);
      }
    });
  }
  for (auto& t : churners) t.join();
  stop.store(true);
  emitter.join();
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(ShareStress, WhileConnectedObserversComingAndGoing) {
  for (int64_t replay : {0, 1, 2}) {
    auto source = TestSource<int>::create();
    churn(source | share(replay), source);
  }
}

// A merge joining a replay-1 share receives the replayed element, and ends
// its subscription to the share under its own lock when the share completes.
// The share calls no observer under its lock, so the two locks are never
// taken in both orders.
TEST(ShareStress, MergeJoiningAndLeavingAReplayingShare) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([] {
      for (int round = 0; round < 200; ++round) {
        auto source = PublishSubject<int>::create();
        auto shared = source | share(1);
        auto first = RecordingObserver<int>::create();
        auto keep = shared->subscribe(first);
        source->onNext(round);
        auto merged = RecordingObserver<int>::create();
        auto joined = (shared | flatMap([](const int& x) { return just(x); }))->subscribe(merged);
        source->onNext(round + 1);
        source->onCompleted();
        EXPECT_EQ(merged->elements(), (std::vector<int>{round, round + 1}));
        EXPECT_EQ(merged->completedCount(), 1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

TEST(ShareStress, ForeverObserversComingAndGoing) {
  auto source = TestSource<int>::create();
  churn(source | share(1, SubjectLifetimeScope::forever), source);
}

TEST(RefCountStress, PublishRefCountObserversComingAndGoing) {
  auto source = TestSource<int>::create();
  churn(source | publish() | refCount(), source);
}

// Counts deliveries and notes whether two ever overlapped.
class OverlapObserver final : public ObserverType<int> {
 public:
  void on(const Event<int>& event) noexcept override {
    if (busy_.exchange(true)) overlapped_.store(true);
    if (event.isStopEvent()) stops_.fetch_add(1);
    busy_.store(false);
  }
  bool overlapped() const { return overlapped_.load(); }
  int stops() const { return stops_.load(); }

 private:
  std::atomic<bool> busy_{false};
  std::atomic<bool> overlapped_{false};
  std::atomic<int> stops_{0};
};

TEST(SwitchStress, InnerEventsRacingTheSwitchAreDeliveredSerially) {
  for (int round = 0; round < 30; ++round) {
    auto outer = TestSource<Ref<Observable<int>>>::create();
    std::vector<Ref<TestSource<int>>> inners;
    for (int i = 0; i < 40; ++i) inners.push_back(TestSource<int>::create());
    auto observer = std::make_shared<OverlapObserver>();
    auto subscription = (outer | switchLatest())->subscribe(observer);
    std::atomic<bool> switching{true};
    std::thread switcher([&] {
      for (auto& inner : inners) outer->onNext(inner);
      switching.store(false);
    });
    std::vector<std::thread> emitters;
    for (int t = 0; t < 2; ++t) {
      emitters.emplace_back([&] {
        for (int j = 0; switching.load(); ++j) {
          for (auto& inner : inners) inner->onNext(j);
        }
      });
    }
    switcher.join();
    for (auto& t : emitters) t.join();
    outer->onCompleted();
    EXPECT_EQ(observer->stops(), 0);
    inners.back()->onCompleted();
    EXPECT_EQ(observer->stops(), 1);
    EXPECT_FALSE(observer->overlapped());
    for (int i = 0; i + 1 < static_cast<int>(inners.size()); ++i) {
      EXPECT_EQ(inners[i]->observerCount(), 0);
    }
    subscription->dispose();
  }
}

// The source emits on one thread while `other` fires on another: deliveries
// never overlap and the output ends at most once.
template <class MakeOperator>
void raceTwoInputs(MakeOperator makeOperator, bool expectStop) {
  for (int round = 0; round < 200; ++round) {
    auto source = TestSource<int>::create();
    auto other = TestSource<int>::create();
    auto observer = std::make_shared<OverlapObserver>();
    auto subscription = (source | makeOperator(other))->subscribe(observer);
    std::barrier start(2);
    std::thread emitter([&] {
      start.arrive_and_wait();
      for (int i = 0; i < 50; ++i) source->onNext(i);
    });
    start.arrive_and_wait();
    other->onNext(0);
    emitter.join();
    EXPECT_FALSE(observer->overlapped());
    EXPECT_EQ(observer->stops(), expectStop ? 1 : 0);
    EXPECT_EQ(other->observerCount(), 0);
    subscription->dispose();
  }
}

TEST(TakeUntilStress, TriggerRacingSourceElements) {
  raceTwoInputs([](const Ref<TestSource<int>>& other) { return takeUntil(other); }, true);
}

TEST(SkipUntilStress, TriggerRacingSourceElements) {
  raceTwoInputs([](const Ref<TestSource<int>>& other) { return skipUntil(other); }, false);
}

}  // namespace
}  // namespace rv
