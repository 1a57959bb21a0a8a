#include "system/SignalSafe.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

// rdi = the stack's top, rsi = the function, rdx = its argument.
asm(R"(
    .pushsection .text
    .globl sys_call_on_stack
    .hidden sys_call_on_stack
    .type sys_call_on_stack, @function
    .p2align 4
sys_call_on_stack:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    andq $-16, %rdi
    movq %rdi, %rsp
    movq %rsi, %rax
    movq %rdx, %rdi
    callq *%rax
    movq %rbp, %rsp
    popq %rbp
    .cfi_def_cfa %rsp, 8
    retq
    .cfi_endproc
    .size sys_call_on_stack, .-sys_call_on_stack
    .popsection
)");

namespace sys {

void restore_default_action(int signo) noexcept {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signo, &action, nullptr);
}

void end_by_signal(int signo) noexcept {
  restore_default_action(signo);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signo);
  // A signal whose default is to go on (none of those this ends by) would
  // return here.
  _exit(128 + signo);
}

}  // namespace sys
