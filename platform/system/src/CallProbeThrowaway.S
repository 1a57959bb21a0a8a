// The throwaway process of sys::system_call_probe and its SIGSYS action
// (CallProbe.cpp declares them and says what they do). In assembly so that
// the throwaway touches no memory but the answer's words: it runs on the
// caller's stack below the caller's frame (the caller waits, as a parent of
// vfork does), with no thread-local storage or instrumentation of its own.
//
//   long kx_sys_call_probe(long number, long a0, long a1, long a2, long* answer)
//
// clone(CLONE_VM | CLONE_VFORK, no exit signal, the same stack), which
// returns in the caller once the throwaway has ended; there: the core dump
// limit lowered to 1 byte (no dump, by file or pipe), the wait the caller
// collects it with (wait4 with __WALL, for children it has none of), 1 into
// `answer[1]` once the filter let that through, the call, its result into
// `answer[0]`, and the end of the throwaway. The caller gets clone's result.
//
//   void kx_sys_call_probe_trapped(int, siginfo_t*, void* ucontext)
//
// In the caller's process (pid `kx_sys_call_probe_caller`) the trapped call
// fails: clone with EPERM, any other with ENOSYS. In the throwaway it ends
// the throwaway without an answer. It returns to the restorer, which the
// signal's frame names: kx_sys_call_probe_restorer, rt_sigreturn. The
// restorer has no call-frame information: it is entered by that return, on
// the signal's frame, with no return address of its own to name.
//
// The system calls' numbers and the offsets into siginfo_t and ucontext_t
// are each processor's; CallProbe.cpp checks them against the system's
// headers for the processor it is built for.

#if defined(__x86_64__)

    .section .rodata
    .balign 8
kx_sys_call_probe_no_core:      // struct rlimit: 1 byte, soft and hard
    .quad 1, 1

// rdi = number, rsi = a0, rdx = a1, rcx = a2, r8 = answer.
    .text
    .globl kx_sys_call_probe
    .hidden kx_sys_call_probe
    .type kx_sys_call_probe, @function
    .p2align 4
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
    mov $56, %eax               // clone
    mov $0x4100, %edi           // CLONE_VM | CLONE_VFORK
    xor %esi, %esi
    xor %edx, %edx
    xor %r10d, %r10d
    xor %r8d, %r8d
    syscall
    test %rax, %rax
    jnz 1f
    mov $302, %eax              // prlimit64(0, RLIMIT_CORE, no_core, 0)
    xor %edi, %edi
    mov $4, %esi
    lea kx_sys_call_probe_no_core(%rip), %rdx
    xor %r10d, %r10d
    syscall
    mov $61, %eax               // wait4(-1, 0, __WALL, 0)
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
    mov $60, %eax               // exit
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

// edi = signal, rsi = siginfo_t*, rdx = ucontext_t*.
    .globl kx_sys_call_probe_trapped
    .hidden kx_sys_call_probe_trapped
    .type kx_sys_call_probe_trapped, @function
    .p2align 4
kx_sys_call_probe_trapped:
    .cfi_startproc
    mov $39, %eax               // getpid
    syscall
    cmp kx_sys_call_probe_caller(%rip), %eax
    je 2f
    mov $60, %eax               // exit
    xor %edi, %edi
    syscall
    ud2
2:
    mov $-38, %rax              // -ENOSYS
    cmpl $56, 24(%rsi)          // si_syscall: clone?
    jne 3f
    mov $-1, %rax               // -EPERM
3:
    mov %rax, 144(%rdx)         // uc_mcontext.gregs[REG_RAX]
    ret
    .cfi_endproc
    .size kx_sys_call_probe_trapped, .-kx_sys_call_probe_trapped

    .globl kx_sys_call_probe_restorer
    .hidden kx_sys_call_probe_restorer
    .type kx_sys_call_probe_restorer, @function
    .p2align 4
kx_sys_call_probe_restorer:
    mov $15, %eax               // rt_sigreturn
    syscall
    ud2
    .size kx_sys_call_probe_restorer, .-kx_sys_call_probe_restorer

