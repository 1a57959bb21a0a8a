#include "system/CallProbe.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>

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
    .popsection
)");

static_assert(SYS_clone == 56 && SYS_prlimit64 == 302 && SYS_exit == 60 && SYS_wait4 == 61 &&
              RLIMIT_CORE == 4 && __WALL == 0x40000000);

namespace sys {
namespace {

// The kernel's signal set: 64 signals.
constexpr long kSignalSetBytes = 8;

}  // namespace

bool system_call_probe(long number, long a0, long a1, long a2, long* result) noexcept {
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
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &before, kSignalSetBytes);
  const long throwaway = kx_sys_call_probe(number, a0, a1, a2, answer);
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &before, nullptr, kSignalSetBytes);
  if (throwaway <= 0) return false;
  __atomic_signal_fence(__ATOMIC_SEQ_CST);
  // Its end, collected here (it sends no signal): a process of its own, not
  // one of the program's children. Left uncollected where the wait would
  // have ended the throwaway.
  while (answer[1] != 0 && syscall(SYS_wait4, throwaway, nullptr, __WALL, nullptr) < 0 &&
         errno == EINTR) {
  }
  if (answer[0] == LONG_MIN) return false;
  *result = answer[0];
  return true;
}

}  // namespace sys
