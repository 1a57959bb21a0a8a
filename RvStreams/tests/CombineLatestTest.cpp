#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "RvStreams/CombineLatest.h"
#include "RvStreams/Create.h"
#include "RvStreams/Just.h"
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
using Subscriptions = std::vector<Subscription>;

// A source that hands its observer out and keeps it after being disposed, so
// a test can send what a careless source would.
class KeptObserver final : public Observable<int> {
 public:
  Ref<Disposable> subscribe(Ref<ObserverType<int>> o) override {
    observer = std::move(o);
    return Disposables::create();
  }
  Ref<ObserverType<int>> observer;
};

std::string joined(const int& a, const int& b) {
  return std::to_string(a) + ":" + std::to_string(b);
}

TEST(CombineLatest, EveryElementAfterTheFirstFullSetCombinesTheLatestOfEach) {
  auto a = TestSource<int>::create();
  auto b = TestSource<int>::create();
  auto recorder = RecordingObserver<Pair>::create();
  auto d = combineLatest(a, b)->subscribe(recorder);
  a->onNext(1);
  EXPECT_TRUE(recorder->events().empty());
  b->onNext(10);
  a->onNext(2);
  b->onNext(20);
  EXPECT_EQ(recorder->elements(), (std::vector<Pair>{{1, 10}, {2, 10}, {2, 20}}));
  d->dispose();
}

TEST(CombineLatest, OnlyTheLastOfEarlyElementsEntersTheFirstCombination) {
  std::vector<std::pair<int, int>> calls;
  auto a = TestSource<int>::create();
  auto b = TestSource<int>::create();
  auto recorder = RecordingObserver<std::string>::create();
  auto d = combineLatest(a, b, [&](const int& x, const int& y) {
             calls.emplace_back(x, y);
             return joined(x, y);
           })->subscribe(recorder);
  a->onNext(1);
  a->onNext(2);
  a->onNext(3);
  EXPECT_TRUE(calls.empty());
  b->onNext(10);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(3:10)"}));
  EXPECT_EQ(calls.size(), 1u);
  d->dispose();
}

TEST(CombineLatest, CompletedSourceKeepsContributingUntilTheLastCompletes) {
  auto scheduler = TestScheduler::create();
  auto a = scheduler->createHotObservable<int>({nextAt(210, 1), completedAt<int>(220)});
  auto b = scheduler->createHotObservable<int>(
      {nextAt(230, 10), nextAt(240, 20), completedAt<int>(250)});
  auto recorder = scheduler->start([&] { return combineLatest(a, b, joined); });
  EXPECT_EQ(recorder->recorded(),
            (std::vector<Recorded<std::string>>{nextAt(230, std::string("1:10")),
                                                nextAt(240, std::string("1:20")),
                                                completedAt<std::string>(250)}));
  EXPECT_EQ(a->subscriptions(), (Subscriptions{{200, 220}}));
  EXPECT_EQ(b->subscriptions(), (Subscriptions{{200, 250}}));
}

TEST(CombineLatest, EmptyCompletionEndsTheOutputAtTheNextElementOfTheOther) {
  auto scheduler = TestScheduler::create();
  auto a = scheduler->createHotObservable<int>({completedAt<int>(210)});
  auto b = scheduler->createHotObservable<int>({nextAt(220, 1), nextAt(230, 2)});
  auto recorder = scheduler->start([&] { return combineLatest(a, b); });
  EXPECT_EQ(recorder->recorded(), (std::vector<Recorded<Pair>>{completedAt<Pair>(220)}));
  EXPECT_EQ(b->subscriptions(), (Subscriptions{{200, 220}}));
}

TEST(CombineLatest, EmptyCompletionThenTheOtherCompletingEndsTheOutputThen) {
  auto scheduler = TestScheduler::create();
  auto a = scheduler->createHotObservable<int>({completedAt<int>(210)});
  auto b = scheduler->createHotObservable<int>({completedAt<int>(260)});
  auto recorder = scheduler->start([&] { return combineLatest(a, b); });
  EXPECT_EQ(recorder->recorded(), (std::vector<Recorded<Pair>>{completedAt<Pair>(260)}));
}

