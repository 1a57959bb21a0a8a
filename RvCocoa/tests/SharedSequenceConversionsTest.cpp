#include <dispatch/DispatchQueue.h>
#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "RvCocoa/SharedSequenceConversions.h"
#include "RvRelay/PublishRelay.h"
#include "RvStreams/Infallible.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::RecordingObserver;
using test::TestScheduler;
using test::TestSource;

// Records each event's description and whether it arrived on the main
// thread.
class ThreadCheckingObserver final : public ObserverType<int> {
 public:
  static Ref<ThreadCheckingObserver> create() { return std::make_shared<ThreadCheckingObserver>(); }
  void on(const Event<int>& event) noexcept override {
    events.push_back(describe(event));
    allOnMain = allOnMain && dispatch::isMainThread();
  }
  std::vector<std::string> events;
  bool allOnMain = true;
};

class SharedSequenceConversionsTest : public ::rv::test::MainQueueTest {
 protected:
  // Runs `work` on a background thread and waits for it.
  template <class Work>
  static void onBackground(Work work) {
    std::thread(work).join();
  }
};

TEST_F(SharedSequenceConversionsTest, ElementFallbackEndsWithTheElementOnTheMainThread) {
  auto source = TestSource<int>::create();
  auto driver = source | rv::asDriverOnErrorJustReturn(0);
  auto observer = ThreadCheckingObserver::create();
  auto d = driver.asObservable()->subscribe(observer);
  onBackground([&] {
    source->onNext(1);
    source->onError(test::makeError());
  });
  EXPECT_TRUE(observer->events.empty()) << "nothing arrives before the main queue runs";
  drain();
  EXPECT_EQ(observer->events, (std::vector<std::string>{"next(1)", "next(0)", "completed"}));
  EXPECT_TRUE(observer->allOnMain);
}

TEST_F(SharedSequenceConversionsTest, SequenceFallbackContinuesWithIt) {
  auto source = TestSource<int>::create();
  auto signal = source | rv::asSignal(Signal<int>::empty());
  auto observer = RecordingObserver<int>::create();
  auto d = signal.asObservable()->subscribe(observer);
  source->onNext(1);
  source->onError(test::makeError());
  drain();
  EXPECT_EQ(observer->descriptions(), (std::vector<std::string>{"next(1)", "completed"}));

  auto other = TestSource<int>::create();
  auto driver = other | rv::asDriver(Driver<int>::of(8, 9));
  auto seen = RecordingObserver<int>::create();
  auto e = driver.asObservable()->subscribe(seen);
  other->onError(test::makeError());
  drain();
  EXPECT_EQ(seen->elements(), (std::vector<int>{8, 9}));
  EXPECT_EQ(seen->completedCount(), 1);
}

TEST_F(SharedSequenceConversionsTest, RecoveryGetsTheErrorItselfOncePerFailureOfAConnection) {
  auto source = TestSource<int>::create();
  Error original = test::makeError("original");
  std::vector<Error> received;
  auto driver = source | rv::asDriverOnErrorRecover([&](const Error& error) {
                  received.push_back(error);
                  EXPECT_TRUE(dispatch::isMainThread());
                  return Driver<int>::just(-1);
                });
  auto first = RecordingObserver<int>::create();
  auto second = RecordingObserver<int>::create();
  auto a = driver.asObservable()->subscribe(first);
  auto b = driver.asObservable()->subscribe(second);
  onBackground([&] { source->onError(original); });
  drain();
  ASSERT_EQ(received.size(), 1u) << "one call for both subscribers";
  EXPECT_EQ(received[0], original);
  EXPECT_EQ(first->descriptions(), (std::vector<std::string>{"next(-1)", "completed"}));
  EXPECT_EQ(second->descriptions(), (std::vector<std::string>{"next(-1)", "completed"}));
}

TEST_F(SharedSequenceConversionsTest, SubscribersShareOneSourceSubscription) {
  auto source = TestSource<int>::create();
  auto driver = source | rv::asDriverOnErrorJustReturn(0);
  auto signal = source | rv::asSignalOnErrorJustReturn(0);
  auto d1 = RecordingObserver<int>::create();
  auto d2 = RecordingObserver<int>::create();
  auto s1 = RecordingObserver<int>::create();
  auto s2 = RecordingObserver<int>::create();
  std::vector<Ref<Disposable>> subscriptions{
      driver.asObservable()->subscribe(d1), driver.asObservable()->subscribe(d2),
      signal.asObservable()->subscribe(s1), signal.asObservable()->subscribe(s2)};
  EXPECT_EQ(source->subscriptionCount(), 2) << "one for the driver, one for the signal";
  source->onNext(4);
  drain();

  auto lateDriver = RecordingObserver<int>::create();
  auto lateSignal = RecordingObserver<int>::create();
  subscriptions.push_back(driver.asObservable()->subscribe(lateDriver));
  subscriptions.push_back(signal.asObservable()->subscribe(lateSignal));
  EXPECT_EQ(lateDriver->elements(), std::vector<int>{4}) << "at once";
  EXPECT_TRUE(lateSignal->elements().empty());
  source->onNext(5);
  drain();
  EXPECT_EQ(lateSignal->elements(), std::vector<int>{5});
  EXPECT_EQ(d2->elements(), (std::vector<int>{4, 5}));
  EXPECT_EQ(source->subscriptionCount(), 2);
  for (auto& s : subscriptions) s->dispose();
  EXPECT_EQ(source->observerCount(), 0);
}

