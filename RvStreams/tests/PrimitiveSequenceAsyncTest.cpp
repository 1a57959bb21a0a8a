#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <optional>
#include <string>
#include <thread>

#include "RvStreams/Just.h"
#include "RvStreams/PrimitiveSequenceAsync.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/Reports.h"
#include "async/Async.h"
#include "asyncTest/Eager.h"
#include "baseTest/Handoff.h"

namespace rv {
namespace {

using async::CancellationError;
using async::ManualExecutor;
using async::Task;
using test::TestSource;

// Runs the await on a manual executor, then lets `between` act on the
// suspended await before running it to its end.
template <class R, class Between>
R awaitWith(Task<R> task, Between between) {
  ManualExecutor executor;
  auto handle = async::spawn(std::move(task), executor);
  executor.runUntilIdle();
  between(handle);
  executor.runUntilIdle();
  EXPECT_TRUE(handle.isFinished());
  return async::syncWait(handle);
}

template <class R>
R await(Task<R> task) {
  return awaitWith(std::move(task), [](auto&) {});
}

TEST(SingleValue, ReturnsTheElementOrThrowsTheError) {
  EXPECT_EQ(await(value(Single<int>(rv::just(5)))), 5);
  EXPECT_THROW(await(value(Single<int>(rv::error<int>(test::makeError())))), test::TestError);

  auto source = TestSource<int>::create();
  Single<int> single(source);
  EXPECT_EQ(awaitWith(value(single),
                      [&](auto&) {
                        source->onNext(5);
                        source->onNext(6);
                        source->onCompleted();
                      }),
            5)
      << "only the first element counts";
  EXPECT_EQ(source->subscriptionCount(), 1);
}

TEST(SingleValue, CancellingTheAwaitingTaskDisposesAndThrowsCancellationError) {
  auto source = TestSource<int>::create();
  Task<int> task = value(Single<int>(source));
  EXPECT_EQ(source->subscriptionCount(), 0) << "nothing happens before the task runs";
  EXPECT_THROW(awaitWith(std::move(task),
                         [&](auto& handle) {
                           EXPECT_EQ(source->subscriptionCount(), 1);
                           std::thread([&] { handle.cancel(); }).join();
                           EXPECT_EQ(source->disposeCount(), 1);
                         }),
               CancellationError);
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(SingleValue, TaskCancelledBeforeItSubscribesDisposesAtOnce) {
  auto source = TestSource<int>::create();
  ManualExecutor executor;
  auto handle = async::spawn(value(Single<int>(source)), executor);
  handle.cancel();
  executor.runUntilIdle();
  EXPECT_EQ(source->subscriptionCount(), 1);
  EXPECT_EQ(source->disposeCount(), 1);
  EXPECT_THROW(async::syncWait(handle), CancellationError);
}

TEST(SingleValue, OutcomeBeforeTheCancellationWins) {
  auto source = TestSource<int>::create();
  EXPECT_EQ(awaitWith(value(Single<int>(source)),
                      [&](auto& handle) {
                        source->onNext(8);
                        handle.cancel();
                      }),
            8);
}

TEST(SingleValue, EmptyCompletionThrowsNoElementsInsteadOfWaitingForever) {
  test::ReportCapture reports;
  auto source = TestSource<int>::create();
  try {
    awaitWith(value(Single<int>(source)), [&](auto&) { source->onCompleted(); });
    ADD_FAILURE() << "no error thrown";
  } catch (const RvError& error) {
    EXPECT_EQ(error.kind(), RvError::Kind::noElements);
  }
  EXPECT_NE(reports.text().find("Singles can't emit a completion event"), std::string::npos)
      << "the broken contract is still reported";
}

TEST(MaybeValue, ElementNothingOrError) {
  EXPECT_EQ(await(value(Maybe<int>(rv::just(5)))), std::optional<int>(5));
  EXPECT_EQ(await(value(Maybe<int>(rv::empty<int>()))), std::nullopt);
  EXPECT_THROW(await(value(Maybe<int>(rv::error<int>(test::makeError())))), test::TestError);

  // An element followed by the completion resumes once, with the element
  // (a second resume would stop the process).
  auto source = TestSource<int>::create();
  EXPECT_EQ(awaitWith(value(Maybe<int>(source)),
                      [&](auto&) {
                        source->onNext(5);
                        source->onCompleted();
                      }),
            std::optional<int>(5));
}

TEST(MaybeValue, CancellationThrowsCancellationError) {
  auto source = TestSource<int>::create();
  EXPECT_THROW(awaitWith(value(Maybe<int>(source)), [](auto& handle) { handle.cancel(); }),
               CancellationError);
  EXPECT_EQ(source->disposeCount(), 1);
}

TEST(CompletableValue, ReturnsOnCompletionThrowsOnErrorAndOnCancellation) {
  EXPECT_NO_THROW(await(value(Completable(rv::empty<Never>()))));
  auto failing = TestSource<Never>::create();
  try {
    awaitWith(value(Completable(failing)),
              [&](auto&) { failing->onError(test::makeError("nope")); });
    ADD_FAILURE() << "no error thrown";
  } catch (const test::TestError& error) {
    EXPECT_EQ(error.text, "nope");
  }
  auto silent = TestSource<Never>::create();
  EXPECT_THROW(awaitWith(value(Completable(silent)), [](auto& handle) { handle.cancel(); }),
               CancellationError);
  EXPECT_EQ(silent->disposeCount(), 1);
}

async::test::Eager awaitInto(Single<int> single, int& result) { result = co_await value(single); }

TEST(SingleValue, CoroutineDestroyedWhileAwaitingDisposesTheSubscription) {
  auto source = TestSource<int>::create();
  int result = 0;
  awaitInto(Single<int>(source), result).destroy();
  EXPECT_EQ(source->disposeCount(), 1);
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(PrimitiveSequenceValueStress, OutcomeRacingCancellationResumesExactlyOnce) {
  constexpr int kRounds = 300;
  int values = 0;
  int cancellations = 0;
  for (int round = 0; round < kRounds; ++round) {
    auto source = TestSource<int>::create();
    auto handle = async::spawn(value(Single<int>(source)));
    base::testing::awaitState([&] { return source->subscriptionCount() != 0; });
    std::barrier go(2);
    std::thread canceller([&] {
      go.arrive_and_wait();
      handle.cancel();
    });
    go.arrive_and_wait();
    source->onNext(round);
    source->onCompleted();
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

}  // namespace
}  // namespace rv
