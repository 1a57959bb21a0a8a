#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "RvCocoa/SharedSequence.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::RecordingObserver;
using test::TestScheduler;
using test::TestSource;
using DTI = DispatchTimeInterval;

class SharedSequenceOperatorsTest : public ::rv::test::MainQueueTest {};

TEST_F(SharedSequenceOperatorsTest, MapIsSharedOneSubscriptionAndOneSelectorCallPerElement) {
  auto source = TestSource<int>::create();
  int calls = 0;
  Driver<std::string> mapped = Driver<int>(source).map([&](int x) {
    ++calls;
    return std::to_string(x * 10);
  });
  auto first = RecordingObserver<std::string>::create();
  auto second = RecordingObserver<std::string>::create();
  auto a = mapped.asObservable()->subscribe(first);
  auto b = mapped.asObservable()->subscribe(second);
  source->onNext(1);
  source->onNext(2);
  auto late = RecordingObserver<std::string>::create();
  auto c = mapped.asObservable()->subscribe(late);

  EXPECT_EQ(source->subscriptionCount(), 1);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(first->elements(), (std::vector<std::string>{"10", "20"}));
  EXPECT_EQ(second->elements(), first->elements());
  EXPECT_EQ(late->elements(), std::vector<std::string>{"20"}) << "a Driver replays the latest";
  a->dispose();
  b->dispose();
  c->dispose();
}

// Every element-wise operator keeps the strategy and passes the events of
// the observable operator of the same meaning.
TEST_F(SharedSequenceOperatorsTest, ElementWiseOperatorsKeepTheStrategy) {
  auto source = TestSource<int>::create();
  Signal<int> signal(source);
  auto compact = signal.compactMap(
      [](int x) { return x % 2 == 0 ? std::optional<int>(x / 2) : std::nullopt; });
  auto filtered = signal.filter([](int x) { return x > 2; });
  auto distinct = signal.distinctUntilChanged();
  auto distinctByKey = signal.distinctUntilChanged([](int x) { return x / 10; });
  auto distinctCompared = signal.distinctUntilChanged([](int a, int b) { return a % 2 == b % 2; });
  auto distinctBoth =
      signal.distinctUntilChanged([](int x) { return x % 3; }, [](int a, int b) { return a == b; });
  auto scanned = signal.scan(std::string(),
                             [](const std::string& acc, int x) { return acc + std::to_string(x); });
  auto skipped = signal.skip(2);
  static_assert(std::is_same_v<decltype(compact), Signal<int>>);
  static_assert(std::is_same_v<decltype(scanned), Signal<std::string>>);

  auto rCompact = RecordingObserver<int>::create();
  auto rFiltered = RecordingObserver<int>::create();
  auto rDistinct = RecordingObserver<int>::create();
  auto rKey = RecordingObserver<int>::create();
  auto rCompared = RecordingObserver<int>::create();
  auto rBoth = RecordingObserver<int>::create();
  auto rScanned = RecordingObserver<std::string>::create();
  auto rSkipped = RecordingObserver<int>::create();
  std::vector<Ref<Disposable>> keep{compact.asObservable()->subscribe(rCompact),
                                    filtered.asObservable()->subscribe(rFiltered),
                                    distinct.asObservable()->subscribe(rDistinct),
                                    distinctByKey.asObservable()->subscribe(rKey),
                                    distinctCompared.asObservable()->subscribe(rCompared),
                                    distinctBoth.asObservable()->subscribe(rBoth),
                                    scanned.asObservable()->subscribe(rScanned),
                                    skipped.asObservable()->subscribe(rSkipped)};
  for (int x : {1, 1, 4, 12, 3, 22}) source->onNext(x);

  EXPECT_EQ(rCompact->elements(), (std::vector<int>{2, 6, 11}));
  EXPECT_EQ(rFiltered->elements(), (std::vector<int>{4, 12, 3, 22}));
  EXPECT_EQ(rDistinct->elements(), (std::vector<int>{1, 4, 12, 3, 22}));
  EXPECT_EQ(rKey->elements(), (std::vector<int>{1, 12, 3, 22}));
  EXPECT_EQ(rCompared->elements(), (std::vector<int>{1, 4, 3, 22}));
  EXPECT_EQ(rBoth->elements(), (std::vector<int>{1, 12, 22}));
  EXPECT_EQ(rScanned->elements(),
            (std::vector<std::string>{"1", "11", "114", "11412", "114123", "11412322"}));
  EXPECT_EQ(rSkipped->elements(), (std::vector<int>{4, 12, 3, 22}));
  EXPECT_EQ(source->subscriptionCount(), 1) << "the intermediate Signal shares one subscription";
  for (const auto& d : keep) d->dispose();
}

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

