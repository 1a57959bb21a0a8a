// Captures the calling thread's registers for rocrash_async_thread_state_current.
//
// rocrash_error_t rocrash_async_thread_state_current(callback, context)
//
// Builds a Linux-style register block (23 gregs, REG_R8 ... REG_CR2 order) on
// its own stack describing the caller's frame: rip = the return address into
// the caller, rsp = the caller's stack pointer once the call returns, rbp =
// the caller's frame pointer, every other general register as it was at
// entry (so rdi and rsi hold the callback and its context). It then calls
// rocrash_async_thread_state_current_stub(block, callback, context), which
// forms the state and calls the callback on this stack.

#if defined(__x86_64__)

    .text
    .globl rocrash_async_thread_state_current
    .type rocrash_async_thread_state_current, @function
    .p2align 4
rocrash_async_thread_state_current:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    subq $192, %rsp

    movq %rax, 104(%rsp)    // REG_RAX
    movq %r8, 0(%rsp)       // REG_R8
    movq %r9, 8(%rsp)
    movq %r10, 16(%rsp)
    movq %r11, 24(%rsp)
    movq %r12, 32(%rsp)
    movq %r13, 40(%rsp)
    movq %r14, 48(%rsp)
    movq %r15, 56(%rsp)     // REG_R15
    movq %rdi, 64(%rsp)     // REG_RDI
    movq %rsi, 72(%rsp)     // REG_RSI
    movq 0(%rbp), %rax
    movq %rax, 80(%rsp)     // REG_RBP: the caller's, saved by the push above
    movq %rbx, 88(%rsp)     // REG_RBX
    movq %rdx, 96(%rsp)     // REG_RDX
    movq %rcx, 112(%rsp)    // REG_RCX
    leaq 16(%rbp), %rax
    movq %rax, 120(%rsp)    // REG_RSP: past the return address
    movq 8(%rbp), %rax
    movq %rax, 128(%rsp)    // REG_RIP: the return address
    pushfq
    popq %rax
    movq %rax, 136(%rsp)    // REG_EFL
    xorl %eax, %eax
    movw %cs, %ax
    xorl %ecx, %ecx
    movw %gs, %cx
    shlq $16, %rcx
    orq %rcx, %rax
    xorl %ecx, %ecx
    movw %fs, %cx
    shlq $32, %rcx
    orq %rcx, %rax
    movq %rax, 144(%rsp)    // REG_CSGSFS
    movq $0, 152(%rsp)      // REG_ERR
    movq $0, 160(%rsp)      // REG_TRAPNO
    movq $0, 168(%rsp)      // REG_OLDMASK
    movq $0, 176(%rsp)      // REG_CR2

    movq %rsi, %rdx
    movq %rdi, %rsi
    movq %rsp, %rdi
    call rocrash_async_thread_state_current_stub@PLT

    leave
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size rocrash_async_thread_state_current, .-rocrash_async_thread_state_current

#else
#error "the calling thread's capture is written for x86-64 only"
#endif

    .section .note.GNU-stack,"",@progbits
