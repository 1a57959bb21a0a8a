#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "dispatch/DispatchSemaphore.h"
#include "dispatch/OnceToken.h"
#include "dispatch/OperationQueue.h"
#include "dispatchTest/Waiting.h"

namespace dispatch {
namespace {

using testing::waitFor;

TEST(DispatchSemaphore, CountsSignalsAndTimesOut) {
  DispatchSemaphore semaphore(2);
  EXPECT_EQ(semaphore.wait(DispatchTime::now()), DispatchTimeoutResult::success);
  EXPECT_EQ(semaphore.wait(DispatchTime::now()), DispatchTimeoutResult::success);
  EXPECT_EQ(semaphore.wait(DispatchTime::now()), DispatchTimeoutResult::timedOut);
  EXPECT_EQ(semaphore.signal(), 0);  // nobody was waiting
  EXPECT_EQ(semaphore.wait(DispatchTime::now()), DispatchTimeoutResult::success);
  const DispatchTime before = DispatchTime::now();
  EXPECT_EQ(semaphore.wait(before + DispatchTimeInterval::milliseconds(5)),
            DispatchTimeoutResult::timedOut);
  EXPECT_GE(DispatchTime::now(), before + DispatchTimeInterval::milliseconds(5));
}

TEST(DispatchSemaphore, SignalWakesAWaiterAndSaysSo) {
  DispatchSemaphore semaphore(0);
  DispatchSemaphore waiting(0);
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    waiting.signal();
    semaphore.wait();
    woke = true;
  });
  ASSERT_TRUE(waitFor(waiting));
  // The waiter may not be parked yet: the signal then reports no wake and is
  // counted instead, and the waiter takes the count.
  int64_t reported = semaphore.signal();
  waiter.join();
  EXPECT_TRUE(woke.load());
  if (reported == 0) {
    // The signal came before the wait parked: it was counted, and consumed.
    EXPECT_EQ(semaphore.wait(DispatchTime::now()), DispatchTimeoutResult::timedOut);
  }
}

TEST(DispatchSemaphore, NegativeStartStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(DispatchSemaphore(-1),
               "Fatal error: DispatchSemaphore created with a negative value");
}

TEST(OnceToken, RunsOnceUntilResetAndRetriesAfterAThrow) {
  OnceToken token;
  int runs = 0;
  EXPECT_FALSE(token.hasRun());
  EXPECT_THROW(token.perform([] { throw std::runtime_error("first try fails"); }),
               std::runtime_error);
  EXPECT_FALSE(token.hasRun());
  token.perform([&] { ++runs; });
  token.perform([&] { ++runs; });
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(token.hasRun());
  token.reset();
  EXPECT_FALSE(token.hasRun());
  token.perform([&] { ++runs; });
  EXPECT_EQ(runs, 2);
}

TEST(OnceToken, PerformFromItsOwnWorkStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  OnceToken token;
  EXPECT_DEATH(token.perform([&] { token.perform([] {}); }),
               "Fatal error: OnceToken::perform called from inside its own work would deadlock");
}

TEST(OperationQueue, PrioritiesOrderWaitingOperationsAndTiesKeepOrder) {
  auto queue = OperationQueue::create();
  std::mutex mutex;
  std::vector<int> order;
  auto record = [&](int tag) {
    return [&, tag] {
      std::lock_guard lock(mutex);
      order.push_back(tag);
    };
  };
  // Nothing starts while the limit is 0, so every operation waits and the
  // priorities alone decide.
  queue->setMaxConcurrentOperationCount(0);
  const std::pair<int, Operation::QueuePriority> added[] = {
      {1, Operation::QueuePriority::low},      {2, Operation::QueuePriority::veryHigh},
      {3, Operation::QueuePriority::normal},   {4, Operation::QueuePriority::veryLow},
      {5, Operation::QueuePriority::veryHigh}, {6, Operation::QueuePriority::high},
  };
  for (const auto& [tag, priority] : added) {
    auto operation = BlockOperation::create(record(tag));
    operation->setQueuePriority(priority);
    queue->addOperation(operation);
  }
  EXPECT_EQ(queue->operationCount(), 6u);
  queue->setMaxConcurrentOperationCount(1);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(order, (std::vector<int>{2, 5, 6, 3, 1, 4}));
  EXPECT_EQ(queue->operationCount(), 0u);
}

TEST(OperationQueue, CancelledOperationFinishesWithoutRunning) {
  auto queue = OperationQueue::create();
  queue->setMaxConcurrentOperationCount(0);
  bool ran = false;
  auto operation = BlockOperation::create([&] { ran = true; });
  queue->addOperation(operation);
  operation->cancel();
  EXPECT_FALSE(operation->isFinished());
  queue->setMaxConcurrentOperationCount(OperationQueue::defaultMaxConcurrentOperationCount);
  operation->waitUntilFinished();
  EXPECT_TRUE(operation->isFinished());
  EXPECT_TRUE(operation->isCancelled());
  EXPECT_FALSE(operation->isExecuting());
  EXPECT_FALSE(ran);
}

TEST(OperationQueue, BadInputStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto queue = OperationQueue::create();
  EXPECT_DEATH(queue->setMaxConcurrentOperationCount(-2),
               "Fatal error: OperationQueue::setMaxConcurrentOperationCount: -2 is negative");
  EXPECT_DEATH(queue->addOperation(std::shared_ptr<Operation>()),
               "addOperation called with a null operation");
  EXPECT_DEATH(BlockOperation::create(Block()), "BlockOperation created with a null block");
  auto operation = BlockOperation::create([] {});
  queue->addOperation(operation);
  EXPECT_DEATH(queue->addOperation(operation), "the operation was already added to a queue");
  queue->waitUntilAllOperationsAreFinished();
}

}  // namespace
}  // namespace dispatch