// The timers of throttle, debounce and delay run on the scheduler read when
// the operator was applied: here the mocked virtual-time one.
TEST_F(SharedSequenceOperatorsTest, TimeOperatorsRunOnTheMockedScheduler) {
  auto scheduler = TestScheduler::create();
  // No completion: the hot test source would keep its observers after it.
  auto source = scheduler->createHotObservable<int>(
      {{210, test::next(1)}, {220, test::next(2)}, {300, test::next(3)}});
  std::optional<Driver<int>> throttled, debounced, delayed;
  SharingScheduler::mock(scheduler, [&] {
    Driver<int> driver(source);
    throttled = driver.throttle(DTI::seconds(50), false);
    debounced = driver.debounce(DTI::seconds(50));
    delayed = driver.delay(DTI::seconds(5));
  });
  auto rThrottled = scheduler->createObserver<int>();
  auto rDebounced = scheduler->createObserver<int>();
  auto rDelayed = scheduler->createObserver<int>();
  std::vector<Ref<Disposable>> keep;
  scheduler->scheduleAt(200, [&] {
    keep.push_back(throttled->asObservable()->subscribe(rThrottled));
    keep.push_back(debounced->asObservable()->subscribe(rDebounced));
    keep.push_back(delayed->asObservable()->subscribe(rDelayed));
  });
  scheduler->start();

  using R = std::vector<test::Recorded<int>>;
  EXPECT_EQ(rThrottled->recorded(), (R{{210, test::next(1)}, {300, test::next(3)}}));
  EXPECT_EQ(rDebounced->recorded(), (R{{270, test::next(2)}, {350, test::next(3)}}));
  EXPECT_EQ(rDelayed->recorded(),
            (R{{215, test::next(1)}, {225, test::next(2)}, {305, test::next(3)}}));
  for (const auto& d : keep) d->dispose();
}

TEST_F(SharedSequenceOperatorsTest, StartWithComesFirstOnEveryConnection) {
  auto source = TestSource<int>::create();
  Driver<int> started = Driver<int>(source).startWith(0);
  auto first = RecordingObserver<int>::create();
  auto a = started.asObservable()->subscribe(first);
  source->onNext(1);
  a->dispose();
  auto second = RecordingObserver<int>::create();
  auto b = started.asObservable()->subscribe(second);
  source->onNext(2);
  EXPECT_EQ(first->elements(), (std::vector<int>{0, 1}));
  EXPECT_EQ(second->elements(), (std::vector<int>{0, 2})) << "a new connection starts afresh";
  b->dispose();
}

