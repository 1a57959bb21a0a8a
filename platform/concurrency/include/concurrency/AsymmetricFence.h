#pragma once

// Asymmetric fences: the store-then-load ordering two threads need to see
// each other (Dekker's pattern), paid almost entirely by the side that runs
// rarely.
//
//   light side (runs often): store A; lightFence(); load B
//   heavy side (runs rarely): store B; heavyFence(); load A
//
// Promise: when heavyFence() answers true, the heavy side's load sees the
// light side's store, or the light side's load sees the heavy side's store
// (or both); never neither.
//
// The light side is a delivering thread announcing a snapshot, or the thread a
// lock is biased to; the heavy side is a writer replacing that snapshot, or a
// thread revoking the bias. In the `asymmetric` mode (asymmetricFences()),
// the light side's fence is a compiler barrier only (lightFence), and the
// heavy side runs the process-wide barrier (membarrier), which makes every
// running thread of the process execute a full fence. In the `symmetric` mode
// (the barrier is missing or failed, or a test chose so) the light side uses
// sequentially consistent operations for both its store and its load, and
// the heavy side does the same.
//
// A light side reads the mode once, before its step. The mode may change
// under it (a test switches it, or the barrier fails), so the heavy side
// never relies on the mode: it runs the barrier whenever the process is
// registered for it, which covers a light side that began plainly before the
// change. A thread attaches itself (attachFenceThread) before its first light
// side; only attached threads run light sides plainly.
//
// When the barrier fails (a seccomp filter installed later, no memory), the
// process switches to the symmetric mode for good, says so once, and no
// barrier replaces it: no fence may move or signal another thread, or wait
// for one, and nothing else makes a running thread's buffered stores visible.
// What is left is the handover of the threads attached before the failure:
// one may be in a light side begun plainly before the switch, and each keeps
// taking the locks biased to it with plain stores (that fast path reads no
// mode).
// A thread is "seen" once it can run no plain step any more:
// - its first fenced light side after the failure (noteFencedLightSide)
//   marks it seen with a sequentially consistent store and changes its key,
//   so that it takes the locks biased to its former key with fenced steps;
// - its end marks it seen and frees its entry for the next thread: nothing is
//   kept per ended thread;
// - a thread attached after the failure is seen from the start.
// Why seeing is enough: the mark is stored after every plain step of the
// thread, and a heavy side that reads it (acquire) sees every store of those
// steps (release and acquire; on x86, a processor's stores become visible in
// the order it made them, so the mark is never seen before them). Every
// later light side of the thread is sequentially consistent, as the heavy
// sides' steps are, which keeps the store-then-load order without a barrier:
// once every thread attached before the failure has been seen, heavy sides
// need nothing, ever.
//
// Until then a heavy side cannot order those threads with a barrier; it
// orders each one that is off its processor, which the kernel can prove
// (fenceThreadStopped: its stores before are visible, and it loads the heavy
// side's stores when it runs again). heavyFence() answers true when every
// thread still unseen, but the caller, is off its processor now (blocked in
// a system call, waiting for a lock, preempted), and false when one runs.
// It never waits, signals or touches a thread's scheduling, and costs a few
// system calls per unseen thread, the same however many threads have come
// and gone. When it answers false, the heavy side decides without the light
// sides it cannot see, or waits for them where it can without holding
// anything up, and then orders a thread that runs by a signal, sent only
// when that is safe for the program (fenceThreadOrdered says when):
// - a retire whose object may be announced plainly and unseen keeps the
//   object, and the retires and leaves that follow poll a heavy fence for
//   it (heavyFencePolled), which orders the running threads that way too
//   (HazardSlots.h says how long that takes);
// - a revocation waits for the owner of the bias alone (fenceThreadOrdered),
//   until it has been seen, proven off its processor, or has answered a
//   signal: whatever the owner's policy or priority, whether it yields,
//   shares its processor or has it alone, in about a window (5 ms), or a few
//   tens of milliseconds where busy threads share the revoking thread's
//   processor, as long as the kernel shows the owner's state and the program
//   leaves it the signal.
// What nothing here can order: a thread that runs on a processor of its own
// without once leaving it (never blocked, never preempted) while the signal
// cannot be sent to it (it blocks the signal, the program has taken the
// signal, a filter refuses it, or /proc shows no thread's mask). A heavy
// side then waits until that thread is seen, leaves its processor or ends,
// as long as that takes: a revocation as it waits for any lock holder
// (polling a millisecond apart, holding nothing), a retire by keeping what
// it replaced (HazardSlots.h).
//
// Signal handlers. A handler may read fenceMode(), asymmetricFences() and
// barrierFailed(); it must not make a HazardScope, take a
// BiasedRecursiveLock, attach its thread or run a heavy fence. None of them
// is async-signal-safe (a scope takes its thread's next slot with plain
// steps, the lock has a mutex inside), and the handover relies on it: a
// thread is marked seen only by one of its own fenced steps, never in the
// middle of a plain step it had begun, as a handler would.
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
  // Set only by tests: light sides that would store plainly instead hold the
  // store in a simulated store buffer, which other threads do not see until
  // the storing thread's next sequentially consistent step in the hazard
  // slots or a heavy side's process-wide barrier. Only the hazard slots
  // simulate it (HazardSlots.h); every other light side runs symmetric.
  buffered,
};

