#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RvStreams/Catch.h"
#include "RvStreams/Infallible.h"
#include "RvStreams/Just.h"
#include "RvStreams/PrimitiveSequence.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::elements;
using test::failingAfter;
using test::makeError;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;

TEST(Catch, ContinuesWithTheHandlersSequence) {
  auto recorder = RecordingObserver<int>::create();
  std::vector<std::string> handled;
  (failingAfter({1, 2}, "source") | catchError([&](const Error& e) {
     handled.push_back(describe(e));
     return elements({8, 9});
   }))->subscribe(recorder);
  EXPECT_EQ(handled, (std::vector<std::string>{"source"}));
  EXPECT_EQ(recorder->descriptions(),
            (Log{"next(1)", "next(2)", "next(8)", "next(9)", "completed"}));
}

TEST(Catch, ThrowingHandlerDeliversItsOwnError) {
  auto recorder = RecordingObserver<int>::create();
  (failingAfter({}, "source") | catchError([](const Error&) -> Ref<Observable<int>> {
     throw TestError("handler");
   }))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"error(handler)"}));
}

TEST(Catch, ErrorOfTheContinuationIsNotCaughtAgain) {
  auto recorder = RecordingObserver<int>::create();
  int calls = 0;
  (failingAfter({}, "first") | catchError([&](const Error&) {
     ++calls;
     return failingAfter({5}, "second");
   }))->subscribe(recorder);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(5)", "error(second)"}));
}

TEST(Catch, SwitchingDisposesTheFailedSourceAndDisposeEndsTheContinuation) {
  auto source = TestSource<int>::create();
  auto continuation = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = (source | catchError([&](const Error&) { return continuation; }))->subscribe(recorder);
  source->onError(makeError());
  EXPECT_EQ(source->observerCount(), 0);
  EXPECT_EQ(continuation->observerCount(), 1);
  continuation->onNext(1);
  d->dispose();
  EXPECT_EQ(continuation->observerCount(), 0);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)"}));
}

TEST(PrimitiveSequence, WrappingAndUnwrappingAreIdentities) {
  auto source = just(1);
  Single<int> single(source);
  Maybe<int> maybe(source);
  EXPECT_EQ(single.asObservable(), source);
  EXPECT_EQ(maybe.primitiveSequence().asObservable(), source);
  Completable completable(empty<Never>());
  auto recorder = RecordingObserver<Never>::create();
  completable.asObservable()->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
}

TEST(Infallible, WrapsWithoutWorkAndEmptyCompletes) {
  auto source = just(2);
  EXPECT_EQ(Infallible<int>(source).asObservable(), source);
  auto recorder = RecordingObserver<int>::create();
  Infallible<int>::empty().asObservable()->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
}

TEST(Infallible, FallbackReplacesAnError) {
  auto recorder = RecordingObserver<int>::create();
  Infallible<int> safe = failingAfter({1}, "x") | asInfallible(Infallible<int>::empty());
  safe.asObservable()->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "completed"}));

  auto withFallback = RecordingObserver<int>::create();
  (failingAfter({1}, "x") | asInfallible(Infallible<int>(elements({7}))))
      .asObservable()
      ->subscribe(withFallback);
  EXPECT_EQ(withFallback->descriptions(), (Log{"next(1)", "next(7)", "completed"}));
}

}  // namespace
}  // namespace rv