TEST_F(SharedSequenceOperatorsTest, WithUnretainedCompletesOnceTheObjectIsReleased) {
  auto source = TestSource<int>::create();
  auto object = std::make_shared<std::string>("owner");
  Driver<std::string> described = Driver<int>(source).withUnretained(
      object, [](const Ref<std::string>& o, int x) { return *o + std::to_string(x); });
  Signal<std::tuple<Ref<std::string>, int>> pairs = Signal<int>(source).withUnretained(object);
  auto rDescribed = RecordingObserver<std::string>::create();
  auto a = described.asObservable()->subscribe(rDescribed);
  std::vector<int> pairElements;
  bool pairsCompleted = false;
  const std::string* raw = object.get();
  auto b = rv::subscribe(pairs.asObservable(),
                         SubscribeHandlers<std::tuple<Ref<std::string>, int>>{
                             .onNext =
                                 [&](const std::tuple<Ref<std::string>, int>& pair) {
                                   EXPECT_EQ(std::get<0>(pair).get(), raw);
                                   pairElements.push_back(std::get<1>(pair));
                                 },
                             .onCompleted = [&] { pairsCompleted = true; }});
  source->onNext(1);
  EXPECT_EQ(rDescribed->elements(), std::vector<std::string>{"owner1"});
  EXPECT_EQ(pairElements, std::vector<int>{1});

  object.reset();
  source->onNext(2);
  EXPECT_EQ(rDescribed->descriptions(), (std::vector<std::string>{"next(owner1)", "completed"}));
  EXPECT_EQ(pairElements, std::vector<int>{1});
  EXPECT_TRUE(pairsCompleted);
  a->dispose();
  b->dispose();
}

