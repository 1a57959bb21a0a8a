#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "RvCocoa/SharedSequence.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::RecordingObserver;
using test::TestScheduler;
using test::TestSource;
using DTI = DispatchTimeInterval;

// The suite's tests are in three files, one per kind of operator.
using SharedSequenceOperatorsTest = ::rv::test::MainQueueTest;

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

}  // namespace
}  // namespace rv
