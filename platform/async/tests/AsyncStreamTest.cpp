#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "async/Async.h"
#include "asyncTest/Drain.h"
#include "asyncTest/Eager.h"

namespace {

using async::AsyncStream;
using async::AsyncThrowingStream;
using async::ManualExecutor;
using async::Task;
using async::Termination;
using async::test::drain;
using async::test::Eager;
using async::test::InTask;

using Seen = std::vector<std::string>;

TEST(AsyncStream, BufferedElementsComeBeforeTheEnd) {
  ManualExecutor executor;
  std::vector<Termination> terminations;
  AsyncStream<int> stream([&](AsyncStream<int>::Continuation c) {
    c.setOnTermination([&](Termination t) { terminations.push_back(t); });
    EXPECT_EQ(c.yield(1), async::YieldResult::enqueued);
    c.yield(2);
    c.yield(3);
    c.finish();
    EXPECT_EQ(c.yield(4), async::YieldResult::terminated);
    c.finish();
  });
  EXPECT_EQ(terminations, std::vector<Termination>{Termination::finished})
      << "finishing terminates at once, not when the consumer drained";
  EXPECT_EQ(async::syncWait(drain(stream), executor), (Seen{"1", "2", "3", "end"}));
  EXPECT_EQ(terminations.size(), 1u) << "dropping a finished stream is no cancellation";
}

TEST(AsyncStream, WaitingConsumerIsResumedThroughItsExecutor) {
  ManualExecutor executor;
  std::optional<AsyncStream<int>::Continuation> feed;
  AsyncStream<int> stream([&](auto c) { feed.emplace(c); });
  auto handle = async::spawn(drain(stream), executor);
  executor.runUntilIdle();
  std::thread([&] { feed->yield(7); }).join();
  EXPECT_EQ(executor.pendingCount(), 1u);
  executor.runUntilIdle();
  feed->finish();
  executor.runUntilIdle();
  EXPECT_EQ(async::syncWait(handle), (Seen{"7", "end"}));
}

TEST(AsyncThrowingStream, ErrorIsThrownOnceAfterTheBufferedElements) {
  ManualExecutor executor;
  AsyncThrowingStream<int> stream([](AsyncThrowingStream<int>::Continuation c) {
    c.yield(1);
    c.finish(std::make_exception_ptr(std::runtime_error("broken")));
    c.finish();  // ignored: already finished
  });
  auto twice = [](AsyncThrowingStream<int> s) -> Task<Seen> {
    Seen seen = co_await drain(s);
    // The error was thrown once; the iteration has ended.
    auto it = s.makeAsyncIterator();
    std::optional<int> after = co_await it.next();
    seen.push_back(after ? "more" : "end");
    co_return seen;
  };
  EXPECT_EQ(async::syncWait(twice(stream), executor), (Seen{"1", "error broken", "end"}));

  AsyncThrowingStream<int> plain([](auto c) { c.finish(nullptr); });
  EXPECT_EQ(async::syncWait(drain(plain), executor), (Seen{"end"}))
      << "finishing with no error ends normally";
}

TEST(AsyncStream, CancellingTheIteratingTaskCancelsTheStream) {
  ManualExecutor executor;
  std::vector<Termination> terminations;
  std::optional<AsyncStream<int>::Continuation> feed;
  auto handle =
      async::spawn(drain(AsyncStream<int>([&](AsyncStream<int>::Continuation c) {
                     c.setOnTermination([&](Termination t) { terminations.push_back(t); });
                     c.yield(1);
                     feed.emplace(c);
                   })),
                   executor);
  executor.runUntilIdle();
  EXPECT_FALSE(handle.isFinished());
  std::thread([&] { handle.cancel(); }).join();
  EXPECT_EQ(terminations, std::vector<Termination>{Termination::cancelled});
  executor.runUntilIdle();
  EXPECT_EQ(async::syncWait(handle), (Seen{"1", "end"}));
  EXPECT_EQ(feed->yield(2), async::YieldResult::terminated);
  feed->finish();
  EXPECT_EQ(terminations.size(), 1u) << "a finish after the cancellation is ignored";
}

// The loops a program writes, optimised as the test is (g++ 12 once built the
// awaiter there from a value not yet loaded): a sum of what another thread
// feeds, then its error; a loop left early, whose dropped stream is cancelled.
TEST(AsyncStream, LoopsThatSumAndThatBreakEarly) {
  ManualExecutor executor;
  auto sum = [](AsyncThrowingStream<int> stream) -> Task<int> {
    int total = 0;
    auto it = stream.makeAsyncIterator();
    try {
      while (auto element = co_await it.next()) total += *element;
    } catch (const std::runtime_error&) {
      total = -total;
    }
    co_return total;
  };
  std::optional<AsyncThrowingStream<int>::Continuation> feed;
  auto summed =
      async::spawn(sum(AsyncThrowingStream<int>([&](auto c) { feed.emplace(c); })), executor);
  executor.runUntilIdle();
  std::thread([&] {
    for (int i = 1; i <= 5; ++i) feed->yield(i);
    feed->finish(std::make_exception_ptr(std::runtime_error("broken")));
  }).join();
  EXPECT_EQ(async::syncWait(summed), -15);

  auto firstTwo = [](AsyncStream<int> stream) -> Task<int> {
    int total = 0, taken = 0;
    auto it = stream.makeAsyncIterator();
    while (auto element = co_await it.next()) {
      total += *element;
      if (++taken == 2) break;
    }
    co_return total;
  };
  std::vector<Termination> terminations;
  EXPECT_EQ(async::syncWait(firstTwo(AsyncStream<int>([&](AsyncStream<int>::Continuation c) {
                              c.setOnTermination([&](Termination t) { terminations.push_back(t); });
                              for (int i = 1; i <= 5; ++i) c.yield(i);
                            })),
                            executor),
            3);
  EXPECT_EQ(terminations, std::vector<Termination>{Termination::cancelled});
}

TEST(AsyncStream, IteratingInAnAlreadyCancelledTaskEndsAtOnce) {
  ManualExecutor executor;
  std::vector<Termination> terminations;
  auto handle =
      async::spawn(drain(AsyncStream<int>([&](AsyncStream<int>::Continuation c) {
                     c.setOnTermination([&](Termination t) { terminations.push_back(t); });
                     c.yield(1);
                   })),
                   executor);
  handle.cancel();
  executor.runUntilIdle();
  EXPECT_EQ(async::syncWait(handle), (Seen{"end"}));
  EXPECT_EQ(terminations, std::vector<Termination>{Termination::cancelled});
}

TEST(AsyncStream, DroppingTheStreamBeforeItFinishedCancelsIt) {
  std::vector<Termination> terminations;
  std::optional<AsyncStream<int>::Continuation> feed;
  {
    AsyncStream<int> stream([&](auto c) {
      c.setOnTermination([&](Termination t) { terminations.push_back(t); });
      feed.emplace(c);
    });
    auto copy = stream;
    auto it = copy.makeAsyncIterator();
    (void)it;
    EXPECT_TRUE(terminations.empty());
  }
  EXPECT_EQ(terminations, std::vector<Termination>{Termination::cancelled});
  EXPECT_EQ(feed->yield(1), async::YieldResult::terminated);
}

TEST(AsyncStream, TerminationHandlerSetLateIsToldAtOnce) {
  std::vector<Termination> terminations;
  AsyncStream<int> stream([&](auto c) {
    c.finish();
    c.setOnTermination([&](Termination t) { terminations.push_back(t); });
  });
  EXPECT_EQ(terminations, std::vector<Termination>{Termination::finished});
}

Eager takeAll(AsyncStream<int> stream, std::vector<int>& taken) {
  auto it = stream.makeAsyncIterator();
  while (std::optional<int> element = co_await it.next()) taken.push_back(*element);
}

// A consumer destroyed while it waits is no longer the consumer, whether the
// element meant for it comes after that or was already handed to it: a kept
// stream goes on with the next one, which gets that element; a stream whose
// last copy the consumer held is cancelled.
TEST(AsyncStream, ConsumerDestroyedWhileWaitingWithdraws) {
  ManualExecutor executor;
  InTask inTask(executor);
  std::vector<Termination> terminations;
  std::optional<AsyncStream<int>::Continuation> feed;
  auto make = [&] {
    return AsyncStream<int>([&](AsyncStream<int>::Continuation c) {
      c.setOnTermination([&](Termination t) { terminations.push_back(t); });
      feed.emplace(c);
    });
  };
  AsyncStream<int> stream = make();
  std::vector<int> taken;
  takeAll(stream, taken).destroy();
  feed->yield(1);
  Eager second = takeAll(stream, taken);
  feed->yield(2);  // handed to `second`, whose job has not run
  second.destroy();
  executor.runUntilIdle();
  feed->finish();
  EXPECT_EQ(async::syncWait(drain(stream), executor), (Seen{"2", "end"}));

  Eager last = takeAll(make(), taken);
  feed->yield(3);
  last.destroy();
  executor.runUntilIdle();
  EXPECT_EQ(terminations, (std::vector{Termination::finished, Termination::cancelled}));
  EXPECT_EQ(taken, std::vector<int>{1});
}

TEST(AsyncStreamDeathTest, TwoTasksAwaitingNextStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        ManualExecutor executor;
        AsyncStream<int> stream([](auto) {});
        auto a = async::spawn(drain(stream), executor);
        auto b = async::spawn(drain(stream), executor);
        executor.runUntilIdle();
      },
      "Fatal error: attempt to await next\\(\\) on more than one task");
}

}  // namespace
