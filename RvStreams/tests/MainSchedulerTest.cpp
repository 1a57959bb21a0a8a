#include <dispatch/DispatchQueue.h>
#include <dispatch/DispatchSemaphore.h>
#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "RvStreams/MainScheduler.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/TestKit.h"

namespace rv {
namespace {

using dispatch::DispatchQueue;
using dispatch::MainLoop;
using DTI = DispatchTimeInterval;

// Runs on the main thread with an empty main queue before and after.
class MainQueueTest : public ::rv::test::MainQueueTest {
 protected:
  // Schedules on `scheduler` an action that appends `name` to `log_`.
  Ref<Disposable> logOn(ImmediateSchedulerType& scheduler, std::string name) {
    return scheduler.schedule(std::move(name), [this](std::string n) {
      log_.push_back(std::move(n));
      return Disposables::create();
    });
  }
  std::vector<std::string> log_;
};

TEST_F(MainQueueTest, IsMainAsksAboutTheQueueNotTheThread) {
  EXPECT_TRUE(isMainQueue());  // the main thread outside any block
  bool onOtherThread = true;
  std::thread([&] { onOtherThread = isMainQueue(); }).join();
  EXPECT_FALSE(onOtherThread);

  // A block of another queue, run on the main thread by `sync`.
  bool inSyncBlock = true;
  DispatchQueue::create("not.main")->sync([&] { inSyncBlock = isMainQueue(); });
  EXPECT_FALSE(inSyncBlock);

  // A block of a queue that targets the main queue.
  auto targeting = DispatchQueue::create("targets.main", dispatch::DispatchQoS::unspecified(),
                                         DispatchQueue::Attributes::serial, DispatchQueue::main());
  bool inTargetingBlock = false;
  targeting->async([&] { inTargetingBlock = isMainQueue(); });
  drain();
  EXPECT_TRUE(inTargetingBlock);
}

TEST_F(MainQueueTest, InlineWhenIdleAndReturnsTheActionsOwnDisposable) {
  auto scheduler = MainScheduler::create();
  auto own = Disposables::create([] {});
  bool ran = false;
  auto result = scheduler->schedule(Unit{}, [&](Unit) -> Ref<Disposable> {
    ran = true;
    return own;
  });
  EXPECT_TRUE(ran);
  EXPECT_EQ(result, own);
}

TEST_F(MainQueueTest, ActionScheduledFromAnInlineActionWaitsForTheQueue) {
  auto scheduler = MainScheduler::instance();
  scheduler->schedule(Unit{}, [&](Unit) {
    log_.push_back("first begins");
    logOn(*scheduler, "second");
    log_.push_back("first ends");
    return Disposables::create();
  });
  EXPECT_EQ(log_, (std::vector<std::string>{"first begins", "first ends"}));
  // While the second is queued, a new one queues behind it.
  logOn(*scheduler, "third");
  EXPECT_EQ(log_.size(), 2u);
  drain();
  EXPECT_EQ(log_, (std::vector<std::string>{"first begins", "first ends", "second", "third"}));
  // Nothing in flight any more: inline again.
  logOn(*scheduler, "inline");
  EXPECT_EQ(log_.back(), "inline");
}

TEST_F(MainQueueTest, FromABackgroundThreadRunsLaterOnTheMainQueueInOrder) {
  auto scheduler = MainScheduler::create();
  std::thread([&] {
    logOn(*scheduler, "background 1");
    logOn(*scheduler, "background 2");
  }).join();
  // Work queued by another thread is in flight: the main thread queues too.
  logOn(*scheduler, "main");
  EXPECT_TRUE(log_.empty());
  drain();
  EXPECT_EQ(log_, (std::vector<std::string>{"background 1", "background 2", "main"}));
}

TEST_F(MainQueueTest, DisposedBeforeTheQueueReachesItNeverRunsAndStillCountsDown) {
  auto scheduler = MainScheduler::create();
  Ref<Disposable> pending;
  std::thread([&] { pending = logOn(*scheduler, "disposed"); }).join();
  pending->dispose();
  drain();
  EXPECT_TRUE(log_.empty());
  logOn(*scheduler, "inline");
  EXPECT_EQ(log_, (std::vector<std::string>{"inline"}));
}

TEST_F(MainQueueTest, EachMainSchedulerCountsOnlyItsOwnActions) {
  auto busy = MainScheduler::create();
  auto idle = MainScheduler::create();
  std::thread([&] { logOn(*busy, "busy"); }).join();
  logOn(*idle, "idle");
  EXPECT_EQ(log_, (std::vector<std::string>{"idle"}));
  drain();
  EXPECT_EQ(log_, (std::vector<std::string>{"idle", "busy"}));
}

TEST_F(MainQueueTest, AsyncInstanceNeverRunsInline) {
  logOn(*MainScheduler::asyncInstance(), "async");
  EXPECT_TRUE(log_.empty());
  drain();
  EXPECT_EQ(log_, (std::vector<std::string>{"async"}));
}

TEST_F(MainQueueTest, ConcurrentMainSchedulerRunsInlineEvenAheadOfQueuedWork) {
  logOn(*MainScheduler::asyncInstance(), "queued");
  logOn(*ConcurrentMainScheduler::instance(), "inline");
  EXPECT_EQ(log_, (std::vector<std::string>{"inline"}));
  drain();
  Ref<Disposable> pending;
  std::thread([&] {
    pending = logOn(*ConcurrentMainScheduler::instance(), "from background");
  }).join();
  EXPECT_EQ(log_, (std::vector<std::string>{"inline", "queued"}));
  drain();
  EXPECT_EQ(log_, (std::vector<std::string>{"inline", "queued", "from background"}));
}

TEST_F(MainQueueTest, ConcurrentMainSchedulerSkipsWorkDisposedBeforeItRuns) {
  Ref<Disposable> pending;
  std::thread([&] { pending = logOn(*ConcurrentMainScheduler::instance(), "disposed"); }).join();
  pending->dispose();
  drain();
  EXPECT_TRUE(log_.empty());
}

TEST_F(MainQueueTest, TimedAndPeriodicWorkRunOnTheMainLoop) {
  for (const Ref<SchedulerType>& scheduler :
       {Ref<SchedulerType>(MainScheduler::instance()),
        Ref<SchedulerType>(ConcurrentMainScheduler::instance())}) {
    bool timedOnMain = false;
    auto timed = scheduler->scheduleRelative(Unit{}, DTI::milliseconds(1), [&](Unit) {
      timedOnMain = isMainQueue() && dispatch::isMainThread();
      return Disposables::create();
    });
    int runs = 0;
    auto periodic =
        scheduler->schedulePeriodic(Unit{}, DTI::seconds(0), DTI::milliseconds(1), [&](Unit u) {
          ++runs;
          return u;
        });
    EXPECT_TRUE(MainLoop::runUntil([&] { return timedOnMain && runs >= 3; }, DTI::seconds(10)));
    timed->dispose();
    periodic->dispose();
  }
}

class MainSchedulerDeathTest : public test::DeathTestBase {};

TEST_F(MainSchedulerDeathTest, EnsureExecutingOnSchedulerStopsOffTheMainQueue) {
  MainScheduler::ensureExecutingOnScheduler();  // fine on the main thread
  EXPECT_DEATH(std::thread([] { MainScheduler::ensureExecutingOnScheduler(); }).join(),
               "Fatal error: Executing on background thread\\. Please use "
               "`MainScheduler\\.instance\\.schedule` to schedule work on main thread\\.");
  EXPECT_DEATH(std::thread([] { MainScheduler::ensureExecutingOnScheduler("custom text"); }).join(),
               "Fatal error: custom text");
  // On the main thread, but inside a block of another queue.
  EXPECT_DEATH(
      DispatchQueue::create("elsewhere")->sync([] { MainScheduler::ensureExecutingOnScheduler(); }),
      "Executing on background thread");
}

TEST_F(MainSchedulerDeathTest, EnsureRunningOnMainThreadStopsOnOtherThreads) {
  MainScheduler::ensureRunningOnMainThread();
  // A block of another queue run on the main thread is still the main thread.
  DispatchQueue::create("elsewhere")->sync([] { MainScheduler::ensureRunningOnMainThread(); });
  EXPECT_DEATH(std::thread([] { MainScheduler::ensureRunningOnMainThread(); }).join(),
               "Fatal error: Running on background thread\\.");
  EXPECT_DEATH(std::thread([] { MainScheduler::ensureRunningOnMainThread("not here"); }).join(),
               "Fatal error: not here");
}

}  // namespace
}  // namespace rv
