#pragma once

// The hooks the tests steer the concurrency layer with; built only with the
// tests.

#include <cstddef>
#include <cstdint>

#include "concurrency/AsymmetricFence.h"
#include "concurrency/BiasedRecursiveLock.h"
#include "concurrency/HazardSlots.h"

namespace concurrency {

// Fences (AsymmetricFence.h).

// Switches light sides to `mode`; asymmetric needs the barrier. Switching
// between asymmetric and symmetric is safe at any time; into or out of
// buffered only while no other thread runs a light or heavy side. False
// (nothing changes) when `mode` cannot be had, or after the barrier failed.
bool setFenceModeForTesting(FenceMode mode) noexcept;

// Makes the next process-wide barrier fail as if the kernel had refused it.
void failNextBarrierForTesting() noexcept;

// How many heavy fences the calling thread has run since the barrier failed.
std::size_t fallbackFencesOnThisThreadForTesting() noexcept;

// The most looks at other threads (whether one is off its processor) that
// one heavy side of the calling thread took since the barrier failed.
std::size_t mostLooksOfAHeavySideOnThisThreadForTesting() noexcept;

// How many threads are attached now (entries a heavy side may look at).
std::size_t attachedThreadsForTesting() noexcept;

// Whether the kernel's proof that a thread is off its processor is used (it
// is by default): fenceThreadStopped, and the proofs heavyFence and
// fenceThreadOrdered take.
void allowStoppedThreadsForTesting(bool allow) noexcept;

// Passes every read of a thread's processor-time clock through `clock` (the
// thread's id and what the kernel read), or through nothing with null; the
// next proof checks the clocks again.
void setThreadClockForTesting(uint64_t (*clock)(int tid, uint64_t nanoseconds)) noexcept;

// Calls `before` (null: nothing) on the thread that signals another, just
// before it sends the signal, once every look said it may.
void setBeforeOrderSignalForTesting(void (*before)()) noexcept;

// Counts since the process started: the waits of fenceThreadOrdered that
// ended because the thread was seen (or ended), proven off its processor, or
// had answered a signal; the signals sent and the runs of their handler; and
// whether the library has stopped using the signal for good.
struct FenceOrderingForTesting {
  std::size_t seen = 0;
  std::size_t stopped = 0;
  std::size_t answered = 0;
  std::size_t signalsSent = 0;
  std::size_t handlerRuns = 0;
  bool signalGivenUp = false;
};
FenceOrderingForTesting fenceOrderingForTesting() noexcept;

// Hazard slots (HazardSlots.h).

// The steps a test may pause a writer between (setHazardPauseForTesting).
enum class HazardStep {
  // exchange(): the new key is published; the pointer is not marked shared
  // yet.
  publishedBeforeShared,
  // exchange(): the heavy fence has run; the pointer is not settled yet.
  barrierBeforeSettle,
  // retire(): the slots were looked at and one announces the key; it is
  // neither listed nor flagged yet.
  scannedBeforePending,
  // A retire or a leave during the handover: it holds the lock of the kept
  // work and is about to poll the heavy fence for it.
  handoverPolled,
};

// Calls `pause(step, context)` at each step until replaced by null. Set it
// while no writer runs.
void setHazardPauseForTesting(void (*pause)(HazardStep, void*), void* context) noexcept;

// How many times the calling thread looked at the waiting entries.
std::size_t pendingVisitsOnThisThreadForTesting() noexcept;

// How many times the calling thread took the lock of the work the handover
// keeps, to poll its heavy fence.
std::size_t handoverPollsOnThisThreadForTesting() noexcept;

// How many retired entries wait for a reader, or for the end of the handover
// after a failed barrier.
std::size_t pendingEntriesForTesting() noexcept;

// Biased locks (BiasedRecursiveLock.h).

// Sets BiasedRecursiveLock::biasThreshold() for locks that are not biased
// yet.
void setBiasThresholdForTesting(uint32_t holds) noexcept;

// How many revocations wait now for the owner of the bias to be seen.
std::size_t revocationsWaitingForOwnersForTesting() noexcept;

}  // namespace concurrency
