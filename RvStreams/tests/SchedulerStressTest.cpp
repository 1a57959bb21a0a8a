#include <dispatch/DispatchQueue.h>
#include <dispatch/DispatchSemaphore.h>
#include <dispatch/MainLoop.h>
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "RvStreams/MainScheduler.h"
#include "RvStreams/RecursiveScheduler.h"
#include "RvStreams/SchedulePeriodicRecursive.h"
#include "RvStreams/SerialDispatchQueueScheduler.h"
#include "RvStreamsTest/ManualScheduler.h"
#include "RvStreamsTest/TestKit.h"
#include "baseTest/Handoff.h"
#include "dispatchTest/Waiting.h"

namespace rv {
namespace {

using dispatch::DispatchSemaphore;
using dispatch::DispatchTime;
using dispatch::DispatchTimeoutResult;
using dispatch::MainLoop;
using test::CountingDisposable;
using test::ManualScheduler;
using DTI = DispatchTimeInterval;

using dispatch::testing::waitFor;

TEST(SchedulePeriodicRecursiveStress, ATickDuringABusyRunFollowsItInsteadOfOverlapping) {
  auto scheduler = ManualScheduler::create();
  std::atomic<int> running{0};
  std::atomic<int> overlaps{0};
  std::vector<int> states;
  DispatchSemaphore actionEntered(0);
  DispatchSemaphore releaseAction(0);
  auto disposable =
      scheduler->schedulePeriodic(0, DTI::seconds(0), DTI::seconds(1), [&](int state) {
        if (running.fetch_add(1) != 0) ++overlaps;
        states.push_back(state);
        if (state == 0) {
          actionEntered.signal();
          releaseAction.wait();
        }
        running.fetch_sub(1);
        return state + 1;
      });
  ASSERT_EQ(scheduler->pendingCount(), 1u);  // the first tick
  std::thread busy([&] { scheduler->runOne(); });
  actionEntered.wait();
  // The first tick scheduled the second before running the action; the
  // second arrives now, while the action is busy, and starts nothing.
  ASSERT_EQ(scheduler->pendingCount(), 1u);
  std::thread([&] { scheduler->runOne(); }).join();
  EXPECT_EQ(states.size(), 1u);
  releaseAction.signal();
  busy.join();
  // The busy run's end handed the second tick's run to the scheduler at once:
  // the third tick and that run wait now.
  EXPECT_EQ(scheduler->pendingCount(), 2u);
  scheduler->runOne();  // third tick: the second's run is still pending
  EXPECT_EQ(states.size(), 1u);
  scheduler->runOne();  // the second tick's run
  EXPECT_EQ(states.size(), 2u);
  disposable->dispose();
  scheduler->runAll();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(states, (std::vector<int>{0, 1}));
}

TEST(MainSchedulerStress, ActionsFromManyThreadsEachRunOnceOnTheMainThread) {
  auto scheduler = MainScheduler::create();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 200;
  std::atomic<int> ran{0};
  std::atomic<int> offMain{0};
  std::vector<std::vector<int>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        scheduler->schedule(i, [&, t](int n) {
          if (!dispatch::isMainThread()) ++offMain;
          seen[t].push_back(n);  // only the main thread writes
          ++ran;
          return Disposables::create();
        });
      }
    });
  }
  EXPECT_TRUE(
      MainLoop::runUntil([&] { return ran.load() == kThreads * kPerThread; }, DTI::seconds(20)));
  for (auto& thread : threads) thread.join();
  while (MainLoop::drainPending() != 0) {
  }
  EXPECT_EQ(offMain.load(), 0);
  for (const auto& perThread : seen) {
    ASSERT_EQ(perThread.size(), static_cast<std::size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(perThread[i], i);  // each thread's order kept
  }
  // Everything finished: the counter is back to 0 and the next action is inline.
  bool inline_ = false;
  scheduler->schedule(Unit{}, [&](Unit) {
    inline_ = true;
    return Disposables::create();
  });
  EXPECT_TRUE(inline_);
}

TEST(DispatchQueueConfigurationStress, DisposeRacingTheActionDisposesAResultExactlyOnce) {
  auto scheduler = SerialDispatchQueueScheduler::create("stress.race");
  const auto& queue = scheduler->configuration().queue;
  for (int round = 0; round < 300; ++round) {
    auto resource = CountingDisposable::create();
    std::atomic<bool> ran{false};
    auto action = [&](Unit) -> Ref<Disposable> {
      ran = true;
      return resource;
    };
    Ref<Disposable> disposable =
        round % 2 == 0 ? scheduler->schedule(Unit{}, action)
                       : scheduler->scheduleRelative(Unit{}, DTI::nanoseconds(0), action);
    std::thread disposer([&] { disposable->dispose(); });
    disposer.join();
    // A run that started before the dispose finishes before this returns;
    // none starts after it.
    queue->sync([] {});
    EXPECT_EQ(resource->count(), ran ? 1 : 0) << "round " << round;
  }
}

TEST(RecursiveSchedulerStress, DisposingAChainFromAnotherThreadStopsIt) {
  auto scheduler = SerialDispatchQueueScheduler::create("stress.recursive");
  const auto& queue = scheduler->configuration().queue;
  for (int round = 0; round < 100; ++round) {
    std::atomic<int> steps{0};
    auto chain = scheduler->scheduleRecursive(0, [&](int n, const auto& recurse) {
      base::testing::countUp(steps);
      recurse(n + 1);
    });
    std::thread disposer([&] {
      base::testing::awaitAtLeast(steps, round % 7);
      chain->dispose();
    });
    disposer.join();
    queue->sync([] {});  // the step running during the dispose has finished
    const int stepsAfterDispose = steps.load();
    queue->sync([] {});  // a step scheduled regardless would have run by now
    EXPECT_EQ(steps.load(), stepsAfterDispose) << "round " << round;
  }
}

TEST(SerialDispatchQueueSchedulerStress, SchedulingFromManyThreadsRunsEverythingOneAtATime) {
  auto scheduler = SerialDispatchQueueScheduler::create("stress.serial");
  constexpr int kThreads = 4;
  constexpr int kPerThread = 250;
  std::atomic<int> running{0};
  std::atomic<int> overlaps{0};
  int total = 0;  // written only by the queue
  DispatchSemaphore done(0);
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < kPerThread; ++i) {
        scheduler->schedule(Unit{}, [&](Unit) {
          if (running.fetch_add(1) != 0) ++overlaps;
          const bool last = ++total == kThreads * kPerThread;
          running.fetch_sub(1);
          // Signal last: the test's locals are gone once the waiter wakes.
          if (last) done.signal();
          return Disposables::create();
        });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(waitFor(done));
  EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
}  // namespace rv
