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

#include "base/ProcessToken.h"
#include "system/SignalSafe.h"

// The throwaway process, in assembly so that it touches no memory but the
// answer's words: it runs on the caller's stack below the caller's frame (the
// caller waits, as a parent of vfork does), with no thread-local storage or
// instrumentation of its own.
//
//   long kx_sys_call_probe(long number, long a0, long a1, long a2, long* answer)
//
// clone(CLONE_VM | CLONE_VFORK, no exit signal, the same stack), which
// returns in the caller once the throwaway has ended; there: the core dump
// limit lowered to 1 byte (no dump, by file or pipe), the wait the caller
// collects it with (wait4 with __WALL, for children it has none of), 1 into
// `answer[1]` once the filter let that through, the call, its result into
// `answer[0]`, and the end of the throwaway. The caller gets clone's result.
extern "C" long kx_sys_call_probe(long number, long a0, long a1, long a2, long* answer);
asm(R"(
    .pushsection .rodata
    .balign 8
kx_sys_call_probe_no_core:
    .quad 1, 1
    .popsection
    .pushsection .text
    .globl kx_sys_call_probe
    .hidden kx_sys_call_probe
    .type kx_sys_call_probe, @function
kx_sys_call_probe:
    .cfi_startproc
    push %rbx
    .cfi_adjust_cfa_offset 8
    push %r12
    .cfi_adjust_cfa_offset 8
    push %r13
    .cfi_adjust_cfa_offset 8
    push %r14
    .cfi_adjust_cfa_offset 8
    push %r15
    .cfi_adjust_cfa_offset 8
    mov %rdi, %r12
    mov %rsi, %r13
    mov %rdx, %r14
    mov %rcx, %r15
    mov %r8, %rbx
    mov $56, %eax
    mov $0x4100, %edi
    xor %esi, %esi
    xor %edx, %edx
    xor %r10d, %r10d
    xor %r8d, %r8d
    syscall
    test %rax, %rax
    jnz 1f
    mov $302, %eax
    xor %edi, %edi
    mov $4, %esi
    lea kx_sys_call_probe_no_core(%rip), %rdx
    xor %r10d, %r10d
    syscall
    mov $61, %eax
    mov $-1, %rdi
    xor %esi, %esi
    mov $0x40000000, %edx
    xor %r10d, %r10d
    syscall
    movq $1, 8(%rbx)
    mov %r12, %rax
    mov %r13, %rdi
    mov %r14, %rsi
    mov %r15, %rdx
    xor %r10d, %r10d
    xor %r8d, %r8d
    syscall
    mov %rax, (%rbx)
    mov $60, %eax
    xor %edi, %edi
    syscall
    ud2
1:
    pop %r15
    .cfi_adjust_cfa_offset -8
    pop %r14
    .cfi_adjust_cfa_offset -8
    pop %r13
    .cfi_adjust_cfa_offset -8
    pop %r12
    .cfi_adjust_cfa_offset -8
    pop %rbx
    .cfi_adjust_cfa_offset -8
    ret
    .cfi_endproc
    .size kx_sys_call_probe, .-kx_sys_call_probe

    .globl kx_sys_call_probe_trapped
    .hidden kx_sys_call_probe_trapped
    .type kx_sys_call_probe_trapped, @function
kx_sys_call_probe_trapped:
    mov $39, %eax
    syscall
    cmp kx_sys_call_probe_caller(%rip), %eax
    je 2f
    mov $60, %eax
    xor %edi, %edi
    syscall
    ud2
2:
    mov $-38, %rax
    cmpl $56, 24(%rsi)
    jne 3f
    mov $-1, %rax
3:
    mov %rax, 144(%rdx)
    ret
    .size kx_sys_call_probe_trapped, .-kx_sys_call_probe_trapped

    .globl kx_sys_call_probe_restorer
    .hidden kx_sys_call_probe_restorer
    .type kx_sys_call_probe_restorer, @function
kx_sys_call_probe_restorer:
    mov $15, %eax
    syscall
    ud2
    .size kx_sys_call_probe_restorer, .-kx_sys_call_probe_restorer
    .popsection
)");

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

static_assert(SYS_clone == 56 && SYS_prlimit64 == 302 && SYS_exit == 60 && SYS_wait4 == 61 &&
              SYS_getpid == 39 && SYS_rt_sigreturn == 15 && RLIMIT_CORE == 4 &&
              __WALL == 0x40000000 && EPERM == 1 && ENOSYS == 38);
static_assert(offsetof(siginfo_t, si_syscall) == 24 &&
              offsetof(ucontext_t, uc_mcontext.gregs) + REG_RAX * sizeof(greg_t) == 144);

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
