#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <optional>
#include <thread>
#include <vector>

#include "RvStreams/ObservableAsync.h"
#include "RvStreamsTest/Recording.h"
#include "async/Async.h"

namespace rv {
namespace {

using async::Task;
using test::RecordingObserver;
using test::TestSource;

Task<int> countElements(async::AsyncThrowingStream<int> stream) {
  int count = 0;
  auto it = stream.makeAsyncIterator();
  try {
    while (co_await it.next()) ++count;
  } catch (const async::CancellationError&) {
    co_return -1;
  }
  co_return count;
}

TEST(ObservableAsyncStress, CancellingTheConsumerRacesTheSourceCompleting) {
  constexpr int kRounds = 200;
  for (int round = 0; round < kRounds; ++round) {
    auto source = TestSource<int>::create();
    auto handle = async::spawn(countElements(values(source)));
    std::barrier go(3);
    std::thread producer([&] {
      go.arrive_and_wait();
      for (int i = 0; i < 20; ++i) source->onNext(i);
      source->onCompleted();
    });
    std::thread canceller([&] {
      go.arrive_and_wait();
      handle.cancel();
    });
    go.arrive_and_wait();
    producer.join();
    canceller.join();
    const int count = async::syncWait(handle);
    EXPECT_GE(count, 0) << "a cancelled stream ends, it does not throw";
    EXPECT_LE(count, 20);
    EXPECT_LE(source->disposeCount(), 1);
  }
}

TEST(ObservableAsyncStress, DisposingRacesTheIteratingTask) {
  constexpr int kRounds = 200;
  for (int round = 0; round < kRounds; ++round) {
    std::optional<async::AsyncStream<int>::Continuation> feed;
    async::AsyncStream<int> stream([&](auto c) { feed.emplace(c); });
    // The iterating task runs on a thread of its own until the disposal, and
    // to its end here after it, before its events are counted.
    async::ManualExecutor executor;
    std::atomic<bool> disposed{false};
    auto observer = RecordingObserver<int>::create();
    auto subscription = asObservable(stream, executor)->subscribe(observer);
    std::barrier go(3);
    std::thread producer([&] {
      go.arrive_and_wait();
      for (int i = 0; i < 50; ++i) feed->yield(i);
      feed->finish();
    });
    std::thread runner([&] {
      go.arrive_and_wait();
      executor.runUntil([&] { return disposed.load(); });
    });
    go.arrive_and_wait();
    subscription->dispose();
    producer.join();
    disposed = true;
    executor.enqueue([] {});  // wakes the runner if it waits
    runner.join();
    executor.runUntilIdle();
    const std::vector<int> got = observer->elements();
    EXPECT_LE(observer->stopCount(), 1);
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], static_cast<int>(i));
    const size_t seenAtDispose = observer->events().size();
    feed->yield(99);
    EXPECT_EQ(observer->events().size(), seenAtDispose);
  }
}

}  // namespace
}  // namespace rv
