#include <dispatch/DispatchSemaphore.h>
#include <gtest/gtest.h>

#include <vector>

#include "RvStreams/CurrentThreadScheduler.h"
#include "RvStreams/RecursiveScheduler.h"
#include "RvStreams/SerialDispatchQueueScheduler.h"
#include "RvStreamsTest/TestScheduler.h"

namespace rv {
namespace {

using test::TestScheduler;
using DTI = DispatchTimeInterval;

TEST(RecursiveScheduling, OnTheTrampolineTheWholeChainRunsInsideTheCall) {
  ASSERT_TRUE(CurrentThreadScheduler::isScheduleRequired());
  std::vector<int> steps;
  using Chain = RecursiveImmediateScheduler<int>;
  auto chain = Chain::create(
      [&](int n, const Chain::Recurse& recurse) {
        steps.push_back(n);
        if (n < 5) recurse(n + 1);
      },
      CurrentThreadScheduler::instance());
  chain->schedule(1);
  EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(chain->pendingStepCount(), 0u);
  EXPECT_FALSE(CurrentThreadScheduler::hasQueue());
}

TEST(RecursiveScheduling, ScheduleRecursiveCompletesOnTheTrampoline) {
  std::vector<int> steps;
  auto disposable =
      CurrentThreadScheduler::instance()->scheduleRecursive(10, [&](int n, const auto& recurse) {
        steps.push_back(n);
        if (n > 7) recurse(n - 1);
      });
  EXPECT_EQ(steps, (std::vector<int>{10, 9, 8, 7}));
  disposable->dispose();
}

TEST(RecursiveScheduling, OnAnAsynchronousSchedulerExactlyTheNextStepIsPending) {
  auto scheduler = TestScheduler::create();
  using Chain = AnyRecursiveScheduler<int>;
  std::vector<std::pair<int, int64_t>> steps;
  std::vector<std::size_t> pendingAfterStep;
  auto chain = Chain::create(scheduler, [&](int n, Chain& self) {
    steps.emplace_back(n, scheduler->clock());
    self.schedule(n + 1, DTI::seconds(10));
    pendingAfterStep.push_back(self.pendingStepCount());
  });
  chain->schedule(0, DTI::seconds(5));
  EXPECT_EQ(chain->pendingStepCount(), 1u);
  scheduler->advanceTo(25);
  EXPECT_EQ(steps, (std::vector<std::pair<int, int64_t>>{{0, 5}, {1, 15}, {2, 25}}));
  EXPECT_EQ(pendingAfterStep, (std::vector<std::size_t>{1, 1, 1}));
  // Disposing the chain cancels the pending step.
  chain->dispose();
  EXPECT_EQ(chain->pendingStepCount(), 0u);
  scheduler->start();
  EXPECT_EQ(steps.size(), 3u);
  EXPECT_EQ(scheduler->clock(), 25);
}

TEST(RecursiveScheduling, ImmediateStepsThroughTheTimedChain) {
  auto scheduler = TestScheduler::create();
  std::vector<int64_t> clocks;
  auto disposable = scheduler->scheduleRecursive(0, DTI::seconds(3),
                                                 [&](int n, AnyRecursiveScheduler<int>& self) {
                                                   clocks.push_back(scheduler->clock());
                                                   if (n < 2) self.schedule(n + 1);
                                                 });
  scheduler->start();
  EXPECT_EQ(clocks, (std::vector<int64_t>{3, 3, 3}));
  disposable->dispose();
}

TEST(RecursiveScheduling, DisposingFromInsideTheActionStopsTheStepItSchedulesAfterwards) {
  auto scheduler = TestScheduler::create();
  int runs = 0;
  Ref<Disposable> disposable;
  disposable = scheduler->scheduleRecursive(0, [&](int n, const auto& recurse) {
    ++runs;
    disposable->dispose();
    recurse(n + 1);  // refused by the disposed group
  });
  scheduler->start();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(scheduler->debugDescription(), "[]");
}

TEST(RecursiveScheduling, DisposingBeforeADequeuedStepRunsSkipsIt) {
  auto scheduler = TestScheduler::create();
  std::vector<int> steps;
  Ref<Disposable> chainDisposable;
  // An item ahead of the pending step disposes the chain when it runs.
  chainDisposable = scheduler->scheduleRecursive(0, DTI::seconds(2),
                                                 [&](int n, AnyRecursiveScheduler<int>& self) {
                                                   steps.push_back(n);
                                                   self.schedule(n + 1, DTI::seconds(2));
                                                 });
  scheduler->scheduleAt(3, [&] { chainDisposable->dispose(); });
  scheduler->start();
  EXPECT_EQ(steps, (std::vector<int>{0}));
}

TEST(RecursiveScheduling, TwoNextStepsMakeTwoTrackedBranches) {
  auto scheduler = TestScheduler::create();
  using Chain = AnyRecursiveScheduler<int>;
  std::vector<std::pair<int, int64_t>> steps;
  auto chain = Chain::create(scheduler, [&](int depth, Chain& self) {
    steps.emplace_back(depth, scheduler->clock());
    if (depth == 0) {
      self.schedule(1, DTI::seconds(1));
      self.schedule(1, DTI::seconds(2));
    }
  });
  chain->schedule(0, DTI::seconds(0));
  scheduler->advanceTo(0);
  EXPECT_EQ(chain->pendingStepCount(), 2u);
  scheduler->advanceTo(1);
  EXPECT_EQ(chain->pendingStepCount(), 1u);
  chain->dispose();
  scheduler->start();
  EXPECT_EQ(steps, (std::vector<std::pair<int, int64_t>>{{0, 0}, {1, 1}}));
}

TEST(RecursiveScheduling, OnASerialQueueOneStepIsPendingAtATime) {
  auto scheduler = SerialDispatchQueueScheduler::create("recursive.serial");
  dispatch::DispatchSemaphore finished(0);
  using Chain = RecursiveImmediateScheduler<int>;
  Ref<Chain> chain;
  std::vector<std::pair<std::size_t, std::size_t>> pending;  // before and after recursing
  chain = Chain::create(
      [&](int n, const Chain::Recurse& recurse) {
        const std::size_t before = chain->pendingStepCount();
        if (n < 4) recurse(n + 1);
        pending.emplace_back(before, chain->pendingStepCount());
        if (n == 4) finished.signal();
      },
      scheduler);
  chain->schedule(0);
  ASSERT_EQ(finished.wait(dispatch::DispatchTime::now() + DTI::seconds(10)),
            dispatch::DispatchTimeoutResult::success);
  // Wait for the last step's bookkeeping to finish on the queue.
  scheduler->configuration().queue->sync([] {});
  EXPECT_EQ(pending, (std::vector<std::pair<std::size_t, std::size_t>>{
                         {0, 1}, {0, 1}, {0, 1}, {0, 1}, {0, 0}}));
  chain->dispose();
}

}  // namespace
}  // namespace rv
