#pragma once

// Asymmetric fences: the store-then-load ordering two threads need to see
// each other (Dekker's pattern), paid almost entirely by the side that runs
// rarely.
//
//   light side (runs often): store A; lightFence(); load B
//   heavy side (runs rarely): store B; heavyFence(); load A
//
// Promise: the heavy side's load sees the light side's store, or the light
// side's load sees the heavy side's store (or both); never neither.
//
// The light side is a delivering thread announcing a snapshot, or the thread a
// lock is biased to; the heavy side is a writer replacing that snapshot, or a
// thread revoking the bias. In the `asymmetric` mode (asymmetricFences()),
// the light side's fence is a compiler barrier only (lightFence), and the
// heavy side runs the process-wide barrier (membarrier), which makes every
// running thread of the process execute a full fence. In the `symmetric` mode
// (the barrier is missing or failed, or a test chose so) the light side must
// use sequentially consistent operations for both its store and its load, and
// the heavy side does the same.
//
// A light side reads the mode once, before its step. The mode may change
// under it (a test switches it, or the barrier fails), so the heavy side
// never relies on the mode: it runs a process-wide barrier whenever the
// process is registered for one, which covers a light side that began
// plainly before the change.
//
// A thread attaches itself (attachFenceThread) before its first light side;
// only attached threads run light sides plainly. When the barrier fails (a
// seccomp filter installed later, no memory), the process switches to the
// symmetric mode for good and says so once; light sides begun plainly before
// that, and the locks still biased, keep running plainly, so this and every
// later heavy side run a fallback barrier instead, which leaves the other
// threads alone (no signal, no handler) and asks the kernel, through /proc,
// what each other attached thread is doing. One that has left needs
// nothing, nor, where a thread's stores are seen in the order it made them,
// one that sleeps. For one that runs, or waits to, on a processor, the
// calling thread moves itself onto that processor (each once per barrier):
// the kernel switches threads there under a lock, with a full barrier, so a
// light side that ran there before has its store seen by the heavy side's
// load, and one that runs after loads what the heavy side stored. Where the
// calling thread may not run on that processor, it waits for the thread's
// next switch instead. The fast paths stay as they are; the cost falls on
// heavy sides, once the barrier has failed.
//
// ThreadSanitizer runs these paths as they are. It checks the happens-before
// edges the protocols build on (release stores read by acquire loads), not the
// store-to-load order the barrier adds, which no data race detector models;
// the tests that simulate delayed stores (FenceMode::buffered) check that.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace concurrency {

enum class FenceMode : uint8_t {
  // Light sides use compiler barriers; heavy sides the process-wide barrier.
  asymmetric,
  // Light sides use sequentially consistent operations.
  symmetric,
#ifdef KX_TEST_SEAMS
  // For tests (built only with them): light sides that would store plainly instead hold the store
  // in a simulated store buffer, which other threads do not see until the
  // storing thread's next sequentially consistent step or the heavy side's
  // fence. Only the hazard slots simulate it (HazardSlots.h); every other
  // light side runs symmetric.
  buffered,
#endif
};

namespace detail {
inline std::atomic<FenceMode> gFenceMode{FenceMode::symmetric};
}

// The mode light sides run in now. Starts symmetric; becomes asymmetric once
// enableAsymmetricFences has registered the process for the barrier.
inline FenceMode fenceMode() noexcept { return detail::gFenceMode.load(std::memory_order_relaxed); }

// Whether light sides may use compiler barriers now; read it before the
// step.
inline bool asymmetricFences() noexcept { return fenceMode() == FenceMode::asymmetric; }

// The light side's fence in its plain form (begun while asymmetricFences()
// held): a compiler barrier only; the heavy side's barrier does the rest. A
// light side in the symmetric form uses sequentially consistent operations
// instead.
[[gnu::always_inline]] inline void lightFence() noexcept {
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

// Registers the process for the barrier on the first call (any thread) and
// switches light sides to asymmetric fences when that works. Whether they
// are asymmetric now.
bool enableAsymmetricFences() noexcept;

namespace detail {
// The key of a thread not attached yet.
inline constexpr uintptr_t kUnattachedThread = 2;
inline constinit thread_local uintptr_t tFenceThreadKey = kUnattachedThread;
}  // namespace detail

// Attaches the calling thread as one that may run light sides, on its first
// call, and registers the process for the barrier on the first call of any
// thread, which may take milliseconds while other threads run: call it
// before taking any lock. Returns the thread's key, as fenceThreadKey() does
// from then on.
uintptr_t attachFenceThread() noexcept;

// The calling thread's key: never 0 or 1, the same for the life of the
// thread, and no other thread's while it runs (the key of a thread that has
// left the process may pass to a new one); kUnattachedThread until the
// thread is attached.
inline uintptr_t fenceThreadKey() noexcept { return detail::tFenceThreadKey; }

// The heavy side's fence. Runs the process-wide barrier whenever the process
// is registered for it, whatever the mode. When the barrier fails, the
// process switches to symmetric fences for good and says so once on standard
// error; this and every later heavy fence then run the fallback barrier
// (see above).
void heavyFence() noexcept;

// Whether the process-wide barrier failed and the process fell back for good.
bool barrierFailed() noexcept;

#ifdef KX_TEST_SEAMS
// --- test seams (built only with the tests) ---

// Switches light sides to `mode`; asymmetric needs the barrier. Switching
// between asymmetric and symmetric is safe at any time; into or out of
// buffered only while no other thread runs a light or heavy side. False
// (nothing changes) when `mode` cannot be had, or after the barrier failed.
bool setFenceModeForTesting(FenceMode mode) noexcept;

// Makes the next process-wide barrier fail as if the kernel had refused it.
void failNextBarrierForTesting() noexcept;

// How many fallback barriers the calling thread has run.
std::size_t fallbackFencesOnThisThreadForTesting() noexcept;
#endif

}  // namespace concurrency
