#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "RvStreams/DistinctUntilChanged.h"
#include "RvStreams/ElementAt.h"
#include "RvStreams/Just.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::elements;
using test::makeError;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;

TEST(ElementAt, IndexZeroTakesTheFirstAndUnsubscribesAtOnce) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  (source | elementAt(0))->subscribe(recorder);
  source->onNext(7);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(7)", "completed"}));
  EXPECT_EQ(source->observerCount(), 0);
  source->onNext(8);
  EXPECT_EQ(recorder->events().size(), 2u);
}

TEST(ElementAt, DropsElementsBeforeTheIndex) {
  auto recorder = RecordingObserver<int>::create();
  (elements({1, 2, 3, 4}) | elementAt(2))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(3)", "completed"}));
}

TEST(ElementAt, SourceEndingTooSoonFailsWithArgumentOutOfRange) {
  auto recorder = RecordingObserver<int>::create();
  (elements({1, 2}) | elementAt(2))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"error(Argument out of range.)"}));

  auto failing = RecordingObserver<int>::create();
  (error<int>(makeError("source")) | elementAt(0))->subscribe(failing);
  EXPECT_EQ(failing->descriptions(), (Log{"error(source)"}));
}

class ElementAtDeathTest : public test::DeathTestBase {};

TEST_F(ElementAtDeathTest, NegativeIndexStopsWhenTheOperatorIsMade) {
  EXPECT_DEATH(elementAt(-1), "index can't be negative");
}

TEST(First, FirstElementAsPresentOptionalOrEmptyOptional) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<std::optional<int>>::create();
  auto single = source | first();
  static_assert(std::is_same_v<decltype(single), Single<std::optional<int>>>);
  single.asObservable()->subscribe(recorder);
  source->onNext(4);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(Optional(4))", "completed"}));
  EXPECT_EQ(source->observerCount(), 0);

  auto empty = RecordingObserver<std::optional<int>>::create();
  (elements({}) | first()).asObservable()->subscribe(empty);
  EXPECT_EQ(empty->descriptions(), (Log{"next(nil)", "completed"}));

  auto failing = RecordingObserver<std::optional<int>>::create();
  (error<int>(makeError("source")) | first()).asObservable()->subscribe(failing);
  EXPECT_EQ(failing->descriptions(), (Log{"error(source)"}));
}

TEST(SingleElement, SecondElementFailsAfterTheFirstWasForwarded) {
  auto recorder = RecordingObserver<int>::create();
  (elements({1, 2}) | single())->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(),
            (Log{"next(1)", "error(Sequence contains more than one element.)"}));
}

TEST(SingleElement, NoElementOrNoMatchFailsWithNoElements) {
  auto empty = RecordingObserver<int>::create();
  (elements({}) | single())->subscribe(empty);
  EXPECT_EQ(empty->descriptions(), (Log{"error(Sequence doesn't contain any elements.)"}));

  auto noMatch = RecordingObserver<int>::create();
  (elements({1, 2, 3}) | single([](const int& x) { return x > 5; }))->subscribe(noMatch);
  EXPECT_EQ(noMatch->descriptions(), (Log{"error(Sequence doesn't contain any elements.)"}));
}

TEST(SingleElement, PredicateSelectsTheOneElement) {
  auto recorder = RecordingObserver<int>::create();
  (elements({1, 2}) | single([](const int& x) { return x > 1; }))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(2)", "completed"}));

  auto failing = RecordingObserver<int>::create();
  (elements({1, 2}) | single([](const int&) -> bool {
     throw TestError("predicate");
   }))->subscribe(failing);
  EXPECT_EQ(failing->descriptions(), (Log{"error(predicate)"}));
}

TEST(DistinctUntilChanged, CollapsesRunsOfEqualElements) {
  auto recorder = RecordingObserver<int>::create();
  (elements({1, 1, 2, 2, 1}) | distinctUntilChanged())->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "next(1)", "completed"}));
}

TEST(DistinctUntilChanged, ComparerFirstCalledOnTheSecondElementWithTheStoredKeyFirst) {
  std::vector<std::pair<int, int>> calls;
  auto recorder = RecordingObserver<int>::create();
  (elements({5, 6, 7}) | distinctUntilChanged([&](const int& stored, const int& next) {
     calls.emplace_back(stored, next);
     return true;
   }))->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(5)", "completed"}));
  // Compared against the last element passed on, not the last received.
  EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{5, 6}, {5, 7}}));
}

TEST(DistinctUntilChanged, KeySelectorAndKeyComparer) {
  auto byLength = RecordingObserver<std::string>::create();
  auto words = TestSource<std::string>::create();
  (words | distinctUntilChanged([](const std::string& s) {
     return s.size();
   }))->subscribe(byLength);
  for (const char* w : {"ab", "cd", "efg", "h"}) words->onNext(w);
  words->onCompleted();
  EXPECT_EQ(byLength->descriptions(), (Log{"next(ab)", "next(efg)", "next(h)", "completed"}));

  auto byParity = RecordingObserver<int>::create();
  (elements({1, 3, 4, 6, 7}) |
   distinctUntilChanged([](const int& x) { return x; },
                        [](const int& a, const int& b) { return a % 2 == b % 2; }))
      ->subscribe(byParity);
  EXPECT_EQ(byParity->descriptions(), (Log{"next(1)", "next(4)", "next(7)", "completed"}));
}

struct Point {
  int x;
  int y;
  friend std::ostream& operator<<(std::ostream& out, const Point& p) {
    return out << p.x << "," << p.y;
  }
};

TEST(DistinctUntilChanged, MemberFormComparesOnlyThatMember) {
  auto source = TestSource<Point>::create();
  auto recorder = RecordingObserver<Point>::create();
  auto d = (source | distinctUntilChanged(&Point::x))->subscribe(recorder);
  source->onNext({1, 1});
  source->onNext({1, 2});
  source->onNext({2, 2});
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1,1)", "next(2,2)"}));
  d->dispose();
}

TEST(DistinctUntilChanged, FailingSelectorEndsAfterTheFirstTwo) {
  auto source = TestSource<int>::create();
  auto recorder = RecordingObserver<int>::create();
  int calls = 0;
  (source | distinctUntilChanged([&](const int& x) {
     if (++calls == 3) throw TestError("selector");
     return x;
   }))->subscribe(recorder);
  for (int x : {1, 2, 3, 4}) source->onNext(x);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(1)", "next(2)", "error(selector)"}));
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(DistinctUntilChanged, EachSubscriptionKeepsItsOwnKey) {
  auto distinct = elements({3, 3}) | distinctUntilChanged();
  auto a = RecordingObserver<int>::create();
  auto b = RecordingObserver<int>::create();
  distinct->subscribe(a);
  distinct->subscribe(b);
  EXPECT_EQ(a->descriptions(), (Log{"next(3)", "completed"}));
  EXPECT_EQ(b->descriptions(), (Log{"next(3)", "completed"}));
}

}  // namespace
}  // namespace rv
