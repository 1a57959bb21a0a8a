#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "RvStreams/Create.h"
#include "RvStreams/Just.h"
#include "RvStreams/Zip.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::completedAt;
using test::elements;
using test::errorAt;
using test::makeError;
using test::nextAt;
using test::Recorded;
using test::RecordingObserver;
using test::Subscription;
using test::TestError;
using test::TestScheduler;
using test::TestSource;
using Log = std::vector<std::string>;
using Pair = std::tuple<int, int>;
using Records = std::vector<Recorded<int>>;
using Rows = std::vector<std::vector<int>>;
using Subscriptions = std::vector<Subscription>;

int add(const int& x, const int& y) { return x + y; }

TEST(Zip, PairsByPositionAndCompletesOnlyWhenEverySourceHas) {
  auto scheduler = TestScheduler::create();
  auto one = scheduler->createHotObservable<int>(
      {nextAt(210, 1), nextAt(220, 2), nextAt(230, 3), completedAt<int>(240)});
  auto two = scheduler->createHotObservable<int>(
      {nextAt(250, 10), nextAt(260, 20), completedAt<int>(300)});
  auto recorder = scheduler->start([&] { return zip(one, two, add); });
  EXPECT_EQ(recorder->recorded(),
            (Records{nextAt(250, 11), nextAt(260, 22), completedAt<int>(300)}));
  EXPECT_EQ(one->subscriptions(), (Subscriptions{{200, 240}}));
  EXPECT_EQ(two->subscriptions(), (Subscriptions{{200, 300}}));
}

TEST(Zip, SecondCompletingFirstStillWaitsForTheFirst) {
  auto scheduler = TestScheduler::create();
  auto one = scheduler->createHotObservable<int>(
      {nextAt(210, 1), nextAt(220, 2), nextAt(230, 3), completedAt<int>(280)});
  auto two = scheduler->createHotObservable<int>(
      {nextAt(215, 10), nextAt(225, 20), completedAt<int>(235)});
  auto recorder = scheduler->start([&] { return zip(one, two, add); });
  EXPECT_EQ(recorder->recorded(),
            (Records{nextAt(215, 11), nextAt(225, 22), completedAt<int>(280)}));
}

TEST(Zip, EmptySourceBesideAnActiveOneEmitsNothingUntilBothComplete) {
  auto other = TestSource<int>::create();
  auto recorder = RecordingObserver<Pair>::create();
  auto d = zip(empty<int>(), other)->subscribe(recorder);
  other->onNext(1);
  other->onNext(2);
  EXPECT_TRUE(recorder->events().empty());
  EXPECT_EQ(other->observerCount(), 1);
  other->onCompleted();
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
  d->dispose();
}

TEST(Zip, ErrorWhileElementsAreQueuedEndsTheOutputAtOnce) {
  auto one = TestSource<int>::create();
  auto two = TestSource<int>::create();
  auto recorder = RecordingObserver<Pair>::create();
  auto d = zip(one, two)->subscribe(recorder);
  one->onNext(1);
  one->onNext(2);
  one->onNext(3);
  two->onError(makeError("two"));
  EXPECT_EQ(recorder->descriptions(), (Log{"error(two)"}));
  EXPECT_EQ(one->observerCount(), 0);
  EXPECT_EQ(two->observerCount(), 0);
  d->dispose();
}

TEST(Zip, SelectorFailingOnTheSecondRowEndsTheOutput) {
  auto one = TestSource<int>::create();
  auto two = TestSource<int>::create();
  int calls = 0;
  auto recorder = RecordingObserver<int>::create();
  auto d = zip(one, two, [&](const int& x, const int& y) {
             if (++calls == 2) throw TestError("selector");
             return x + y;
           })->subscribe(recorder);
  one->onNext(1);
  two->onNext(10);
  one->onNext(2);
  two->onNext(20);
  EXPECT_EQ(one->observerCount(), 0);
  EXPECT_EQ(two->observerCount(), 0);
  one->onNext(3);
  two->onNext(30);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(11)", "error(selector)"}));
}

