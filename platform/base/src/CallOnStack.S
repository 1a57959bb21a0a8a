// kx_call_on_stack(top, function, argument): base/StackSwitch.h says what it
// does. The frame record it pushes on the caller's stack links the callee's
// frames to the caller's, and its call-frame information names that record
// at every instruction, so a walk by frame pointers or by unwind tables goes
// on from the other stack to the caller.

#if defined(__x86_64__)

// rdi = top, rsi = function, rdx = argument.
    .text
    .globl kx_call_on_stack
    .hidden kx_call_on_stack
    .type kx_call_on_stack, @function
    .p2align 4
kx_call_on_stack:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    andq $-16, %rdi
    movq %rdi, %rsp
    movq %rdx, %rdi
    callq *%rsi
    movq %rbp, %rsp
    .cfi_def_cfa_register %rsp
    popq %rbp
    .cfi_def_cfa_offset 8
    .cfi_restore %rbp
    retq
    .cfi_endproc
    .size kx_call_on_stack, .-kx_call_on_stack

#elif defined(__aarch64__)

// x0 = top, x1 = function, x2 = argument.
    .text
    .globl kx_call_on_stack
    .hidden kx_call_on_stack
    .type kx_call_on_stack, %function
    .p2align 4
kx_call_on_stack:
    .cfi_startproc
    hint #34                    // bti c: an indirect call may land here
    stp x29, x30, [sp, #-16]!
    .cfi_def_cfa_offset 16
    .cfi_offset x29, -16
    .cfi_offset x30, -8
    mov x29, sp
    .cfi_def_cfa_register x29
    and x9, x0, #-16
    mov sp, x9
    mov x9, x1
    mov x0, x2
    blr x9
    mov sp, x29
    .cfi_def_cfa_register sp
    ldp x29, x30, [sp], #16
    .cfi_def_cfa_offset 0
    .cfi_restore x29
    .cfi_restore x30
    ret
    .cfi_endproc
    .size kx_call_on_stack, .-kx_call_on_stack

#endif

    .section .note.GNU-stack,"",%progbits
