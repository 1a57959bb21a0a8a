#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <mutex>
#include <thread>

#include "concurrency/BiasedRecursiveLock.h"
#include "concurrencyTest/FenceModes.h"

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

}  // namespace
}  // namespace concurrency