TEST(Zip, SourcesDeliveringOnSubscriptionQueueUntilTheLaterOnesSend) {
  auto recorder = RecordingObserver<int>::create();
  zip(elements({1, 2, 3}), elements({10, 20}), add)->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(11)", "next(22)", "completed"}));
}

TEST(Zip, DisposingEndsEverySubscriptionAndDropsLateEvents) {
  auto one = TestSource<int>::create();
  auto two = TestSource<int>::create();
  auto recorder = RecordingObserver<Pair>::create();
  auto d = zip(one, two)->subscribe(recorder);
  one->onNext(1);
  d->dispose();
  two->onNext(2);
  EXPECT_TRUE(recorder->events().empty());
  EXPECT_EQ(one->disposeCount(), 1);
  EXPECT_EQ(two->disposeCount(), 1);
}

TEST(Zip, ReentrantSendFromTheDownstreamObserverIsHandledNested) {
  auto one = TestSource<int>::create();
  auto two = TestSource<int>::create();
  std::vector<Pair> seen;
  auto d = zip(one, two)->subscribe(makeAnonymousObserver<Pair>([&](const Event<Pair>& e) {
    if (const Pair* p = e.element()) {
      seen.push_back(*p);
      if (std::get<0>(*p) == 1) {
        one->onNext(2);
        two->onNext(20);
      }
    }
  }));
  one->onNext(1);
  two->onNext(10);
  EXPECT_EQ(seen, (std::vector<Pair>{{1, 10}, {2, 20}}));
  d->dispose();
}

TEST(Zip, EightSourcesInTheTupleForm) {
  using Eight = std::tuple<int, std::string, double, bool, char, long, unsigned, float>;
  auto recorder = RecordingObserver<Eight>::create();
  auto ints = elements({1, 2, 3});
  zip(ints, just(std::string("two")), just(3.0), just(true), just('5'), just(6L), just(7u),
      just(8.0f))
      ->subscribe(recorder);
  EXPECT_EQ(recorder->elements(), (std::vector<Eight>{{1, "two", 3.0, true, '5', 6L, 7u, 8.0f}}));
  EXPECT_EQ(recorder->completedCount(), 1);
}

TEST(Zip, EveryArityFromTwoToEight) {
  auto s = [](int v) { return elements({v, 10 * v}); };
  auto sum = [](auto... xs) { return (xs + ...); };
  std::vector<int> sums;
  auto record = [&](const Ref<Observable<int>>& o) {
    auto recorder = RecordingObserver<int>::create();
    o->subscribe(recorder);
    for (int x : recorder->elements()) sums.push_back(x);
  };
  record(zip(s(1), s(2), sum));
  record(zip(s(1), s(2), s(3), sum));
  record(zip(s(1), s(2), s(3), s(4), sum));
  record(zip(s(1), s(2), s(3), s(4), s(5), sum));
  record(zip(s(1), s(2), s(3), s(4), s(5), s(6), sum));
  record(zip(s(1), s(2), s(3), s(4), s(5), s(6), s(7), sum));
  record(zip(s(1), s(2), s(3), s(4), s(5), s(6), s(7), s(8), sum));
  EXPECT_EQ(sums, (std::vector<int>{3, 30, 6, 60, 10, 100, 15, 150, 21, 210, 28, 280, 36, 360}));
}

using ZipDeathTest = test::DeathTestBase;

TEST_F(ZipDeathTest, IndexOutsideTheSourcesStops) {
  using Producer = Zip2<int, int, int, decltype(&add)>;
  auto producer = std::make_shared<Producer>(just(1), just(2), &add);
  auto sink = std::make_shared<detail::ZipSinkN<int, decltype(&add), int, int>>(
      producer, RecordingObserver<int>::create(), std::make_shared<BooleanDisposable>());
  EXPECT_FALSE(sink->hasElements(1));
  EXPECT_DEATH(sink->hasElements(2), "Fatal error: Unhandled case \\(Function\\)");
}

TEST(ZipCollection, EmptyCollectionCompletesAtOnceAndEndsItsSubscription) {
  auto recorder = RecordingObserver<std::vector<int>>::create();
  auto d = zip(std::vector<Ref<Observable<int>>>{})->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
  EXPECT_TRUE(std::dynamic_pointer_cast<Cancelable>(d)->isDisposed());
}

