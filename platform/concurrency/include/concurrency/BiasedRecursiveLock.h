#pragma once

// A recursive lock that one thread can take without a locked instruction.
//
// Most locks are only ever taken by one thread, yet a recursive mutex costs
// two locked instructions per hold. So a lock that one thread keeps taking
// becomes biased to it: once a thread has taken it biasThreshold() times in a
// row through the mutex, that thread owns the bias and from then on takes
// and releases it with plain stores (a hold count that only it writes). The
// first time another thread wants the lock, that thread revokes the bias for
// good: it marks the lock revoked, runs the heavy fence, waits until the
// owner holds it no more, and from then on every thread, the former owner
// included, takes the recursive mutex inside. A thread that holds the lock
// through the bias keeps taking it that way, nested, until it lets go; the
// revoking thread waits for that.
//
// The owner's outermost hold is the light side of an asymmetric fence (it
// stores its hold count, then loads the lock's state), the revoking thread
// the heavy side (it stores the state, then loads the hold count). A lock
// becomes biased only while the fences are asymmetric. One biased before the
// barrier failed keeps its bias: its owner takes it with plain stores until
// it has been seen (AsymmetricFence.h), and then, under its former key, with
// sequentially consistent ones. A revocation during the handover first
// orders the owner alone with itself (fenceThreadOrdered): at once when the
// owner has been seen or has ended, as soon as the kernel proves it off its
// processor, and through one signal once /proc shows it running a few
// milliseconds without blocking (unless the owner blocks that signal or the
// program has taken it: then only when it leaves its processor); then it
// waits, as always, until the owner holds the lock no more.
//
// A thread is known by its fence thread key (AsymmetricFence.h), which its
// first hold attaches it for, before it takes the lock. A key that passes
// from an ended thread to a new one brings along the bias of locks the ended
// thread no longer held, which is as good as a fresh bias.
//
// The streak keeps short-lived locks (made on one thread, used on another)
// off the bias, so they never pay for a revocation; a revocation costs one
// heavy fence, spread over at least biasThreshold() holds.
//
// To clang's lock check it is a lock (base/ThreadSafety.h); the check
// knows nothing of recursion, so a function takes it once and the holds nested
// inside are taken by the functions it calls.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "base/ThreadSafety.h"
#include "concurrency/AsymmetricFence.h"

namespace concurrency {

class KX_CAPABILITY("mutex") BiasedRecursiveLock {
 public:
  BiasedRecursiveLock() = default;
  BiasedRecursiveLock(const BiasedRecursiveLock&) = delete;
  BiasedRecursiveLock& operator=(const BiasedRecursiveLock&) = delete;

  // The lock's own implementation: it holds itself through the bias or the
  // mutex inside, which the check does not see.
  void lock() noexcept KX_ACQUIRE() KX_NO_THREAD_SAFETY_ANALYSIS {
    const uintptr_t self = fenceThreadKey();
    if (bias_.load(std::memory_order_relaxed) == self) [[likely]] {
      const uint32_t depth = held_.load(std::memory_order_relaxed);
      held_.store(depth + 1, std::memory_order_relaxed);
      if (depth != 0) return;  // already held through the bias
      // The hold must be visible before the revocation check: a revoking
      // thread's heavy fence orders the two.
      lightFence();
      if (state_.load(std::memory_order_relaxed) == kBiased) [[likely]]
        return;
      held_.store(0, std::memory_order_release);
    }
    lockSlow(self);
  }

  void unlock() noexcept KX_RELEASE() KX_NO_THREAD_SAFETY_ANALYSIS {
    if (bias_.load(std::memory_order_relaxed) == fenceThreadKey()) [[likely]] {
      const uint32_t depth = held_.load(std::memory_order_relaxed);
      if (depth != 0) {
        held_.store(depth - 1, std::memory_order_release);
        return;
      }
    }
    unlockSlow();
  }

  // How many outermost holds in a row through the mutex bias a lock to the
  // thread taking them (64); 0 never biases.
  static uint32_t biasThreshold() noexcept;

 private:
  static constexpr uintptr_t kNoBias = 0;
  static constexpr uintptr_t kNeverBiased = 1;
  static constexpr uint32_t kBiased = 0;
  // With the revoking thread's process token (base/ProcessToken.h) above it.
  static constexpr uint32_t kRevoking = 1;
  static constexpr uint32_t kRevoked = 2;

  // Takes the lock through the mutex, revoking another thread's bias first,
  // or through the bias with fenced steps.
  void lockSlow(uintptr_t self) noexcept;
  // Lets go of a hold through the mutex, or of one that a thread seen since
  // the barrier failed took through the bias under its former key.
  void unlockSlow() noexcept;
  // Ends another thread's bias, or waits until the thread that does has.
  void revoke() noexcept;
  // Counts an outermost hold through the mutex; may bias the lock to self.
  void noteMutexHold(uintptr_t self) noexcept;

  // The key of the thread the lock is biased to (or kNoBias, kNeverBiased).
  // Set once, under the mutex.
  std::atomic<uintptr_t> bias_{kNoBias};
  // How deep that thread holds the lock through the bias; only it writes.
  std::atomic<uint32_t> held_{0};
  // kBiased until another thread revokes the bias; kRevoked once that thread
  // has seen the bias's holds end. A revocation a fork copied into a child
  // (its thread is not there) is void: the child's first taker revokes anew.
  std::atomic<uint32_t> state_{kBiased};
  // Under the mutex: how deep it is held, and which thread took it last and
  // how many outermost holds in a row.
  uint32_t mutexDepth_ = 0;
  uint32_t streak_ = 0;
  uintptr_t streakThread_ = kNoBias;
  // Standard, not base::RecursiveMutex: the lock check cannot follow a hold
  // that is taken through the bias on one path and through this mutex on the
  // other, so lock() and unlock() say what they do as a whole instead.
  std::recursive_mutex mutex_;
};

}  // namespace concurrency
