#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "concurrency/BiasedRecursiveLock.h"
#include "concurrencyTest/FenceModes.h"
#include "concurrencyTest/InChild.h"

namespace concurrency {
namespace {

class BiasedRecursiveLockStress : public testing::BothWays {};

// A thread that keeps taking a lock gets it biased to it (nested holds too),
// sometimes while a second thread already waits for it; the second thread
// revokes the bias: the two never hold it at once and no update is lost,
// before, during and after the revocation.
TEST_P(BiasedRecursiveLockStress, BiasOwnerAndRevokingThreadExcludeEachOther) {
  for (int round = 0; round < 200; ++round) {
    BiasedRecursiveLock lock;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    long count = 0;
    auto work = [&](int times) {
      for (int i = 0; i < times; ++i) {
        std::lock_guard<BiasedRecursiveLock> outer(lock);
        std::lock_guard<BiasedRecursiveLock> nested(lock);
        if (inside.fetch_add(1) != 0) overlapped = true;
        ++count;
        inside.fetch_sub(1);
      }
    };
    work(round % 4);
    std::barrier start(2);
    std::thread other([&] {
      start.arrive_and_wait();
      work(1 + round % 50);
    });
    start.arrive_and_wait();
    work(200);
    other.join();
    work(1);
    EXPECT_FALSE(overlapped.load()) << "round " << round;
    EXPECT_EQ(count, round % 4 + 202 + round % 50) << "round " << round;
  }
}

CONCURRENCY_INSTANTIATE_BOTH_WAYS(BiasedRecursiveLockStress);

// How the owner of a lock's bias goes on after its last hold, while the
// barrier fails as another thread takes the lock.
enum class Owner { runs, blocks };

// In a child process: the revoking thread waits for an owner that runs
// (it may still be inside a hold whose plain stores nobody sees) until the
// owner has been seen, and its next hold is enough for that; it takes the
// lock of an owner that blocks at once, since the kernel proves that one off
// its processor.
int revokeDuringTheHandover(Owner how) {
  allowStoppedThreadsForTesting(how == Owner::blocks);
  setBiasThresholdForTesting(1);
  BiasedRecursiveLock lock;
  std::atomic<uintptr_t> ownerKey{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> taken{false};
  std::mutex mutex;
  std::condition_variable stopped;
  std::thread owner([&] {
    for (int i = 0; i < 3; ++i) {
      lock.lock();
      lock.unlock();
    }
    ownerKey = fenceThreadKey();
    if (how == Owner::runs) {
      while (!stop.load(std::memory_order_relaxed)) {
      }
    } else {
      std::unique_lock<std::mutex> guard(mutex);
      stopped.wait(guard, [&] { return stop.load(); });
    }
    lock.lock();
    lock.unlock();
  });
  while (ownerKey.load() == 0) std::this_thread::yield();
  failNextBarrierForTesting();
  std::thread revoker([&] {
    lock.lock();
    taken = true;
    lock.unlock();
  });
  const bool asExpected =
      how == Owner::runs
          ? testing::within([] { return revocationsWaitingForOwnersForTesting() == 1; }) && !taken
          : testing::within([&] { return taken.load(); }) && !fenceThreadSeen(ownerKey);
  {
    std::lock_guard<std::mutex> guard(mutex);
    stop = true;
  }
  stopped.notify_all();
  owner.join();
  revoker.join();
  if (!asExpected || !taken || !barrierFailed()) {
    std::fprintf(stderr, "taken %d, revocations waiting %zu\n", taken.load(),
                 revocationsWaitingForOwnersForTesting());
    return 1;
  }
  return 0;
}

TEST(BiasedRecursiveLockHandover, RevocationWaitsForARunningOwnerToBeSeen) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  CONCURRENCY_EXPECT_IN_CHILD([] { return revokeDuringTheHandover(Owner::runs); });
}

TEST(BiasedRecursiveLockHandover, RevocationTakesABlockedOwnersLockAtOnce) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  CONCURRENCY_EXPECT_IN_CHILD([] { return revokeDuringTheHandover(Owner::blocks); });
}

}  // namespace
}  // namespace concurrency
