#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "dispatch/DispatchQueue.h"
#include "dispatch/DispatchSemaphore.h"
#include "dispatch/OnceToken.h"
#include "dispatch/OperationQueue.h"
#include "dispatchTest/Waiting.h"

namespace dispatch {
namespace {

TEST(SyncPrimitivesStress, SemaphoreHandsOutEverySignalExactlyOnce) {
  DispatchSemaphore semaphore(0);
  constexpr int kThreads = 6;
  constexpr int kEach = 2000;
  std::atomic<int> taken{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        if (t % 2 == 0) {
          semaphore.signal();
        } else {
          semaphore.wait();
          ++taken;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(taken.load(), kThreads / 2 * kEach);
  EXPECT_EQ(semaphore.wait(DispatchTime::now()), DispatchTimeoutResult::timedOut);
}

TEST(SyncPrimitivesStress, TimedWaitsRacingSignalsLoseNoSignal) {
  DispatchSemaphore semaphore(0);
  constexpr int kSignals = 3000;
  std::atomic<int> taken{0};
  std::thread signaller([&] {
    for (int i = 0; i < kSignals; ++i) semaphore.signal();
  });
  std::vector<std::thread> waiters;
  for (int w = 0; w < 3; ++w) {
    waiters.emplace_back([&] {
      while (taken.load() < kSignals) {
        if (semaphore.wait(DispatchTime::now() + DispatchTimeInterval::microseconds(50)) ==
            DispatchTimeoutResult::success) {
          ++taken;
        }
      }
    });
  }
  signaller.join();
  for (auto& thread : waiters) thread.join();
  EXPECT_EQ(taken.load(), kSignals);
  EXPECT_EQ(semaphore.wait(DispatchTime::now()), DispatchTimeoutResult::timedOut);
}

TEST(SyncPrimitivesStress, OnceTokenRunsOnceWhileOthersWaitForIt) {
  for (int round = 0; round < 20; ++round) {
    OnceToken token;
    std::atomic<int> runs{0};
    std::atomic<int> sawUnfinished{0};
    std::atomic<bool> finished{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
      threads.emplace_back([&] {
        token.perform([&] {
          ++runs;
          std::this_thread::yield();
          finished = true;
        });
        // Whoever returns must see the work done.
        if (!finished.load()) ++sawUnfinished;
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(sawUnfinished.load(), 0);
  }
}

TEST(SyncPrimitivesStress, OperationQueueNeverExceedsItsLimit) {
  auto queue = OperationQueue::create();
  queue->setMaxConcurrentOperationCount(3);
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  std::atomic<int> ran{0};
  std::vector<std::thread> adders;
  for (int t = 0; t < 4; ++t) {
    adders.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        queue->addOperation([&] {
          const int now = inside.fetch_add(1) + 1;
          int seen = most.load();
          while (now > seen && !most.compare_exchange_weak(seen, now)) {
          }
          std::this_thread::yield();
          inside.fetch_sub(1);
          ++ran;
        });
      }
    });
  }
  for (auto& thread : adders) thread.join();
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(ran.load(), 400);
  EXPECT_LE(most.load(), 3);
  EXPECT_GE(most.load(), 1);
}

TEST(SyncPrimitivesStress, OperationsWaitingOnEachOtherFinishWithoutALimit) {
  auto queue = OperationQueue::create();
  constexpr int kOperations = 32;
  std::vector<std::shared_ptr<Operation>> operations;
  for (int i = 0; i < kOperations; ++i) {
    operations.push_back(BlockOperation::create([&operations, i] {
      if (i + 1 < kOperations) operations[i + 1]->waitUntilFinished();
    }));
  }
  for (auto& operation : operations) queue->addOperation(operation);
  queue->waitUntilAllOperationsAreFinished();
  for (auto& operation : operations) EXPECT_TRUE(operation->isFinished());
}

}  // namespace
}  // namespace dispatch
