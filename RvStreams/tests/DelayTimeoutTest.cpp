#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RvStreams/Delay.h"
#include "RvStreams/RvError.h"
#include "RvStreams/Timeout.h"
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
using Subscriptions = std::vector<Subscription>;
using Log = std::vector<std::string>;

// --- delay ---

TEST(Delay, ShiftsElementsAndCompletionKeepingTheirSpacing) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>(
      {nextAt(210, 1), nextAt(211, 2), nextAt(215, 3), completedAt<int>(216)});
  auto res = scheduler->start([&] { return xs | delay(DTI::seconds(10), scheduler); });
  EXPECT_EQ(res->recorded(),
            (Events{nextAt(220, 1), nextAt(221, 2), nextAt(225, 3), completedAt<int>(226)}));
  EXPECT_EQ(xs->subscriptions(), (Subscriptions{{200, 216}}));
}

TEST(Delay, ElementsDueTogetherKeepTheirOrderAndAnIdlePeriodRestartsTheDrain) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>(
      {nextAt(210, 1), nextAt(210, 2), nextAt(250, 3), completedAt<int>(300)});
  auto res = scheduler->start([&] { return xs | delay(DTI::seconds(10), scheduler); });
  EXPECT_EQ(res->recorded(),
            (Events{nextAt(220, 1), nextAt(220, 2), nextAt(260, 3), completedAt<int>(310)}));
}

TEST(Delay, AnErrorIsNotDelayedAndDropsWhatWaits) {
  auto scheduler = TestScheduler::create();
  Error error = makeError();
  auto xs = scheduler->createHotObservable<int>(
      {nextAt(210, 1), nextAt(211, 2), errorAt<int>(213, error), nextAt(214, 3)});
  auto res = scheduler->start([&] { return xs | delay(DTI::seconds(10), scheduler); });
  EXPECT_EQ(res->recorded(), (Events{errorAt<int>(213, error)}));
  EXPECT_EQ(xs->subscriptions(), (Subscriptions{{200, 213}}));
}

TEST(Delay, DisposalWhileElementsWaitEmitsNothingMore) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(215, 2)});
  auto res =
      scheduler->start(100, 200, 218, [&] { return xs | delay(DTI::seconds(10), scheduler); });
  EXPECT_TRUE(res->recorded().empty());
  EXPECT_EQ(scheduler->clock(), 218);  // the drain due at 220 was cancelled
}

TEST(Delay, AnErrorDuringForwardingFollowsTheForwardedElement) {
  auto scheduler = QueuedScheduler::create();
  auto source = TestSource<int>::create();
  Error error = makeError();
  auto observer = RecordingObserver<int>::create();
  auto subscription = (source | delay(DTI::seconds(10), scheduler))
                          ->subscribe(makeAnonymousObserver<int>([&](const Event<int>& e) {
                            observer->on(e);
                            if (e.isNext()) source->onError(error);  // arrives mid-forwarding
                          }));
  source->onNext(1);
  source->onNext(2);
  scheduler->runAll();
  EXPECT_EQ(observer->events(),
            (std::vector<Event<int>>{Event<int>::next(1), Event<int>::error(error)}));
  subscription->dispose();
}

TEST(Delay, AnErrorBetweenDrainsGoesOutAtOnceAndTheDrainThenDoesNothing) {
  auto scheduler = QueuedScheduler::create();
  auto source = TestSource<int>::create();
  Error error = makeError();
  auto observer = RecordingObserver<int>::create();
  auto subscription = (source | delay(DTI::seconds(10), scheduler))->subscribe(observer);
  source->onNext(1);
  source->onError(error);
  EXPECT_EQ(observer->events(), (std::vector<Event<int>>{Event<int>::error(error)}));
  scheduler->runAll();
  EXPECT_EQ(observer->events().size(), 1u);
}

TEST(DelaySubscription, SubscribesOnlyAfterTheDueTime) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createColdObservable<int>({nextAt(10, 1), completedAt<int>(20)});
  auto res = scheduler->start([&] { return xs | delaySubscription(DTI::seconds(30), scheduler); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(240, 1), completedAt<int>(250)}));
  EXPECT_EQ(xs->subscriptions(), (Subscriptions{{230, 250}}));
}

TEST(DelaySubscription, DisposalBeforeTheDueTimeMeansNoSubscriptionAtAll) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createColdObservable<int>({nextAt(10, 1)});
  auto res = scheduler->start(100, 200, 220,
                              [&] { return xs | delaySubscription(DTI::seconds(30), scheduler); });
  EXPECT_TRUE(res->recorded().empty());
  EXPECT_TRUE(xs->subscriptions().empty());
}

// --- timeout ---

std::string errorText(const Event<int>& event) {
  try {
    std::rethrow_exception(*event.error());
  } catch (const RvError& e) {
    return e.kind() == RvError::Kind::timeout ? e.what() : "other RvError";
  } catch (...) {
    return "not an RvError";
  }
}

