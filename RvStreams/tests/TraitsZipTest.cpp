#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "RvStreams/Infallible.h"
#include "RvStreams/PrimitiveSequence.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using test::makeError;
using test::record;
using test::RecordingObserver;
using test::TestError;
using test::TestSource;
using Log = std::vector<std::string>;

// --- zip of Singles and of Maybes ---

TEST(TraitsZip, SinglesZipThroughTheSelector) {
  Single<int> sum =
      rv::zip(Single<int>::just(1), Single<int>::just(2), [](int a, int b) { return a + b; });
  EXPECT_EQ(record(sum)->descriptions(), (Log{"next(3)", "completed"}));
}

TEST(TraitsZip, TupleFormPairsTheElements) {
  Single<std::tuple<int, std::string>> pair =
      rv::zip(Single<int>::just(1), Single<std::string>::just("a"));
  auto elements = record(pair)->elements();
  ASSERT_EQ(elements.size(), 1u);
  EXPECT_EQ(elements[0], std::make_tuple(1, std::string("a")));
}

TEST(TraitsZip, EightSinglesReachTheSelectorInArgumentOrder) {
  auto s = [](int x) { return Single<int>::just(x); };
  Single<std::string> joined = rv::zip(s(1), s(2), s(3), s(4), s(5), s(6), s(7), s(8),
                                       [](int a, int b, int c, int d, int e, int f, int g, int h) {
                                         std::string out;
                                         for (int x : {a, b, c, d, e, f, g, h})
                                           out += std::to_string(x);
                                         return out;
                                       });
  EXPECT_EQ(record(joined)->elements(), (std::vector<std::string>{"12345678"}));
}

TEST(TraitsZip, FailingSecondSingleFailsTheResult) {
  auto first = TestSource<int>::create();
  auto recorder = record(rv::zip(Single<int>(first), Single<int>::error(makeError("second")),
                                 [](int a, int b) { return a + b; }));
  EXPECT_EQ(recorder->descriptions(), (Log{"error(second)"}));
  EXPECT_EQ(first->observerCount(), 0);  // the other subscription is ended

  auto thrown = rv::zip(Single<int>::just(1), Single<int>::just(2),
                        [](int, int) -> int { throw TestError("selector"); });
  EXPECT_EQ(record(thrown)->descriptions(), (Log{"error(selector)"}));
}

TEST(TraitsZip, MaybesWithAnEmptyOneCompleteEmpty) {
  Maybe<int> zipped =
      rv::zip(Maybe<int>::empty(), Maybe<int>::just(2), [](int a, int b) { return a + b; });
  EXPECT_EQ(record(zipped)->descriptions(), (Log{"completed"}));
  Maybe<std::tuple<int, int>> both = rv::zip(Maybe<int>::just(1), Maybe<int>::just(2));
  EXPECT_EQ(record(both)->completedCount(), 1);
  EXPECT_EQ(record(both)->elements(), (std::vector<std::tuple<int, int>>{{1, 2}}));
}

TEST(TraitsZip, MixedTraitsGetTheObservableZip) {
  Ref<Observable<std::tuple<int, int>>> mixed = rv::zip(Single<int>::just(1), Maybe<int>::just(2));
  EXPECT_EQ(record(Single<std::tuple<int, int>>(mixed))->elements().size(), 1u);
}

// --- zip of a collection of Singles ---

TEST(SingleZipCollection, ElementsInCollectionOrder) {
  auto late = TestSource<int>::create();
  std::vector<Single<int>> singles{Single<int>(late), Single<int>::just(2)};
  auto recorder = record(Single<int>::zip(singles));
  late->onNext(1);
  late->onCompleted();
  EXPECT_EQ(recorder->elements(), (std::vector<std::vector<int>>{{1, 2}}));
  EXPECT_EQ(recorder->completedCount(), 1);

  EXPECT_EQ(record(Single<int>::zip(std::vector<Single<int>>{Single<int>::just(5)},
                                    [](const std::vector<int>& xs) { return xs[0] * 2; }))
                ->elements(),
            (std::vector<int>{10}));
  auto failing = record(Single<int>::zip(
      std::vector<Single<int>>{Single<int>::just(1), Single<int>::error(makeError("e"))}));
  EXPECT_EQ(failing->descriptions(), (Log{"error(e)"}));
}

TEST(SingleZipCollection, EmptyCollectionSucceedsWithAnEmptyArray) {
  auto recorder = record(Single<int>::zip(std::vector<Single<int>>{}));
  EXPECT_EQ(recorder->elements(), (std::vector<std::vector<int>>{{}}));
  EXPECT_EQ(recorder->completedCount(), 1);
}

