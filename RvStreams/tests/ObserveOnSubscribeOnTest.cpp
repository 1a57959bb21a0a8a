#include <dispatch/DispatchQueue.h>
#include <dispatch/DispatchSemaphore.h>
#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "RvStreams/ConcurrentDispatchQueueScheduler.h"
#include "RvStreams/Create.h"
#include "RvStreams/MainScheduler.h"
#include "RvStreams/ObserveOn.h"
#include "RvStreams/OperationQueueScheduler.h"
#include "RvStreams/SubscribeOn.h"
#include "RvStreamsTest/ManualScheduler.h"
#include "RvStreamsTest/QueuedScheduler.h"
#include "RvStreamsTest/Recording.h"
#include "dispatchTest/Waiting.h"

namespace rv {
namespace {

using dispatch::DispatchQueue;
using dispatch::DispatchSemaphore;
using dispatch::DispatchTime;
using dispatch::DispatchTimeoutResult;
using dispatch::MainLoop;
using test::makeError;
using test::ManualScheduler;
using test::QueuedScheduler;
using test::RecordingObserver;
using test::TestSource;
using DTI = DispatchTimeInterval;
using Log = std::vector<std::string>;

using dispatch::testing::waitFor;

template <class T>
bool isSerialForm(const Ref<Observable<T>>& observable) {
  return dynamic_cast<detail::ObserveOnSerialDispatchQueue<T>*>(observable.get()) != nullptr;
}
template <class T>
bool isQueuedForm(const Ref<Observable<T>>& observable) {
  return dynamic_cast<detail::ObserveOn<T>*>(observable.get()) != nullptr;
}

// --- observeOn ---

TEST(ObserveOn, SerialQueueSchedulersTakeTheSerialQueueForm) {
  auto source = TestSource<int>::create();
  EXPECT_TRUE(isSerialForm(source | observeOn(MainScheduler::instance())));
  EXPECT_TRUE(isSerialForm(source | observeOn(SerialDispatchQueueScheduler::create("serial"))));
  EXPECT_TRUE(isQueuedForm(source | observeOn(ConcurrentDispatchQueueScheduler::create(
                                        dispatch::DispatchQoS::utility()))));
  EXPECT_TRUE(isQueuedForm(
      source | observeOn(OperationQueueScheduler::create(dispatch::OperationQueue::create()))));
  EXPECT_TRUE(isQueuedForm(source | observeOn(ManualScheduler::create())));
}

struct ObserveOnQueued : ::testing::Test {
  Ref<ManualScheduler> scheduler = ManualScheduler::create();
  Ref<TestSource<int>> source = TestSource<int>::create();
  Ref<RecordingObserver<int>> observer = RecordingObserver<int>::create();
  Ref<Disposable> subscription = (source | observeOn(scheduler))->subscribe(observer);
  void TearDown() override {
    subscription->dispose();
    scheduler->runAll();
  }
};

TEST_F(ObserveOnQueued, SubscribesOnTheCallersThreadAndDeliversOnlyOnTheScheduler) {
  EXPECT_EQ(source->observerCount(), 1);
  source->onNext(1);
  EXPECT_TRUE(observer->events().empty());
  scheduler->runAll();
  EXPECT_EQ(observer->elements(), (std::vector<int>{1}));
}

TEST_F(ObserveOnQueued, ABurstIsDrainedByOneDrainOneEventPerStep) {
  source->onNext(1);
  source->onNext(2);
  source->onNext(3);
  EXPECT_EQ(scheduler->pendingCount(), 1u);  // one drain for the burst
  scheduler->runOne();
  EXPECT_EQ(observer->elements(), (std::vector<int>{1}));
  EXPECT_EQ(scheduler->pendingCount(), 1u);  // the next step
  scheduler->runOne();
  scheduler->runOne();
  EXPECT_EQ(observer->elements(), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(scheduler->pendingCount(), 0u);  // the drain stopped with the queue empty
}

TEST_F(ObserveOnQueued, EventsArrivingDuringADrainJoinIt) {
  source->onNext(1);
  scheduler->runOne();
  EXPECT_EQ(scheduler->pendingCount(), 0u);
  source->onNext(2);  // the drain stopped: a new one starts
  EXPECT_EQ(scheduler->pendingCount(), 1u);
  source->onNext(3);  // joins it
  EXPECT_EQ(scheduler->pendingCount(), 1u);
  scheduler->runAll();
  EXPECT_EQ(observer->elements(), (std::vector<int>{1, 2, 3}));
}

TEST_F(ObserveOnQueued, AnErrorEndsDeliveryAndTheSourceSubscription) {
  Error error = makeError();
  source->onNext(1);
  source->onError(error);
  source->onNext(2);  // after the stop event: filtered
  scheduler->runAll();
  EXPECT_EQ(observer->events(),
            (std::vector<Event<int>>{Event<int>::next(1), Event<int>::error(error)}));
  EXPECT_EQ(source->observerCount(), 0);
}

TEST_F(ObserveOnQueued, DisposalDropsTheQueuedEvents) {
  source->onNext(1);
  source->onNext(2);
  scheduler->runOne();
  subscription->dispose();
  scheduler->runAll();
  EXPECT_EQ(observer->elements(), (std::vector<int>{1}));
  EXPECT_EQ(source->observerCount(), 0);
}

TEST(ObserveOn, ADrainWhoseCancellationCameTooLateDeliversNothing) {
  auto scheduler = QueuedScheduler::create();  // its work cannot be cancelled
  auto source = TestSource<int>::create();
  auto observer = RecordingObserver<int>::create();
  auto subscription = (source | observeOn(scheduler))->subscribe(observer);
  source->onNext(1);
  subscription->dispose();
  scheduler->runAll();
  EXPECT_TRUE(observer->events().empty());
  EXPECT_EQ(scheduler->waiting(), 0u);
}

TEST(ObserveOn, TheSerialFormRunsInlineOnTheMainQueueWhenNothingIsPending) {
  while (MainLoop::drainPending() != 0) {
  }
  auto scheduler = MainScheduler::create();
  auto source = TestSource<int>::create();
  auto observer = RecordingObserver<int>::create();
  auto subscription = (source | observeOn(scheduler))->subscribe(observer);
  source->onNext(1);
  EXPECT_EQ(observer->elements(), (std::vector<int>{1}));  // inline on the main thread
  std::thread([&] { source->onNext(2); }).join();
  EXPECT_EQ(observer->elements(), (std::vector<int>{1}));  // queued for the main loop
  while (MainLoop::drainPending() != 0) {
  }
  EXPECT_EQ(observer->elements(), (std::vector<int>{1, 2}));
  subscription->dispose();
}

TEST(ObserveOn, TheSerialFormDeliversOnTheQueueAndNothingAfterDisposal) {
  auto queue = DispatchQueue::create("observe.on.serial");
  auto scheduler = SerialDispatchQueueScheduler::create(queue);
  dispatch::DispatchSpecificKey<int> key;
  queue->setSpecific(key, 7);
  auto source = TestSource<int>::create();
  std::vector<int> seen;
  std::vector<bool> onQueue;
  auto subscription = (source | observeOn(scheduler))
                          ->subscribe(makeAnonymousObserver<int>([&](const Event<int>& e) {
                            if (const int* x = e.element()) seen.push_back(*x);
                            onQueue.push_back(DispatchQueue::getSpecific(key) == 7);
                          }));
  DispatchSemaphore gate(0);
  queue->async([&] { gate.wait(); });  // hold the queue
  source->onNext(1);
  source->onNext(2);
  gate.signal();
  queue->sync([] {});
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  EXPECT_EQ(onQueue, (std::vector<bool>{true, true}));

  queue->async([&] { gate.wait(); });
  source->onNext(3);
  subscription->dispose();  // the job for 3 is queued but finds the subscription gone
  gate.signal();
  queue->sync([] {});
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  EXPECT_EQ(source->observerCount(), 0);
}

// Counts the drains the serial form posts.
class CountingSerialScheduler final : public SerialDispatchQueueScheduler {
 public:
  explicit CountingSerialScheduler(std::shared_ptr<DispatchQueue> queue)
      : SerialDispatchQueueScheduler(PrivateTag{}, std::move(queue), DTI::nanoseconds(0)) {}
  std::atomic<int> posts{0};

 protected:
  Ref<Disposable> scheduleInternal(ScheduledAction action) override {
    ++posts;
    return SerialDispatchQueueScheduler::scheduleInternal(std::move(action));
  }
};

TEST(ObserveOn, TheSerialFormPostsOneDrainPerBurst) {
  auto queue = DispatchQueue::create("observe.on.burst");
  auto scheduler = std::make_shared<CountingSerialScheduler>(queue);
  auto source = TestSource<int>::create();
  auto observer = RecordingObserver<int>::create();
  auto subscription = (source | observeOn(scheduler))->subscribe(observer);
  DispatchSemaphore gate(0);
  queue->async([&] { gate.wait(); });  // hold the queue
  for (int i = 1; i <= 3; ++i) source->onNext(i);
  EXPECT_EQ(scheduler->posts, 1);
  gate.signal();
  queue->sync([] {});
  EXPECT_EQ(observer->elements(), (std::vector<int>{1, 2, 3}));
  source->onNext(4);  // the drain left the queue empty: a new burst posts anew
  queue->sync([] {});
  EXPECT_EQ(scheduler->posts, 2);
  EXPECT_EQ(observer->elements(), (std::vector<int>{1, 2, 3, 4}));
  subscription->dispose();
}

TEST(ObserveOn, TheSerialFormDisposesItselfAfterTheStopEvent) {
  auto queue = DispatchQueue::create("observe.on.stop");
  auto source = TestSource<int>::create();
  auto observer = RecordingObserver<int>::create();
  auto subscription =
      (source | observeOn(SerialDispatchQueueScheduler::create(queue)))->subscribe(observer);
  source->onCompleted();
  source->onNext(1);  // filtered: after the stop event
  queue->sync([] {});
  EXPECT_EQ(observer->descriptions(), (Log{"completed"}));
  EXPECT_EQ(source->observerCount(), 0);
}

// --- subscribeOn ---

TEST(SubscribeOn, TheSourceIsSubscribedOnTheSchedulersQueue) {
  auto queue = DispatchQueue::create("subscribe.on");
  dispatch::DispatchSpecificKey<int> key;
  queue->setSpecific(key, 3);
  DispatchSemaphore subscribed(0);
  std::optional<int> seenKey;
  auto source = rv::create<int>([&](AnyObserver<int> o) -> Ref<Disposable> {
    seenKey = DispatchQueue::getSpecific(key);
    o.onNext(1);
    subscribed.signal();
    return Disposables::create();
  });
  auto observer = RecordingObserver<int>::create();
  auto subscription =
      (source | subscribeOn(SerialDispatchQueueScheduler::create(queue)))->subscribe(observer);
  ASSERT_TRUE(waitFor(subscribed));
  EXPECT_EQ(seenKey, 3);
  EXPECT_EQ(observer->elements(), (std::vector<int>{1}));
  subscription->dispose();
  queue->sync([] {});
}

TEST(SubscribeOn, DisposingBeforeTheSubscriptionRanMeansTheSourceIsNeverSubscribed) {
  auto scheduler = ManualScheduler::create();
  auto source = TestSource<int>::create();
  auto subscription =
      (source | subscribeOn(scheduler))->subscribe(RecordingObserver<int>::create());
  subscription->dispose();
  scheduler->runAll();
  EXPECT_EQ(source->subscriptionCount(), 0);
}

TEST(SubscribeOn, ALateSubscriptionIsDisposedAgainOnTheScheduler) {
  auto scheduler = QueuedScheduler::create();  // its work cannot be cancelled
  auto source = TestSource<int>::create();
  auto subscription =
      (source | subscribeOn(scheduler))->subscribe(RecordingObserver<int>::create());
  subscription->dispose();
  scheduler->run();  // subscribes, then schedules the disposal
  EXPECT_EQ(source->subscriptionCount(), 1);
  EXPECT_EQ(source->disposeCount(), 0);
  scheduler->runAll();
  EXPECT_EQ(source->disposeCount(), 1);
}

TEST(SubscribeOn, DisposalAfterTheSubscriptionHappensOnTheScheduler) {
  auto scheduler = ManualScheduler::create();
  auto source = TestSource<int>::create();
  auto observer = RecordingObserver<int>::create();
  auto subscription = (source | subscribeOn(scheduler))->subscribe(observer);
  EXPECT_EQ(source->subscriptionCount(), 0);
  scheduler->runAll();
  EXPECT_EQ(source->subscriptionCount(), 1);
  source->onNext(1);  // forwarded on the emitting thread, not scheduled
  EXPECT_EQ(observer->elements(), (std::vector<int>{1}));
  subscription->dispose();
  EXPECT_EQ(source->disposeCount(), 0);
  scheduler->runAll();
  EXPECT_EQ(source->disposeCount(), 1);
}

TEST(SubscribeOn, CompletionIsForwardedOnceAndEndsTheSubscription) {
  auto scheduler = ManualScheduler::create();
  auto source = TestSource<int>::create();
  auto observer = RecordingObserver<int>::create();
  auto subscription = (source | subscribeOn(scheduler))->subscribe(observer);
  scheduler->runAll();
  source->onCompleted();
  source->onCompleted();
  source->onNext(1);
  scheduler->runAll();
  EXPECT_EQ(observer->descriptions(), (Log{"completed"}));
  EXPECT_EQ(source->disposeCount(), 1);
}

}  // namespace
}  // namespace rv