TEST(Timeout, NoElementInTimeFailsWithTheTimeoutError) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>({nextAt(230, 1)});
  auto res = scheduler->start([&] { return xs | timeout(DTI::seconds(20), scheduler); });
  auto recorded = res->recorded();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].time, 220);
  ASSERT_NE(recorded[0].event.error(), nullptr);
  EXPECT_EQ(errorText(recorded[0].event), "Sequence timeout.");
  EXPECT_EQ(xs->subscriptions(), (Subscriptions{{200, 220}}));
}

TEST(Timeout, NoElementInTimeSwitchesToTheOtherSequence) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>({nextAt(230, 1), completedAt<int>(300)});
  auto ys = scheduler->createColdObservable<int>({nextAt(10, 100), completedAt<int>(20)});
  auto res = scheduler->start([&] { return xs | timeout(DTI::seconds(20), ys, scheduler); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(230, 100), completedAt<int>(240)}));
  EXPECT_EQ(xs->subscriptions(), (Subscriptions{{200, 220}}));
  EXPECT_EQ(ys->subscriptions(), (Subscriptions{{220, 240}}));
}

TEST(Timeout, ElementsInTimeAllPassAndNothingSwitches) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>(
      {nextAt(210, 1), nextAt(225, 2), nextAt(240, 3), completedAt<int>(255)});
  auto ys = scheduler->createColdObservable<int>({nextAt(10, 100)});
  auto res = scheduler->start([&] { return xs | timeout(DTI::seconds(20), ys, scheduler); });
  EXPECT_EQ(res->recorded(),
            (Events{nextAt(210, 1), nextAt(225, 2), nextAt(240, 3), completedAt<int>(255)}));
  EXPECT_TRUE(ys->subscriptions().empty());
}

TEST(Timeout, ALongGapAfterSomeElementsSwitchesAndDropsTheSource) {
  auto scheduler = TestScheduler::create();
  Error error = makeError();
  auto xs = scheduler->createHotObservable<int>(
      {nextAt(210, 1), nextAt(220, 2), nextAt(260, 3), completedAt<int>(270)});
  auto ys = scheduler->createColdObservable<int>({nextAt(5, 100), errorAt<int>(10, error)});
  auto res = scheduler->start([&] { return xs | timeout(DTI::seconds(20), ys, scheduler); });
  EXPECT_EQ(res->recorded(),
            (Events{nextAt(210, 1), nextAt(220, 2), nextAt(245, 100), errorAt<int>(250, error)}));
  EXPECT_EQ(xs->subscriptions(), (Subscriptions{{200, 240}}));
}

TEST(Timeout, AnElementAndTheTimerAtTheSameMomentNeverBothWin) {
  {
    // The hot element was scheduled before the timer: the element wins.
    auto scheduler = TestScheduler::create();
    auto xs = scheduler->createHotObservable<int>({nextAt(220, 1)});
    auto ys = scheduler->createColdObservable<int>({nextAt(1, 100)});
    auto res = scheduler->start([&] { return xs | timeout(DTI::seconds(20), ys, scheduler); });
    EXPECT_EQ(res->recorded(), (Events{nextAt(220, 1), nextAt(241, 100)}));
  }
  {
    // The cold element was scheduled after the timer: the timer wins.
    auto scheduler = TestScheduler::create();
    auto xs = scheduler->createColdObservable<int>({nextAt(20, 1)});
    auto ys = scheduler->createColdObservable<int>({nextAt(1, 100)});
    auto res = scheduler->start([&] { return xs | timeout(DTI::seconds(20), ys, scheduler); });
    EXPECT_EQ(res->recorded(), (Events{nextAt(221, 100)}));
  }
}

// A source that keeps its observers after their subscriptions end, as one
// delivering from another thread may still do for events already under way.
class StickySource final : public Observable<int> {
 public:
  Ref<Disposable> subscribe(Ref<ObserverType<int>> observer) override {
    observers_.push_back(std::move(observer));
    return Disposables::create();
  }
  void push(const Event<int>& event) {
    for (auto& o : observers_) o->on(event);
  }

 private:
  std::vector<Ref<ObserverType<int>>> observers_;
};

TEST(Timeout, AStaleTimerFiringAfterTheSwitchDoesNotReopenTheSource) {
  auto scheduler = QueuedScheduler::create();  // cancelled timers still fire
  auto source = std::make_shared<StickySource>();
  auto other = TestSource<int>::create();
  auto observer = RecordingObserver<int>::create();
  auto subscription = (source | timeout(DTI::seconds(20), other, scheduler))->subscribe(observer);
  source->push(Event<int>::next(1));  // timer 0 becomes stale, timer 1 starts
  ASSERT_EQ(scheduler->waiting(), 2u);
  scheduler->run(1);  // timer 1 wins: switch to other
  scheduler->run(0);  // stale timer 0, too late
  source->push(Event<int>::next(2));
  source->push(Event<int>::completed());
  other->onNext(100);
  EXPECT_EQ(observer->descriptions(), (Log{"next(1)", "next(100)"}));
  subscription->dispose();
}

}  // namespace
}  // namespace rv
