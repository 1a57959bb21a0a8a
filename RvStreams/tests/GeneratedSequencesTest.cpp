#include <dispatch/DispatchQueue.h>
#include <dispatch/DispatchSemaphore.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <list>
#include <string>
#include <vector>

#include "RvStreams/CurrentThreadScheduler.h"
#include "RvStreams/From.h"
#include "RvStreams/Generate.h"
#include "RvStreams/Range.h"
#include "RvStreams/RepeatElement.h"
#include "RvStreams/SerialDispatchQueueScheduler.h"
#include "RvStreamsTest/ManualScheduler.h"
#include "RvStreamsTest/Recording.h"

namespace rv {
namespace {

using dispatch::DispatchQueue;
using dispatch::DispatchSemaphore;
using dispatch::DispatchTime;
using dispatch::DispatchTimeoutResult;
using test::ManualScheduler;
using test::RecordingObserver;
using test::TestError;
using Log = std::vector<std::string>;
using DTI = DispatchTimeInterval;

Ref<ImmediateSchedulerType> trampoline() { return CurrentThreadScheduler::instance(); }

template <class T>
Log run(const Ref<Observable<T>>& observable) {
  auto observer = RecordingObserver<T>::create();
  observable->subscribe(observer);
  return observer->descriptions();
}

// --- range ---

TEST(Range, EmitsConsecutiveIntegersThenCompletes) {
  EXPECT_EQ(run(range(1, 3, trampoline())), (Log{"next(1)", "next(2)", "next(3)", "completed"}));
  EXPECT_EQ(run(range(7, 0, trampoline())), (Log{"completed"}));
}

TEST(Range, TheLastRepresentableValueIsReachable) {
  auto observer = RecordingObserver<int8_t>::create();
  range<int8_t>(126, 2, trampoline())->subscribe(observer);
  EXPECT_EQ(observer->elements(), (std::vector<int8_t>{126, 127}));
  auto unsignedObserver = RecordingObserver<uint8_t>::create();
  range<uint8_t>(254, 2, trampoline())->subscribe(unsignedObserver);
  EXPECT_EQ(unsignedObserver->elements(), (std::vector<uint8_t>{254, 255}));
}

using RangeDeathTest = test::DeathTestBase;

TEST_F(RangeDeathTest, BadArgumentsStopTheProcessAtTheCall) {
  EXPECT_DEATH(range<int8_t>(126, 3, trampoline()), "Fatal error: overflow of count");
  EXPECT_DEATH(range(std::numeric_limits<int64_t>::max(), int64_t{2}, trampoline()),
               "Fatal error: overflow of count");
  EXPECT_DEATH(range(1, -1, trampoline()), "Fatal error: count can't be negative");
}

TEST(Range, OneElementPerActionAndDisposalStopsTheSteps) {
  auto scheduler = ManualScheduler::create();
  auto observer = RecordingObserver<int>::create();
  auto subscription = range(1, 5, scheduler)->subscribe(observer);
  EXPECT_EQ(scheduler->pendingCount(), 1u);
  scheduler->runOne();
  EXPECT_EQ(observer->elements(), (std::vector<int>{1}));
  EXPECT_EQ(scheduler->pendingCount(), 1u);
  scheduler->runOne();
  subscription->dispose();
  scheduler->runAll();
  EXPECT_EQ(observer->descriptions(), (Log{"next(1)", "next(2)"}));
}

// --- generate ---

TEST(Generate, EmitsStatesWhileTheConditionHolds) {
  auto below3 = [](int x) { return x < 3; };
  auto plus1 = [](int x) { return x + 1; };
  EXPECT_EQ(run(generate(0, below3, trampoline(), plus1)),
            (Log{"next(0)", "next(1)", "next(2)", "completed"}));
}

TEST(Generate, AFalseInitialConditionCompletesWithoutIterating) {
  int iterations = 0;
  auto observable = generate(
      5, [](int x) { return x < 3; }, trampoline(),
      [&](int x) {
        ++iterations;
        return x + 1;
      });
  EXPECT_EQ(run(observable), (Log{"completed"}));
  EXPECT_EQ(iterations, 0);
}

TEST(Generate, AFailingIterateEndsWithItsErrorAfterTheFirstElement) {
  auto observable = generate(
      0, [](int) { return true; }, trampoline(),
      [](int) -> int { throw TestError("iterate failed"); });
  auto observer = RecordingObserver<int>::create();
  observable->subscribe(observer);
  auto events = observer->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], Event<int>::next(0));
  ASSERT_NE(events[1].error(), nullptr);
  EXPECT_THROW(std::rethrow_exception(*events[1].error()), TestError);
}

TEST(Generate, AFailingConditionEndsWithItsError) {
  auto observable = generate(
      0, [](int) -> bool { throw TestError(); }, trampoline(), [](int x) { return x + 1; });
  auto observer = RecordingObserver<int>::create();
  observable->subscribe(observer);
  ASSERT_EQ(observer->events().size(), 1u);
  EXPECT_NE(observer->events()[0].error(), nullptr);
}

