#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <coroutine>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "async/Async.h"
#include "asyncTest/Drain.h"
#include "asyncTest/Eager.h"
#include "baseTest/Handoff.h"

namespace {

using async::AsyncStream;
using async::CancellationError;
using async::CheckedContinuation;
using async::Task;

TEST(AsyncStreamStress, ElementsFromSeveralThreadsArriveOnceAndInOrderPerThread) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::optional<AsyncStream<int>::Continuation> feed;
  AsyncStream<int> stream([&](auto c) { feed.emplace(c); });
  auto consume = [](AsyncStream<int> s) -> Task<std::vector<int>> {
    std::vector<int> seen;
    auto it = s.makeAsyncIterator();
    while (std::optional<int> element = co_await it.next()) seen.push_back(*element);
    co_return seen;
  };
  auto handle = async::spawn(consume(stream));
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) feed->yield(t * kPerThread + i);
    });
  }
  for (auto& producer : producers) producer.join();
  feed->finish();
  std::vector<int> seen = async::syncWait(handle);
  ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));
  std::vector<int> last(kThreads, -1);
  for (int v : seen) {
    const int t = v / kPerThread;
    EXPECT_GT(v, last[t]);
    last[t] = v;
  }
}

// An await that either gets its value or is cancelled: whichever comes first
// resumes the continuation, the other does nothing.
TEST(ContinuationStress, CancellationRacingTheOutcomeResumesOnce) {
  constexpr int kRounds = 300;
  int values = 0;
  int cancellations = 0;
  for (int round = 0; round < kRounds; ++round) {
    struct Shared {
      std::atomic<bool> resumed{false};
      std::optional<CheckedContinuation<int>> continuation;
      std::atomic<bool> ready{false};
    };
    auto shared = std::make_shared<Shared>();
    auto await = [](std::shared_ptr<Shared> s) -> Task<int> {
      Task<int> operation = [](std::shared_ptr<Shared> s) -> Task<int> {
        co_return co_await async::withCheckedThrowingContinuation<int>(
            "value", [&](CheckedContinuation<int> c) {
              s->continuation.emplace(c);
              base::testing::announce(s->ready, true);
            });
      }(s);
      auto onCancel = [s] {
        base::testing::awaitChange(s->ready, false);
        if (!s->resumed.exchange(true)) {
          s->continuation->resume(std::make_exception_ptr(CancellationError()));
        }
      };
      co_return co_await async::withTaskCancellationHandler(std::move(operation),
                                                            std::move(onCancel));
    };
    auto handle = async::spawn(await(shared));
    base::testing::awaitChange(shared->ready, false);
    std::barrier go(2);
    std::thread canceller([&] {
      go.arrive_and_wait();
      handle.cancel();
    });
    go.arrive_and_wait();
    if (!shared->resumed.exchange(true)) shared->continuation->resume(round);
    canceller.join();
    try {
      EXPECT_EQ(async::syncWait(handle), round);
      ++values;
    } catch (const CancellationError&) {
      ++cancellations;
    }
  }
  EXPECT_EQ(values + cancellations, kRounds);
}

TEST(AsyncStreamStress, CancellationRacingFinishTerminatesOnce) {
  constexpr int kRounds = 300;
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<int> terminations{0};
    std::optional<AsyncStream<int>::Continuation> feed;
    AsyncStream<int> stream([&](AsyncStream<int>::Continuation c) {
      c.setOnTermination([&](async::Termination) { terminations.fetch_add(1); });
      feed.emplace(c);
    });
    auto consume = [](AsyncStream<int> s) -> Task<int> {
      int count = 0;
      auto it = s.makeAsyncIterator();
      while (co_await it.next()) ++count;
      co_return count;
    };
    auto handle = async::spawn(consume(std::move(stream)));
    std::barrier go(3);
    std::thread producer([&] {
      go.arrive_and_wait();
      feed->yield(1);
      feed->finish();
    });
    std::thread canceller([&] {
      go.arrive_and_wait();
      handle.cancel();
    });
    go.arrive_and_wait();
    producer.join();
    canceller.join();
    const int count = async::syncWait(handle);
    EXPECT_LE(count, 1);
    EXPECT_EQ(terminations.load(), 1);
  }
}

