#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "RvStreams/HistoricalScheduler.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestKit.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::CountingDisposable;
using test::TestScheduler;
using DTI = DispatchTimeInterval;

// Schedules an action at `time` that appends `name` to `log`.
Ref<Disposable> logAt(TestScheduler& scheduler, int64_t time, std::vector<std::string>& log,
                      std::string name) {
  return scheduler.scheduleAt(time, [&log, name] { log.push_back(name); });
}

TEST(VirtualTimeScheduler, ItemsDueTogetherRunInSchedulingOrder) {
  auto scheduler = TestScheduler::create();
  std::vector<std::string> log;
  logAt(*scheduler, 20, log, "late");
  logAt(*scheduler, 10, log, "a");
  logAt(*scheduler, 10, log, "b");
  logAt(*scheduler, 10, log, "c");
  logAt(*scheduler, 5, log, "early");
  scheduler->start();
  EXPECT_EQ(log, (std::vector<std::string>{"early", "a", "b", "c", "late"}));
  EXPECT_EQ(scheduler->clock(), 20);
}

TEST(VirtualTimeScheduler, ImmediateWorkFromARunningActionJoinsTheSameRunAfterItemsAlreadyDue) {
  auto scheduler = TestScheduler::create();
  std::vector<std::string> log;
  scheduler->scheduleAt(10, [&] {
    log.push_back("first");
    scheduler->schedule(Unit{}, [&](Unit) {
      log.push_back("immediate");
      return Disposables::create();
    });
  });
  logAt(*scheduler, 10, log, "second");
  logAt(*scheduler, 11, log, "later");
  scheduler->start();
  EXPECT_EQ(log, (std::vector<std::string>{"first", "second", "immediate", "later"}));
}

TEST(VirtualTimeScheduler, AdvanceToRunsWhatIsDueAtTheTargetAndLeavesTheRest) {
  auto scheduler = TestScheduler::create();
  std::vector<std::string> log;
  std::vector<int64_t> clocks;
  scheduler->scheduleAt(10, [&] { clocks.push_back(scheduler->clock()); });
  logAt(*scheduler, 20, log, "at target");
  logAt(*scheduler, 21, log, "after target");
  scheduler->advanceTo(20);
  EXPECT_EQ(log, (std::vector<std::string>{"at target"}));
  EXPECT_EQ(clocks, (std::vector<int64_t>{10}));
  EXPECT_EQ(scheduler->clock(), 20);
  scheduler->advanceTo(30);
  EXPECT_EQ(log, (std::vector<std::string>{"at target", "after target"}));
  EXPECT_EQ(scheduler->clock(), 30);
}

TEST(VirtualTimeScheduler, AdvanceToAnEarlierTimeSetsTheClockBack) {
  auto scheduler = TestScheduler::create(100);
  std::vector<std::string> log;
  logAt(*scheduler, 60, log, "past");
  logAt(*scheduler, 110, log, "future");
  scheduler->advanceTo(50);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(scheduler->clock(), 50);
  scheduler->advanceTo(60);
  EXPECT_EQ(log, (std::vector<std::string>{"past"}));
}

TEST(VirtualTimeScheduler, StartNeverMovesTheClockBackForItemsInThePast) {
  auto scheduler = TestScheduler::create(100);
  std::vector<int64_t> clocks;
  scheduler->scheduleAt(40, [&] { clocks.push_back(scheduler->clock()); });
  scheduler->scheduleAt(120, [&] { clocks.push_back(scheduler->clock()); });
  scheduler->start();
  EXPECT_EQ(clocks, (std::vector<int64_t>{100, 120}));
}

TEST(VirtualTimeScheduler, SleepMovesTheClockWithoutRunningAnything) {
  auto scheduler = TestScheduler::create();
  std::vector<std::string> log;
  std::vector<int64_t> clocks;
  scheduler->scheduleAt(5, [&] { clocks.push_back(scheduler->clock()); });
  scheduler->sleep(10);
  EXPECT_EQ(scheduler->clock(), 10);
  EXPECT_TRUE(clocks.empty());
  scheduler->sleep(0);
  EXPECT_EQ(scheduler->clock(), 10);
  scheduler->start();
  // The overdue item runs with the clock left where it is.
  EXPECT_EQ(clocks, (std::vector<int64_t>{10}));
}

TEST(VirtualTimeScheduler, ADisposedItemNeverRunsAndLeavesTheQueue) {
  auto scheduler = TestScheduler::create();
  std::vector<std::string> log;
  auto disposable = logAt(*scheduler, 10, log, "disposed");
  logAt(*scheduler, 20, log, "kept");
  disposable->dispose();
  scheduler->start();
  EXPECT_EQ(log, (std::vector<std::string>{"kept"}));
  EXPECT_EQ(scheduler->debugDescription(), "[]");
}

