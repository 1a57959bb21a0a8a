#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <barrier>
#include <mutex>
#include <thread>
#include <vector>

#include "RvStreams/BehaviorSubject.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreams/ReplaySubject.h"
#include "RvStreams/SerialDisposable.h"
#include "RvStreams/Subscribe.h"
#include "RvStreamsTest/Recording.h"
#include "concurrency/HazardSlots.h"
#include "concurrency/TestSeams.h"
#include "concurrencyTest/FenceModes.h"

namespace rv {
namespace {

using test::CountingDisposable;
using test::RecordingObserver;

// Each test runs in the asymmetric fence mode (plain announcements, biased
// locks) and in the symmetric one (fenced announcements, no bias).
class SubjectsStress : public concurrency::testing::BothWays {};

TEST_P(SubjectsStress, PublishSubjectSubscribeUnsubscribeAndPushFromManyThreads) {
  auto subject = PublishSubject<int>::create();
  std::atomic<bool> done{false};
  std::thread pusher([&] {
    for (int i = 0; i < 3000; ++i) subject->onNext(i);
    done = true;
  });
  std::vector<std::thread> subscribers;
  for (int t = 0; t < 3; ++t) {
    subscribers.emplace_back([&] {
      while (!done) {
        auto d = subject->subscribe(RecordingObserver<int>::create());
        (void)subject->hasObservers();
        d->dispose();
      }
    });
  }
  pusher.join();
  for (auto& s : subscribers) s.join();
  subject->onCompleted();
  EXPECT_FALSE(subject->hasObservers());
}

// Deliveries read the observers without a lock; every observer that leaves
// is released once no delivery that saw it runs any more, without waiting
// for a later delivery. With one delivering thread its announcements are
// plain stores, made visible to the subscribing threads by their heavy
// fence; with several they are fenced.
TEST_P(SubjectsStress, ObserversLeavingDuringRacingDeliveriesAreAllReleased) {
  for (const int pusherCount : {1, 3}) {
    auto subject = PublishSubject<int>::create();
    auto steady = RecordingObserver<int>::create();
    auto steadySubscription = subject->subscribe(steady);
    std::atomic<bool> done{false};
    std::vector<std::thread> pushers;
    for (int t = 0; t < pusherCount; ++t) {
      pushers.emplace_back([&] {
        for (int i = 0; i < 2000; ++i) subject->onNext(i);
      });
    }
    std::vector<Weak<RecordingObserver<int>>> left;
    std::mutex leftMutex;
    std::vector<std::thread> churners;
    for (int t = 0; t < 2; ++t) {
      churners.emplace_back([&] {
        while (!done) {
          auto observer = RecordingObserver<int>::create();
          auto d = subject->subscribe(observer);
          d->dispose();
          std::lock_guard<std::mutex> guard(leftMutex);
          left.push_back(observer);
        }
      });
    }
    for (auto& p : pushers) p.join();
    done = true;
    for (auto& c : churners) c.join();
    for (const auto& observer : left) EXPECT_TRUE(observer.expired());
    EXPECT_EQ(steady->elements().size(), static_cast<size_t>(pusherCount) * 2000u);
    steadySubscription->dispose();
  }
}

// Subjects that each observe two sources, which deliver on several threads,
// come and go: their snapshots are retired while deliveries hold them, and
// their one-observer keys are announced through both sources, often again
// while a retired copy waits. Each time the churn stops, what waits is at
// most what the deliveries still in flight hold (two nested deliveries a
// thread), and nothing once they end.
TEST_P(SubjectsStress, RetiredSnapshotsWaitOnlyForTheDeliveriesInFlight) {
  constexpr int kDeliveryThreads = 3;
  const std::array sources{PublishSubject<int>::create(), PublishSubject<int>::create()};
  for (int round = 0; round < 4; ++round) {
    std::atomic<bool> delivering{true};
    std::vector<std::thread> deliveries;
    for (int t = 0; t < kDeliveryThreads; ++t) {
      deliveries.emplace_back([&, t] {
        for (int i = 0; delivering; ++i) sources[static_cast<size_t>(t + i) % 2]->onNext(i);
      });
    }
    std::vector<Weak<PublishSubject<int>>> left;
    std::mutex leftMutex;
    std::vector<std::thread> churners;
    for (int t = 0; t < 2; ++t) {
      churners.emplace_back([&, t] {
        for (int i = 0; i < 250; ++i) {
          auto middle = PublishSubject<int>::create();
          auto view = PublishSubject<int>::create();
          middle->subscribe(view);
          auto fromFirst = sources[0]->subscribe(middle);
          auto fromSecond = sources[1]->subscribe(middle);
          ((i + t) % 2 == 0 ? fromFirst : fromSecond)->dispose();
          ((i + t) % 2 == 0 ? fromSecond : fromFirst)->dispose();
          std::lock_guard<std::mutex> guard(leftMutex);
          left.push_back(middle);
          left.push_back(view);
        }
      });
    }
    for (auto& c : churners) c.join();
    EXPECT_LE(concurrency::pendingEntriesForTesting(), 2u * kDeliveryThreads);
    delivering = false;
    for (auto& d : deliveries) d.join();
    ASSERT_EQ(concurrency::pendingEntriesForTesting(), 0u) << "round " << round;
    EXPECT_TRUE(std::all_of(left.begin(), left.end(), [](const auto& s) { return s.expired(); }));
  }
}

TEST_P(SubjectsStress, BehaviorSubscriberGetsTheCurrentValueBeforeRacingUpdates) {
  for (int round = 0; round < 200; ++round) {
    auto subject = BehaviorSubject<int>::create(0);
    std::barrier start(2);
    std::thread pusher([&] {
      start.arrive_and_wait();
      for (int i = 1; i <= 20; ++i) subject->onNext(i);
    });
    auto recorder = RecordingObserver<int>::create();
    start.arrive_and_wait();
    auto d = subject->subscribe(recorder);
    pusher.join();
    auto seen = recorder->elements();
    ASSERT_FALSE(seen.empty());
    for (size_t i = 1; i < seen.size(); ++i) EXPECT_LT(seen[i - 1], seen[i]);
    EXPECT_EQ(seen.back(), 20);
    d->dispose();
  }
}

TEST_P(SubjectsStress, ReplayNeverMissesOrDuplicatesAtTheJunction) {
  for (int round = 0; round < 100; ++round) {
    auto subject = ReplaySubject<int>::createUnbound();
    std::barrier start(2);
    std::thread pusher([&] {
      start.arrive_and_wait();
      for (int i = 0; i < 50; ++i) subject->onNext(i);
    });
    auto recorder = RecordingObserver<int>::create();
    start.arrive_and_wait();
    auto d = subject->subscribe(recorder);
    pusher.join();
    auto seen = recorder->elements();
    ASSERT_EQ(seen.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], i);
    d->dispose();
  }
}

TEST_P(SubjectsStress, SerialAndRefCountDisposeEveryInnerOnce) {
  struct Subject {
    Ref<SerialDisposable> serial = SerialDisposable::create();
    Ref<CountingDisposable> refInner = CountingDisposable::create();
    Ref<RefCountDisposable> refCount = RefCountDisposable::create(refInner);
    std::vector<Ref<Disposable>> handles;
    std::vector<Ref<CountingDisposable>> assigned;
  };
  test::raceRounds(
      4, 200,
      [] {
        Subject s;
        for (int i = 0; i < 4; ++i) {
          s.handles.push_back(s.refCount->retain());
          s.assigned.push_back(CountingDisposable::create());
        }
        return s;
      },
      [](Subject& s, int t) {
        s.serial->setDisposable(s.assigned[static_cast<size_t>(t)]);
        if (t == 0) s.serial->dispose();
        s.handles[static_cast<size_t>(t)]->dispose();
        if (t == 3) s.refCount->dispose();
      },
      [](Subject& s) {
        for (auto& a : s.assigned) EXPECT_EQ(a->count(), 1);
        EXPECT_EQ(s.refInner->count(), 1);
      });
}

CONCURRENCY_INSTANTIATE_BOTH_WAYS(SubjectsStress);

}  // namespace
}  // namespace rv