async::test::Eager waitForOne(AsyncStream<int> stream) {
  auto it = stream.makeAsyncIterator();
  co_await it.next();
}

// The consumer is destroyed on its executor's thread while another thread
// yields: an element handed to it meanwhile goes back to the stream.
TEST(AsyncStreamStress, ConsumerDestroyedWhileTheProducerYieldsLosesNothing) {
  for (int round = 0; round < 300; ++round) {
    async::ManualExecutor executor;
    async::test::InTask inTask(executor);
    std::optional<AsyncStream<int>::Continuation> feed;
    AsyncStream<int> stream([&](auto c) { feed.emplace(c); });
    async::test::Eager consumer = waitForOne(stream);
    std::barrier go(2);
    std::thread producer([&] {
      go.arrive_and_wait();
      feed->yield(1);
      feed->finish();
    });
    go.arrive_and_wait();
    consumer.destroy();
    producer.join();
    executor.runUntilIdle();
    EXPECT_EQ(async::syncWait(async::test::drain(stream), executor),
              (std::vector<std::string>{"1", "end"}));
  }
}

// Suspends, handing its coroutine to whoever takes it from `slot`, and
// returns from the suspension `spins` steps later: the coroutine may go on
// meanwhile on the thread that took it.
class HandOff {
 public:
  HandOff(std::atomic<void*>& slot, int spins) noexcept : slot_(slot), spins_(spins) {}
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> self) noexcept {
    std::atomic<int> steps{spins_};
    base::testing::announce(slot_, self.address());
    while (steps.fetch_sub(1, std::memory_order_relaxed) > 0) {
    }
  }
  void await_resume() const noexcept {}

 private:
  std::atomic<void*>& slot_;
  int spins_;
};

Task<int> handedOff(std::atomic<void*>& slot, int value) {
  co_await HandOff(slot, value % 32);
  co_return value;
}

async::test::Eager plusOne(Task<int> task, std::atomic<int>& result) {
  result.store(1 + co_await std::move(task));
}

// The awaited task suspends while it runs inline, and another thread resumes
// it at once: it finishes there before or after its awaiter has suspended,
// and whichever of the two comes second continues the awaiter, once.
TEST(TaskStress, TaskFinishingOnAnotherThreadAsItsAwaiterSuspendsContinuesItOnce) {
  constexpr int kRounds = 20000;
  std::atomic<void*> slot{nullptr};
  std::atomic<int> resumed{0};
  std::thread finisher([&] {
    for (int round = 0; round < kRounds; ++round) {
      base::testing::awaitChange(slot, nullptr);
      void* address = slot.exchange(nullptr, std::memory_order_acquire);
      std::coroutine_handle<>::from_address(address).resume();
      base::testing::announce(resumed, round + 1);
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<int> result{-1};
    async::test::Eager awaiting = plusOne(handedOff(slot, round), result);
    base::testing::awaitChange(resumed, round);
    EXPECT_EQ(result.load(), round + 1);
  }
  finisher.join();
}

TEST(CancellationHandlerStress, HandlersRacingCancelRunAtMostOnceAndNeverAfterRemoval) {
  constexpr int kRounds = 500;
  for (int round = 0; round < kRounds; ++round) {
    auto task = std::make_shared<async::TaskState>(async::globalExecutor());
    std::atomic<int> calls{0};
    std::atomic<bool> removed{false};
    std::atomic<bool> calledAfterRemoval{false};
    std::barrier go(2);
    std::thread canceller([&] {
      go.arrive_and_wait();
      task->cancel();
    });
    go.arrive_and_wait();
    const uint64_t key = task->addCancellationHandler([&] {
      calls.fetch_add(1);
      if (removed.load()) calledAfterRemoval.store(true);
    });
    task->removeCancellationHandler(key);
    canceller.join();
    removed.store(true);
    task->cancel();
    EXPECT_LE(calls.load(), 1);
    EXPECT_FALSE(calledAfterRemoval.load());
  }
}

}  // namespace
