#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "RvCocoa/SharedSequence.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::RecordingObserver;
using test::TestSource;

// The suite's tests are in three files, one per kind of operator.
using SharedSequenceOperatorsTest = ::rv::test::MainQueueTest;

TEST_F(SharedSequenceOperatorsTest, FlatMapFamilyTakesTheStrategyOfTheInnerSequences) {
  auto outer = TestSource<int>::create();
  auto innerA = TestSource<int>::create();
  auto innerB = TestSource<int>::create();
  Signal<int> signal(outer);
  auto pick = [&](int x) { return Driver<int>(x == 0 ? Ref<Observable<int>>(innerA) : innerB); };
  auto latest = signal.flatMapLatest(pick);
  auto first = signal.flatMapFirst(pick);
  auto all = signal.flatMap(pick);
  static_assert(std::is_same_v<decltype(latest), Driver<int>>);
  static_assert(std::is_same_v<decltype(first), Driver<int>>);
  static_assert(std::is_same_v<decltype(all), Driver<int>>);

  auto rLatest = RecordingObserver<int>::create();
  auto rFirst = RecordingObserver<int>::create();
  auto rAll = RecordingObserver<int>::create();
  auto a = latest.asObservable()->subscribe(rLatest);
  auto b = first.asObservable()->subscribe(rFirst);
  auto c = all.asObservable()->subscribe(rAll);
  outer->onNext(0);
  innerA->onNext(1);
  outer->onNext(1);
  innerA->onNext(2);
  innerB->onNext(3);

  EXPECT_EQ(rLatest->elements(), (std::vector<int>{1, 3})) << "the first inner one was left";
  EXPECT_EQ(rFirst->elements(), (std::vector<int>{1, 2})) << "the second element was ignored";
  EXPECT_EQ(rAll->elements(), (std::vector<int>{1, 2, 3}));
  auto late = RecordingObserver<int>::create();
  auto d = latest.asObservable()->subscribe(late);
  EXPECT_EQ(late->elements(), std::vector<int>{3}) << "the result is a Driver: it replays";
  a->dispose();
  b->dispose();
  c->dispose();
  d->dispose();
}

TEST_F(SharedSequenceOperatorsTest, SwitchLatestAndMergeOverSharedSequencesOfSharedSequences) {
  auto outer = TestSource<Signal<int>>::create();
  auto innerA = PublishSubject<int>::create();
  auto innerB = TestSource<int>::create();
  Driver<Signal<int>> nested(outer);
  auto switched = nested.switchLatest();
  auto merged = nested.merge();
  auto limited = nested.merge(1);
  static_assert(std::is_same_v<decltype(switched), Signal<int>>);
  static_assert(std::is_same_v<decltype(merged), Signal<int>>);

  auto rSwitched = RecordingObserver<int>::create();
  auto rMerged = RecordingObserver<int>::create();
  auto rLimited = RecordingObserver<int>::create();
  auto a = switched.asObservable()->subscribe(rSwitched);
  auto b = merged.asObservable()->subscribe(rMerged);
  auto c = limited.asObservable()->subscribe(rLimited);
  outer->onNext(Signal<int>(innerA));
  innerA->onNext(1);
  outer->onNext(Signal<int>(innerB));
  innerA->onNext(2);
  innerB->onNext(3);
  innerA->onCompleted();  // lets the limited merge take the queued one
  innerB->onNext(4);

  EXPECT_EQ(rSwitched->elements(), (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(rMerged->elements(), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(rLimited->elements(), (std::vector<int>{1, 2, 4}));
  a->dispose();
  b->dispose();
  c->dispose();
}

TEST_F(SharedSequenceOperatorsTest, StaticMergeAndConcatOverSharedSequences) {
  auto x = PublishSubject<int>::create();
  auto y = TestSource<int>::create();
  Signal<int> sx(x), sy(y);
  auto merged = Signal<int>::merge(sx, sy);
  auto mergedVector = Signal<int>::merge(std::vector<Signal<int>>{sx, sy});
  auto concatenated = Signal<int>::concat(std::vector<Signal<int>>{sx, sy});
  auto r1 = RecordingObserver<int>::create();
  auto r2 = RecordingObserver<int>::create();
  auto r3 = RecordingObserver<int>::create();
  auto a = merged.asObservable()->subscribe(r1);
  auto b = mergedVector.asObservable()->subscribe(r2);
  auto c = concatenated.asObservable()->subscribe(r3);
  y->onNext(1);
  x->onNext(2);
  x->onCompleted();
  y->onNext(3);
  EXPECT_EQ(r1->elements(), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(r2->elements(), r1->elements());
  EXPECT_EQ(r3->elements(), (std::vector<int>{2, 3})) << "y is followed only after x completed";
  a->dispose();
  b->dispose();
  c->dispose();
}

}  // namespace
}  // namespace rv