namespace detail {
inline std::atomic<FenceMode> gFenceMode{FenceMode::symmetric};
// Set for good once the process-wide barrier has failed.
inline std::atomic<bool> gBarrierFailed{false};
}  // namespace detail

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
// The key of a thread not attached yet, and of one whose thread-local objects
// are being destroyed: it is attached no more.
inline constexpr uintptr_t kUnattachedThread = 2;
inline constexpr uintptr_t kEndedThread = 3;
// Set in the key of a thread that runs only fenced light sides.
inline constexpr uintptr_t kSeenKeyBit = 8;
inline constinit thread_local uintptr_t tFenceThreadKey = kUnattachedThread;

// Marks the calling thread seen (see above).
void seeFenceThread() noexcept;
}  // namespace detail

// Attaches the calling thread as one that may run light sides, on its first
// call, and registers the process for the barrier on the first call of any
// thread, which may take milliseconds while other threads run: call it
// before taking any lock. Returns the thread's key, as fenceThreadKey() does
// from then on.
uintptr_t attachFenceThread() noexcept;

// The calling thread's key: never 0 or 1, the same for the life of the
// thread until the barrier fails (it is then seen: see above), and no other
// thread's while it runs (the key of a thread that has ended may pass to a
// new one); kUnattachedThread until the thread is attached.
inline uintptr_t fenceThreadKey() noexcept { return detail::tFenceThreadKey; }

// The key the calling thread had before it was seen: what locks were biased
// to.
inline uintptr_t plainFenceThreadKey(uintptr_t key) noexcept { return key & ~detail::kSeenKeyBit; }

// Whether `key` may have locks biased to it: an attached thread's key from
// before the barrier failed.
inline bool biasableFenceThreadKey(uintptr_t key) noexcept {
  return key > detail::kEndedThread && (key & detail::kSeenKeyBit) == 0;
}

// A light side about to run fenced (the mode was not asymmetric) calls this
// first: once the barrier has failed, it marks the thread seen.
inline void noteFencedLightSide() noexcept {
  if (detail::gBarrierFailed.load(std::memory_order_acquire)) [[unlikely]]
    detail::seeFenceThread();
}

// The heavy side's fence. Runs the process-wide barrier whenever the process
// is registered for it, whatever the mode. When the barrier fails, the
// process switches to symmetric fences for good and says so once on standard
// error. Answers whether every light side is now ordered with the caller:
// false only during the handover after the failure, while a thread not seen
// yet may be on its processor (see above).
[[nodiscard]] bool heavyFence() noexcept;

// Whether the process-wide barrier failed and the process fell back for good.
inline bool barrierFailed() noexcept {
  return detail::gBarrierFailed.load(std::memory_order_seq_cst);
}

// Whether the thread that had (plain) key `key` has been seen since the
// barrier failed, or has ended: its stores before are visible to the caller,
// and its light sides after are fenced.
bool fenceThreadSeen(uintptr_t key) noexcept;

// What a heavy side that waits for one thread keeps between polls (start
// each wait with a fresh one).
struct FenceThreadWait {
  uint64_t round = 0;
  uint64_t attachment = 0;
  uint64_t clock = 0;
};

