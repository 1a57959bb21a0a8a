#include "ROReradUzerirudGate.h"

#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "ROReradUzerirudCrashTime.h"
#include "handler/ROCrashSignalHandler.h"
#include "safe/AsyncMachException.h"
#include "system/SignalSafe.h"

namespace rocrash::reporter {

std::atomic<bool> gCrashing{false};

namespace {

std::atomic<int32_t> gWriter{0};
std::atomic<int> gCrashSignal{0};

int* futexWord(std::atomic<int32_t>* word) { return reinterpret_cast<int*>(word); }

}  // namespace

void waitForTheEnd() {
  // Sleeping, not spinning: the writer can still park this thread, and the
  // first crash's signal ends it with the process.
  for (;;) pause();
}

void endWithTheCrashSignal() { sys::end_by_signal(gCrashSignal.load()); }

void endWith(int signo) {
  gCrashSignal.store(signo);
  endWithTheCrashSignal();
}

namespace {

void guard(int, siginfo_t*, void*) {
  if (gWriter.load() == rocrash_async_mach_thread_self()) endWithTheCrashSignal();
  waitForTheEnd();
}

// Another thread's signal may arrive on a small alternate stack: it waits on
// a handler stack, where the writer's parking signal has room too.
KX_HANDLER_ENTRY void guardHandler(int signo, siginfo_t* info, void* uap) {
  rocrash_signal_handler_run_with_room(guard, signo, info, uap);
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

// Takes the gate for a crash with signal `signo`. False when the calling
// thread is already writing a crash (it faulted in its own write).
bool beginCrash(int signo) {
  const int32_t self = rocrash_async_mach_thread_self();
  for (;;) {
    int32_t owner = 0;
    if (gWriter.compare_exchange_strong(owner, self)) break;
    if (owner == self) {
      if (gCrashing.load()) return false;
      break;  // crashed while writing a live report: this is the crash now
    }
    if (gCrashing.load()) waitForTheEnd();
    syscall(SYS_futex, futexWord(&gWriter), FUTEX_WAIT, owner, nullptr, nullptr, 0);
  }
  gCrashSignal.store(signo);
  gCrashing.store(true);
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

// Takes the gate for a live report, waiting while another report is written.
void beginLiveReport() {
  const int32_t self = rocrash_async_mach_thread_self();
  for (;;) {
    int32_t owner = 0;
    if (gWriter.compare_exchange_strong(owner, self)) return;
    if (gCrashing.load()) waitForTheEnd();
    syscall(SYS_futex, futexWord(&gWriter), FUTEX_WAIT, owner, nullptr, nullptr, 0);
  }
}

void endLiveReport() {
  int32_t self = rocrash_async_mach_thread_self();
  if (gWriter.compare_exchange_strong(self, 0)) {
    syscall(SYS_futex, futexWord(&gWriter), FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
  }
}

}  // namespace rocrash::reporter