#elif defined(__aarch64__)

    .section .rodata
    .balign 8
kx_sys_call_probe_no_core:      // struct rlimit: 1 byte, soft and hard
    .quad 1, 1

// x0 = number, x1 = a0, x2 = a1, x3 = a2, x4 = answer. A system call changes
// no register but x0; the throwaway uses no stack.
    .text
    .globl kx_sys_call_probe
    .hidden kx_sys_call_probe
    .type kx_sys_call_probe, %function
    .p2align 4
kx_sys_call_probe:
    .cfi_startproc
    hint #34                    // bti c: an indirect call may land here
    stp x19, x20, [sp, #-48]!
    .cfi_def_cfa_offset 48
    .cfi_offset x19, -48
    .cfi_offset x20, -40
    stp x21, x22, [sp, #16]
    .cfi_offset x21, -32
    .cfi_offset x22, -24
    str x23, [sp, #32]
    .cfi_offset x23, -16
    mov x19, x0
    mov x20, x1
    mov x21, x2
    mov x22, x3
    mov x23, x4
    mov x0, #0x4100             // CLONE_VM | CLONE_VFORK
    mov x1, #0
    mov x2, #0
    mov x3, #0
    mov x4, #0
    mov x8, #220                // clone
    svc #0
    cbnz x0, 1f
    mov x0, #0                  // prlimit64(0, RLIMIT_CORE, no_core, 0)
    mov x1, #4
    adrp x2, kx_sys_call_probe_no_core
    add x2, x2, :lo12:kx_sys_call_probe_no_core
    mov x3, #0
    mov x8, #261
    svc #0
    mov x0, #-1                 // wait4(-1, 0, __WALL, 0)
    mov x1, #0
    mov x2, #0x40000000
    mov x3, #0
    mov x8, #260
    svc #0
    mov x9, #1
    str x9, [x23, #8]
    mov x8, x19
    mov x0, x20
    mov x1, x21
    mov x2, x22
    mov x3, #0
    mov x4, #0
    svc #0
    str x0, [x23]
    mov x0, #0
    mov x8, #93                 // exit
    svc #0
    udf #0
1:
    ldr x23, [sp, #32]
    ldp x21, x22, [sp, #16]
    ldp x19, x20, [sp], #48
    .cfi_def_cfa_offset 0
    .cfi_restore x19
    .cfi_restore x20
    .cfi_restore x21
    .cfi_restore x22
    .cfi_restore x23
    ret
    .cfi_endproc
    .size kx_sys_call_probe, .-kx_sys_call_probe

// w0 = signal, x1 = siginfo_t*, x2 = ucontext_t*; the kernel enters it as
// an indirect call, and x30 holds the restorer.
    .globl kx_sys_call_probe_trapped
    .hidden kx_sys_call_probe_trapped
    .type kx_sys_call_probe_trapped, %function
    .p2align 4
kx_sys_call_probe_trapped:
    .cfi_startproc
    hint #34                    // bti c
    mov x8, #172                // getpid
    svc #0
    adrp x9, kx_sys_call_probe_caller
    ldr w9, [x9, :lo12:kx_sys_call_probe_caller]
    cmp w0, w9
    b.eq 2f
    mov x0, #0
    mov x8, #93                 // exit
    svc #0
    udf #0
2:
    mov x0, #-38                // -ENOSYS
    ldr w9, [x1, #24]           // si_syscall: clone?
    cmp w9, #220
    b.ne 3f
    mov x0, #-1                 // -EPERM
3:
    str x0, [x2, #184]          // uc_mcontext.regs[0]
    ret
    .cfi_endproc
    .size kx_sys_call_probe_trapped, .-kx_sys_call_probe_trapped

    .globl kx_sys_call_probe_restorer
    .hidden kx_sys_call_probe_restorer
    .type kx_sys_call_probe_restorer, %function
    .p2align 4
kx_sys_call_probe_restorer:
    mov x8, #139                // rt_sigreturn
    svc #0
    udf #0
    .size kx_sys_call_probe_restorer, .-kx_sys_call_probe_restorer

#endif

    .section .note.GNU-stack,"",%progbits
