#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <thread>

#include "async/Async.h"

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