TEST_F(SharedSequenceOperatorsTest, WithLatestFromAndDoOn) {
  auto source = TestSource<int>::create();
  auto other = TestSource<std::string>::create();
  Driver<int> driver(source);
  Driver<std::string> second(other);
  auto combined = driver.withLatestFrom(
      second, [](int x, const std::string& s) { return s + std::to_string(x); });
  auto latest = driver.withLatestFrom(second);
  static_assert(std::is_same_v<decltype(latest), Driver<std::string>>);
  std::vector<std::string> log;
  auto traced =
      driver.doOn({.onNext = [&](const int& x) { log.push_back("on" + std::to_string(x)); },
                   .afterNext = [&](const int&) { log.push_back("after"); },
                   .onCompleted = [&] { log.push_back("completed"); },
                   .onSubscribe = [&] { log.push_back("subscribe"); },
                   .onSubscribed = [&] { log.push_back("subscribed"); },
                   .onDispose = [&] { log.push_back("dispose"); }});
  auto rCombined = RecordingObserver<std::string>::create();
  auto rLatest = RecordingObserver<std::string>::create();
  auto a = combined.asObservable()->subscribe(rCombined);
  auto b = latest.asObservable()->subscribe(rLatest);
  auto c = traced.asObservable()->subscribe(RecordingObserver<int>::create());
  source->onNext(1);
  other->onNext("a");
  source->onNext(2);
  a->dispose();
  b->dispose();
  c->dispose();
  EXPECT_EQ(rCombined->elements(), std::vector<std::string>{"a2"});
  EXPECT_EQ(rLatest->elements(), std::vector<std::string>{"a"});
  EXPECT_EQ(log, (std::vector<std::string>{"subscribe", "subscribed", "on1", "after", "on2",
                                           "after", "dispose"}));
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

TEST_F(SharedSequenceOperatorsTest, CombineLatestIsSharedAndReplaysTheLatestCombination) {
  auto x = TestSource<int>::create();
  auto y = TestSource<std::string>::create();
  int calls = 0;
  Driver<std::string> combined =
      combineLatest(Driver<int>(x), Driver<std::string>(y), [&](int a, const std::string& b) {
        ++calls;
        return b + std::to_string(a);
      });
  auto first = RecordingObserver<std::string>::create();
  auto second = RecordingObserver<std::string>::create();
  auto a = combined.asObservable()->subscribe(first);
  auto b = combined.asObservable()->subscribe(second);
  x->onNext(1);
  y->onNext("a");
  x->onNext(2);
  auto late = RecordingObserver<std::string>::create();
  auto c = combined.asObservable()->subscribe(late);

  EXPECT_EQ(x->subscriptionCount(), 1);
  EXPECT_EQ(y->subscriptionCount(), 1);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(first->elements(), (std::vector<std::string>{"a1", "a2"}));
  EXPECT_EQ(second->elements(), first->elements());
  EXPECT_EQ(late->elements(), std::vector<std::string>{"a2"});
  a->dispose();
  b->dispose();
  c->dispose();
}

TEST_F(SharedSequenceOperatorsTest, TupleFormsKeepArgumentOrderAndSignalSourcesGiveASignal) {
  auto x = TestSource<int>::create();
  auto y = TestSource<std::string>::create();
  auto z = TestSource<double>::create();
  auto latest = combineLatest(Signal<int>(x), Signal<std::string>(y), Signal<double>(z));
  auto zipped = zip(Signal<int>(x), Signal<std::string>(y), Signal<double>(z));
  using Tuple = std::tuple<int, std::string, double>;
  static_assert(std::is_same_v<decltype(latest), Signal<Tuple>>);
  static_assert(std::is_same_v<decltype(zipped), Signal<Tuple>>);
  auto rLatest = RecordingObserver<Tuple>::create();
  auto rZipped = RecordingObserver<Tuple>::create();
  auto a = latest.asObservable()->subscribe(rLatest);
  auto b = zipped.asObservable()->subscribe(rZipped);
  x->onNext(1);
  x->onNext(2);
  y->onNext("a");
  z->onNext(0.5);
  EXPECT_EQ(rLatest->elements(), (std::vector<Tuple>{{2, "a", 0.5}}));
  EXPECT_EQ(rZipped->elements(), (std::vector<Tuple>{{1, "a", 0.5}}));
  auto late = RecordingObserver<Tuple>::create();
  auto c = latest.asObservable()->subscribe(late);
  EXPECT_TRUE(late->elements().empty()) << "a Signal replays nothing";
  a->dispose();
  b->dispose();
  c->dispose();
}

TEST_F(SharedSequenceOperatorsTest, CollectionFormsFollowTheCollectionOrder) {
  std::vector<Ref<TestSource<int>>> sources{TestSource<int>::create(), TestSource<int>::create(),
                                            TestSource<int>::create()};
  std::vector<Driver<int>> drivers;
  for (const auto& s : sources) drivers.emplace_back(s);
  auto zipped = Driver<int>::zip(drivers);
  auto summed = Driver<int>::zip(drivers, [](const std::vector<int>& v) { return v[0] - v[2]; });
  auto latest = Driver<int>::combineLatest(drivers);
  auto counted =
      Driver<int>::combineLatest(drivers, [](const std::vector<int>& v) { return v.size(); });
  static_assert(std::is_same_v<decltype(zipped), Driver<std::vector<int>>>);
  static_assert(std::is_same_v<decltype(counted), Driver<size_t>>);
  auto rZipped = RecordingObserver<std::vector<int>>::create();
  auto rSummed = RecordingObserver<int>::create();
  auto rLatest = RecordingObserver<std::vector<int>>::create();
  auto rCounted = RecordingObserver<size_t>::create();
  std::vector<Ref<Disposable>> keep{
      zipped.asObservable()->subscribe(rZipped), summed.asObservable()->subscribe(rSummed),
      latest.asObservable()->subscribe(rLatest), counted.asObservable()->subscribe(rCounted)};
  sources[2]->onNext(30);
  sources[0]->onNext(10);
  sources[1]->onNext(20);
  sources[0]->onNext(11);
  EXPECT_EQ(rZipped->elements(), (std::vector<std::vector<int>>{{10, 20, 30}}));
  EXPECT_EQ(rSummed->elements(), std::vector<int>{-20});
  EXPECT_EQ(rLatest->elements(), (std::vector<std::vector<int>>{{10, 20, 30}, {11, 20, 30}}));
  EXPECT_EQ(rCounted->elements(), (std::vector<size_t>{3, 3}));
  for (const auto& s : sources) EXPECT_EQ(s->subscriptionCount(), 1) << "each Driver is shared";
  for (const auto& d : keep) d->dispose();
}

}  // namespace
}  // namespace rv
