#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "RvStreams/Just.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreams/Skip.h"
#include "RvStreams/Take.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::elements;
using test::makeError;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;

TEST(SkipCount, DropsTheFirstElementsAndNonPositiveCountsDropNothing) {
  auto recorder = RecordingObserver<int>::create();
  (elements({1, 2, 3, 4}) | skip(2))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(3)", "next(4)", "completed"}));
  for (int64_t count : {0, -1}) {
    auto all = RecordingObserver<int>::create();
    (elements({1, 2}) | skip(count))->subscribe(all);
    EXPECT_EQ(all->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
  }
}

TEST(SkipWhile, DropsUntilThePredicateFailsThenNeverAsksAgain) {
  int calls = 0;
  auto recorder = RecordingObserver<int>::create();
  (elements({1, 2, 3, 1}) | skipWhile([&](const int& x) {
     ++calls;
     return x < 3;
   }))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(3)", "next(1)", "completed"}));
  EXPECT_EQ(calls, 3);

  auto failing = RecordingObserver<int>::create();
  (elements({1}) | skipWhile([](const int&) -> bool {
     throw TestError("predicate");
   }))->subscribe(failing);
  EXPECT_EQ(failing->descriptions(), (Log{"error(predicate)"}));
}

struct UntilFixture : ::testing::Test {
  Ref<TestSource<int>> source = TestSource<int>::create();
  Ref<TestSource<std::string>> other = TestSource<std::string>::create();
  Ref<RecordingObserver<int>> recorder = RecordingObserver<int>::create();
};

TEST_F(UntilFixture, SkipUntilOpensAtOthersFirstElementAndStopsListening) {
  auto d = (source | skipUntil(other))->subscribe(recorder);
  source->onNext(1);
  other->onNext("go");
  EXPECT_EQ(other->observerCount(), 0);
  source->onNext(2);
  source->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(2)", "completed"}));
}

TEST_F(UntilFixture, SkipUntilOtherCompletingKeepsTheGateClosedEvenForCompletion) {
  auto d = (source | skipUntil(other))->subscribe(recorder);
  other->onCompleted();
  source->onNext(1);
  source->onCompleted();
  EXPECT_TRUE(recorder->events().empty());
  EXPECT_EQ(source->observerCount(), 0);  // ended, silently

  auto failing = RecordingObserver<int>::create();
  auto source2 = TestSource<int>::create();
  auto other2 = TestSource<int>::create();
  (source2 | skipUntil(other2))->subscribe(failing);
  other2->onCompleted();
  source2->onError(makeError("source"));
  EXPECT_EQ(failing->descriptions(), (Log{"error(source)"}));
}

TEST_F(UntilFixture, SkipUntilOtherFailingFailsTheOutput) {
  auto d = (source | skipUntil(other))->subscribe(recorder);
  other->onError(makeError("other"));
  EXPECT_EQ(recorder->descriptions(), (Log{"error(other)"}));
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(SkipUntil, OtherEmittingOnSubscriptionOpensOnlyAfterTheSourceWasSubscribed) {
  // A synchronous source has all of it dropped, its completion included.
  auto dropped = RecordingObserver<int>::create();
  (elements({1, 2}) | skipUntil(just(0)))->subscribe(dropped);
  EXPECT_TRUE(dropped->events().empty());

  auto source = TestSource<int>::create();
  auto passed = RecordingObserver<int>::create();
  auto d = (source | skipUntil(just(0)))->subscribe(passed);
  source->onNext(1);
  source->onCompleted();
  EXPECT_EQ(passed->descriptions(), (Log{"next(1)", "completed"}));
}

TEST(SkipUntil, ReentrantPushFromDownstreamDoesNotDeadlock) {
  auto source = PublishSubject<int>::create();
  auto other = PublishSubject<int>::create();
  std::vector<int> seen;
  auto d =
      (source | skipUntil(other))->subscribe(makeAnonymousObserver<int>([&](const Event<int>& e) {
        if (const int* x = e.element()) {
          seen.push_back(*x);
          if (*x < 3) source->onNext(*x + 1);
        }
      }));
  other->onNext(0);
  source->onNext(1);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  d->dispose();
}

TEST(TakeCount, TakesTheFirstElementsThenCompletesAndUnsubscribes) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  (source | take(2))->subscribe(recorder);
  for (int x : {1, 2, 3}) source->onNext(x);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(TakeCount, ZeroCompletesWithoutSubscribing) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  (source | take(0))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
  EXPECT_EQ(source->subscriptionCount(), 0);
}

class TakeDeathTest : public test::DeathTestBase {};

TEST_F(TakeDeathTest, NegativeCountsStopWhenTheOperatorIsMade) {
  EXPECT_DEATH(take(-1), "count can't be negative");
  EXPECT_DEATH(takeLast(-1), "count can't be negative");
}

TEST(TakeLast, KeepsTheLastElementsUntilCompletion) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  (source | takeLast(2))->subscribe(recorder);
  for (int x : {1, 2, 3}) source->onNext(x);
  EXPECT_TRUE(recorder->events().empty());
  source->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(2)", "next(3)", "completed"}));

  auto none = RecordingObserver<int>::create();
  (elements({1, 2}) | takeLast(0))->subscribe(none);
  EXPECT_EQ(none->descriptions(), (Log{"completed"}));
}

