#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <thread>

#include "async/Async.h"
#include "asyncTest/Eager.h"

namespace {

using async::CheckedContinuation;
using async::ManualExecutor;
using async::Task;

TEST(CheckedContinuation, ResumeInsideTheBodyContinuesWithoutAJob) {
  ManualExecutor executor;
  auto task = []() -> Task<int> {
    co_return co_await async::withCheckedThrowingContinuation<int>(
        "value", [](CheckedContinuation<int> c) { c.resume(4); });
  };
  auto handle = async::spawn(task(), executor);
  EXPECT_EQ(executor.runUntilIdle(), 1u);
  EXPECT_EQ(async::syncWait(handle), 4);
}

TEST(CheckedContinuation, LateResumeIsPostedToTheTaskExecutor) {
  ManualExecutor executor;
  std::optional<CheckedContinuation<int>> parked;
  bool after = false;
  auto task = [&]() -> Task<int> {
    int v = co_await async::withCheckedThrowingContinuation<int>(
        "value", [&](CheckedContinuation<int> c) { parked.emplace(c); });
    after = true;
    co_return v;
  };
  auto handle = async::spawn(task(), executor);
  executor.runUntilIdle();
  ASSERT_TRUE(parked.has_value());
  std::thread([&] { parked->resume(9); }).join();
  EXPECT_FALSE(after) << "the resuming thread must not run the coroutine";
  EXPECT_EQ(executor.pendingCount(), 1u);
  executor.runUntilIdle();
  EXPECT_TRUE(after);
  EXPECT_EQ(async::syncWait(handle), 9);
}

TEST(CheckedContinuation, ResumeThrowingAndVoid) {
  ManualExecutor executor;
  std::optional<CheckedContinuation<void>> parked;
  auto voidTask = [&]() -> Task<void> {
    co_await async::withCheckedThrowingContinuation<void>(
        "value", [&](CheckedContinuation<void> c) { parked.emplace(c); });
  };
  auto handle = async::spawn(voidTask(), executor);
  executor.runUntilIdle();
  parked->resume();
  executor.runUntilIdle();
  EXPECT_NO_THROW(async::syncWait(handle));

  auto throwing = []() -> Task<int> {
    co_return co_await async::withCheckedThrowingContinuation<int>(
        "value", [](CheckedContinuation<int> c) {
          c.resume(std::make_exception_ptr(std::logic_error("no")));
        });
  };
  EXPECT_THROW(async::syncWait(throwing(), executor), std::logic_error);
}

async::test::Eager awaitParked(std::optional<CheckedContinuation<int>>& parked, int& result) {
  result = co_await async::withCheckedThrowingContinuation<int>(
      "parked", [&](CheckedContinuation<int> c) { parked.emplace(c); });
}

// Destroyed before the resume, or after it but before the job that would
// continue it ran: the coroutine is continued by neither.
TEST(CheckedContinuation, CoroutineDestroyedWhileWaitingIsNotContinued) {
  ManualExecutor executor;
  async::test::InTask inTask(executor);
  int result = 0;
  std::optional<CheckedContinuation<int>> parked;
  async::test::Eager waiting = awaitParked(parked, result);
  waiting = {};
  parked->resume(1);
  EXPECT_EQ(executor.pendingCount(), 0u);
  waiting = awaitParked(parked, result);
  parked->resume(2);
  waiting = {};
  executor.runUntilIdle();
  EXPECT_EQ(result, 0);
}

TEST(CheckedContinuationDeathTest, ResumingTwiceStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto twice = []() -> Task<int> {
    co_return co_await async::withCheckedThrowingContinuation<int>("value",
                                                                   [](CheckedContinuation<int> c) {
                                                                     c.resume(1);
                                                                     c.resume(2);
                                                                   });
  };
  EXPECT_DEATH(
      {
        ManualExecutor executor;
        async::syncWait(twice(), executor);
      },
      "Fatal error: value tried to resume its continuation more than once");
}

}  // namespace
