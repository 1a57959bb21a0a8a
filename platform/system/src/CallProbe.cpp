#include "system/CallProbe.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>

#include "base/BuildFacts.h"
#include "base/ProcessToken.h"
#include "system/SignalSafe.h"

// The throwaway process (CallProbeThrowaway.S, for x86-64 and AArch64), in
// assembly so that it touches no memory but the answer's words: it runs on
// the caller's stack below the caller's frame (the caller waits, as a parent
// of vfork does), with no thread-local storage or instrumentation of its own.
// It makes system call `number` with `a0` to `a2` (the others 0) with no core
// dump, once the wait that collects it has been let through (`answer[1]`
// becomes 1), puts the result into `answer[0]` and ends; the caller gets
// clone's result, the throwaway's id or -errno.
extern "C" long kx_sys_call_probe(long number, long a0, long a1, long a2, long* answer);

// A filter may trap clone itself (SIGSYS), as filters that let only threads
// and forks through do, which would end the caller (SIGSYS is blocked then).
// Where the signal actions are the caller's own, SIGSYS gets this action for
// the clone: in the caller's process (`kx_sys_call_probe_caller`) the
// trapped call fails, clone with EPERM and any other with ENOSYS; in the
// throwaway, which has the caller's actions and mask, a trapped call ends it
// without an answer. Its own frame only, for the signal frames of both.
extern "C" {
__attribute__((visibility("hidden"))) int32_t kx_sys_call_probe_caller = 0;
void kx_sys_call_probe_trapped(int, siginfo_t*, void*);
void kx_sys_call_probe_restorer();
}

// The numbers and offsets the routines spell out.
#if KX_X86_64
static_assert(SYS_clone == 56 && SYS_prlimit64 == 302 && SYS_exit == 60 && SYS_wait4 == 61 &&
              SYS_getpid == 39 && SYS_rt_sigreturn == 15);
static_assert(offsetof(ucontext_t, uc_mcontext.gregs) + REG_RAX * sizeof(greg_t) == 144);
#elif KX_AARCH64
static_assert(SYS_clone == 220 && SYS_prlimit64 == 261 && SYS_exit == 93 && SYS_wait4 == 260 &&
              SYS_getpid == 172 && SYS_rt_sigreturn == 139);
static_assert(offsetof(ucontext_t, uc_mcontext.regs) == 184);
#else
#error "the call probe (CallProbeThrowaway.S) is written for x86-64 and AArch64 only"
#endif
static_assert(RLIMIT_CORE == 4 && __WALL == 0x40000000 && EPERM == 1 && ENOSYS == 38);
static_assert(offsetof(siginfo_t, si_syscall) == 24);

namespace sys {
namespace {

// The kernel's signal set: 64 signals.
constexpr long kSignalSetBytes = 8;

// The kernel's signal action, set directly as the masks are.
struct KernelAction {
  void (*handler)(int, siginfo_t*, void*);
  unsigned long flags;
  void (*restorer)();
  uint64_t mask;
};
constexpr unsigned long kRestorer = 0x04000000;  // SA_RESTORER

}  // namespace

call_probe system_call_probe(long number, long a0, long a1, long a2, long* result) noexcept {
  ErrnoGuard guard;
  // Written only by a throwaway that came back with the kernel's answer.
  // Then whether the filter lets its end be collected: the wait is the
  // filter's to end the caller for too.
  long answer[2] = {LONG_MIN, 0};
  // Every signal blocked, which the throwaway starts with: a trapped call's
  // signal then ends it, and no handler of the program's runs there. Set
  // directly, as the C library's call may be the program's to wrap.
  sigset_t all, before;
  sigfillset(&all);
  // A child in its parent's memory may share the parent's actions.
  const KernelAction trapped = {kx_sys_call_probe_trapped, SA_SIGINFO | kRestorer,
                                kx_sys_call_probe_restorer, ~uint64_t{0}};
  KernelAction previous;
  const bool caught = !base::process_in_parents_memory() &&
                      syscall(SYS_rt_sigaction, SIGSYS, &trapped, &previous, kSignalSetBytes) == 0;
  if (caught) {
    __atomic_store_n(&kx_sys_call_probe_caller, static_cast<int32_t>(syscall(SYS_getpid)),
                     __ATOMIC_RELAXED);
    sigdelset(&all, SIGSYS);
  }
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &before, kSignalSetBytes);
  const long throwaway = kx_sys_call_probe(number, a0, a1, a2, answer);
  if (caught) syscall(SYS_rt_sigaction, SIGSYS, &previous, nullptr, kSignalSetBytes);
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &before, nullptr, kSignalSetBytes);
  __atomic_signal_fence(__ATOMIC_SEQ_CST);
  // Left uncollected where the wait would have ended the throwaway, which
  // did not come to the call then.
  if (throwaway <= 0 || answer[1] == 0) return call_probe::unasked;
  // Its end, collected here (it sends no signal): a process of its own, not
  // one of the program's children.
  while (syscall(SYS_wait4, throwaway, nullptr, __WALL, nullptr) < 0 && errno == EINTR) {
  }
  if (answer[0] == LONG_MIN) return call_probe::stopped;
  *result = answer[0];
  return call_probe::answered;
}

}  // namespace sys