TEST_F(SharedSequenceConversionsTest, PublishRelayAsSignalForwardsAcceptedElementsOnTheMainThread) {
  auto relay = PublishRelay<int>::create();
  auto signal = relay | rv::asSignal();
  auto first = ThreadCheckingObserver::create();
  auto d1 = signal.asObservable()->subscribe(first);
  onBackground([&] { relay->accept(1); });
  drain();
  auto second = ThreadCheckingObserver::create();
  auto d2 = signal.asObservable()->subscribe(second);
  EXPECT_TRUE(second->events.empty()) << "nothing replayed";
  onBackground([&] { relay->accept(2); });
  drain();
  EXPECT_EQ(first->events, (std::vector<std::string>{"next(1)", "next(2)"}));
  EXPECT_EQ(second->events, (std::vector<std::string>{"next(2)"}));
  EXPECT_TRUE(first->allOnMain && second->allOnMain);
  d1->dispose();
  d2->dispose();
}

TEST_F(SharedSequenceConversionsTest, InfallibleAsDriverReplaysOnTheMainThread) {
  auto subject = PublishSubject<int>::create();
  Infallible<int> infallible(subject);
  Driver<int> driver = infallible | rv::asDriver();
  auto first = ThreadCheckingObserver::create();
  auto d1 = driver.asObservable()->subscribe(first);
  onBackground([&] { subject->onNext(3); });
  drain();
  auto second = ThreadCheckingObserver::create();
  auto d2 = driver.asObservable()->subscribe(second);
  EXPECT_EQ(second->events, (std::vector<std::string>{"next(3)"}));
  EXPECT_TRUE(first->allOnMain && second->allOnMain);
  EXPECT_EQ((driver | rv::asDriver()).asObservable(), driver.asObservable());
  d1->dispose();
  d2->dispose();
}

TEST_F(SharedSequenceConversionsTest, TheSchedulerIsReadWhenConvertingNotWhenSubscribing) {
  auto scheduler = TestScheduler::create();
  auto source = scheduler->createHotObservable<int>(
      {test::nextAt(210, 1), test::errorAt<int>(220, test::makeError())});
  std::optional<Signal<int>> signal;
  SharingScheduler::mock(scheduler, [&] { signal = source | rv::asSignalOnErrorJustReturn(9); });
  auto res = scheduler->start([&] { return *signal; });
  EXPECT_EQ(res->recorded(),
            (std::vector<test::Recorded<int>>{test::nextAt(210, 1), test::nextAt(220, 9),
                                              test::completedAt<int>(220)}));
  EXPECT_EQ(source->subscriptions(), (std::vector<test::Subscription>{{200, 220}}));
}

TEST_F(SharedSequenceConversionsTest, GenericFormsUseTheGivenStrategy) {
  auto scheduler = TestScheduler::create();
  SharingScheduler::mock(scheduler, [&] {
    auto failing = scheduler->createColdObservable<int>(
        {test::nextAt(10, 1), test::errorAt<int>(20, test::makeError())});
    SharedSequence<DriverSharingStrategy, int> a =
        failing | rv::asSharedSequenceOnErrorJustReturn<DriverSharingStrategy>(0);
    SharedSequence<SignalSharingStrategy, int> b =
        failing | rv::asSharedSequence(Signal<int>::just(5));
    SharedSequence<SignalSharingStrategy, int> c =
        failing | rv::asSharedSequenceOnErrorRecover<SignalSharingStrategy>(
                      [](const Error&) { return Signal<int>::of(6, 7); });
    auto ra = scheduler->createObserver<int>();
    auto rb = scheduler->createObserver<int>();
    auto rc = scheduler->createObserver<int>();
    scheduler->scheduleAt(200, [&] {
      a.asObservable()->subscribe(ra);
      b.asObservable()->subscribe(rb);
      c.asObservable()->subscribe(rc);
    });
    scheduler->start();
    EXPECT_EQ(ra->descriptions(), (std::vector<std::string>{"next(1)", "next(0)", "completed"}));
    EXPECT_EQ(rb->descriptions(), (std::vector<std::string>{"next(1)", "next(5)", "completed"}));
    EXPECT_EQ(rc->descriptions(),
              (std::vector<std::string>{"next(1)", "next(6)", "next(7)", "completed"}));
    EXPECT_EQ(rc->recorded().back().time, 220) << "the fallback runs on the mocked scheduler";
  });
}

}  // namespace
}  // namespace rv