TEST(Generate, EverySubscriptionStartsFromTheInitialState) {
  auto observable = generate(
      std::string("a"), [](const std::string& s) { return s.size() < 3; }, trampoline(),
      [](const std::string& s) { return s + "a"; });
  EXPECT_EQ(run(observable), (Log{"next(a)", "next(aa)", "completed"}));
  EXPECT_EQ(run(observable), (Log{"next(a)", "next(aa)", "completed"}));
}

// --- repeatElement ---

TEST(RepeatElement, RepeatsUntilDisposedAndNeverCompletes) {
  auto scheduler = ManualScheduler::create();
  auto observer = RecordingObserver<std::string>::create();
  auto subscription = repeatElement(std::string("x"), scheduler)->subscribe(observer);
  for (int i = 0; i < 4; ++i) scheduler->runOne();
  subscription->dispose();
  scheduler->runAll();
  EXPECT_EQ(observer->descriptions(), (Log{"next(x)", "next(x)", "next(x)", "next(x)"}));
}

TEST(RepeatElement, OnASerialQueueDisposalStopsTheRepetition) {
  auto queue = DispatchQueue::create("repeat.element");
  auto count = std::make_shared<std::atomic<int>>(0);
  auto stops = std::make_shared<std::atomic<int>>(0);
  auto enough = std::make_shared<DispatchSemaphore>(0);
  auto subscription =
      repeatElement(7, SerialDispatchQueueScheduler::create(queue))
          ->subscribe(makeAnonymousObserver<int>([count, stops, enough](const Event<int>& e) {
            if (e.isStopEvent()) {
              stops->fetch_add(1);
            } else if (count->fetch_add(1) + 1 == 100) {
              enough->signal();
            }
          }));
  ASSERT_EQ(enough->wait(DispatchTime::now() + DTI::seconds(20)), DispatchTimeoutResult::success);
  subscription->dispose();
  queue->sync([] {});
  const int afterDisposal = count->load();
  queue->sync([] {});
  EXPECT_EQ(count->load(), afterDisposal);
  EXPECT_GE(afterDisposal, 100);
  EXPECT_EQ(stops->load(), 0);
}

// --- from, of, fromOptional ---

TEST(From, EmitsTheElementsInOrderThenCompletes) {
  EXPECT_EQ(run(from(std::vector<int>{}, trampoline())), (Log{"completed"}));
  EXPECT_EQ(run(of({1, 2, 3}, trampoline())), (Log{"next(1)", "next(2)", "next(3)", "completed"}));
  EXPECT_EQ(run(from(std::list<std::string>{"a", "b"}, trampoline())),
            (Log{"next(a)", "next(b)", "completed"}));
}

TEST(From, EverySubscriptionStartsFromTheFirstElement) {
  auto observable = from(std::vector<int>{1, 2}, trampoline());
  EXPECT_EQ(run(observable), (Log{"next(1)", "next(2)", "completed"}));
  EXPECT_EQ(run(observable), (Log{"next(1)", "next(2)", "completed"}));
}

TEST(From, TheElementsAreCopiedIn) {
  std::vector<int> elements{1, 2};
  auto observable = from(elements, trampoline());
  elements.push_back(3);
  EXPECT_EQ(run(observable), (Log{"next(1)", "next(2)", "completed"}));
}

TEST(From, OneElementPerActionAndDisposalStopsTheSteps) {
  auto scheduler = ManualScheduler::create();
  auto observer = RecordingObserver<int>::create();
  auto subscription = of({1, 2, 3}, scheduler)->subscribe(observer);
  scheduler->runOne();
  EXPECT_EQ(observer->elements(), (std::vector<int>{1}));
  subscription->dispose();
  scheduler->runAll();
  EXPECT_EQ(observer->descriptions(), (Log{"next(1)"}));
}

TEST(FromOptional, DeliversInsideSubscribe) {
  EXPECT_EQ(run(fromOptional<int>(std::nullopt)), (Log{"completed"}));
  EXPECT_EQ(run(fromOptional(std::optional<int>(5))), (Log{"next(5)", "completed"}));
}

TEST(FromOptional, OnASchedulerTheValueAndTheCompletionAreTwoActions) {
  auto scheduler = ManualScheduler::create();
  auto observer = RecordingObserver<int>::create();
  auto subscription = fromOptional(std::optional<int>(5), scheduler)->subscribe(observer);
  EXPECT_TRUE(observer->events().empty());
  scheduler->runOne();
  EXPECT_EQ(observer->descriptions(), (Log{"next(5)"}));
  subscription->dispose();  // between the two: no completion
  scheduler->runAll();
  EXPECT_EQ(observer->descriptions(), (Log{"next(5)"}));

  auto none = RecordingObserver<int>::create();
  fromOptional<int>(std::nullopt, scheduler)->subscribe(none);
  EXPECT_EQ(scheduler->pendingCount(), 1u);
  scheduler->runAll();
  EXPECT_EQ(none->descriptions(), (Log{"completed"}));
  EXPECT_EQ(scheduler->pendingCount(), 0u);
}

}  // namespace
}  // namespace rv
