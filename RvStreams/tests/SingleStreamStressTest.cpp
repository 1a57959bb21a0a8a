#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "RvStreams/Catch.h"
#include "RvStreams/Multicast.h"
#include "RvStreams/Share.h"
#include "support/Recording.h"

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

TEST(ShareStress, ForeverObserversComingAndGoing) {
  auto source = TestSource<int>::create();
  churn(source | share(1, SubjectLifetimeScope::forever), source);
}

TEST(RefCountStress, PublishRefCountObserversComingAndGoing) {
  auto source = TestSource<int>::create();
  churn(source | publish() | refCount(), source);
}

}  // namespace
}  // namespace rv