TEST(SingleZipCollection, EmptyCollectionRunsTheSelectorAtEverySubscription) {
  int calls = 0;
  auto zipped =
      Single<int>::zip(std::vector<Single<int>>{}, [&](const std::vector<int>& xs) -> int {
        ++calls;
        if (calls == 1) throw TestError("no elements");
        return static_cast<int>(xs.size()) + 40;
      });
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(record(zipped)->descriptions(), (Log{"error(no elements)"}));
  EXPECT_EQ(record(zipped)->descriptions(), (Log{"next(40)", "completed"}));
  EXPECT_EQ(calls, 2);
}

// --- combineLatest and zip of Infallibles ---

TEST(InfallibleCombining, CombineLatestWaitsForEverySourceThenFollowsEither) {
  auto a = PublishSubject<int>::create();
  auto b = PublishSubject<std::string>::create();
  Infallible<std::tuple<int, std::string>> combined =
      rv::combineLatest(Infallible<int>(a), Infallible<std::string>(b));
  std::vector<std::string> seen;
  auto d = combined.subscribe({.onNext = [&](const std::tuple<int, std::string>& t) {
    seen.push_back(std::to_string(std::get<0>(t)) + std::get<1>(t));
  }});
  a->onNext(1);
  a->onNext(2);
  EXPECT_TRUE(seen.empty());
  b->onNext("x");
  a->onNext(3);
  b->onNext("y");
  EXPECT_EQ(seen, (Log{"2x", "3x", "3y"}));
  d->dispose();
}

TEST(InfallibleCombining, CombineLatestOverACollectionKeepsCollectionOrder) {
  auto a = PublishSubject<int>::create();
  auto b = PublishSubject<int>::create();
  auto c = PublishSubject<int>::create();
  std::vector<Infallible<int>> sources{Infallible<int>(a), Infallible<int>(b), Infallible<int>(c)};
  auto recorder = record(Infallible<int>::combineLatest(sources));
  c->onNext(3);
  a->onNext(1);
  b->onNext(2);
  c->onNext(4);
  EXPECT_EQ(recorder->elements(), (std::vector<std::vector<int>>{{1, 2, 3}, {1, 2, 4}}));

  auto summed = record(Infallible<int>::combineLatest(
      sources, [](const std::vector<int>& xs) { return xs[0] + xs[1] + xs[2]; }));
  a->onNext(10);
  b->onNext(20);
  c->onNext(30);
  EXPECT_EQ(summed->elements(), (std::vector<int>{60}));
  for (const auto& subject : {a, b, c}) subject->onCompleted();
  EXPECT_EQ(summed->completedCount(), 1);
}

TEST(InfallibleCombining, CombineLatestOfEightHandsTheSelectorSourceOrder) {
  auto s = [](int x) { return Infallible<int>::just(x); };
  Infallible<int> combined = rv::combineLatest(
      s(1), s(2), s(3), s(4), s(5), s(6), s(7), s(8),
      [](int a, int b, int c, int d, int e, int f, int g, int h) {
        return ((((((a * 10 + b) * 10 + c) * 10 + d) * 10 + e) * 10 + f) * 10 + g) * 10 + h;
      });
  EXPECT_EQ(record(combined)->descriptions(), (Log{"next(12345678)", "completed"}));
}

TEST(InfallibleCombining, ZipPairsTheNthElements) {
  auto a = PublishSubject<int>::create();
  auto b = PublishSubject<int>::create();
  Infallible<int> zipped =
      rv::zip(Infallible<int>(a), Infallible<int>(b), [](int x, int y) { return x * 10 + y; });
  auto recorder = record(zipped);
  a->onNext(1);
  a->onNext(2);
  b->onNext(7);
  b->onNext(8);
  b->onNext(9);
  a->onNext(3);
  EXPECT_EQ(recorder->elements(), (std::vector<int>{17, 28, 39}));
  a->onCompleted();
  b->onCompleted();
  EXPECT_EQ(recorder->completedCount(), 1);
}

TEST(InfallibleCombining, EverySubscriptionSubscribesEverySource) {
  auto a = TestSource<int>::create();
  auto b = TestSource<int>::create();
  auto combined =
      rv::combineLatest(Infallible<int>(a), Infallible<int>(b), [](int x, int y) { return x + y; });
  auto zipped = rv::zip(Infallible<int>(a), Infallible<int>(b), [](int x, int y) { return x + y; });
  auto first = record(combined);
  auto second = record(combined);
  auto third = record(zipped);
  EXPECT_EQ(a->subscriptionCount(), 3);
  EXPECT_EQ(b->subscriptionCount(), 3);
  a->onNext(1);
  b->onNext(2);
  EXPECT_EQ(first->elements(), (std::vector<int>{3}));
  EXPECT_EQ(second->elements(), (std::vector<int>{3}));
  EXPECT_EQ(third->elements(), (std::vector<int>{3}));
  a->onCompleted();
  b->onCompleted();
}

}  // namespace
}  // namespace rv