// For a heavy side that waits for thread `key` to be seen, after its own
// stores: whether the thread has been proven off its processor since, which
// makes the thread's stores before visible to the caller and has it load the
// caller's stores when it runs again. Polled with the same `wait`; a thread
// that attached under the key since the previous poll (the one looked at
// before ended) starts the proof over. False where that cannot be known: a
// thread that runs, or a kernel that refuses to say.
//
// Only the kernel can tell, and only under the lock it switches the thread
// in and out under (its run queue's), which carries a full barrier. Each
// call first asks for the thread's round-robin interval, which the kernel
// answers under that lock, and then reads the thread's processor-time clock:
// for a thread that runs, the kernel adds the time since it was switched in;
// otherwise it reads what the thread's last switch out stored, after that
// switch's full barrier. Two calls that read the same time mean the thread
// has not run from the first read on, and did not run when the second call
// held that lock (a switch out adds the time run): its stores before its
// last switch out are visible, and it runs again only through a switch
// under that lock, after the caller's hold of it. That needs a clock that a
// running thread never reads the same twice in a row: once per process the
// calling thread reads its own clock in pairs, and where a pair reads the
// same (a scheduler clock that steps once a tick), or where the kernel
// refuses the interval or the clock, the proof reads instead the system call
// the thread is in from /proc, which the kernel shows only after it has seen
// the thread off its processor and out of its run queue under the same lock.
bool fenceThreadStopped(uintptr_t key, FenceThreadWait& wait) noexcept;

// For a heavy side that waits for thread `key` (attached before the barrier
// failed), after its own stores: whether the thread is ordered with it now.
// Polled, with the same `wait` each time; never waits. True once the thread
// has been seen or has ended, once the kernel has proven it off its
// processor at a poll (fenceThreadStopped), or once it has answered a signal
// sent after the first poll:
// - A thread that runs is signalled only once /proc/self/task shows it
//   running (state R) at two looks a window (4 ms) apart, without having
//   blocked once in between (its count of voluntary switches) and with the
//   signal neither blocked nor pending at the second. It is then in user
//   code or in a system call that does not sleep (a yield); whatever its
//   policy or priority, it takes the signal at its next return to user
//   code. Its handler makes one sequentially consistent store, which the
//   signal's delivery and the handler order as a barrier would.
// - The signal is the library's only while it holds it: SIGRTMAX - 4, whose
//   handler is installed (SA_SIGINFO, SA_RESTART, SA_ONSTACK) the first time
//   a thread is signalled, and only if the program has left the signal at
//   its default. Before each send the library checks that its handler is
//   still the one installed. It stops using the signal for good once the
//   program takes it: another disposition set, a signal the library did not
//   send reaching the handler, or one it sent taken by someone else (neither
//   pending nor answered once the thread has run on for a millisecond). A
//   refused send (a filter: EPERM; ENOSYS) stops it for good too; a full
//   queue (EAGAIN) is tried again a window later. Without /proc, which alone
//   shows another thread's mask, no thread is signalled.
// - What the program can observe: the handler installed, and a delivery to a
//   thread attached before the failure, not seen since, and running with the
//   signal unblocked while a heavy side waits for it (here, or in
//   heavyFencePolled): at most one on its way at a time, and at most one a
//   window. The handler runs on the thread's stack (or its alternate stack)
//   and leaves errno alone. A system call the thread is in, or enters in the
//   microseconds before the delivery, runs on or is restarted, except for
//   those the kernel ends at any handled signal (sleeps and timed waits,
//   which then answer EINTR; a copy that stops short). A thread that blocks
//   the signal, or a program that changes the disposition, in those same
//   microseconds leaves the signal pending there (taken once the thread
//   unblocks it; the thread is asked no more meanwhile), or lets the
//   program's own disposition take it.
// - False while nothing orders the thread (see above): no bound is known.
bool fenceThreadOrdered(uintptr_t key, FenceThreadWait& wait) noexcept;

// A heavy fence whose answer may come later, for a heavy side that can wait
// for it without holding anything up (a retire that keeps what it replaced
// meanwhile, HazardSlots.h). Polled, from any thread, with the same `round`
// (start it at 0); never waits. True once every light side is ordered with
// the stores made before the first poll: at once when heavyFence() would
// answer true, or during the handover once each thread still unseen is
// ordered as fenceThreadOrdered orders one (each poll looks at every one
// not ordered yet, and asks the running ones by a signal). With the polls
// coming every millisecond or so, a round in which every unseen thread is
// blocked, preempted or can be signalled ends within a window and a
// delivery of its first poll (about 5 ms).
[[nodiscard]] bool heavyFencePolled(uint64_t& round) noexcept;

}  // namespace concurrency
