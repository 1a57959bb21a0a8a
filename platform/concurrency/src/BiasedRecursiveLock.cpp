#include "concurrency/BiasedRecursiveLock.h"

#include "WaitUntil.h"
#include "base/ProcessToken.h"

#ifdef KX_TEST_SEAMS
#include "concurrency/TestSeams.h"
#endif

namespace concurrency {
namespace {

constexpr uint32_t kBiasThreshold = 64;

#ifdef KX_TEST_SEAMS
std::atomic<uint32_t> gBiasThreshold{kBiasThreshold};
std::atomic<std::size_t> gWaitingForOwners{0};
#endif

}  // namespace

uint32_t BiasedRecursiveLock::biasThreshold() noexcept {
#ifdef KX_TEST_SEAMS
  return gBiasThreshold.load(std::memory_order_relaxed);
#else
  return kBiasThreshold;
#endif
}

#ifdef KX_TEST_SEAMS
void setBiasThresholdForTesting(uint32_t holds) noexcept {
  gBiasThreshold.store(holds, std::memory_order_relaxed);
}

std::size_t revocationsWaitingForOwnersForTesting() noexcept {
  return gWaitingForOwners.load(std::memory_order_relaxed);
}
#endif

void BiasedRecursiveLock::lockSlow(uintptr_t self) noexcept {
  // A thread's first hold attaches it, before it takes any lock (attaching
  // may register the process for the barrier, which can take a while).
  if (self == detail::kUnattachedThread) self = attachFenceThread();
  noteFencedLightSide();
  self = fenceThreadKey();
  const uintptr_t bias = bias_.load(std::memory_order_acquire);
  if (bias != self && bias == plainFenceThreadKey(self)) {
    // Biased to this thread before it was seen: the fast path's steps,
    // sequentially consistent.
    const uint32_t depth = held_.load(std::memory_order_relaxed);
    held_.exchange(depth + 1, std::memory_order_seq_cst);
    if (depth != 0 || state_.load(std::memory_order_seq_cst) == kBiased) return;
    held_.store(0, std::memory_order_release);
  }
  if (bias != self && bias != kNoBias && bias != kNeverBiased) revoke();
  mutex_.lock();
  if (mutexDepth_++ != 0) return;
  // The bias may have gone to the thread that held the mutex while this one
  // waited for it: that thread may now hold the lock without the mutex.
  if (bias == kNoBias) {
    const uintptr_t now = bias_.load(std::memory_order_relaxed);
    if (now != kNoBias && now != kNeverBiased && now != self) {
      --mutexDepth_;
      mutex_.unlock();
      revoke();
      mutex_.lock();
      ++mutexDepth_;
      return;
    }
  }
  noteMutexHold(self);
}

void BiasedRecursiveLock::unlockSlow() noexcept {
  const uintptr_t self = fenceThreadKey();
  if ((self & detail::kSeenKeyBit) != 0 &&
      bias_.load(std::memory_order_relaxed) == plainFenceThreadKey(self)) {
    const uint32_t depth = held_.load(std::memory_order_relaxed);
    if (depth != 0) {
      held_.store(depth - 1, std::memory_order_release);
      return;
    }
  }
  --mutexDepth_;
  mutex_.unlock();
}

void BiasedRecursiveLock::revoke() noexcept {
  // One thread revokes; the others wait for it, asleep until it wakes them.
  // A revocation of another process's is one a parent had under way when it
  // forked this process (by the C library or not): its thread is not here to
  // end it, and this thread takes it over.
  const uint32_t revoking = kRevoking | base::process_token() << 2;
  uint32_t state = state_.load(std::memory_order_acquire);
  for (;;) {
    if (state == kRevoked) return;
    if (state == revoking) {
      state_.wait(revoking, std::memory_order_acquire);
      state = state_.load(std::memory_order_acquire);
    } else if (state_.compare_exchange_strong(state, revoking, std::memory_order_seq_cst)) {
      break;
    }
  }
  // The owner's hold count is now up to date, and the owner sees the
  // revocation before its next outermost hold. During the handover after a
  // failed barrier, only once the owner alone is ordered with this thread:
  // seen (its next hold sees the revocation, and is fenced), off its
  // processor, or through a signal (fenceThreadOrdered); in a child, an owner
  // that did not fork is not there, and is ordered at once. Where nothing
  // orders it, that wait lasts as long as the owner keeps its processor:
  // polls a millisecond apart keep it from costing the others. So may the
  // wait for the owner's last hold, which nothing announces (the owner's
  // release stays a plain store).
  if (!heavyFence()) {
    const uintptr_t owner = bias_.load(std::memory_order_relaxed);
    FenceThreadWait wait;
#ifdef KX_TEST_SEAMS
    gWaitingForOwners.fetch_add(1, std::memory_order_relaxed);
#endif
    detail::waitUntil([&] { return fenceThreadOrdered(owner, wait); });
#ifdef KX_TEST_SEAMS
    gWaitingForOwners.fetch_sub(1, std::memory_order_relaxed);
#endif
  }
  detail::waitUntil([this] { return held_.load(std::memory_order_seq_cst) == 0; });
  state_.store(kRevoked, std::memory_order_release);
  state_.notify_all();
}

void BiasedRecursiveLock::noteMutexHold(uintptr_t self) noexcept {
  if (streakThread_ != self) {
    streakThread_ = self;
    streak_ = 1;
  } else {
    ++streak_;
  }
  const uint32_t threshold = biasThreshold();
  if (threshold == 0 || streak_ < threshold) return;
  if (bias_.load(std::memory_order_relaxed) != kNoBias ||
      state_.load(std::memory_order_relaxed) != kBiased) {
    return;
  }
  // This hold stays on the mutex (the bias's hold count is 0, so unlock
  // releases the mutex); the next ones take the bias.
  const bool biasable = biasableFenceThreadKey(self) && enableAsymmetricFences();
  bias_.store(biasable ? self : kNeverBiased, std::memory_order_release);
}

}  // namespace concurrency