TEST(CombineLatest, ThreeSourcesOneEmptyWaitsUntilTheOthersAllCompleted) {
  auto a = TestSource<int>::create();
  auto b = TestSource<int>::create();
  auto c = TestSource<int>::create();
  auto recorder = RecordingObserver<std::tuple<int, int, int>>::create();
  auto d = combineLatest(a, b, c)->subscribe(recorder);
  a->onCompleted();
  b->onNext(1);
  EXPECT_TRUE(recorder->events().empty());  // c is still live
  c->onNext(2);
  c->onCompleted();
  EXPECT_TRUE(recorder->events().empty());
  b->onNext(3);  // every other source is done now
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
  d->dispose();
}

TEST(CombineLatest, EmptySourceBesideASilentOneNeverEnds) {
  auto b = TestSource<int>::create();
  auto recorder = RecordingObserver<Pair>::create();
  auto d = combineLatest(empty<int>(), b)->subscribe(recorder);
  EXPECT_TRUE(recorder->events().empty());
  EXPECT_EQ(b->observerCount(), 1);
  d->dispose();
  EXPECT_EQ(b->observerCount(), 0);
}

TEST(CombineLatest, SourcesDeliveringOnSubscriptionGiveOneElementThenCompleted) {
  auto recorder = RecordingObserver<Pair>::create();
  combineLatest(just(1), just(2))->subscribe(recorder);
  ASSERT_EQ(recorder->events().size(), 2u);
  EXPECT_EQ(recorder->elements(), (std::vector<Pair>{{1, 2}}));
  EXPECT_EQ(recorder->completedCount(), 1);
}

TEST(CombineLatest, SelectorFailingOnTheThirdCombinationEndsTheOutput) {
  auto a = TestSource<int>::create();
  auto b = TestSource<int>::create();
  int calls = 0;
  auto recorder = RecordingObserver<int>::create();
  auto d = combineLatest(a, b, [&](const int& x, const int& y) {
             if (++calls == 3) throw TestError("selector");
             return x + y;
           })->subscribe(recorder);
  a->onNext(1);
  b->onNext(10);
  a->onNext(2);
  b->onNext(20);
  EXPECT_EQ(a->observerCount(), 0);
  EXPECT_EQ(b->observerCount(), 0);
  a->onNext(3);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(11)", "next(12)", "error(selector)"}));
  EXPECT_EQ(calls, 3);
  d->dispose();
}

TEST(CombineLatest, ErrorOfTheSecondBeforeAnyElementEndsTheOutputAtOnce) {
  auto scheduler = TestScheduler::create();
  auto error = makeError("second");
  auto a = scheduler->createHotObservable<int>({nextAt(230, 1)});
  auto b = scheduler->createHotObservable<int>({errorAt<int>(220, error)});
  auto recorder = scheduler->start([&] { return combineLatest(a, b); });
  EXPECT_EQ(recorder->recorded(), (std::vector<Recorded<Pair>>{errorAt<Pair>(220, error)}));
  EXPECT_EQ(a->subscriptions(), (Subscriptions{{200, 220}}));
  EXPECT_EQ(b->subscriptions(), (Subscriptions{{200, 220}}));
}

TEST(CombineLatest, SecondCompletionOfTheSameSourceCountsOnce) {
  auto a = std::make_shared<KeptObserver>();
  auto b = TestSource<int>::create();
  auto recorder = RecordingObserver<Pair>::create();
  auto d = combineLatest(a, b)->subscribe(recorder);
  a->observer->onNext(1);
  a->observer->onCompleted();
  a->observer->onCompleted();
  EXPECT_TRUE(recorder->events().empty());
  b->onNext(2);
  EXPECT_EQ(recorder->elements(), (std::vector<Pair>{{1, 2}}));
  b->onCompleted();
  EXPECT_EQ(recorder->completedCount(), 1);
  d->dispose();
  a->observer.reset();  // the careless source would keep the sink alive
}

