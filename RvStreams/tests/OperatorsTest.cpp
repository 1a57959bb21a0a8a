#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "RvStreams/Create.h"
#include "RvStreams/Just.h"
#include "RvStreams/Map.h"
#include "RvStreams/Scan.h"
#include "RvStreams/Subscribe.h"
#include "RvStreams/WithLatestFrom.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::elements;
using test::makeError;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;

// A cold source sending the given elements and completing.
TEST(Map, TransformsEachElement) {
  auto recorder = RecordingObserver<std::string>::create();
  (elements({1, 2}) | map([](const int& x) {
     return std::to_string(x * 10);
   }))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(10)", "next(20)", "completed"}));
}

TEST(Map, FailureOnTheThirdElementEndsWithItsErrorAndDisposesTheSource) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = (source | map([](const int& x) {
              if (x == 3) throw TestError("third");
              return x;
            }))->subscribe(recorder);
  source->onNext(1);
  source->onNext(2);
  source->onNext(3);
  source->onNext(4);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "error(third)"}));
  EXPECT_EQ(source->disposeCount(), 1);
  d->dispose();
}

TEST(CompactMap, AbsentResultsAreDropped) {
  auto recorder = RecordingObserver<int>::create();
  (elements({1, 2, 3, 4}) | compactMap([](const int& x) -> std::optional<int> {
     if (x % 2 == 0) return x;
     return std::nullopt;
   }))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(2)", "next(4)", "completed"}));

  auto none = RecordingObserver<int>::create();
  (elements({1, 3}) | compactMap([](const int&) -> std::optional<int> {
     return std::nullopt;
   }))->subscribe(none);
  EXPECT_EQ(none->descriptions(), (Log{"completed"}));
}

TEST(Filter, KeepsAcceptedElementsAndPassesErrors) {
  auto recorder = RecordingObserver<int>::create();
  (elements({1, 2, 3}) | filter([](const int& x) { return x != 2; }))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(3)", "completed"}));

  const Error x = makeError("source");
  auto failing = RecordingObserver<int>::create();
  (error<int>(x) | filter([](const int&) { return false; }))->subscribe(failing);
  ASSERT_EQ(failing->events().size(), 1u);
  EXPECT_EQ(*failing->events()[0].error(), x);
}

TEST(Filter, ThrowingPredicateEndsTheOutput) {
  auto recorder = RecordingObserver<int>::create();
  (elements({1, 2}) | filter([](const int&) -> bool {
     throw TestError("predicate");
   }))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"error(predicate)"}));
}

TEST(IgnoreElements, OnlyTerminationPasses) {
  auto recorder = RecordingObserver<Never>::create();
  (elements({1, 2, 3}) | ignoreElements())->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));

  auto failing = RecordingObserver<Never>::create();
  (error<int>(makeError("gone")) | ignoreElements())->subscribe(failing);
  EXPECT_EQ(failing->descriptions(), (Log{"error(gone)"}));
}

TEST(Scan, AccumulatesFromTheSeedWithoutEmittingIt) {
  auto recorder = RecordingObserver<int>::create();
  (elements({1, 2, 3}) | scan(0, [](const int& acc, const int& x) {
     return acc + x;
   }))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(3)", "next(6)", "completed"}));

  auto emptyRecorder = RecordingObserver<int>::create();
  (elements({}) | scan(0, [](const int& acc, const int& x) {
     return acc + x;
   }))->subscribe(emptyRecorder);
  EXPECT_EQ(emptyRecorder->descriptions(), (Log{"completed"}));
}

TEST(Scan, EachSubscriptionStartsFromTheSeed) {
  auto scanned = elements({1, 1}) | scanInto(std::string("s"), [](std::string& acc, const int& x) {
                   acc += std::to_string(x);
                 });
  for (int i = 0; i < 2; ++i) {
    auto recorder = RecordingObserver<std::string>::create();
    scanned->subscribe(recorder);
    EXPECT_EQ(recorder->descriptions(), (Log{"next(s1)", "next(s11)", "completed"}));
  }
}

