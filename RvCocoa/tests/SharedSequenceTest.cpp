#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <list>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "RvCocoa/SharedSequence.h"
#include "RvStreams/Create.h"
#include "RvStreams/ErrorReport.h"
#include "RvStreams/MainScheduler.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"
#include "async/Async.h"

namespace rv {
namespace {

using test::RecordingObserver;
using test::TestScheduler;
using test::TestSource;
using DTI = DispatchTimeInterval;

// Runs on the main thread with an empty main queue before and after.
class SharedSequenceTest : public ::rv::test::MainQueueTest {};

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

TEST_F(SharedSequenceTest, JustAndEmptySubscribeOnTheStrategysScheduler) {
  auto scheduler = TestScheduler::create();
  SharingScheduler::mock(scheduler, [&] {
    auto justObserver = scheduler->createObserver<int>();
    auto emptyObserver = scheduler->createObserver<int>();
    auto just = Driver<int>::just(7);
    auto empty = Signal<int>::empty();
    scheduler->scheduleAt(10, [&] {
      just.asObservable()->subscribe(justObserver);
      empty.asObservable()->subscribe(emptyObserver);
      EXPECT_TRUE(justObserver->recorded().empty()) << "the subscription waits for the scheduler";
      EXPECT_TRUE(emptyObserver->recorded().empty());
    });
    scheduler->start();
    EXPECT_EQ(justObserver->recorded(),
              (std::vector<test::Recorded<int>>{test::nextAt(10, 7), test::completedAt<int>(10)}));
    EXPECT_EQ(emptyObserver->recorded(),
              (std::vector<test::Recorded<int>>{test::completedAt<int>(10)}));
  });
}

TEST_F(SharedSequenceTest, NeverNeitherEmitsNorCompletes) {
  auto scheduler = TestScheduler::create();
  SharingScheduler::mock(scheduler, [&] {
    auto res = scheduler->start([] { return Driver<int>::never(); });
    EXPECT_TRUE(res->recorded().empty());
  });
}

TEST_F(SharedSequenceTest, FromOptionalWithoutAValueOnlyCompletes) {
  auto scheduler = TestScheduler::create();
  SharingScheduler::mock(scheduler, [&] {
    auto none = scheduler->start([] { return Driver<int>::fromOptional(std::nullopt); });
    EXPECT_EQ(none->recorded(), (std::vector<test::Recorded<int>>{test::completedAt<int>(200)}));
  });
  auto other = TestScheduler::create();
  SharingScheduler::mock(other, [&] {
    auto some = other->start([] { return Signal<int>::fromOptional(4); });
    EXPECT_EQ(some->elements(), std::vector<int>{4});
    EXPECT_EQ(some->completedCount(), 1);
  });
}

TEST_F(SharedSequenceTest, OfFromAndJustAreNotShared) {
  auto of = Driver<int>::of(1, 2, 3);
  auto fromVector = Signal<int>::from(std::vector<int>{1, 2, 3});
  auto fromList = Driver<int>::from(std::list<int>{1, 2, 3});
  auto just = Signal<std::string>::just("x");
  for (const auto& sequence : {of, fromList}) {
    auto first = RecordingObserver<int>::create();
    auto second = RecordingObserver<int>::create();
    sequence.asObservable()->subscribe(first);
    sequence.asObservable()->subscribe(second);
    drain();
    EXPECT_EQ(first->elements(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(second->elements(), (std::vector<int>{1, 2, 3})) << "the whole sequence again";
    EXPECT_EQ(second->completedCount(), 1);
  }
  auto a = RecordingObserver<int>::create();
  auto b = RecordingObserver<int>::create();
  fromVector.asObservable()->subscribe(a);
  fromVector.asObservable()->subscribe(b);
  drain();
  EXPECT_EQ(b->elements(), (std::vector<int>{1, 2, 3}));

  auto x = RecordingObserver<std::string>::create();
  auto y = RecordingObserver<std::string>::create();
  just.asObservable()->subscribe(x);
  just.asObservable()->subscribe(y);
  drain();
  EXPECT_EQ(x->elements(), std::vector<std::string>{"x"});
  EXPECT_EQ(y->elements(), std::vector<std::string>{"x"});
}

TEST_F(SharedSequenceTest, DeferredCallsItsFactoryOncePerConnection) {
  int calls = 0;
  auto source = TestSource<int>::create();
  auto deferred = Driver<int>::deferred([&] {
    ++calls;
    return Driver<int>(source);
  });
  EXPECT_EQ(calls, 0);
  auto first = RecordingObserver<int>::create();
  auto second = RecordingObserver<int>::create();
  auto a = deferred.asObservable()->subscribe(first);
  auto b = deferred.asObservable()->subscribe(second);
  source->onNext(1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(second->elements(), std::vector<int>{1});
  a->dispose();
  b->dispose();
  auto c = deferred.asObservable()->subscribe(first);
  EXPECT_EQ(calls, 2) << "a new connection calls it again";
  c->dispose();
}

TEST_F(SharedSequenceTest, IntervalAndTimerRunOneTimerForSubscribersPresentTogether) {
  auto scheduler = TestScheduler::create();
  SharingScheduler::mock(scheduler, [&] {
    auto interval = Driver<int64_t>::interval(DTI::seconds(10));
    auto timer = Signal<int32_t>::timer(DTI::seconds(5), DTI::seconds(10));
    auto i1 = scheduler->createObserver<int64_t>();
    auto i2 = scheduler->createObserver<int64_t>();
    auto t1 = scheduler->createObserver<int32_t>();
    auto t2 = scheduler->createObserver<int32_t>();
    std::vector<Ref<Disposable>> subscriptions;
    scheduler->scheduleAt(100, [&] {
      subscriptions.push_back(interval.asObservable()->subscribe(i1));
      subscriptions.push_back(timer.asObservable()->subscribe(t1));
    });
    scheduler->scheduleAt(117, [&] {
      subscriptions.push_back(interval.asObservable()->subscribe(i2));
      subscriptions.push_back(timer.asObservable()->subscribe(t2));
    });
    scheduler->scheduleAt(131, [&] {
      for (auto& s : subscriptions) s->dispose();
    });
    scheduler->start();
    EXPECT_EQ(i1->recorded(), (std::vector<test::Recorded<int64_t>>{
                                  test::nextAt<int64_t>(110, 0), test::nextAt<int64_t>(120, 1),
                                  test::nextAt<int64_t>(130, 2)}));
    // The late subscriber joins the running timer: the replayed 0, then 1, 2.
    EXPECT_EQ(i2->recorded(), (std::vector<test::Recorded<int64_t>>{
                                  test::nextAt<int64_t>(117, 0), test::nextAt<int64_t>(120, 1),
                                  test::nextAt<int64_t>(130, 2)}));
    EXPECT_EQ(t1->elements(), (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(t2->recorded(), (std::vector<test::Recorded<int32_t>>{test::nextAt<int32_t>(125, 2)}))
        << "one timer: the Signal's late subscriber sees its next tick, not a tick of its own";
  });
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

// --- the asynchronous stream ---

using Seen = std::vector<std::string>;

async::Task<Seen> iterate(async::AsyncStream<int> stream) {
  Seen seen;
  auto it = stream.makeAsyncIterator();
  while (std::optional<int> element = co_await it.next()) seen.push_back(std::to_string(*element));
  seen.push_back("end");
  co_return seen;
}

TEST_F(SharedSequenceTest, ValuesFinishWhenTheSequenceCompletes) {
  auto source = PublishSubject<int>::create();
  Driver<int> driver(source);
  async::ManualExecutor executor;
  auto handle = async::spawn(iterate(driver.values()), executor);
  source->onNext(1);  // buffered: the stream subscribed when it was made
  executor.runUntilIdle();
  source->onNext(2);
  source->onCompleted();
  executor.runUntilIdle();
  EXPECT_EQ(async::syncWait(handle), (Seen{"1", "2", "end"}));
}

TEST_F(SharedSequenceTest, CancellingTheIteratingTaskDisposesTheSubscription) {
  auto source = TestSource<int>::create();
  Signal<int> signal(source);
  async::ManualExecutor executor;
  auto handle = async::spawn(iterate(signal.values()), executor);
  executor.runUntilIdle();
  source->onNext(1);
  executor.runUntilIdle();
  EXPECT_EQ(source->observerCount(), 1);
  handle.cancel();
  EXPECT_EQ(source->observerCount(), 0);
  executor.runUntilIdle();
  EXPECT_EQ(async::syncWait(handle), (Seen{"1", "end"}));
}

TEST_F(SharedSequenceTest, ValuesReceiveTheReplayedElementOfAConnectedDriver) {
  auto source = PublishSubject<int>::create();
  Driver<int> driver(source);
  auto keep = driver.asObservable()->subscribe(RecordingObserver<int>::create());
  source->onNext(5);
  async::ManualExecutor executor;
  auto handle = async::spawn(iterate(driver.values()), executor);
  keep->dispose();
  source->onCompleted();
  executor.runUntilIdle();
  EXPECT_EQ(async::syncWait(handle), (Seen{"5", "end"}));
}

TEST_F(SharedSequenceTest, ValuesOfASourceThatBreaksThePromiseEndInsteadOfHanging) {
  std::vector<std::string> reported;
  auto previous = Hooks::defaultErrorHandler();
  Hooks::setDefaultErrorHandler(
      [&](const Hooks::CallStack&, const Error& error) { reported.push_back(describe(error)); });
  auto broken = Signal<int>::raw(rv::create<int>([](AnyObserver<int> o) -> Ref<Disposable> {
    o.onNext(1);
    o.onError(test::makeError("broken"));
    return Disposables::create();
  }));
  async::ManualExecutor executor;
  EXPECT_EQ(async::syncWait(iterate(broken.values()), executor), (Seen{"1", "end"}));
  Hooks::setDefaultErrorHandler(previous);
  EXPECT_EQ(reported.size(), 1u) << "the error itself goes to the default error handler";
}

}  // namespace
}  // namespace rv
