#include "ROReradUzerirudGate.h"

#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "ROReradUzerirudCrashTime.h"
#include "base/ProcessToken.h"
#include "handler/ROCrashSignalHandler.h"
#include "safe/AsyncMachException.h"
#include "system/ReservedDescriptors.h"
#include "system/SignalSafe.h"
#include "system/Task.h"
#include "system/Threads.h"

namespace rocrash::reporter {
namespace {

// The gate: 0 when free, else the process that holds it in the upper half
// (its token, see base/ProcessToken.h), and in the lower one the id of the
// thread that holds it, with kCrashWriter when that thread writes a crash.
// One word, read at once, so that a process never mixes its own holder with
// its parent's. A gate held by another process (one this process was forked
// from, whatever its id was and is now) is free here. A thread
// that waits for the gate waits on the lower half, so that a crash taking it
// from a live report wakes it too. A crash that waits for a live report
// marks the gate (kCrashWaiting): the live report leaves it to crashes (the
// mark alone, no holder), so that a thread taking live reports one after the
// other never keeps a crash waiting for good.
std::atomic<uint64_t> gGate{0};
constexpr uint32_t kCrashWriter = 0x40000000;
constexpr uint32_t kCrashWaiting = 0x20000000;
constexpr uint32_t kHolderBits = 0x1FFFFFFF;  // thread ids stay below 2^22
std::atomic<int> gCrashSignal{0};

// The lower half's futex word (the platform is little-endian).
int* futexWord() { return reinterpret_cast<int*>(&gGate); }

void wakeGateWaiters() {
  syscall(SYS_futex, futexWord(), FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

// The calling process's half of the gate. A child made by a raw system
// call, whose fork handlers did not run, has its own too.
KX_HANDLER_ENTRY uint64_t processHalf() {
  return static_cast<uint64_t>(base::process_token()) << 32;
}

constexpr uint64_t kProcessMask = 0xFFFFFFFF00000000u;

// Whether `gate` is held by the process whose half is `process`.
bool heldBy(uint64_t gate, uint64_t process) {
  return gate != 0 && (gate & kProcessMask) == process;
}

}  // namespace

bool crashBeingWritten() {
  const uint64_t gate = gGate.load();
  return heldBy(gate, processHalf()) && (gate & kCrashWriter) != 0;
}

void waitForTheEnd(const void* uap) { rocrash_signal_handler_wait_for_the_end(uap); }

void endWithTheCrashSignal() { sys::end_by_signal(gCrashSignal.load()); }

void endWith(int signo) {
  gCrashSignal.store(signo);
  endWithTheCrashSignal();
}

bool sentFromElsewhere(const siginfo_t* info) {
  return info->si_code <= 0 &&
         (info->si_code != SI_TKILL || info->si_pid != static_cast<pid_t>(syscall(SYS_getpid)));
}

namespace {

void endTheWritersFault(int, siginfo_t*, void*) { endWithTheCrashSignal(); }

// A signal sent from elsewhere is dropped, on whichever thread it reached
// (the writer, one not parked yet, or one whose fault waits on the
// exception server's answer, which ends the process). Another thread's
// fault waits where it arrived (perhaps on a small alternate stack), with
// nothing to run but the wait; a fault of the writer itself ends the
// process, on a handler stack where the ending has room. In a process whose
// crash is not being written (a child forked while its parent's was, which
// has the guard as its actions) the signal is a crash of its own, for the
// registry's handler. So is one of a child in this
// process's memory that shares its actions (clone with CLONE_SIGHAND): it
// has the process's token, but not its crash.
KX_HANDLER_ENTRY void guardHandler(int signo, siginfo_t* info, void* uap) {
  const uint64_t gate = __atomic_load_n(reinterpret_cast<uint64_t*>(&gGate), __ATOMIC_ACQUIRE);
  const uint64_t process = processHalf();
  if ((gate & kProcessMask) != process || (gate & kCrashWriter) == 0 ||
      sys::task_shares_parent_memory()) {
    rocrash_signal_handler_dispatch(signo, info, uap);
    return;
  }
  if (sentFromElsewhere(info)) return;
  if (static_cast<uint32_t>(gate) !=
      (static_cast<uint32_t>(sys::handler_thread_id()) | kCrashWriter)) {
    rocrash_signal_handler_wait_for_the_end(uap);
  }
  rocrash_signal_handler_run_with_room(endTheWritersFault, signo, info, uap);
}

void installGuard() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = guardHandler;
  // A dropped signal interrupts no system call of the thread it reached.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  sigfillset(&action.sa_mask);
  for (int s : kFatalSignals) sigaction(s, &action, nullptr);
}

}  // namespace

bool beginCrash(int signo, const void* uap) {
  const uint32_t self = static_cast<uint32_t>(rocrash_async_mach_thread_self());
  const uint64_t process = processHalf();
  for (;;) {
    uint64_t gate = gGate.load();
    if (!heldBy(gate, process)) {
      if (gGate.compare_exchange_strong(gate, process | self | kCrashWriter)) break;
      continue;
    }
    const auto owner = static_cast<uint32_t>(gate);
    const uint32_t holder = owner & kHolderBits;
    if ((owner & kCrashWriter) != 0) {
      if (holder == self) return false;
      waitForTheEnd(uap);
    }
    // Crashed while writing a live report (this is the crash now), or the
    // gate a live report left to the crashes that waited.
    if (holder == self || holder == 0) {
      if (gGate.compare_exchange_strong(gate, process | self | kCrashWriter)) break;
      continue;
    }
    if ((owner & kCrashWaiting) == 0 &&
        !gGate.compare_exchange_strong(gate, gate | kCrashWaiting)) {
      continue;
    }
    syscall(SYS_futex, futexWord(), FUTEX_WAIT, owner | kCrashWaiting, nullptr, nullptr, 0);
  }
  // Those waiting for a live report to end now wait for the end instead.
  wakeGateWaiters();
  gCrashSignal.store(signo);
  sys::process_crash_began();
  installGuard();
  // A fault of this thread from here on must reach the guard, even where the
  // handler it runs in blocks the other fatal signals.
  sigset_t others;
  sigemptyset(&others);
  for (int s : kFatalSignals) {
    if (s != signo) sigaddset(&others, s);
  }
  sigprocmask(SIG_UNBLOCK, &others, nullptr);
  return true;
}

void beginLiveReport() {
  const uint32_t self = static_cast<uint32_t>(rocrash_async_mach_thread_self());
  const uint64_t process = processHalf();
  for (;;) {
    uint64_t gate = gGate.load();
    if (!heldBy(gate, process)) {
      if (gGate.compare_exchange_strong(gate, process | self)) return;
      continue;
    }
    const auto owner = static_cast<uint32_t>(gate);
    if ((owner & kCrashWriter) != 0) waitForTheEnd();
    syscall(SYS_futex, futexWord(), FUTEX_WAIT, owner, nullptr, nullptr, 0);
  }
}

void endLiveReport() {
  const uint64_t process = processHalf();
  const uint32_t self = static_cast<uint32_t>(rocrash_async_mach_thread_self());
  for (;;) {
    uint64_t gate = gGate.load();
    // Not held by this report any more: a crash of its own thread took it.
    if (!heldBy(gate, process) || (static_cast<uint32_t>(gate) & ~kCrashWaiting) != self) return;
    const uint64_t next = (gate & kCrashWaiting) != 0 ? process | kCrashWaiting : 0;
    if (gGate.compare_exchange_strong(gate, next)) break;
  }
  wakeGateWaiters();
}

}  // namespace rocrash::reporter
