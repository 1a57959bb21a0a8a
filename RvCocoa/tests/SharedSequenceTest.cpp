#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "RvCocoa/SharedSequence.h"
#include "RvStreams/MainScheduler.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::RecordingObserver;
using test::TestScheduler;
using test::TestSource;

// Runs on the main thread with an empty main queue before and after. The
// suite's tests are in three files: sharing and the scheduler, creation, and
// the asynchronous stream.
using SharedSequenceTest = ::rv::test::MainQueueTest;

TEST_F(SharedSequenceTest, DriverSharesOneSubscriptionAndReplaysTheLatestToALateSubscriber) {
  auto source = TestSource<int>::create();
  Driver<int> driver(source);
  auto first = RecordingObserver<int>::create();
  auto second = RecordingObserver<int>::create();

  auto a = driver.asObservable()->subscribe(first);
  source->onNext(1);
  auto b = driver.asObservable()->subscribe(second);
  EXPECT_EQ(second->elements(), std::vector<int>{1}) << "the latest element, at once";
  source->onNext(2);

  EXPECT_EQ(source->subscriptionCount(), 1);
  EXPECT_EQ(first->elements(), (std::vector<int>{1, 2}));
  EXPECT_EQ(second->elements(), (std::vector<int>{1, 2}));
  a->dispose();
  b->dispose();
}

TEST_F(SharedSequenceTest, SignalSharesOneSubscriptionAndReplaysNothing) {
  auto source = TestSource<int>::create();
  Signal<int> signal(source);
  auto first = RecordingObserver<int>::create();
  auto second = RecordingObserver<int>::create();

  auto a = signal.asObservable()->subscribe(first);
  source->onNext(1);
  auto b = signal.asObservable()->subscribe(second);
  EXPECT_TRUE(second->elements().empty());
  source->onNext(2);

  EXPECT_EQ(source->subscriptionCount(), 1);
  EXPECT_EQ(first->elements(), (std::vector<int>{1, 2}));
  EXPECT_EQ(second->elements(), std::vector<int>{2});
  a->dispose();
  b->dispose();
}

TEST_F(SharedSequenceTest, AfterTheLastSubscriberLeavesANewOneStartsAFreshConnection) {
  auto source = TestSource<int>::create();
  Driver<int> driver(source);
  auto first = RecordingObserver<int>::create();
  auto a = driver.asObservable()->subscribe(first);
  source->onNext(1);
  a->dispose();
  EXPECT_EQ(source->disposeCount(), 1);

  auto later = RecordingObserver<int>::create();
  auto b = driver.asObservable()->subscribe(later);
  EXPECT_EQ(source->subscriptionCount(), 2);
  EXPECT_TRUE(later->elements().empty()) << "nothing stale is replayed";
  source->onNext(3);
  EXPECT_EQ(later->elements(), std::vector<int>{3});
  b->dispose();
}

TEST_F(SharedSequenceTest, CopiesShareTheUnderlyingObservable) {
  auto source = TestSource<int>::create();
  Driver<int> driver(source);
  Driver<int> copy = driver;
  EXPECT_EQ(copy.asObservable(), driver.asObservable());
  EXPECT_EQ(driver.asSharedSequence().asObservable(), driver.asObservable());
  EXPECT_EQ(driver.asDriver().asObservable(), driver.asObservable())
      << "asDriver on a Driver adds no sharing layer";
  Signal<int> signal(source);
  EXPECT_EQ(signal.asSignal().asObservable(), signal.asObservable());

  auto raw = Driver<int>::raw(source);
  EXPECT_EQ(raw.asObservable(), Ref<Observable<int>>(source)) << "raw wraps as it is";
}

TEST_F(SharedSequenceTest, TheDefaultFactoryMakesANewMainSchedulerOnEveryRead) {
  Ref<SchedulerType> a = SharingScheduler::make();
  Ref<SchedulerType> b = DriverSharingStrategy::scheduler();
  ASSERT_NE(std::dynamic_pointer_cast<MainScheduler>(a), nullptr);
  ASSERT_NE(std::dynamic_pointer_cast<MainScheduler>(b), nullptr);
  EXPECT_NE(a, b);
  EXPECT_NE(a, MainScheduler::instance());
}

TEST_F(SharedSequenceTest, MockReplacesTheSchedulerForTheActionOnlyAndNestsInReverse) {
  auto outer = TestScheduler::create();
  auto inner = TestScheduler::create();
  SharingScheduler::mock(outer, [&] {
    EXPECT_EQ(SharingScheduler::make(), outer);
    EXPECT_EQ(SignalSharingStrategy::scheduler(), outer) << "the same object on every call";
    SharingScheduler::mock(SharingScheduler::Factory([&] { return Ref<SchedulerType>(inner); }),
                           [&] { EXPECT_EQ(DriverSharingStrategy::scheduler(), inner); });
    EXPECT_EQ(SharingScheduler::make(), outer);
    EXPECT_EQ(SharingScheduler::factory()(), outer);
  });
  EXPECT_NE(std::dynamic_pointer_cast<MainScheduler>(SharingScheduler::make()), nullptr);
}

TEST_F(SharedSequenceTest, MockRestoresTheFactoryWhenTheActionThrowsAndPassesTheErrorOn) {
  auto scheduler = TestScheduler::create();
  Weak<TestScheduler> weak = scheduler;
  EXPECT_THROW(SharingScheduler::mock(std::move(scheduler),
                                      [] { throw std::runtime_error("action failed"); }),
               std::runtime_error);
  EXPECT_NE(std::dynamic_pointer_cast<MainScheduler>(SharingScheduler::make()), nullptr);
  EXPECT_TRUE(weak.expired()) << "the mocked factory's scheduler is released after the restore";
}

TEST_F(SharedSequenceTest, CreationFunctionsReadTheSchedulerWhenCalled) {
  auto scheduler = TestScheduler::create();
  std::optional<Driver<int>> built;
  SharingScheduler::mock(scheduler, [&] { built = Driver<int>::just(1); });
  // Subscribed after the mock ended: still on the scheduler read at creation.
  auto observer = scheduler->createObserver<int>();
  built->asObservable()->subscribe(observer);
  drain();
  EXPECT_TRUE(observer->recorded().empty());
  scheduler->start();
  EXPECT_EQ(observer->elements(), std::vector<int>{1});
}

TEST_F(SharedSequenceTest, AsInfallibleSubscribesTheSharedSource) {
  auto source = PublishSubject<int>::create();
  Driver<int> driver(source);
  auto observer = RecordingObserver<int>::create();
  auto d = driver.asInfallible().asObservable()->subscribe(observer);
  source->onNext(1);
  source->onError(test::makeError());
  EXPECT_EQ(observer->elements(), std::vector<int>{1});
  EXPECT_EQ(observer->completedCount(), 1) << "an error, could it come, ends it with completion";
  d->dispose();
}

}  // namespace
}  // namespace rv
