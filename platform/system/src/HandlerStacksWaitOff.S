// kx_handler_stacks_wait_off(room_top, holder, given_back, mapping, length):
// HandlerStacksWaitingRoom.cpp declares it and says what it does. It never
// returns: its call-frame information says that no caller is to be found.
// The system calls' numbers are each processor's; the C++ file checks them
// against the system's headers for the processor it is built for.

#if defined(__x86_64__) || defined(__aarch64__)

    .section .rodata
    .p2align 3
.Lkx_no_alternate_stack:        // stack_t: ss_sp, ss_flags = SS_DISABLE, ss_size
    .quad 0
    .long 2
    .long 0
    .quad 0

#endif

#if defined(__x86_64__)

// rdi = room_top, rsi = holder, rdx = given_back, rcx = mapping, r8 = length.
    .text
    .globl kx_handler_stacks_wait_off
    .hidden kx_handler_stacks_wait_off
    .type kx_handler_stacks_wait_off, @function
    .p2align 4
kx_handler_stacks_wait_off:
    .cfi_startproc
    .cfi_undefined rip
    movq %rdi, %rsp
    movq %rsi, %r12
    movq %rdx, %r13
    movq %rcx, %r14
    movq %r8, %r15
    leaq .Lkx_no_alternate_stack(%rip), %rdi
    xorl %esi, %esi
    movl $131, %eax             // sigaltstack
    syscall
    testq %r14, %r14
    jz 1f
    movq %r14, %rdi
    movq %r15, %rsi
    movl $11, %eax              // munmap
    syscall
1:
    movq $0, (%r12)
    lock incl (%r13)
    movq %r13, %rdi
    movl $129, %esi             // FUTEX_WAKE_PRIVATE
    movl $0x7fffffff, %edx
    movl $202, %eax             // futex
    syscall
2:
    movl $34, %eax              // pause
    syscall
    jmp 2b
    .cfi_endproc
    .size kx_handler_stacks_wait_off, .-kx_handler_stacks_wait_off

#elif defined(__aarch64__)

// x0 = room_top, x1 = holder, x2 = given_back, x3 = mapping, x4 = length.
// A system call changes no register but x0. The holder is cleared with a
// release store and the count raised with an exclusive pair, acquiring and
// releasing: as ordered as x86-64's plain store and locked increment.
    .text
    .globl kx_handler_stacks_wait_off
    .hidden kx_handler_stacks_wait_off
    .type kx_handler_stacks_wait_off, %function
    .p2align 4
kx_handler_stacks_wait_off:
    .cfi_startproc
    .cfi_undefined x30
    hint #34                    // bti c: an indirect call may land here
    mov sp, x0
    mov x19, x1
    mov x20, x2
    mov x21, x3
    mov x22, x4
    adrp x0, .Lkx_no_alternate_stack
    add x0, x0, :lo12:.Lkx_no_alternate_stack
    mov x1, #0
    mov x8, #132                // sigaltstack
    svc #0
    cbz x21, 1f
    mov x0, x21
    mov x1, x22
    mov x8, #215                // munmap
    svc #0
1:
    stlr xzr, [x19]
2:
    ldaxr w9, [x20]
    add w9, w9, #1
    stlxr w10, w9, [x20]
    cbnz w10, 2b
    mov x0, x20
    mov x1, #129                // FUTEX_WAKE_PRIVATE
    mov w2, #0x7fffffff
    mov x8, #98                 // futex
    svc #0
3:
    // No pause here: ppoll of no descriptors, no time limit and no mask.
    mov x0, #0
    mov x1, #0
    mov x2, #0
    mov x3, #0
    mov x4, #0
    mov x8, #73                 // ppoll
    svc #0
    b 3b
    .cfi_endproc
    .size kx_handler_stacks_wait_off, .-kx_handler_stacks_wait_off

#endif

    .section .note.GNU-stack,"",%progbits
