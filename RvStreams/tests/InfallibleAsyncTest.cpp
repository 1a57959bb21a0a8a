#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <vector>

#include "RvStreams/InfallibleAsync.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/Reports.h"
#include "async/Async.h"

namespace rv {
namespace {

using async::ManualExecutor;
using async::Task;
using test::TestSource;

// The elements a task took, and -1 for the normal end of the iteration.
Task<std::vector<int>> collect(async::AsyncStream<int> stream) {
  std::vector<int> seen;
  auto it = stream.makeAsyncIterator();
  while (std::optional<int> element = co_await it.next()) seen.push_back(*element);
  seen.push_back(-1);
  co_return seen;
}

TEST(InfallibleValues, ElementsBufferedBeforeTheFirstStepThenTheEnd) {
  ManualExecutor executor;
  auto source = TestSource<int>::create();
  Infallible<int> infallible(source);
  auto stream = values(infallible);
  EXPECT_EQ(source->subscriptionCount(), 1) << "reading values subscribes at once";
  source->onNext(1);
  source->onNext(2);
  source->onNext(3);
  source->onCompleted();
  EXPECT_EQ(async::syncWait(collect(stream), executor), (std::vector<int>{1, 2, 3, -1}));
  EXPECT_EQ(source->disposeCount(), 0) << "a completed sequence is not disposed again";
}

TEST(InfallibleValues, CancellingTheIteratingTaskDisposesTheSubscription) {
  ManualExecutor executor;
  auto source = TestSource<int>::create();
  auto handle = async::spawn(collect(values(Infallible<int>(source))), executor);
  executor.runUntilIdle();
  source->onNext(4);
  executor.runUntilIdle();
  std::thread([&] { handle.cancel(); }).join();
  EXPECT_EQ(source->disposeCount(), 1);
  EXPECT_EQ(source->observerCount(), 0);
  executor.runUntilIdle();
  EXPECT_EQ(async::syncWait(handle), (std::vector<int>{4, -1}));
}

TEST(InfallibleValues, AnErrorAgainstThePromiseEndsTheIterationInsteadOfHanging) {
  test::ErrorHookCapture errors;
  ManualExecutor executor;
  auto source = TestSource<int>::create();
  auto handle = async::spawn(collect(values(Infallible<int>(source))), executor);
  executor.runUntilIdle();
  source->onNext(1);
  source->onError(test::makeError("broken promise"));
  executor.runUntilIdle();
  ASSERT_TRUE(handle.isFinished());
  EXPECT_EQ(async::syncWait(handle), (std::vector<int>{1, -1}));
  EXPECT_EQ(errors.errors().size(), 1u) << "the error still reaches the default error handler";
}

}  // namespace
}  // namespace rv