TEST(VirtualTimeScheduler, DisposingAfterTheRunDisposesTheActionsResult) {
  auto scheduler = TestScheduler::create();
  auto resource = CountingDisposable::create();
  auto disposable = scheduler->scheduleRelativeVirtual(
      Unit{}, 5, [&](Unit) -> Ref<Disposable> { return resource; });
  scheduler->start();
  EXPECT_EQ(resource->count(), 0);
  disposable->dispose();
  EXPECT_EQ(resource->count(), 1);
}

TEST(VirtualTimeScheduler, StartFromInsideAnActionReturnsAtOnce) {
  auto scheduler = TestScheduler::create();
  std::vector<std::string> log;
  scheduler->scheduleAt(10, [&] {
    scheduler->start();
    log.push_back("after nested start");
  });
  logAt(*scheduler, 20, log, "next");
  scheduler->start();
  EXPECT_EQ(log, (std::vector<std::string>{"after nested start", "next"}));
}

TEST(VirtualTimeScheduler, StopEndsTheRunAfterTheCurrentItem) {
  auto scheduler = TestScheduler::create();
  std::vector<std::string> log;
  scheduler->scheduleAt(10, [&] {
    log.push_back("stopper");
    scheduler->stop();
  });
  logAt(*scheduler, 10, log, "same time");
  scheduler->start();
  EXPECT_EQ(log, (std::vector<std::string>{"stopper"}));
  scheduler->start();
  EXPECT_EQ(log, (std::vector<std::string>{"stopper", "same time"}));
}

TEST(VirtualTimeScheduler, RelativeSchedulingUsesAdjustScheduledTime) {
  // A subclass that delays everything scheduled relative to now by 3 ticks.
  class Delaying final : public VirtualTimeScheduler<test::TestSchedulerConverter> {
   public:
    Delaying() : VirtualTimeScheduler(0, test::TestSchedulerConverter{}) {}
    int64_t adjustScheduledTime(int64_t time) const override { return time + 3; }
  };
  auto scheduler = std::make_shared<Delaying>();
  std::vector<int64_t> clocks;
  scheduler->scheduleRelative(Unit{}, DTI::seconds(2), [&](Unit) {
    clocks.push_back(scheduler->clock());
    return Disposables::create();
  });
  scheduler->schedule(Unit{}, [&](Unit) {
    clocks.push_back(scheduler->clock());
    return Disposables::create();
  });
  scheduler->start();
  EXPECT_EQ(clocks, (std::vector<int64_t>{3, 5}));
}

TEST(HistoricalScheduler, RelativeDueTimeIsCountedFromTheClock) {
  const Date c(1000.0);
  auto scheduler = HistoricalScheduler::create(c);
  std::vector<Date> times;
  scheduler->scheduleRelative(Unit{}, DTI::seconds(5), [&](Unit) {
    times.push_back(scheduler->now());
    return Disposables::create();
  });
  scheduler->scheduleRelative(Unit{}, DTI::milliseconds(1500), [&](Unit) {
    times.push_back(scheduler->now());
    return Disposables::create();
  });
  EXPECT_EQ(scheduler->debugDescription(),
            "[2001-01-01 00:16:41 +0000, 2001-01-01 00:16:45 +0000]");
  scheduler->start();
  EXPECT_EQ(times, (std::vector<Date>{c + 1.5, c + 5.0}));
  EXPECT_EQ(scheduler->clock(), c + 5.0);
}

TEST(HistoricalScheduler, DefaultsToTheReferenceDate) {
  EXPECT_EQ(HistoricalScheduler::create()->now(), Date(0));
}

TEST(HistoricalScheduler, PeriodicRunsAtEveryPeriodIncludingTheStart) {
  auto scheduler = HistoricalScheduler::create(Date(0));
  std::vector<std::pair<int, Date>> runs;
  auto subscription =
      scheduler->schedulePeriodic(0, DTI::seconds(0), DTI::milliseconds(250), [&](int state) {
        runs.emplace_back(state, scheduler->now());
        return state + 10;
      });
  scheduler->advanceTo(Date(0.75));
  EXPECT_EQ(runs, (std::vector<std::pair<int, Date>>{
                      {0, Date(0)}, {10, Date(0.25)}, {20, Date(0.5)}, {30, Date(0.75)}}));
  subscription->dispose();
  scheduler->advanceTo(Date(10));
  EXPECT_EQ(runs.size(), 4u);
  EXPECT_EQ(scheduler->debugDescription(), "[]");
}

TEST(HistoricalScheduler, PeriodicWaitsForStartAfter) {
  auto scheduler = HistoricalScheduler::create(Date(0));
  std::vector<Date> runs;
  auto subscription =
      scheduler->schedulePeriodic(Unit{}, DTI::seconds(1), DTI::milliseconds(500), [&](Unit u) {
        runs.push_back(scheduler->now());
        return u;
      });
  scheduler->advanceTo(Date(2));
  EXPECT_EQ(runs, (std::vector<Date>{Date(1), Date(1.5), Date(2)}));
  subscription->dispose();
}

