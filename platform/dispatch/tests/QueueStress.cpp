#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "dispatch/DispatchQueue.h"
#include "dispatch/MainLoop.h"
#include "dispatchTest/Waiting.h"

namespace dispatch {
namespace {

using testing::waitFor;

// Counts blocks running at once and remembers the most seen.
struct Overlap {
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  void enter() {
    const int now = inside.fetch_add(1) + 1;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
  }
  void leave() { inside.fetch_sub(1); }
};

TEST(DispatchQueueStress, SerialQueueOnAConcurrentTargetKeepsOrderAndRunsOneAtATime) {
  auto concurrent = DispatchQueue::create("stress.pool", {}, DispatchQueue::Attributes::concurrent);
  auto serial =
      DispatchQueue::create("stress.serial", {}, DispatchQueue::Attributes::serial, concurrent);
  constexpr int kProducers = 4;
  constexpr int kEach = 2000;
  Overlap overlap;
  std::vector<int> lastSeen(kProducers, -1);  // touched only by the serial queue's blocks
  std::atomic<int> outOfOrder{0};
  DispatchSemaphore done(0);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        serial->async([&, p, i] {
          overlap.enter();
          if (lastSeen[p] != i - 1) ++outOfOrder;
          lastSeen[p] = i;
          overlap.leave();
        });
        // Other work on the same concurrent target competes for workers.
        if (i % 16 == 0) concurrent->async([] {});
      }
    });
  }
  for (auto& t : producers) t.join();
  serial->async([&] { done.signal(); });
  ASSERT_TRUE(waitFor(done));
  EXPECT_EQ(overlap.most.load(), 1);
  EXPECT_EQ(outOfOrder.load(), 0);
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(lastSeen[p], kEach - 1);
}

TEST(DispatchQueueStress, ConcurrentQueueRunsBlocksInParallel) {
  auto queue = DispatchQueue::create("stress.parallel", DispatchQoS::userInitiated(),
                                     DispatchQueue::Attributes::concurrent);
  // Four blocks that can only finish together: a serial runner would hang.
  constexpr int kParties = 4;
  std::mutex mutex;
  std::condition_variable allHere;
  int arrived = 0;
  DispatchSemaphore done(0);
  for (int i = 0; i < kParties; ++i) {
    queue->async([&] {
      {
        std::unique_lock lock(mutex);
        ++arrived;
        allHere.notify_all();
        allHere.wait(lock, [&] { return arrived == kParties; });
      }
      done.signal();
    });
  }
  for (int i = 0; i < kParties; ++i) ASSERT_TRUE(waitFor(done));
}

// Block i waits until block i + 1 has finished; the last one waits on
// nobody. All 64 must be running at once before any can finish, so the pool
// has to grow far past its core count.
TEST(DispatchQueueStress, SixtyFourBlocksEachWaitingOnTheNextFinish) {
  constexpr int kBlocks = 64;
  std::vector<std::unique_ptr<DispatchSemaphore>> finished;
  for (int i = 0; i < kBlocks; ++i) finished.push_back(std::make_unique<DispatchSemaphore>(0));
  DispatchSemaphore allDone(0);
  for (int i = 0; i < kBlocks; ++i) {
    DispatchQueue::global()->async([&, i] {
      if (i + 1 < kBlocks) finished[i + 1]->wait();
      finished[i]->signal();
      allDone.signal();
    });
  }
  for (int i = 0; i < kBlocks; ++i) ASSERT_TRUE(waitFor(allDone));
}

// The same chain waiting on plain standard-library primitives, which the
// pool cannot see: its watchdog has to notice the lack of progress.
TEST(DispatchQueueStress, BlocksWaitingOnForeignPrimitivesStillGetWorkers) {
  constexpr int kBlocks = 64;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<bool> finished(kBlocks, false);
  DispatchSemaphore allDone(0);
  auto queue = DispatchQueue::create("stress.foreign", DispatchQoS::utility(),
                                     DispatchQueue::Attributes::concurrent);
  for (int i = 0; i < kBlocks; ++i) {
    queue->async([&, i] {
      std::unique_lock lock(mutex);
      if (i + 1 < kBlocks) changed.wait(lock, [&] { return finished[i + 1]; });
      finished[i] = true;
      changed.notify_all();
      lock.unlock();
      allDone.signal();
    });
  }
  for (int i = 0; i < kBlocks; ++i) ASSERT_TRUE(waitFor(allDone));
}

TEST(DispatchQueueStress, SyncAndAsyncFromManyThreadsShareTheQueueFairly) {
  auto queue = DispatchQueue::create("stress.mixed");
  Overlap overlap;
  int counter = 0;  // guarded by the queue
  constexpr int kThreads = 6;
  constexpr int kEach = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        auto body = [&] {
          overlap.enter();
          ++counter;
          overlap.leave();
        };
        if ((i + t) % 3 == 0) {
          queue->sync(body);
        } else {
          queue->async(body);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(queue->sync([&] { return counter; }), kThreads * kEach);
  EXPECT_EQ(overlap.most.load(), 1);
}

TEST(DispatchQueueStress, SyncInsideBlocksOfOtherQueuesNests) {
  auto outer = DispatchQueue::create("stress.outer");
  auto inner = DispatchQueue::create("stress.inner");
  std::atomic<int> sum{0};
  DispatchSemaphore done(0);
  constexpr int kBlocks = 200;
  for (int i = 0; i < kBlocks; ++i) {
    DispatchQueue::global()->async([&, i] {
      outer->sync([&] { inner->sync([&] { sum += i; }); });
      done.signal();
    });
  }
  for (int i = 0; i < kBlocks; ++i) ASSERT_TRUE(waitFor(done));
  EXPECT_EQ(sum.load(), kBlocks * (kBlocks - 1) / 2);
}

TEST(DispatchQueueStress, MainQueueTakesBlocksFromManyThreadsInPerThreadOrder) {
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<int> lastSeen(kThreads, -1);  // main thread only
  int outOfOrder = 0;
  int total = 0;
  std::vector<std::thread> threads;
  auto child = DispatchQueue::create("stress.mainchild", {}, DispatchQueue::Attributes::serial,
                                     DispatchQueue::main());
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        auto& queue = (t % 2 == 0) ? DispatchQueue::main() : child;
        queue->async([&, t, i] {
          if (!isMainThread() || lastSeen[t] != i - 1) ++outOfOrder;
          lastSeen[t] = i;
          ++total;
        });
      }
    });
  }
  EXPECT_TRUE(MainLoop::runUntil([&] { return total == kThreads * kEach; },
                                 DispatchTimeInterval::seconds(30)));
  for (auto& t : threads) t.join();
  EXPECT_EQ(outOfOrder, 0);
}

}  // namespace
}  // namespace dispatch