TEST(TakeLast, ErrorDiscardsTheBuffer) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  (source | takeLast(2))->subscribe(recorder);
  source->onNext(1);
  source->onError(makeError("boom"));
  EXPECT_EQ(recorder->descriptions(), (Log{"error(boom)"}));
}

TEST(TakeLast, HugeCountReservesLittleAndKeepsEverything) {
  EXPECT_EQ(detail::takeLastInitialCapacity(2), 3);
  EXPECT_EQ(detail::takeLastInitialCapacity(std::numeric_limits<int64_t>::max()),
            detail::kTakeLastInitialCapacityLimit);
  auto recorder = RecordingObserver<int>::create();
  std::vector<int> many(3000);
  for (int i = 0; i < 3000; ++i) many[i] = i;
  (elements(many) | takeLast(std::numeric_limits<int64_t>::max()))->subscribe(recorder);
  EXPECT_EQ(recorder->elements(), many);
}

TEST_F(UntilFixture, TakeUntilCompletesAtOthersFirstElement) {
  (source | takeUntil(other))->subscribe(recorder);
  source->onNext(1);
  other->onNext("stop");
  source->onNext(2);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "completed"}));
  EXPECT_EQ(source->observerCount(), 0);
  EXPECT_EQ(other->observerCount(), 0);
}

TEST_F(UntilFixture, TakeUntilOtherCompletingLetsTheSourceRunOn) {
  auto d = (source | takeUntil(other))->subscribe(recorder);
  other->onCompleted();
  EXPECT_EQ(other->observerCount(), 0);
  source->onNext(1);
  source->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "completed"}));
}

TEST_F(UntilFixture, TakeUntilOtherFailingFailsTheOutput) {
  (source | takeUntil(other))->subscribe(recorder);
  other->onError(makeError("other"));
  EXPECT_EQ(recorder->descriptions(), (Log{"error(other)"}));
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(TakeUntil, OtherEmittingOnSubscriptionCompletesBeforeTheSourceEmits) {
  auto recorder = RecordingObserver<int>::create();
  (elements({1, 2}) | takeUntil(just(0)))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
}

TEST(TakeUntilPredicate, InclusiveAndExclusive) {
  auto inclusive = RecordingObserver<int>::create();
  (elements({1, 2, 3, 4}) | takeUntil([](const int& x) { return x == 3; }, TakeBehavior::inclusive))
      ->subscribe(inclusive);
  EXPECT_EQ(inclusive->descriptions(), (Log{"next(1)", "next(2)", "next(3)", "completed"}));

  auto exclusive = RecordingObserver<int>::create();
  (elements({1, 2, 3, 4}) | takeUntil(TakeBehavior::exclusive, [](const int& x) {
     return x == 3;
   }))->subscribe(exclusive);
  EXPECT_EQ(exclusive->descriptions(), (Log{"next(1)", "next(2)", "completed"}));
}

TEST(TakeWhile, StopsAtTheFirstElementThatFailsTheCondition) {
  auto exclusive = RecordingObserver<int>::create();
  (elements({1, 2, 3, 1}) | takeWhile([](const int& x) { return x < 3; }))->subscribe(exclusive);
  EXPECT_EQ(exclusive->descriptions(), (Log{"next(1)", "next(2)", "completed"}));

  auto inclusive = RecordingObserver<int>::create();
  (elements({1, 2, 3, 1}) | takeWhile([](const int& x) { return x < 3; }, TakeBehavior::inclusive))
      ->subscribe(inclusive);
  EXPECT_EQ(inclusive->descriptions(), (Log{"next(1)", "next(2)", "next(3)", "completed"}));

  auto failing = RecordingObserver<int>::create();
  (elements({1}) | takeWhile([](const int&) -> bool {
     throw TestError("predicate");
   }))->subscribe(failing);
  EXPECT_EQ(failing->descriptions(), (Log{"error(predicate)"}));
}

}  // namespace
}  // namespace rv
