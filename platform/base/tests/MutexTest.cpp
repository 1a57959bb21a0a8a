#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/FatalError.h"
#include "base/Mutex.h"

namespace base {
namespace {

using std::chrono::steady_clock;

// How long a test waits for another thread before it stops instead of
// hanging; generous, since only a broken lock ever gets near it.
constexpr auto kPatience = std::chrono::seconds(20);

constexpr const char* kNotHeld =
    "Fatal error: assertHeld: the calling thread does not hold the lock: file .*MutexTest\\.cpp";

// Runs `work`, which waits for another thread, and stops the process if it
// has not returned within the patience. The watch uses the standard library's
// own lock, so that it does not rest on the one under test.
template <class Work>
void withinPatience(Work work) {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread watch([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!finished.wait_for(lock, kPatience, [&] { return done; })) {
      fatalError("a wait did not return");
    }
  });
  work();
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  finished.notify_all();
  watch.join();
}

// A count that another thread raises a step at a time, each under the lock
// and followed by a notification.
struct Steps {
  Mutex mutex;
  std::condition_variable changed;
  int count KX_GUARDED_BY(mutex) = 0;

  std::thread raiseBy(int steps) {
    return std::thread([this, steps] {
      for (int i = 0; i < steps; ++i) {
        {
          LockGuard<Mutex> hold(mutex);
          ++count;
        }
        changed.notify_all();
      }
    });
  }
};

TEST(Mutex, WaitsLetTheLockGoUntilTheConditionHolds) {
  Steps steps;
  withinPatience([&] {
    std::thread raising = steps.raiseBy(3);
    {
      LockGuard<Mutex> hold(steps.mutex);
      steps.mutex.wait(steps.changed, [&]() KX_REQUIRES(steps.mutex) { return steps.count == 3; });
      steps.mutex.assertHeld();
      EXPECT_EQ(steps.count, 3);
    }
    raising.join();
    raising = steps.raiseBy(3);
    {
      LockGuard<Mutex> hold(steps.mutex);
      EXPECT_TRUE(steps.mutex.waitUntil(steps.changed, steady_clock::now() + kPatience,
                                        [&]()
                                            KX_REQUIRES(steps.mutex) { return steps.count == 6; }));
      steps.mutex.assertHeld();
      EXPECT_EQ(steps.count, 6);
    }
    raising.join();
  });
}

TEST(Mutex, WaitUntilGivesUpAtTheDeadlineHoldingTheLock) {
  Steps steps;
  LockGuard<Mutex> hold(steps.mutex);
  const auto notYet = [&]() KX_REQUIRES(steps.mutex) { return steps.count == 1; };
  EXPECT_FALSE(
      steps.mutex.waitUntil(steps.changed, steady_clock::now() - std::chrono::seconds(1), notYet));
  EXPECT_FALSE(steps.mutex.waitUntil(steps.changed,
                                     steady_clock::now() + std::chrono::milliseconds(1), notYet));
  steps.mutex.assertHeld();
  // The condition is asked before any wait.
  steps.count = 1;
  EXPECT_TRUE(
      steps.mutex.waitUntil(steps.changed, steady_clock::now() - std::chrono::seconds(1), notYet));
}

// Whether another thread can take `lock` now (it lets it go again at once).
template <class Lock>
bool anotherThreadTakes(Lock& lock) {
  bool taken = false;
  std::thread([&] {
    if (lock.tryLock()) {
      taken = true;
      lock.unlock();
    }
  }).join();
  return taken;
}

// Takes `lock` again through tryLock, on the thread that holds it, and lets
// that hold go. The check follows holds, not their depth, so it is off here.
bool takesAgain(RecursiveMutex& lock) KX_NO_THREAD_SAFETY_ANALYSIS {
  if (!lock.tryLock()) return false;
  lock.unlock();
  return true;
}

TEST(Mutex, TryLockFailsOnlyWhileAnotherThreadHoldsIt) {
  Mutex mutex;
  ASSERT_TRUE(mutex.tryLock());
  mutex.assertHeld();
  EXPECT_FALSE(anotherThreadTakes(mutex));
  mutex.unlock();
  EXPECT_TRUE(anotherThreadTakes(mutex));

  RecursiveMutex recursive;
  {
    LockGuard<RecursiveMutex> hold(recursive);
    EXPECT_TRUE(takesAgain(recursive));
    EXPECT_FALSE(anotherThreadTakes(recursive));
  }
  EXPECT_TRUE(anotherThreadTakes(recursive));
}

TEST(MutexDeathTest, AssertHeldStopsUnlessTheCallingThreadHoldsIt) {
#ifdef NDEBUG
  GTEST_SKIP() << "assertHeld checks in builds with assertions only";
#endif
  Mutex mutex;
  EXPECT_DEATH(mutex.assertHeld(), kNotHeld);
  {
    UniqueLock hold(mutex);
    // Held again after a wait, and by this thread only.
    std::condition_variable never;
    EXPECT_EQ(hold.waitFor(never, std::chrono::milliseconds(1)), std::cv_status::timeout);
    mutex.assertHeld();
    EXPECT_DEATH(std::thread([&] { mutex.assertHeld(); }).join(), kNotHeld);
    hold.unlock();
    EXPECT_DEATH(mutex.assertHeld(), kNotHeld);
  }

  // A nested hold let go leaves the outer one.
  RecursiveMutex recursive;
  {
    LockGuard<RecursiveMutex> hold(recursive);
    ASSERT_TRUE(takesAgain(recursive));
    recursive.assertHeld();
    EXPECT_DEATH(std::thread([&] { recursive.assertHeld(); }).join(), kNotHeld);
  }
  EXPECT_DEATH(recursive.assertHeld(), kNotHeld);
}

}  // namespace
}  // namespace base
