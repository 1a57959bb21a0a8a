#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "RvStreams/Catch.h"
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

}  // namespace
}  // namespace rv