TEST(CombineLatest, DisposingEndsEverySourceSubscription) {
  auto a = TestSource<int>::create();
  auto b = TestSource<int>::create();
  auto c = TestSource<int>::create();
  auto recorder = RecordingObserver<std::tuple<int, int, int>>::create();
  auto d = combineLatest(a, b, c)->subscribe(recorder);
  a->onNext(1);
  d->dispose();
  b->onNext(2);
  c->onNext(3);
  EXPECT_TRUE(recorder->events().empty());
  EXPECT_EQ(a->disposeCount() + b->disposeCount() + c->disposeCount(), 3);
}

// A downstream observer that makes a source send again on the same thread is
// handled at once, nested, with the state the outer step left.
TEST(CombineLatest, ReentrantSendOnTheSameThreadIsHandledNested) {
  auto a = TestSource<int>::create();
  auto b = TestSource<int>::create();
  std::vector<Pair> seen;
  auto d = combineLatest(a, b)->subscribe(makeAnonymousObserver<Pair>([&](const Event<Pair>& e) {
    if (const Pair* p = e.element()) {
      seen.push_back(*p);
      if (std::get<0>(*p) == 1) a->onNext(2);
    }
  }));
  a->onNext(1);
  b->onNext(10);
  EXPECT_EQ(seen, (std::vector<Pair>{{1, 10}, {2, 10}}));
  d->dispose();
}

TEST(CombineLatest, EveryArityFromTwoToEight) {
  auto s = [](int v) { return just(v); };
  std::vector<int> sums;
  auto record = [&](const Ref<Observable<int>>& o) {
    auto recorder = RecordingObserver<int>::create();
    o->subscribe(recorder);
    for (int x : recorder->elements()) sums.push_back(x);
  };
  auto sum = [](auto... xs) { return (xs + ...); };
  record(combineLatest(s(1), s(2), sum));
  record(combineLatest(s(1), s(2), s(3), sum));
  record(combineLatest(s(1), s(2), s(3), s(4), sum));
  record(combineLatest(s(1), s(2), s(3), s(4), s(5), sum));
  record(combineLatest(s(1), s(2), s(3), s(4), s(5), s(6), sum));
  record(combineLatest(s(1), s(2), s(3), s(4), s(5), s(6), s(7), sum));
  record(combineLatest(s(1), s(2), s(3), s(4), s(5), s(6), s(7), s(8), sum));
  EXPECT_EQ(sums, (std::vector<int>{3, 6, 10, 15, 21, 28, 36}));
}

TEST(CombineLatest, EightSourcesOfDifferentTypesInTheTupleForm) {
  using Eight = std::tuple<int, std::string, double, bool, char, long, unsigned, float>;
  auto recorder = RecordingObserver<Eight>::create();
  combineLatest(just(1), just(std::string("two")), just(3.0), just(true), just('5'), just(6L),
                just(7u), just(8.0f))
      ->subscribe(recorder);
  EXPECT_EQ(recorder->elements(), (std::vector<Eight>{{1, "two", 3.0, true, '5', 6L, 7u, 8.0f}}));
  EXPECT_EQ(recorder->completedCount(), 1);
}

TEST(CombineLatest, ProducerBuiltDirectlyUnderItsArityName) {
  auto sum = [](const int& a, const std::string& b) { return a + static_cast<int>(b.size()); };
  Ref<Observable<int>> combined =
      std::make_shared<CombineLatest2<int, std::string, int, decltype(sum)>>(
          just(1), just(std::string("abc")), sum);
  auto recorder = RecordingObserver<int>::create();
  combined->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(4)", "completed"}));

  auto count = [](const std::vector<int>& all) { return static_cast<int>(all.size()); };
  Ref<Observable<int>> collection =
      std::make_shared<CombineLatestCollectionType<int, int, decltype(count)>>(
          std::vector<Ref<Observable<int>>>{just(1), just(2), just(3)}, count);
  auto counted = RecordingObserver<int>::create();
  collection->subscribe(counted);
  EXPECT_EQ(counted->descriptions(), (Log{"next(3)", "completed"}));
}

TEST(CombineLatestCollection, EmptyCollectionEmitsTheSelectorsResultThenCompletes) {
  auto recorder = RecordingObserver<int>::create();
  combineLatest(std::vector<Ref<Observable<int>>>{}, [](const std::vector<int>& all) {
    return static_cast<int>(all.size()) + 7;
  })->subscribe(recorder);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(7)", "completed"}));
}

