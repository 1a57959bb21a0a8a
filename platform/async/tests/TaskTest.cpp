#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "async/Async.h"
#include "asyncTest/Eager.h"
#include "baseTest/Stacks.h"

namespace {

using async::CancellationError;
using async::ManualExecutor;
using async::Task;
using async::test::Eager;
using async::test::InTask;

Task<int> constant(int value, std::vector<std::string>* log = nullptr) {
  if (log != nullptr) log->push_back("constant " + std::to_string(value));
  co_return value;
}

Task<int> sumOfTwo(std::vector<std::string>* log) {
  int a = co_await constant(1, log);
  int b = co_await constant(2, log);
  co_return a + b;
}

Task<int> failing() {
  throw std::runtime_error("boom");
  co_return 0;
}

TEST(Task, RunsNothingUntilAwaitedOrSpawned) {
  std::vector<std::string> log;
  ManualExecutor executor;
  {
    Task<int> task = sumOfTwo(&log);
    EXPECT_TRUE(log.empty());
  }  // dropped without running: its frame goes with it
  EXPECT_TRUE(log.empty());

  auto handle = async::spawn(sumOfTwo(&log), executor);
  EXPECT_TRUE(log.empty()) << "spawn must not run the task on the caller's stack";
  EXPECT_FALSE(handle.isFinished());
  EXPECT_EQ(executor.runUntilIdle(), 1u) << "awaited subtasks run inline in the same job";
  EXPECT_TRUE(handle.isFinished());
  EXPECT_EQ(async::syncWait(handle), 3);
  EXPECT_EQ(log, (std::vector<std::string>{"constant 1", "constant 2"}));
}

TEST(Task, ErrorsPropagateThroughAwaitsAndToTheWaiter) {
  ManualExecutor executor;
  auto outer = []() -> Task<std::string> {
    try {
      co_await failing();
    } catch (const std::runtime_error& error) {
      co_return std::string("caught ") + error.what();
    }
    co_return "not caught";
  };
  EXPECT_EQ(async::syncWait(outer(), executor), "caught boom");
  EXPECT_THROW(async::syncWait(failing(), executor), std::runtime_error);
}

TEST(Task, CarriesMoveOnlyResultsAndVoid) {
  ManualExecutor executor;
  auto make = []() -> Task<std::unique_ptr<int>> { co_return std::make_unique<int>(7); };
  auto outer = [&]() -> Task<int> {
    std::unique_ptr<int> p = co_await make();
    co_return *p;
  };
  EXPECT_EQ(async::syncWait(outer(), executor), 7);

  int touched = 0;
  auto touch = [&]() -> Task<void> {
    ++touched;
    co_return;
  };
  async::syncWait(touch(), executor);
  EXPECT_EQ(touched, 1);
}

TEST(Task, SpawnedTaskSeesItsCancellation) {
  ManualExecutor executor;
  auto probe = []() -> Task<bool> { co_return async::isCancelled(); };
  auto handle = async::spawn(probe(), executor);
  EXPECT_FALSE(handle.isCancelled());
  handle.cancel();
  handle.cancel();  // a second cancel is harmless
  EXPECT_TRUE(handle.isCancelled());
  EXPECT_TRUE(async::syncWait(handle));

  auto checking = []() -> Task<int> {
    async::checkCancellation();
    co_return 1;
  };
  auto checked = async::spawn(checking(), executor);
  checked.cancel();
  EXPECT_THROW(async::syncWait(checked), CancellationError);
  EXPECT_FALSE(async::isCancelled()) << "outside any task nothing is cancelled";
}

TEST(Task, CancellationIsNotInheritedBySpawnedTasks) {
  ManualExecutor executor;
  std::optional<async::TaskHandle<bool>> inner;
  auto outer = [&]() -> Task<void> {
    inner.emplace(async::spawn([]() -> Task<bool> { co_return async::isCancelled(); }(), executor));
    co_return;
  };
  auto handle = async::spawn(outer(), executor);
  handle.cancel();
  executor.runUntilIdle();
  ASSERT_TRUE(inner.has_value());
  EXPECT_FALSE(async::syncWait(*inner));
}

TEST(Task, ValueOfAnotherTaskIsAwaitedWithoutBlocking) {
  ManualExecutor executor;
  // A task whose value arrives later: parked on a continuation we resume.
  std::optional<async::CheckedContinuation<int>> parked;
  auto producer = [&]() -> Task<int> {
    co_return co_await async::withCheckedThrowingContinuation<int>(
        "producer", [&](async::CheckedContinuation<int> c) { parked.emplace(c); });
  };
  auto produced = async::spawn(producer(), executor);
  auto consumer = [&]() -> Task<int> { co_return 10 + co_await produced.value(); };
  auto consumed = async::spawn(consumer(), executor);
  auto second = async::spawn(consumer(), executor);
  executor.runUntilIdle();
  EXPECT_FALSE(consumed.isFinished());
  ASSERT_TRUE(parked.has_value());
  parked->resume(5);
  EXPECT_FALSE(consumed.isFinished()) << "resumption is a job, not a call";
  executor.runUntilIdle();
  EXPECT_EQ(async::syncWait(consumed), 15);
  EXPECT_EQ(async::syncWait(second), 15);
}

TEST(Task, GlobalExecutorRunsJobsOnItsOwnThreads) {
  const std::thread::id caller = std::this_thread::get_id();
  auto where = []() -> Task<std::thread::id> { co_return std::this_thread::get_id(); };
  EXPECT_NE(async::syncWait(where()), caller);
}

// Where symmetric transfer is a jump: clang at every level, g++ optimising
// without the sanitizers (release-tests; g++ at -O1 or -Og makes it a call
// too, but no build of ours compiles tests so), which is where the task
// bounds the stack its inline runs take. Elsewhere each transfer is a call,
// and the frames stay until the job is over.
constexpr bool kTransferIsAJump = async::detail::kInlineStackBytes != UINTPTR_MAX;

// `awaits` awaits of tasks that finish at once, in a loop inside `depth`
// nested awaits, after a suspension resumed by a job if `suspendFirst`. A
// `heavy` level first uses 2 KiB that clang keeps on the stack.
Task<int> loopInside(int depth, int awaits, bool suspendFirst, ManualExecutor& executor,
                     bool heavy = false) {
  if (heavy) {
    char used[2048];
    asm volatile("" : : "r"(used) : "memory");  // as if a callee filled it
  }
  if (depth > 0) co_return co_await loopInside(depth - 1, awaits, suspendFirst, executor, heavy);
  if (suspendFirst) {
    auto resumeByAJob = [&executor](async::CheckedContinuation<int> c) {
      executor.enqueue([c] { c.resume(0); });
    };
    co_await async::withCheckedThrowingContinuation<int>("suspend", std::move(resumeByAJob));
  }
  int total = 0;
  for (int i = 0; i < awaits; ++i) total += co_await constant(1);
  co_return total;
}

using base::testing::onStackOf;

// On a thread's usual 8 MiB, where a frame per await or per level overflows.
// A task runs inline while fewer than kMaxInlineRuns do on the thread, so a
// loop takes no stack at any level; past that depth a task is started by
// transfer, so a loop or deeper nesting takes none only where that is a jump.
// Elsewhere (unoptimised, the sanitizers) those rows are made small enough to
// fit, as they took a frame per transfer before inline runs too. A job that
// resumes a task runs inline from no depth.
TEST(Task, AwaitsTakeNoStackInALoopOrPerLevelOfNesting) {
  constexpr int kPastTheBound = 4 * async::detail::kMaxInlineRuns;
  struct Case {
    const char* what;
    int depth;
    int awaits;
    bool suspendFirst;
    bool heavyOnASmallThread = false;
  };
  const Case cases[] = {
      {"a loop", 0, 100000, false},
      {"a loop in nested awaits run inline", async::detail::kMaxInlineRuns / 2, 100000, false},
      {"a loop past the inline depth", kPastTheBound, kTransferIsAJump ? 100000 : 1000, false},
      {"a loop past the inline depth, after a suspension", kPastTheBound, 100000, true},
      {"nested awaits", kTransferIsAJump ? 1000000 : 10000, 1, false},
      {"nested heavy awaits on a small thread", kTransferIsAJump ? 10000 : 8, 1, false, true},
  };
  for (const Case& c : cases) {
    const bool small = c.heavyOnASmallThread;
    onStackOf(small ? std::max<std::size_t>(32 << 10, PTHREAD_STACK_MIN) : 8 << 20, [&] {
      ManualExecutor executor;
      Task<int> task = loopInside(c.depth, c.awaits, c.suspendFirst, executor, small);
      EXPECT_EQ(async::syncWait(std::move(task), executor), c.awaits) << c.what;
    });
  }
}

template <class Await>
Eager awaitInto(Await await, int& result) {
  result = co_await await();
}

// A coroutine of the program's own type destroyed while it awaits a checked
// continuation (before the resume, or after it but before the job that would
// continue it ran), a task it does not own, or a spawned task's value: none
// continues it.
TEST(Task, AwaitingCoroutineDestroyedWhileWaitingIsNotContinued) {
  ManualExecutor executor;
  InTask inTask(executor);
  std::optional<async::CheckedContinuation<int>> parked;
  auto park = [&] {
    return async::withCheckedThrowingContinuation<int>(
        "parked", [&](async::CheckedContinuation<int> c) { parked.emplace(c); });
  };
  int result = 0;
  awaitInto(park, result).destroy();
  parked->resume(1);
  Eager waiting = awaitInto(park, result);
  parked->resume(2);
  waiting.destroy();
  executor.runUntilIdle();

  auto parking = [&]() -> Task<int> { co_return co_await park(); };
  Task<int> inner = parking();
  awaitInto([&]() -> Task<int>&& { return std::move(inner); }, result).destroy();
  parked->resume(3);
  executor.runUntilIdle();

  auto handle = async::spawn(parking(), executor);
  executor.runUntilIdle();
  awaitInto([&] { return handle.value(); }, result).destroy();
  parked->resume(4);
  executor.runUntilIdle();
  EXPECT_EQ(async::syncWait(handle), 4);
  EXPECT_EQ(result, 0);
}

TEST(CancellationHandler, RunsOnTheCancellingThreadWhileInstalledOnly) {
  ManualExecutor executor;
  std::atomic<int> calls{0};
  std::optional<async::CheckedContinuation<int>> parked;
  auto body = [&]() -> Task<int> {
    co_return co_await async::withTaskCancellationHandler(
        [&]() -> Task<int> {
          co_return co_await async::withCheckedThrowingContinuation<int>(
              "body", [&](async::CheckedContinuation<int> c) { parked.emplace(c); });
        }(),
        [&] { calls.fetch_add(1); });
  };
  auto handle = async::spawn(body(), executor);
  executor.runUntilIdle();
  EXPECT_EQ(calls.load(), 0);
  std::thread([&] { handle.cancel(); }).join();
  EXPECT_EQ(calls.load(), 1);
  handle.cancel();
  EXPECT_EQ(calls.load(), 1) << "a handler runs once";
  parked->resume(3);
  executor.runUntilIdle();
  EXPECT_EQ(async::syncWait(handle), 3);

  // Once the operation is over the handler is gone.
  auto done = async::spawn(
      async::withTaskCancellationHandler(constant(1), [&] { calls.fetch_add(10); }), executor);
  executor.runUntilIdle();
  done.cancel();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(async::syncWait(done), 1);
}

TEST(CancellationHandler, RunsAtOnceWhenTheTaskIsAlreadyCancelled) {
  ManualExecutor executor;
  std::vector<std::string> log;
  auto operation = [&]() -> Task<int> {
    log.push_back("operation");
    co_return 2;
  };
  auto handle = async::spawn(
      async::withTaskCancellationHandler(operation(), [&] { log.push_back("handler"); }), executor);
  handle.cancel();
  EXPECT_TRUE(log.empty());
  executor.runUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"handler", "operation"}));
  EXPECT_EQ(async::syncWait(handle), 2);
}

}  // namespace
