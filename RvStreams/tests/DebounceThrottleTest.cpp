#include <gtest/gtest.h>

#include <vector>

#include "RvStreams/Debounce.h"
#include "RvStreams/Throttle.h"
#include "RvStreamsTest/QueuedScheduler.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::completedAt;
using test::errorAt;
using test::makeError;
using test::nextAt;
using test::QueuedScheduler;
using test::Recorded;
using test::RecordingObserver;
using test::Subscription;
using test::TestScheduler;
using test::TestSource;
using DTI = DispatchTimeInterval;
using Events = std::vector<Recorded<int>>;

// --- debounce ---

TEST(Debounce, ABurstEmitsOnlyItsLastElementOnePeriodAfterIt) {
  auto scheduler = TestScheduler::create();
  auto xs =
      scheduler->createHotObservable<int>({nextAt(150, 1), nextAt(210, 2), nextAt(220, 3),
                                           nextAt(230, 4), nextAt(300, 5), completedAt<int>(400)});
  auto res = scheduler->start([&] { return xs | debounce(DTI::seconds(20), scheduler); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(250, 4), nextAt(320, 5), completedAt<int>(400)}));
  EXPECT_EQ(xs->subscriptions(), (std::vector<Subscription>{{200, 400}}));
}

TEST(Debounce, CompletionFlushesTheWaitingElementAtOnce) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), completedAt<int>(215)});
  auto res = scheduler->start([&] { return xs | debounce(DTI::seconds(20), scheduler); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(215, 1), completedAt<int>(215)}));
}

TEST(Debounce, CompletionAfterTheElementWentOutDoesNotRepeatIt) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), completedAt<int>(250)});
  auto res = scheduler->start([&] { return xs | debounce(DTI::seconds(20), scheduler); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(230, 1), completedAt<int>(250)}));
}

TEST(Debounce, AnErrorDropsTheWaitingElement) {
  auto scheduler = TestScheduler::create();
  Error error = makeError();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), errorAt<int>(215, error)});
  auto res = scheduler->start([&] { return xs | debounce(DTI::seconds(20), scheduler); });
  EXPECT_EQ(res->recorded(), (Events{errorAt<int>(215, error)}));
  EXPECT_EQ(xs->subscriptions(), (std::vector<Subscription>{{200, 215}}));
}

TEST(Debounce, DisposalBeforeTheQuietPeriodEndsCancelsTheTimer) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1)});
  auto res =
      scheduler->start(100, 200, 215, [&] { return xs | debounce(DTI::seconds(20), scheduler); });
  EXPECT_TRUE(res->recorded().empty());
  // The timer due at 230 was cancelled, so the clock never went past the
  // disposal.
  EXPECT_EQ(scheduler->clock(), 215);
}

TEST(Debounce, ATimerFiringAfterANewerElementEmitsNothing) {
  auto scheduler = QueuedScheduler::create();
  auto source = TestSource<int>::create();
  auto observer = RecordingObserver<int>::create();
  auto subscription = (source | debounce(DTI::seconds(5), scheduler))->subscribe(observer);
  source->onNext(1);
  source->onNext(2);
  ASSERT_EQ(scheduler->waiting(), 2u);
  scheduler->run(0);  // the first element's timer, its cancellation too late
  EXPECT_TRUE(observer->elements().empty());
  scheduler->run(0);
  EXPECT_EQ(observer->elements(), (std::vector<int>{2}));
  subscription->dispose();
}

TEST(Debounce, AnObserverFeedingTheSourceFromTheTimerDoesNotDeadlock) {
  auto scheduler = QueuedScheduler::create();
  auto source = TestSource<int>::create();
  std::vector<int> seen;
  auto subscription = (source | debounce(DTI::seconds(5), scheduler))
                          ->subscribe(makeAnonymousObserver<int>([&](const Event<int>& e) {
                            if (const int* x = e.element()) {
                              seen.push_back(*x);
                              if (*x < 3) source->onNext(*x + 1);  // re-enters under the lock
                            }
                          }));
  source->onNext(1);
  scheduler->runAll();
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  subscription->dispose();
}

// --- throttle ---

Ref<Observable<int>> throttled(const Ref<TestScheduler>& scheduler,
                               const Ref<test::TestableObservable<int>>& xs, bool latest,
                               DTI dueTime = DTI::seconds(20)) {
  return xs | throttle(dueTime, latest, scheduler);
}