TEST(ZipCollection, EarlyElementsWaitForTheirRow) {
  auto a = TestSource<int>::create();
  auto b = TestSource<int>::create();
  auto recorder = RecordingObserver<std::vector<int>>::create();
  auto d = zip(std::vector{a, b})->subscribe(recorder);
  a->onNext(1);
  a->onNext(2);
  a->onNext(3);
  EXPECT_TRUE(recorder->events().empty());
  b->onNext(10);
  b->onNext(20);
  EXPECT_EQ(recorder->elements(), (Rows{{1, 10}, {2, 20}}));
  EXPECT_EQ(recorder->completedCount(), 0);
  d->dispose();
}

TEST(ZipCollection, CompletesAtAnElementNoRowCanTakeOnceTheOthersAreDone) {
  auto b = TestSource<int>::create();
  auto recorder = RecordingObserver<std::vector<int>>::create();
  auto d = zip(std::vector<Ref<Observable<int>>>{elements({1, 2}), b})->subscribe(recorder);
  b->onNext(10);
  b->onNext(20);
  EXPECT_EQ(recorder->completedCount(), 0);
  b->onNext(30);
  EXPECT_EQ(recorder->elements(), (Rows{{1, 10}, {2, 20}}));
  EXPECT_EQ(recorder->completedCount(), 1);
  EXPECT_EQ(b->observerCount(), 0);
  d->dispose();
}

TEST(ZipCollection, EmptySourceWaitsUntilAllButOneHaveCompleted) {
  auto b = TestSource<int>::create();
  auto c = TestSource<int>::create();
  auto recorder = RecordingObserver<std::vector<int>>::create();
  auto d = zip(std::vector<Ref<Observable<int>>>{empty<int>(), b, c})->subscribe(recorder);
  b->onNext(1);
  c->onNext(2);
  EXPECT_TRUE(recorder->events().empty());
  b->onCompleted();
  EXPECT_TRUE(recorder->events().empty());
  c->onNext(3);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
  d->dispose();
}

TEST(ZipCollection, SelectorFailingOnTheSecondRowEndsTheOutput) {
  auto a = TestSource<int>::create();
  auto b = TestSource<int>::create();
  int calls = 0;
  auto recorder = RecordingObserver<int>::create();
  auto d = zip(std::vector{a, b}, [&](const std::vector<int>& row) {
             if (++calls == 2) throw TestError("selector");
             return row[0] + row[1];
           })->subscribe(recorder);
  a->onNext(1);
  a->onNext(2);
  b->onNext(10);
  b->onNext(20);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(11)", "error(selector)"}));
  EXPECT_EQ(a->observerCount(), 0);
  d->dispose();
}

// Two sources sending from two threads: the downstream observer is never
// entered concurrently and every output pairs elements of equal position.
TEST(ZipStress, SourcesOnTwoThreadsPairEqualPositions) {
  constexpr int kCount = 500;
  for (int round = 0; round < 60; ++round) {
    auto a = TestSource<int>::create();
    auto b = TestSource<int>::create();
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<Pair> rows;
    int completions = 0;
    auto d = zip(a, b)->subscribe(makeAnonymousObserver<Pair>([&](const Event<Pair>& e) {
      if (inside.fetch_add(1) != 0) overlapped = true;
      if (const Pair* p = e.element()) rows.push_back(*p);
      if (e.isCompleted()) ++completions;
      inside.fetch_sub(1);
    }));
    std::barrier start(2);
    auto send = [&](const Ref<TestSource<int>>& source, int base) {
      start.arrive_and_wait();
      for (int i = 0; i < kCount; ++i) source->onNext(base + i);
      source->onCompleted();
    };
    std::thread ta(send, a, 0);
    std::thread tb(send, b, 1000000);
    ta.join();
    tb.join();
    EXPECT_FALSE(overlapped.load());
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
      EXPECT_EQ(rows[static_cast<std::size_t>(i)], Pair(i, 1000000 + i));
    }
    EXPECT_EQ(completions, 1);
    d->dispose();
  }
}

}  // namespace
}  // namespace rv