TEST(CombineLatestCollection, LatestOfEveryInCollectionOrder) {
  auto a = TestSource<int>::create();
  auto b = TestSource<int>::create();
  auto recorder = RecordingObserver<std::vector<int>>::create();
  auto d = combineLatest(std::vector{a, b})->subscribe(recorder);
  a->onNext(1);
  b->onNext(10);
  a->onNext(2);
  EXPECT_EQ(recorder->elements(), (std::vector<std::vector<int>>{{1, 10}, {2, 10}}));
  d->dispose();
}

TEST(CombineLatestCollection, EmptySourceEndsTheOutputAtTheFirstElementOfTheOther) {
  auto b = TestSource<int>::create();
  auto recorder = RecordingObserver<std::vector<int>>::create();
  auto d = combineLatest(std::vector<Ref<Observable<int>>>{empty<int>(), b})->subscribe(recorder);
  EXPECT_TRUE(recorder->events().empty());
  b->onNext(1);
  EXPECT_EQ(recorder->descriptions(), (Log{"completed"}));
  EXPECT_EQ(b->observerCount(), 0);
  d->dispose();
}

TEST(CombineLatestCollection, CompletedSourceKeepsItsElementUntilTheOtherCompletes) {
  auto b = TestSource<int>::create();
  auto recorder = RecordingObserver<std::vector<int>>::create();
  auto d = combineLatest(std::vector<Ref<Observable<int>>>{just(1), b})->subscribe(recorder);
  b->onNext(5);
  b->onNext(6);
  EXPECT_EQ(recorder->completedCount(), 0);
  b->onCompleted();
  EXPECT_EQ(recorder->elements(), (std::vector<std::vector<int>>{{1, 5}, {1, 6}}));
  EXPECT_EQ(recorder->completedCount(), 1);
  d->dispose();
}

TEST(CombineLatestCollection, SelectorFailingOnTheThirdCombinationEndsTheOutput) {
  auto a = TestSource<int>::create();
  auto b = TestSource<int>::create();
  int calls = 0;
  auto recorder = RecordingObserver<int>::create();
  auto d = combineLatest(std::vector{a, b}, [&](const std::vector<int>& all) {
             if (++calls == 3) throw TestError("selector");
             return all[0] + all[1];
           })->subscribe(recorder);
  a->onNext(1);
  b->onNext(10);
  b->onNext(20);
  a->onNext(2);
  a->onNext(3);
  EXPECT_EQ(recorder->descriptions(), (Log{"next(11)", "next(21)", "error(selector)"}));
  EXPECT_EQ(a->observerCount(), 0);
  d->dispose();
}

// Sources sending from several threads: the downstream observer is never
// entered concurrently, and every element after the first full set gives
// exactly one output.
TEST(CombineLatestStress, SourcesOnSeveralThreadsAreSerialised) {
  constexpr int kPerThread = 300;
  for (int round = 0; round < 50; ++round) {
    auto a = TestSource<int>::create();
    auto b = TestSource<int>::create();
    auto c = TestSource<int>::create();
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> outputs{0};
    std::atomic<int> completions{0};
    auto d = combineLatest(a, b, c, [](int x, int y, int z) {
               return x + y + z;
             })->subscribe(makeAnonymousObserver<int>([&](const Event<int>& e) {
      if (inside.fetch_add(1) != 0) overlapped = true;
      if (e.isNext()) ++outputs;
      if (e.isCompleted()) ++completions;
      inside.fetch_sub(1);
    }));
    a->onNext(0);
    b->onNext(0);
    c->onNext(0);
    std::barrier start(3);
    auto send = [&](const Ref<TestSource<int>>& source) {
      start.arrive_and_wait();
      for (int i = 1; i <= kPerThread; ++i) source->onNext(i);
      source->onCompleted();
    };
    std::thread ta(send, a);
    std::thread tb(send, b);
    std::thread tc(send, c);
    ta.join();
    tb.join();
    tc.join();
    EXPECT_FALSE(overlapped.load());
    EXPECT_EQ(outputs.load(), 1 + 3 * kPerThread);
    EXPECT_EQ(completions.load(), 1);
    d->dispose();
  }
}

}  // namespace
}  // namespace rv
