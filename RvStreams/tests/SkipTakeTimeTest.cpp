#include <gtest/gtest.h>

#include <vector>

#include "RvStreams/Skip.h"
#include "RvStreams/SkipTakeTime.h"
#include "RvStreams/Take.h"
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

// --- skip by time ---

TEST(SkipTime, DropsTheElementsOfTheFirstDuration) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>(
      {nextAt(210, 1), nextAt(215, 2), nextAt(225, 3), nextAt(230, 4), completedAt<int>(240)});
  auto res = scheduler->start([&] { return xs | skip(DTI::seconds(20), scheduler); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(225, 3), nextAt(230, 4), completedAt<int>(240)}));
  EXPECT_EQ(xs->subscriptions(), (Subscriptions{{200, 240}}));
}

TEST(SkipTime, StopEventsPassWhileSkipping) {
  auto scheduler = TestScheduler::create();
  Error error = makeError();
  auto failing = scheduler->createHotObservable<int>({nextAt(210, 1), errorAt<int>(215, error)});
  auto res = scheduler->start([&] { return failing | skip(DTI::seconds(20), scheduler); });
  EXPECT_EQ(res->recorded(), (Events{errorAt<int>(215, error)}));

  auto scheduler2 = TestScheduler::create();
  auto completing = scheduler2->createHotObservable<int>({completedAt<int>(215)});
  auto res2 = scheduler2->start([&] { return completing | skip(DTI::seconds(20), scheduler2); });
  EXPECT_EQ(res2->recorded(), (Events{completedAt<int>(215)}));
  // The gate's timer ended with the subscription.
  EXPECT_EQ(scheduler2->clock(), 1000);
  EXPECT_EQ(completing->subscriptions(), (Subscriptions{{200, 215}}));
}

TEST(SkipTime, CountAndTimeFormsLiveSideBySide) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>(
      {nextAt(210, 1), nextAt(225, 2), nextAt(226, 3), nextAt(227, 4)});
  auto res = scheduler->start([&] { return xs | skip(DTI::seconds(20), scheduler) | skip(1); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(226, 3), nextAt(227, 4)}));
}

// --- take by time ---

TEST(TakeTime, CompletesAfterTheDuration) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(220, 2), nextAt(230, 3)});
  auto res = scheduler->start([&] { return xs | takeFor(DTI::seconds(25), scheduler); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(210, 1), nextAt(220, 2), completedAt<int>(225)}));
  EXPECT_EQ(xs->subscriptions(), (Subscriptions{{200, 225}}));
}

TEST(TakeTime, ASourceEndingFirstEndsItAndCancelsTheTimer) {
  auto scheduler = TestScheduler::create();
  Error error = makeError();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), errorAt<int>(215, error)});
  auto res =
      scheduler->start(100, 200, 218, [&] { return xs | take(DTI::seconds(25), scheduler); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(210, 1), errorAt<int>(215, error)}));
  EXPECT_EQ(scheduler->clock(), 218);  // the timer due at 225 never ran
}

TEST(TakeTime, CountAndTimeFormsLiveSideBySide) {
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>({nextAt(210, 1), nextAt(220, 2), nextAt(230, 3)});
  auto res = scheduler->start([&] { return xs | take(DTI::seconds(25), scheduler) | take(1); });
  EXPECT_EQ(res->recorded(), (Events{nextAt(210, 1), completedAt<int>(210)}));
}

TEST(TakeTime, AnObserverFeedingTheSourceDoesNotDeadlock) {
  auto scheduler = QueuedScheduler::create();
  auto source = TestSource<int>::create();
  std::vector<int> seen;
  auto subscription = (source | takeFor(DTI::seconds(5), scheduler))
                          ->subscribe(makeAnonymousObserver<int>([&](const Event<int>& e) {
                            if (const int* x = e.element()) {
                              seen.push_back(*x);
                              if (*x < 3) source->onNext(*x + 1);  // re-enters under the lock
                            }
                          }));
  source->onNext(1);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  scheduler->runAll();  // the timer completes the output
  source->onNext(9);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(source->observerCount(), 0);
  subscription->dispose();
}

}  // namespace
}  // namespace rv
