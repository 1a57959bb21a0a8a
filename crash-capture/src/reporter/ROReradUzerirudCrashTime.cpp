#include "ROReradUzerirudCrashTime.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "ROReradUzerirudGate.h"
#include "base/ProcessToken.h"
#include "objc/NSException.h"
#include "system/Mach.h"
#include "system/ReservedDescriptors.h"
#include "system/SignalSafe.h"
#include "system/Task.h"
#include "system/Threads.h"

// The crash-time callbacks: a fault or an exception becomes a report.

namespace rocrash::reporter {

CrashStorage gStorage;
// Read by the handlers until the process ends, static destruction included.
static_assert(std::is_trivially_destructible_v<CrashStorage>);
rocrash_async_image_list gImageList;

namespace {

// The process that recorded an uncaught exception in the writer, by its
// token (0: none). A child forked since has the record in its copy of the
// writer: its own crash is reported without it, and its own exception
// replaces it.
std::atomic<uint32_t> gExceptionRecordedIn{0};
std::atomic<NSUncaughtExceptionHandler> gUncaughtExceptionHandler{nullptr};

uint32_t ownProcess() { return base::process_token(); }

// Leaves out of `writer` an exception another process recorded.
void forgetOtherProcessesException(rocrash_log_writer* writer) {
  if (gExceptionRecordedIn.load() != ownProcess()) writer->uncaught_exception.has_exception = false;
}

// ---- A child in its parent's memory ----
//
// A child made by vfork (or clone with CLONE_VM) runs in its parent's memory
// until it runs a new program or ends, and the parent goes on then: its
// crash must change nothing the parent's own crashes and live reports rely
// on. It never takes the one-report gate (the parent's), lists only its own
// threads, and writes with a copy of the writer on its own stack (the set-up
// facts, its own process's read now), queued as a child's report. The
// application's crash callback does not run: what it would write is the
// parent's. It changes signal actions and closes descriptors only where they
// are its own: a child that shares its parent's (clone with CLONE_SIGHAND or
// CLONE_FILES) leaves them as they were.

// The crash of such a child: its thread in the upper half, its signal in
// the lower one, so that a fault of its own write ends it with that signal.
std::atomic<uint64_t> gSharedChildCrash{0};

// Ends a child whose signal actions are its parent's (clone with
// CLONE_SIGHAND): no action can be changed for it, so it ends by the one
// signal that needs none.
[[noreturn]] void endSharingActions() {
  gSharedChildCrash.store(0);
  syscall(SYS_kill, syscall(SYS_getpid), SIGKILL);
  for (;;) pause();
}

bool sharedChildCallback(int signo, siginfo_t* info, void* uap) {
  const sys::thread_t self = rocrash_async_mach_thread_self();
  // Whether the actions are its own is asked only once the report is
  // written, or its write faulted (which comes back here): the throwaway
  // process that asks is made by clone, which a sandbox's filter may answer
  // by ending the process. Till then they are taken as shared: no action is
  // changed, and every fatal signal, its own too, is let through (one that
  // arrives blocked would have the kernel reset the parent's action).
  if (const uint64_t crash = gSharedChildCrash.load(); static_cast<int32_t>(crash >> 32) == self) {
    if (sys::signal_actions_may_be_shared()) endSharingActions();
    sys::end_by_signal(static_cast<int>(crash & 0xFFFFFFFF));
  }
  gSharedChildCrash.store(static_cast<uint64_t>(static_cast<uint32_t>(self)) << 32 |
                          static_cast<uint32_t>(signo));
  sigset_t fatal;
  sigemptyset(&fatal);
  for (int s : kFatalSignals) sigaddset(&fatal, s);
  sigprocmask(SIG_UNBLOCK, &fatal, nullptr);

  rocrash_async_thread_state state;
  rocrash_async_thread_state_mcontext_init(&state, uap);
  const uint64_t address = info->si_code > 0 ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
  rocrash_async_siginfo si = {signo, info->si_code, address};
  rocrash_log_crash_info crashInfo = {&si, nullptr};
  rocrash_log_writer writer = gStorage.writer;
  writer.thread_storage = {};  // the write's room on this stack
  forgetOtherProcessesException(&writer);
  // Written or not, the child ends by its signal.
  (void)writeCrashReport(&writer, self, &crashInfo, &state, true);

  if (sys::signal_actions_may_be_shared()) endSharingActions();
  gSharedChildCrash.store(0);
  sys::restore_default_action(signo);
  return false;
}

// Set by the Mach callback once the server is done with a crash: the
// thread it was for then ends the process with its own signal when that
// signal reaches the handlers here (report written or not), instead of
// waiting for an end that only it can bring. It counts while that crash is
// being written, never in a child forked meanwhile.
std::atomic<int32_t> gServerDoneWith{0};

// The signal of a fault the exception bridge turned into this exception, as
// the kernel gave it: the codes cannot tell a write to read-only memory from
// a bus error, nor carry the code of an illegal instruction or an arithmetic
// fault. False for an exception that came otherwise.
bool bridgedSignal(sys::thread_t thread, sys::exception_type_t type, rocrash_async_siginfo* out) {
  sys::thread_fault_signal fault;
  if (!sys::thread_get_fault_signal(thread, &fault)) return false;
  sys::exception_type_t bridged;
  switch (fault.signo) {
    case SIGSEGV:
    case SIGBUS:
      bridged = sys::EXC_BAD_ACCESS;
      break;
    case SIGILL:
      bridged = sys::EXC_BAD_INSTRUCTION;
      break;
    case SIGFPE:
      bridged = sys::EXC_ARITHMETIC;
      break;
    case SIGTRAP:
      bridged = sys::EXC_BREAKPOINT;
      break;
    default:
      return false;
  }
  if (bridged != type) return false;
  *out = {fault.signo, fault.code, fault.address};
  return true;
}

struct MachWrite {
  sys::thread_t crashedThread;
  const rocrash_log_crash_info* info;
};

rocrash_error_t writeFromServerThread(rocrash_async_thread_state* state, void* context) {
  auto* write = static_cast<MachWrite*>(context);
  return writeCrashReport(&gStorage.writer, write->crashedThread, write->info, state, false);
}

struct SignalCrash {
  int signo;
  siginfo_t* info;
  void* uap;
};

// Writes the report of a crash that came as a signal, then runs the crash
// callback.
void writeSignalCrash(void* argument) {
  const auto* crash = static_cast<const SignalCrash*>(argument);
  rocrash_async_thread_state state;
  rocrash_async_thread_state_mcontext_init(&state, crash->uap);
  // A signal sent with kill, raise or abort (a code of 0 or below) carries the
  // sender's process id where a fault carries its address.
  const siginfo_t* info = crash->info;
  uint64_t address = info->si_code > 0 ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
  rocrash_async_siginfo si = {crash->signo, info->si_code, address};
  rocrash_log_crash_info crashInfo = {&si, nullptr};
  rocrash_error_t result = writeCrashReport(&gStorage.writer, rocrash_async_mach_thread_self(),
                                            &crashInfo, &state, false);
  if (result == ROCRASH_ERR_NONE && gStorage.handleSignal != nullptr) {
    // The callback runs with the crash's own signal deliverable too (until
    // this returns): a fault of its own goes to the guard, which ends the
    // process with that signal as the kernel would; and a child it forks,
    // which starts on this thread, has its own faults reported.
    sigset_t own;
    sigemptyset(&own);
    sigaddset(&own, crash->signo);
    sigprocmask(SIG_UNBLOCK, &own, nullptr);
    gStorage.handleSignal(crash->info, crash->uap, gStorage.callbackContext);
  }
}

}  // namespace

bool signalCallback(int signo, siginfo_t* info, void* uap, void*,
                    rocrash_signal_handler_callback_next_context*) {
  if (sys::task_shares_parent_memory()) return sharedChildCallback(signo, info, uap);
  if (crashBeingWritten() && gServerDoneWith.load() == rocrash_async_mach_thread_self()) {
    endWith(signo);
  }
  if (!beginCrash(signo, uap)) {
    // This thread writes the crash already: a fault of its own ends the
    // process, a signal sent from elsewhere that came here (through the
    // exception bridge before the guard was in place, or once the crashed
    // thread put this action back) is dropped.
    if (sentFromElsewhere(info)) return true;
    endWithTheCrashSignal();
  }
  forgetOtherProcessesException(&gStorage.writer);
  // The write needs a handler stack's room, which a callback called other
  // than from the registry's handler may not have.
  SignalCrash crash = {signo, info, uap};
  rocrash_signal_handler_call_with_room(writeSignalCrash, &crash);
  // The crash's own signal now ends the process when the registry raises it
  // again; every other fatal signal stays with the guard.
  sys::restore_default_action(signo);
  return false;
}

sys::kern_return_t machCallback(sys::task_t task, sys::thread_t thread, sys::exception_type_t type,
                                const uint64_t* codes, uint32_t codeCount, void*) {
  // An exception of a second thread while a crash is being written, or after
  // it: left unanswered, the thread waits until the first crash ends the
  // process.
  if (crashBeingWritten()) waitForTheEnd();
  if (rocrash_mach_exception_forward(task, thread, type, codes, codeCount,
                                     &gStorage.previousPorts) == sys::KERN_SUCCESS) {
    return sys::KERN_SUCCESS;
  }
  rocrash_async_siginfo si;
  if (!bridgedSignal(thread, type, &si) &&
      !rocrash_async_mach_exception_siginfo(static_cast<uint64_t>(type), codes, codeCount, &si)) {
    return sys::KERN_FAILURE;
  }
  // This server thread writes the report: a fault of its own from here on
  // goes to the guard, never back to this server, which could not answer it.
  if (!beginCrash(si.signo)) waitForTheEnd();
  rocrash_log_mach_exception_info mach = {static_cast<uint64_t>(type), codes, codeCount};
  rocrash_log_crash_info crashInfo = {&si, &mach};
  MachWrite write = {thread, &crashInfo};
  rocrash_error_t result = rocrash_async_thread_state_current(writeFromServerThread, &write);
  gServerDoneWith.store(thread);
  if (result != ROCRASH_ERR_NONE || gStorage.handleSignal == nullptr) return sys::KERN_FAILURE;

  // The callback gets the mapped signal and a context whose machine state
  // is all zero: the crash did not arrive as a signal.
  siginfo_t info;
  memset(&info, 0, sizeof info);
  info.si_signo = si.signo;
  info.si_code = si.code;
  info.si_addr = reinterpret_cast<void*>(si.address);
  ucontext_t uc;
  memset(&uc, 0, sizeof uc);
  gStorage.handleSignal(&info, &uc, gStorage.callbackContext);
  // A child the callback forked (on this thread) and that returned from it
  // is no server: it ends as a child forked in a signal's callback does.
  if (!crashBeingWritten()) endWith(si.signo);
  return sys::KERN_FAILURE;
}

}  // namespace rocrash::reporter

using rocrash::reporter::gExceptionRecordedIn;
using rocrash::reporter::gStorage;
using rocrash::reporter::gUncaughtExceptionHandler;

namespace rocrash {

void NSSetUncaughtExceptionHandler(NSUncaughtExceptionHandler handler) {
  gUncaughtExceptionHandler.store(handler);
}

NSUncaughtExceptionHandler NSGetUncaughtExceptionHandler() {
  return gUncaughtExceptionHandler.load();
}

}  // namespace rocrash

void uncaught_exception_handler(objc::NSException* exception) {
  // The record and the flag would be the parent's.
  if (sys::task_shares_parent_memory()) abort();
  const uint32_t self = rocrash::reporter::ownProcess();
  uint32_t recorded = gExceptionRecordedIn.load();
  do {
    if (recorded == self) return;
  } while (!gExceptionRecordedIn.compare_exchange_weak(recorded, self));
  // A parent's record (this is a child forked since) gives way; its copies
  // stay in this process's memory.
  if (recorded != 0) gStorage.writer.uncaught_exception = {};
  rocrash_log_writer_set_exception(&gStorage.writer, exception);
  abort();
}
