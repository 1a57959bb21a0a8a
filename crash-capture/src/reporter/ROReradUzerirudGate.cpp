#include "ROReradUzerirudGate.h"

#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "ROReradUzerirudCrashTime.h"
#include "handler/ROCrashSignalHandler.h"
#include "safe/AsyncMachException.h"
#include "system/ReservedDescriptors.h"
#include "system/SignalSafe.h"

namespace rocrash::reporter {

std::atomic<bool> gCrashing{false};

namespace {

// The gate: 0 when free, else the id of the thread that holds it, with
// kCrashWriter when that thread writes a crash. A thread that waits for the
// gate waits on this word, so that a crash taking it from a live report
// wakes it too.
std::atomic<int32_t> gWriter{0};
constexpr int32_t kCrashWriter = 0x40000000;
std::atomic<int> gCrashSignal{0};

int* futexWord(std::atomic<int32_t>* word) { return reinterpret_cast<int*>(word); }

void wakeGateWaiters() {
  syscall(SYS_futex, futexWord(&gWriter), FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

}  // namespace

void waitForTheEnd(const void* uap) { rocrash_signal_handler_wait_for_the_end(uap); }

void endWithTheCrashSignal() { sys::end_by_signal(gCrashSignal.load()); }

void endWith(int signo) {
  gCrashSignal.store(signo);
  endWithTheCrashSignal();
}

namespace {

void endTheWritersFault(int, siginfo_t*, void*) { endWithTheCrashSignal(); }

// Another thread's signal waits where it arrived (perhaps on a small
// alternate stack), with nothing to run but the wait; a fault of the writer
// itself ends the process, on a handler stack where the ending has room.
KX_HANDLER_ENTRY void guardHandler(int signo, siginfo_t* info, void* uap) {
  if (__atomic_load_n(reinterpret_cast<int32_t*>(&gWriter), __ATOMIC_ACQUIRE) !=
      (sys::handler_thread_id() | kCrashWriter)) {
    rocrash_signal_handler_wait_for_the_end(uap);
  }
  rocrash_signal_handler_run_with_room(endTheWritersFault, signo, info, uap);
}

void installGuard() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = guardHandler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigfillset(&action.sa_mask);
  for (int s : kFatalSignals) sigaction(s, &action, nullptr);
}

}  // namespace

bool beginCrash(int signo, const void* uap) {
  const int32_t self = rocrash_async_mach_thread_self();
  for (;;) {
    int32_t owner = gWriter.load();
    if (owner == 0) {
      if (gWriter.compare_exchange_strong(owner, self | kCrashWriter)) break;
      continue;
    }
    if ((owner & ~kCrashWriter) == self) {
      if ((owner & kCrashWriter) != 0) return false;
      // Crashed while writing a live report: this is the crash now.
      gWriter.store(self | kCrashWriter);
      break;
    }
    if ((owner & kCrashWriter) != 0) waitForTheEnd(uap);
    syscall(SYS_futex, futexWord(&gWriter), FUTEX_WAIT, owner, nullptr, nullptr, 0);
  }
  // Those waiting for a live report to end now wait for the end instead.
  wakeGateWaiters();
  gCrashSignal.store(signo);
  gCrashing.store(true);
  sys::descriptor_tables_crash_began();
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
  const int32_t self = rocrash_async_mach_thread_self();
  for (;;) {
    int32_t owner = 0;
    if (gWriter.compare_exchange_strong(owner, self)) return;
    if ((owner & kCrashWriter) != 0) waitForTheEnd();
    syscall(SYS_futex, futexWord(&gWriter), FUTEX_WAIT, owner, nullptr, nullptr, 0);
  }
}

void endLiveReport() {
  int32_t self = rocrash_async_mach_thread_self();
  if (gWriter.compare_exchange_strong(self, 0)) wakeGateWaiters();
}

}  // namespace rocrash::reporter
