#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
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
    lightFence();
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
    attachFenceThread();
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

// Two threads meeting between steps, waiting on a condition variable rather
// than a raw futex: ThreadSanitizer runs a signal handler only inside the
// calls it intercepts, and a thread asked to fence must get to run it.
class Rendezvous {
 public:
  void arriveAndWait() {
    std::unique_lock<std::mutex> lock(mutex_);
    const unsigned phase = phase_;
    if (++arrived_ == 2) {
      arrived_ = 0;
      ++phase_;
      changed_.notify_all();
      return;
    }
    changed_.wait(lock, [&] { return phase_ != phase; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int arrived_ = 0;
  unsigned phase_ = 0;
};

// Runs in a process of its own, since the failure is for good. The barrier
// fails halfway through Dekker rounds with a light thread, while another
// thread that holds the bias of a lock waits in the kernel, one that never
// ran a light side waits too, and one that ran one has ended. From the
// failure on, each heavy fence makes every attached thread still there fence
// before it goes on, and leaves the others alone.
int failTheBarrierAmongThreads() {
  constexpr int kRounds = 2000;
  BiasedRecursiveLock lock;
  std::mutex mutex;
  std::condition_variable wake;
  int parked = 0;
  bool go = false;
  auto park = [&] {
    std::unique_lock<std::mutex> guard(mutex);
    ++parked;
    wake.notify_all();
    wake.wait(guard, [&] { return go; });
  };
  std::thread([] { HazardScope().enter(); }).join();
  std::size_t biasedFences = 0;
  std::thread biased([&] {
    for (int i = 0; i < 3; ++i) {
      lock.lock();
      lock.unlock();
    }
    park();
    biasedFences = fallbackFencesOnThisThreadForTesting();
    lock.lock();
    lock.unlock();
  });
  std::size_t idleFences = 0;
  std::thread idle([&] {
    park();
    idleFences = fallbackFencesOnThisThreadForTesting();
  });
  {
    std::unique_lock<std::mutex> guard(mutex);
    wake.wait(guard, [&] { return parked == 2; });
  }
  std::atomic<int> light{0};
  std::atomic<int> heavy{0};
  int lightSaw = 0;
  std::size_t lightFences = 0;
  Rendezvous sync;
  std::thread lightThread([&] {
    attachFenceThread();
    for (int round = 0; round < kRounds; ++round) {
      sync.arriveAndWait();
      lightSaw = lightStoreThenLoad(light, heavy);
      sync.arriveAndWait();
    }
    lightFences = fallbackFencesOnThisThreadForTesting();
  });
  int bothMissed = 0;
  for (int round = 0; round < kRounds; ++round) {
    light.store(0);
    heavy.store(0);
    sync.arriveAndWait();
    if (round == kRounds / 2) failNextBarrierForTesting();
    heavy.exchange(1, std::memory_order_seq_cst);
    heavyFence();
    const int heavySaw = light.load(std::memory_order_seq_cst);
    sync.arriveAndWait();
    if (lightSaw == 0 && heavySaw == 0) ++bothMissed;
  }
  lightThread.join();
  {
    std::lock_guard<std::mutex> guard(mutex);
    go = true;
  }
  wake.notify_all();
  biased.join();
  idle.join();
  const std::size_t heavyFencesSince = kRounds - kRounds / 2;
  const bool fine = bothMissed == 0 && barrierFailed() && !asymmetricFences() &&
                    lightFences == heavyFencesSince && biasedFences == heavyFencesSince &&
                    idleFences == 0 && fallbackFencesOnThisThreadForTesting() == 0;
  if (!fine) {
    std::fprintf(stderr, "both missed %d; fences: light %zu, biased %zu, idle %zu, heavy %zu\n",
                 bothMissed, lightFences, biasedFences, idleFences,
                 fallbackFencesOnThisThreadForTesting());
  }
  return fine ? 0 : 1;
}

TEST_P(AsymmetricFenceStress, AfterAFailedBarrierEachHeavyFenceFencesEveryAttachedThread) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  ASSERT_TRUE(setFenceModeForTesting(GetParam()));
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(failTheBarrierAmongThreads()), ::testing::ExitedWithCode(0),
              ::testing::AllOf(::testing::ContainsRegex("memory barrier failed"),
                               ::testing::Not(::testing::ContainsRegex("failed(.|\n)*failed"))));
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
        {
          HazardScope scope;
          fine = fine && scope.enter();
          pointer.exchange(reinterpret_cast<uintptr_t>(object.get()));
          fine = fine && pointer.protect(scope, pointer.peek()) ==
                             reinterpret_cast<uintptr_t>(object.get());
          retire(pointer.exchange(0).key, std::exchange(object, nullptr));
          fine = fine && pendingEntriesForTesting() == 1;
        }
        std::exit(fine && pendingEntriesForTesting() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0),
      ::testing::AllOf(::testing::ContainsRegex(warning),
                       ::testing::Not(::testing::ContainsRegex("failed(.|\n)*failed"))));
}

}  // namespace
}  // namespace concurrency