TEST(Throttle, LatestEmitsTheFirstAtOnceAndTheNewestWhenThePeriodEnds) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(215, 2), nextAt(220, 3)});
  auto res = scheduler->start([&] { return throttled(scheduler, xs, true); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(210, 1), nextAt(230, 3)}));
}

TEST(Throttle, WithoutLatestElementsInsideThePeriodAreDropped) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>(
      {nextAt(210, 1), nextAt(215, 2), nextAt(220, 3), nextAt(235, 4), completedAt<int>(300)});
  auto res = scheduler->start([&] { return throttled(scheduler, xs, false); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(210, 1), nextAt(235, 4), completedAt<int>(300)}));
}

TEST(Throttle, TheTrailingEmissionStartsTheNextPeriod) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(215, 2), nextAt(240, 3)});
  auto res = scheduler->start([&] { return throttled(scheduler, xs, true); });
  // 2 goes out at 230, so 3 (10 after it) waits until 250.
  EXPECT_EQ(res->recorded(), (Events{nextAt(210, 1), nextAt(230, 2), nextAt(250, 3)}));
}

TEST(Throttle, LessThanHalfAUnitLeftCountsAsThePeriodOver) {
  // Ticks of 0.1 ms; the period is 2 ms (20 ticks).
  auto scheduler = TestScheduler::create(0, 0.0001);
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(224, 2), nextAt(226, 3)});
  auto res =
      scheduler->start([&] { return throttled(scheduler, xs, false, DTI::milliseconds(2)); });
  // At 224 0.6 ms remain (rounds to 1 ms): dropped. At 226 0.4 ms remain
  // (rounds to 0): sent.
  EXPECT_EQ(res->recorded(), (Events{nextAt(210, 1), nextAt(226, 3)}));
}

TEST(Throttle, CompletionWaitsForTheTrailingElement) {
  auto scheduler = TestScheduler::create();
  auto xs =
      scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(215, 2), completedAt<int>(220)});
  auto res = scheduler->start([&] { return throttled(scheduler, xs, true); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(210, 1), nextAt(230, 2), completedAt<int>(230)}));
  EXPECT_EQ(xs->subscriptions(), (std::vector<Subscription>{{200, 230}}));
}

TEST(Throttle, CompletionWithNothingWaitingIsImmediate) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), completedAt<int>(215)});
  auto res = scheduler->start([&] { return throttled(scheduler, xs, true); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(210, 1), completedAt<int>(215)}));
}

TEST(Throttle, AnErrorDropsTheTrailingElement) {
  auto scheduler = TestScheduler::create();
  Error error = makeError();
  auto xs = scheduler->createHotObservable<int>(
      {nextAt(210, 1), nextAt(215, 2), errorAt<int>(220, error)});
  auto res = scheduler->start([&] { return throttled(scheduler, xs, true); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(210, 1), errorAt<int>(220, error)}));
}

TEST(Throttle, ANeverPeriodLetsOnlyTheFirstElementThrough) {
  for (bool latest : {false, true}) {
    auto scheduler = TestScheduler::create();
    auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(300, 2)});
    auto res = scheduler->start([&] { return throttled(scheduler, xs, latest, DTI::never()); });
    EXPECT_EQ(res->recorded(), (Events{nextAt(210, 1)})) << "latest " << latest;
    // The trailing timer scheduled for never was cancelled by the disposal.
    EXPECT_EQ(scheduler->clock(), 1000);
  }
}

TEST(Throttle, ThePeriodIsMeasuredFromTheEndOfTheForwarding) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(235, 2)});
  auto observer = scheduler->createObserver<int>();
  Ref<Disposable> subscription;
  scheduler->scheduleAt(200, [&] {
    subscription = throttled(scheduler, xs, true)
                       ->subscribe(makeAnonymousObserver<int>([&](const Event<int>& e) {
                         observer->on(e);
                         // A slow observer: delivering 1 takes 10 seconds.
                         if (e.element() && *e.element() == 1) scheduler->sleep(10);
                       }));
  });
  scheduler->scheduleAt(1000, [&] { subscription->dispose(); });
  scheduler->start();
  // 1 was forwarded at 210 but the period runs from 220, so 2 waits for 240.
  EXPECT_EQ(observer->recorded(), (Events{nextAt(210, 1), nextAt(240, 2)}));
}

}  // namespace
}  // namespace rv