TEST(HistoricalScheduler, PeriodicWithANeverPeriodRunsOnceAndTheRunEnds) {
  auto scheduler = HistoricalScheduler::create(Date(0));
  int runs = 0;
  auto subscription =
      scheduler->schedulePeriodic(Unit{}, DTI::seconds(1), DTI::never(), [&](Unit u) {
        ++runs;
        return u;
      });
  // Would never return if the emulation kept rescheduling at the distant future.
  scheduler->start();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(scheduler->now(), Date(1));
  subscription->dispose();
}

TEST(HistoricalScheduler, PeriodicWithAZeroPeriodRunsBackToBack) {
  auto scheduler = HistoricalScheduler::create(Date(7));
  int runs = 0;
  auto subscription =
      scheduler->schedulePeriodic(Unit{}, DTI::seconds(0), DTI::seconds(0), [&](Unit u) {
        if (++runs == 5) scheduler->stop();
        return u;
      });
  scheduler->start();
  EXPECT_EQ(runs, 5);
  EXPECT_EQ(scheduler->now(), Date(7));
  subscription->dispose();
}

TEST(HistoricalScheduler, DisposingThePeriodicFromItsActionStopsIt) {
  auto scheduler = HistoricalScheduler::create(Date(0));
  int runs = 0;
  Ref<Disposable> subscription;
  subscription = scheduler->schedulePeriodic(Unit{}, DTI::seconds(1), DTI::seconds(1), [&](Unit u) {
    if (++runs == 2) subscription->dispose();
    return u;
  });
  scheduler->start();  // ends: nothing is left to run
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(scheduler->now(), Date(2));
}

class VirtualTimeSchedulerDeathTest : public test::DeathTestBase {};

TEST_F(VirtualTimeSchedulerDeathTest, AdvanceToFromInsideAnActionStops) {
  EXPECT_DEATH(
      {
        auto scheduler = TestScheduler::create();
        scheduler->scheduleAt(1, [&] { scheduler->advanceTo(5); });
        scheduler->start();
      },
      "Fatal error: Scheduler is already running");
}

TEST_F(VirtualTimeSchedulerDeathTest, SleepingToThePastStops) {
  EXPECT_DEATH(HistoricalScheduler::create(Date(5))->sleep(-0.5),
               "Fatal error: Can't sleep to past\\.");
}

TEST_F(VirtualTimeSchedulerDeathTest, SchedulingOffTheMainQueueStops) {
  const char* message =
      "Fatal error: Executing on background thread\\. Please use "
      "`MainScheduler\\.instance\\.schedule` to schedule work on main thread\\.";
  auto scheduler = TestScheduler::create();
  EXPECT_DEATH(std::thread([&] { scheduler->scheduleAt(1, [] {}); }).join(), message);
  EXPECT_DEATH(std::thread([&] { scheduler->start(); }).join(), message);
  EXPECT_DEATH(std::thread([&] { scheduler->advanceTo(3); }).join(), message);
  EXPECT_DEATH(std::thread([&] { scheduler->sleep(3); }).join(), message);
  EXPECT_DEATH(std::thread([&] { scheduler->stop(); }).join(), message);
}

// The test kit itself: hot and cold sources and `start`.
TEST(TestSchedulerKit, HotSourceSendsAtItsTicksToWhoeverIsSubscribed) {
  using test::completedAt;
  using test::nextAt;
  using test::Subscription;
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createHotObservable<int>(
      {nextAt(150, 1), nextAt(210, 2), nextAt(500, 3), nextAt(1100, 4), completedAt<int>(1200)});
  auto res = scheduler->start([&] { return xs; });
  EXPECT_EQ(res->recorded(), (std::vector<test::Recorded<int>>{nextAt(210, 2), nextAt(500, 3)}));
  EXPECT_EQ(xs->subscriptions(), (std::vector<Subscription>{{200, 1000}}));
}

TEST(TestSchedulerKit, ColdSourceCountsFromEachSubscription) {
  using test::completedAt;
  using test::nextAt;
  using test::Subscription;
  auto scheduler = TestScheduler::create();
  auto xs = scheduler->createColdObservable<int>({nextAt(10, 1), completedAt<int>(30)});
  auto res = scheduler->start(0, 100, 1000, [&] { return xs; });
  EXPECT_EQ(res->recorded(),
            (std::vector<test::Recorded<int>>{nextAt(110, 1), completedAt<int>(130)}));
  EXPECT_EQ(xs->subscriptions(), (std::vector<Subscription>{{100, 1000}}));
}

TEST(TestSchedulerKit, ResolutionConvertsDispatchIntervalsToTicks) {
  auto scheduler = TestScheduler::create(0, 0.001);  // a tick is a millisecond
  std::vector<int64_t> clocks;
  scheduler->scheduleRelative(Unit{}, DTI::milliseconds(300), [&](Unit) {
    clocks.push_back(scheduler->clock());
    return Disposables::create();
  });
  scheduler->start();
  EXPECT_EQ(clocks, (std::vector<int64_t>{300}));
}

}  // namespace
}  // namespace rv
