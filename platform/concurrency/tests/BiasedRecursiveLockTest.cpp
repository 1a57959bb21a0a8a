#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <latch>
#include <mutex>
#include <thread>

#include "concurrency/BiasedRecursiveLock.h"
#include "concurrencyTest/FenceModes.h"
#include "concurrencyTest/InChild.h"
#include "concurrencyTest/Processors.h"
#include "concurrencyTest/Refuse.h"

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
enum class Owner { runs, blocks, ends };

// In a child process: the revoking thread takes the lock of an owner that
// holds nothing, as it would an ordinary lock, while the owner runs on a
// processor of its own (with a real-time policy where it may have one, so
// that nothing preempts it), waits in poll(), or has ended, and whatever the
// owner does, well within 100 ms; the blocked owner's poll() goes on
// undisturbed. `refused`: the kernel also refuses the answers about other
// threads' scheduling (the owner is then shown blocked, or busy in user
// code, through /proc).
int revokeDuringTheHandover(Owner how, bool refused) {
  // Attached first, so that it does not take over the entry (and the bias)
  // of an owner that has ended.
  attachFenceThread();
  setBiasThresholdForTesting(1);
  int first = 0;
  int second = 0;
  if (how == Owner::runs && !testing::pinnedBesideAnother(first, second)) {
    return testing::kSkippedInChild;
  }
  BiasedRecursiveLock lock;
  std::atomic<uintptr_t> ownerKey{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> interrupted{false};
  int wake[2];
  if (pipe(wake) != 0) return 2;
  std::thread owner([&] {
    for (int i = 0; i < 3; ++i) {
      lock.lock();
      lock.unlock();
    }
    if (how == Owner::runs) {
      const sched_param priority{1};
      if (!testing::pinTo(second) ||
          pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) != 0) {
        std::fputs("no real-time policy here: the owner may be preempted\n", stderr);
      }
    }
    ownerKey = fenceThreadKey();
    if (how == Owner::runs) {
      while (!stop.load(std::memory_order_relaxed)) {
      }
    } else if (how == Owner::blocks) {
      pollfd readable{wake[0], POLLIN, 0};
      if (poll(&readable, 1, -1) < 0) interrupted = true;
    }
  });
  while (ownerKey.load() == 0) std::this_thread::yield();
  if (how == Owner::ends) owner.join();
  if (!testing::refuseBarrier({.schedulerAnswers = refused})) {
    std::perror("installing the filter");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  lock.lock();  // revokes the bias: the barrier fails here
  const auto took = std::chrono::steady_clock::now() - start;
  lock.unlock();
  const bool seen = fenceThreadSeen(ownerKey);
  stop = true;
  if (write(wake[1], "x", 1) != 1) return 2;
  if (owner.joinable()) owner.join();
  const bool fine = barrierFailed() && took < testing::kBusyThreadOrderedWithin && !interrupted &&
                    seen == (how == Owner::ends);
  if (!fine) {
    std::fprintf(
        stderr, "took %lld us, owner seen %d, its poll interrupted %d\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()),
        seen, interrupted.load());
  }
  return fine ? 0 : 1;
}

TEST(BiasedRecursiveLockHandover, RevocationTakesTheLockWhateverTheOwnerDoes) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  struct Row {
    Owner how;
    bool refused;
  };
  for (const Row row : {Row{Owner::runs, false}, Row{Owner::blocks, false}, Row{Owner::ends, false},
                        Row{Owner::runs, true}, Row{Owner::blocks, true}}) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer runs a signal's handler only when the thread reaches
    // one of its interceptors, which an owner that only spins never does.
    if (row.how == Owner::runs) continue;
#endif
    SCOPED_TRACE(::testing::Message() << "owner " << static_cast<int>(row.how)
                                      << (row.refused ? ", answers about threads refused" : ""));
    CONCURRENCY_EXPECT_IN_CHILD([row] { return revokeDuringTheHandover(row.how, row.refused); });
  }
}

// A thread attached before the barrier failed is seen by its first hold of
// a lock through the mutex: with no other thread left unseen, heavy fences
// order every light side again (without the kernel's proofs).
TEST(BiasedRecursiveLockHandover, HoldThroughTheMutexMarksTheThreadSeen) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  CONCURRENCY_EXPECT_IN_CHILD([] {
    allowStoppedThreadsForTesting(false);
    BiasedRecursiveLock lock;
    std::latch attached(1);
    std::latch failed(1);
    std::latch held(1);
    std::latch release(1);
    std::thread other([&] {
      attachFenceThread();
      attached.count_down();
      failed.wait();
      lock.lock();
      lock.unlock();
      held.count_down();
      release.wait();
    });
    attachFenceThread();
    attached.wait();
    failNextBarrierForTesting();
    const bool before = heavyFence();
    failed.count_down();
    held.wait();
    const bool after = heavyFence();
    release.count_down();
    other.join();
    return !before && after ? 0 : 1;
  });
}

}  // namespace
}  // namespace concurrency
