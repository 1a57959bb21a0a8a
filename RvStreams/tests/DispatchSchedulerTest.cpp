#include <dispatch/DispatchQueue.h>
#include <dispatch/DispatchSemaphore.h>
#include <dispatch/OperationQueue.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "RvStreams/ConcurrentDispatchQueueScheduler.h"
#include "RvStreams/OperationQueueScheduler.h"
#include "RvStreams/SerialDispatchQueueScheduler.h"
#include "RvStreamsTest/TestKit.h"
#include "dispatchTest/Waiting.h"

namespace rv {
namespace {

using dispatch::DispatchQueue;
using dispatch::DispatchSemaphore;
using dispatch::DispatchTime;
using dispatch::DispatchTimeoutResult;
using test::CountingDisposable;
using DTI = DispatchTimeInterval;

using dispatch::testing::waitFor;

// Holds a serial queue busy until released, so work queued behind it waits.
class QueueBlocker {
 public:
  explicit QueueBlocker(const std::shared_ptr<DispatchQueue>& queue) {
    queue->async([this] {
      started_.signal();
      release_.wait();
    });
    started_.wait();
  }
  void release() { release_.signal(); }

 private:
  DispatchSemaphore started_{0};
  DispatchSemaphore release_{0};
};

TEST(SerialDispatchQueueScheduler, RunsActionsOnTheQueueInOrderAndNeverInline) {
  auto scheduler = SerialDispatchQueueScheduler::create("serial.order");
  const auto& queue = scheduler->configuration().queue;
  const dispatch::DispatchSpecificKey<int> key;
  queue->setSpecific(key, 7);
  std::vector<int> order;
  std::atomic<bool> allOnQueue{true};
  DispatchSemaphore done(0);
  for (int i = 0; i < 20; ++i) {
    scheduler->schedule(i, [&](int n) {
      if (DispatchQueue::getSpecific(key) != 7) allOnQueue = false;
      order.push_back(n);
      if (n == 19) done.signal();
      return Disposables::create();
    });
  }
  ASSERT_TRUE(waitFor(done));
  EXPECT_TRUE(allOnQueue);
  std::vector<int> expected;
  for (int i = 0; i < 20; ++i) expected.push_back(i);
  EXPECT_EQ(order, expected);
}

TEST(SerialDispatchQueueScheduler, DisposingBeforeTheQueueReachesTheActionKeepsItFromRunning) {
  auto scheduler = SerialDispatchQueueScheduler::create("serial.cancel");
  const auto& queue = scheduler->configuration().queue;
  QueueBlocker blocker(queue);
  bool ran = false;
  scheduler
      ->schedule(Unit{},
                 [&](Unit) {
                   ran = true;
                   return Disposables::create();
                 })
      ->dispose();
  blocker.release();
  queue->sync([] {});
  EXPECT_FALSE(ran);
}

TEST(SerialDispatchQueueScheduler, DisposingAfterTheRunDisposesTheResult) {
  auto scheduler = SerialDispatchQueueScheduler::create("serial.result");
  auto resource = CountingDisposable::create();
  auto immediate = scheduler->schedule(Unit{}, [&](Unit) -> Ref<Disposable> { return resource; });
  DispatchSemaphore fired(0);
  auto timed =
      scheduler->scheduleRelative(Unit{}, DTI::milliseconds(1), [&](Unit) -> Ref<Disposable> {
        fired.signal();
        return resource;
      });
  ASSERT_TRUE(waitFor(fired));
  scheduler->configuration().queue->sync([] {});
  EXPECT_EQ(resource->count(), 0);
  immediate->dispose();
  timed->dispose();
  EXPECT_EQ(resource->count(), 2);
}

TEST(SerialDispatchQueueScheduler, TimedActionRunsOnTheQueueAfterItsDueTime) {
  auto scheduler = SerialDispatchQueueScheduler::create("serial.timed");
  const dispatch::DispatchSpecificKey<int> key;
  scheduler->configuration().queue->setSpecific(key, 1);
  DispatchSemaphore fired(0);
  std::atomic<bool> onQueue{false};
  const auto scheduled = std::chrono::steady_clock::now();
  std::atomic<std::chrono::steady_clock::duration> elapsed{};
  auto disposable = scheduler->scheduleRelative(Unit{}, DTI::milliseconds(20), [&](Unit) {
    elapsed = std::chrono::steady_clock::now() - scheduled;
    onQueue = DispatchQueue::getSpecific(key) == 1;
    fired.signal();
    return Disposables::create();
  });
  ASSERT_TRUE(waitFor(fired));
  EXPECT_TRUE(onQueue);
  // Never early.
  EXPECT_GE(elapsed.load(), std::chrono::milliseconds(20));
  disposable->dispose();
}

TEST(SerialDispatchQueueScheduler, DisposingATimedActionWhoseFiringIsQueuedKeepsItFromRunning) {
  auto scheduler = SerialDispatchQueueScheduler::create("serial.timedCancel");
  const auto& queue = scheduler->configuration().queue;
  QueueBlocker blocker(queue);
  bool ran = false;
  // Due at once: the firing is on its way (or queued behind the blocker).
  auto disposable = scheduler->scheduleRelative(Unit{}, DTI::nanoseconds(0), [&](Unit) {
    ran = true;
    return Disposables::create();
  });
  disposable->dispose();
  blocker.release();
  queue->sync([] {});
  EXPECT_FALSE(ran);
}

TEST(SerialDispatchQueueScheduler, PeriodicPassesEachRunTheStateOfThePreviousOne) {
  auto scheduler = SerialDispatchQueueScheduler::create("serial.periodic");
  std::vector<int> states;
  DispatchSemaphore thirdRun(0);
  Ref<Disposable> disposable;
  std::mutex disposableMutex;
  {
    std::lock_guard<std::mutex> guard(disposableMutex);
    disposable = scheduler->schedulePeriodic(1, DTI::seconds(0), DTI::milliseconds(1), [&](int s) {
      states.push_back(s);
      if (states.size() == 3) {
        // Disposing from inside the run: no later run starts.
        std::lock_guard<std::mutex> guard(disposableMutex);
        disposable->dispose();
        thirdRun.signal();
      }
      return s * 2;
    });
  }
  ASSERT_TRUE(waitFor(thirdRun));
  scheduler->configuration().queue->sync([] {});
  EXPECT_EQ(states, (std::vector<int>{1, 2, 4}));
}

TEST(SerialDispatchQueueScheduler, PeriodicWithAZeroPeriodRunsBackToBack) {
  auto scheduler = SerialDispatchQueueScheduler::create("serial.backToBack");
  std::atomic<int> runs{0};
  DispatchSemaphore enough(0);
  auto disposable =
      scheduler->schedulePeriodic(Unit{}, DTI::seconds(0), DTI::seconds(0), [&](Unit u) {
        if (++runs == 50) enough.signal();
        return u;
      });
  ASSERT_TRUE(waitFor(enough));
  disposable->dispose();
}

TEST(SerialDispatchQueueScheduler, MadeWithANameCreatesItsOwnSerialQueue) {
  auto plain = SerialDispatchQueueScheduler::create("made.plain");
  EXPECT_EQ(plain->configuration().queue->label(), "made.plain");
  EXPECT_FALSE(plain->configuration().queue->isConcurrent());
  EXPECT_EQ(plain->configuration().queue->target(), DispatchQueue::global());

  std::vector<std::shared_ptr<DispatchQueue>> configured;
  auto withConfiguration = SerialDispatchQueueScheduler::create(
      "made.configured",
      [&](const std::shared_ptr<DispatchQueue>& queue) { configured.push_back(queue); },
      DTI::milliseconds(5));
  ASSERT_EQ(configured.size(), 1u);
  EXPECT_EQ(configured[0], withConfiguration->configuration().queue);
  EXPECT_EQ(withConfiguration->configuration().leeway, DTI::milliseconds(5));
}

TEST(SerialDispatchQueueScheduler, MadeOnAnotherQueueTargetsIt) {
  auto concurrent = DispatchQueue::create("made.target", dispatch::DispatchQoS::utility(),
                                          DispatchQueue::Attributes::concurrent);
  auto onTop = SerialDispatchQueueScheduler::create(concurrent, "made.onTop");
  EXPECT_EQ(onTop->configuration().queue->label(), "made.onTop");
  EXPECT_EQ(onTop->configuration().queue->target(), concurrent);
  EXPECT_FALSE(onTop->configuration().queue->isConcurrent());

  auto onGlobal =
      SerialDispatchQueueScheduler::create(dispatch::DispatchQoS::userInitiated(), "made.global");
  EXPECT_EQ(onGlobal->configuration().queue->target(),
            DispatchQueue::global(dispatch::QoSClass::userInitiated));

  auto given = DispatchQueue::create("made.given");
  EXPECT_EQ(SerialDispatchQueueScheduler::create(given)->configuration().queue, given);
}

TEST(ConcurrentDispatchQueueScheduler, EachQualityOfServiceCallMakesItsOwnQueue) {
  auto a = ConcurrentDispatchQueueScheduler::create(dispatch::DispatchQoS::userInitiated());
  auto b = ConcurrentDispatchQueueScheduler::create(dispatch::DispatchQoS::userInitiated());
  EXPECT_NE(a->configuration().queue, b->configuration().queue);
  EXPECT_EQ(a->configuration().queue->label(), b->configuration().queue->label());
  EXPECT_EQ(a->configuration().queue->label(),
            "rvstreams.queue.DispatchQoS(qosClass: userInitiated, relativePriority: 0)");
  EXPECT_TRUE(a->configuration().queue->isConcurrent());
  EXPECT_EQ(a->configuration().queue->qos(), dispatch::DispatchQoS::userInitiated());
}

TEST(ConcurrentDispatchQueueScheduler, OverASerialQueueRunsOneActionAtATime) {
  auto scheduler =
      ConcurrentDispatchQueueScheduler::create(DispatchQueue::create("concurrent.serial"));
  std::atomic<int> running{0};
  std::atomic<int> overlaps{0};
  std::vector<int> order;
  DispatchSemaphore done(0);
  for (int i = 0; i < 30; ++i) {
    scheduler->schedule(i, [&](int n) {
      if (running.fetch_add(1) != 0) ++overlaps;
      order.push_back(n);
      std::this_thread::yield();
      running.fetch_sub(1);
      if (n == 29) done.signal();
      return Disposables::create();
    });
  }
  ASSERT_TRUE(waitFor(done));
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(order.size(), 30u);
}

TEST(ConcurrentDispatchQueueScheduler, RunsTimedAndPeriodicWorkOnItsQueue) {
  auto scheduler = ConcurrentDispatchQueueScheduler::create(dispatch::DispatchQoS::utility());
  DispatchSemaphore timed(0);
  DispatchSemaphore periodic(0);
  auto a = scheduler->scheduleRelative(Unit{}, DTI::milliseconds(1), [&](Unit) {
    timed.signal();
    return Disposables::create();
  });
  std::atomic<int> runs{0};
  auto b = scheduler->schedulePeriodic(Unit{}, DTI::seconds(0), DTI::milliseconds(1), [&](Unit u) {
    if (++runs == 3) periodic.signal();
    return u;
  });
  ASSERT_TRUE(waitFor(timed));
  ASSERT_TRUE(waitFor(periodic));
  a->dispose();
  b->dispose();
}

TEST(OperationQueueScheduler, DisposingBeforeTheOperationStartsSkipsTheAction) {
  auto queue = dispatch::OperationQueue::create();
  queue->setMaxConcurrentOperationCount(0);  // nothing starts yet
  auto scheduler = OperationQueueScheduler::create(queue);
  bool ran = false;
  scheduler
      ->schedule(Unit{},
                 [&](Unit) {
                   ran = true;
                   return Disposables::create();
                 })
      ->dispose();
  EXPECT_EQ(queue->operationCount(), 1u);
  queue->setMaxConcurrentOperationCount(1);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_FALSE(ran);
  EXPECT_EQ(queue->operationCount(), 0u);
}

TEST(OperationQueueScheduler, OperationsCarryTheSchedulersPriority) {
  auto queue = dispatch::OperationQueue::create();
  queue->setMaxConcurrentOperationCount(0);
  using Priority = OperationQueueScheduler::QueuePriority;
  auto low = OperationQueueScheduler::create(queue, Priority::low);
  auto high = OperationQueueScheduler::create(queue, Priority::veryHigh);
  EXPECT_EQ(high->queuePriority(), Priority::veryHigh);
  std::vector<std::string> order;
  auto record = [&](std::string name) {
    return [&order, name](Unit) {
      order.push_back(name);
      return Disposables::create();
    };
  };
  low->schedule(Unit{}, record("low"));
  high->schedule(Unit{}, record("high"));
  queue->setMaxConcurrentOperationCount(1);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(order, (std::vector<std::string>{"high", "low"}));
}

}  // namespace
}  // namespace rv
