#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstdlib>
#include <thread>
#include <utility>

#include "concurrency/AsymmetricFence.h"
#include "concurrency/BiasedRecursiveLock.h"
#include "concurrency/HazardSlots.h"
#include "concurrencyTest/FenceModes.h"

namespace concurrency {
namespace {

// The light side's step in the form the mode asks for: store, fence, load.
int lightStoreThenLoad(std::atomic<int>& mine, const std::atomic<int>& theirs) {
  if (asymmetricFences()) {
    mine.store(1, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const int seen = theirs.load(std::memory_order_relaxed);
    if (asymmetricFences()) return seen;
  }
  mine.exchange(1, std::memory_order_seq_cst);
  return theirs.load(std::memory_order_seq_cst);
}

class AsymmetricFenceStress : public testing::BothWays {};

// Dekker's pattern, started together each round: each side stores its flag
// and loads the other's; at least one of them must see the other's store.
TEST_P(AsymmetricFenceStress, LightAndHeavySidesNeverBothMissTheOther) {
  constexpr int kRounds = 4000;
  std::atomic<int> light{0};
  std::atomic<int> heavy{0};
  int lightSaw = 0;
  std::barrier sync(2);
  std::thread lightThread([&] {
    for (int round = 0; round < kRounds; ++round) {
      sync.arrive_and_wait();
      lightSaw = lightStoreThenLoad(light, heavy);
      sync.arrive_and_wait();
    }
  });
  int bothMissed = 0;
  for (int round = 0; round < kRounds; ++round) {
    light.store(0);
    heavy.store(0);
    sync.arrive_and_wait();
    heavy.exchange(1, std::memory_order_seq_cst);
    heavyFence();
    const int heavySaw = light.load(std::memory_order_seq_cst);
    sync.arrive_and_wait();
    if (lightSaw == 0 && heavySaw == 0) ++bothMissed;
  }
  lightThread.join();
  EXPECT_EQ(bothMissed, 0);
}

CONCURRENCY_INSTANTIATE_BOTH_WAYS(AsymmetricFenceStress);

// A barrier that fails once the light sides run plainly (a lock biased to
// one thread, a slot announced plainly) switches the process to the fenced
// forms for good, with one warning, and both keep working.
TEST(AsymmetricFence, FailedBarrierSwitchesToTheFencedFormsForGood) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto warning =
      "Warning: the process-wide memory barrier failed \\(Cannot allocate memory\\); the process "
      "uses fenced paths from now on";
  EXPECT_EXIT(
      {
        BiasedRecursiveLock::setBiasThresholdForTesting(1);
        BiasedRecursiveLock lock;
        BiasedRecursiveLock later;  // still biased when the barrier fails
        for (int i = 0; i < 3; ++i) {
          for (BiasedRecursiveLock* each : {&lock, &later}) {
            each->lock();
            each->unlock();
          }
        }
        failNextBarrierForTesting();
        long count = 0;
        std::thread other([&] {
          lock.lock();  // revokes the bias: the barrier fails here
          ++count;
          lock.unlock();
        });
        lock.lock();
        ++count;
        lock.unlock();
        other.join();
        bool fine = count == 2 && barrierFailed() && !asymmetricFences() &&
                    !enableAsymmetricFences() && !setFenceModeForTesting(FenceMode::asymmetric) &&
                    !setFenceModeForTesting(FenceMode::buffered);
        later.lock();  // still biased: plain stores, which the fallback barrier covers
        ++count;
        std::thread revoker([&] {
          later.lock();  // the fallback barrier again, without a second warning
          ++count;
          later.unlock();
        });
        later.unlock();
        revoker.join();
        fine = fine && count == 4;
        ProtectedPointer pointer;
        auto object = std::make_shared<int>(7);
        HazardRecord& record = *attachHazardRecord();
        pointer.exchange(reinterpret_cast<uintptr_t>(object.get()));
        const unsigned index = tHazardThread.depth++;
        fine = fine && pointer.protect(record, index, pointer.peek()) ==
                           reinterpret_cast<uintptr_t>(object.get());
        retire(pointer.exchange(0).key, std::exchange(object, nullptr));
        fine = fine && pendingEntriesForTesting() == 1;
        leaveHazard(record, index);
        std::exit(fine && pendingEntriesForTesting() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0),
      ::testing::AllOf(::testing::ContainsRegex(warning),
                       ::testing::Not(::testing::ContainsRegex("failed(.|\n)*failed"))));
}

}  // namespace
}  // namespace concurrency