TEST(Scan, FailingAccumulatorOnTheSecondElement) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  auto d = (source | scan(10, [](const int& acc, const int& x) {
              if (x == 2) throw TestError("acc");
              return acc + x;
            }))->subscribe(recorder);
  source->onNext(1);
  source->onNext(2);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(11)", "error(acc)"}));
  EXPECT_EQ(source->observerCount(), 0);
  d->dispose();
}

struct WithLatestFromFixture : ::testing::Test {
  Ref<TestSource<int>> first = TestSource<int>::create();
  Ref<TestSource<std::string>> second = TestSource<std::string>::create();
  Ref<RecordingObserver<std::string>> recorder = RecordingObserver<std::string>::create();
  Ref<Disposable> subscription;

  void subscribeCombined() {
    subscription = (first | withLatestFrom(second, [](const int& f, const std::string& s) {
                      return std::to_string(f) + s;
                    }))->subscribe(recorder);
  }
  void TearDown() override {
    if (subscription) subscription->dispose();
  }
};

TEST_F(WithLatestFromFixture, DropsUntilTheSecondHasAValue) {
  subscribeCombined();
  first->onNext(1);
  first->onNext(2);
  second->onNext("a");
  first->onNext(3);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(3a)"}));
}

TEST_F(WithLatestFromFixture, UsesTheLatestOfTheSecond) {
  subscribeCombined();
  second->onNext("a");
  second->onNext("b");
  first->onNext(1);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1b)"}));
}

TEST_F(WithLatestFromFixture, CompletionOfTheSecondKeepsItsLastValue) {
  subscribeCombined();
  second->onNext("a");
  second->onCompleted();
  EXPECT_EQ(second->observerCount(), 0);
  first->onNext(1);
  first->onNext(2);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1a)", "next(2a)"}));
  first->onCompleted();
  EXPECT_EQ(recorder->completedCount(), 1);
}

TEST_F(WithLatestFromFixture, ErrorOfTheSecondEndsTheOutputAtOnce) {
  subscribeCombined();
  second->onError(makeError("second"));
  EXPECT_EQ(recorder->descriptions(), (Log{"error(second)"}));
  EXPECT_EQ(first->observerCount(), 0);
  EXPECT_EQ(second->observerCount(), 0);
}

TEST_F(WithLatestFromFixture, FailingSelectorDisposesBothSubscriptions) {
  subscription = (first | withLatestFrom(second, [](const int&, const std::string&) -> std::string {
                    throw TestError("selector");
                  }))->subscribe(recorder);
  second->onNext("a");
  first->onNext(1);
  EXPECT_EQ(recorder->descriptions(), (Log{"error(selector)"}));
  EXPECT_EQ(first->observerCount(), 0);
  EXPECT_EQ(second->observerCount(), 0);
}

TEST(WithLatestFrom, WithoutSelectorEmitsTheSecondsValues) {
  auto first = TestSource<int>::create();
  auto recorder = RecordingObserver<std::string>::create();
  auto d = (first | withLatestFrom(just(std::string("latest"))))->subscribe(recorder);
  first->onNext(1);
  first->onNext(2);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(latest)", "next(latest)"}));
  d->dispose();
}

TEST(WithLatestFrom, DownstreamPushingIntoTheFirstSourceOnTheSameThreadDoesNotDeadlock) {
  auto first = TestSource<int>::create();
  auto second = TestSource<int>::create();
  std::vector<int> seen;
  auto d =
      subscribe(first | withLatestFrom(second, [](const int& f, const int& s) { return f + s; }),
                {.onNext = [&](const int& x) {
                  seen.push_back(x);
                  if (seen.size() < 3) first->onNext(x);  // re-enters the sink's lock
                }});
  second->onNext(1);
  first->onNext(0);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  d->dispose();
}

}  // namespace
}  // namespace rv
