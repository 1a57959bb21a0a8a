// The program's `dlopen` (LoaderNotices.cpp says why it is in assembly):
// keeps the arguments, asks sys_loader_dlopen_route(file, mode, caller's
// return address) where to go, and jumps there with the arguments, the
// stack and the return address as the caller left them, so that the next
// `dlopen` in line sees the caller. sys_loader_dlopen_entry, a hidden label
// of the same code, is what LoaderNotices.cpp refers to so that the linker
// takes this file with it: a sanitizer's run-time library, linked before any
// static library, defines a `dlopen` too, which would leave this one out.
// Without a type or a size it names no function: a frame here is dlopen's.

#if defined(__x86_64__)

// rdi = file, rsi = mode; the return address is at (rsp).
    .text
    .globl dlopen
    .type dlopen, @function
    .globl sys_loader_dlopen_entry
    .hidden sys_loader_dlopen_entry
    .p2align 4
dlopen:
sys_loader_dlopen_entry:
    .cfi_startproc
    pushq %rdi
    .cfi_adjust_cfa_offset 8
    pushq %rsi
    .cfi_adjust_cfa_offset 8
    subq $8, %rsp
    .cfi_adjust_cfa_offset 8
    movq 24(%rsp), %rdx
    call sys_loader_dlopen_route
    addq $8, %rsp
    .cfi_adjust_cfa_offset -8
    popq %rsi
    .cfi_adjust_cfa_offset -8
    popq %rdi
    .cfi_adjust_cfa_offset -8
    jmp *%rax
    .cfi_endproc
    .size dlopen, .-dlopen

#elif defined(__aarch64__)

// x0 = file, w1 = mode, x30 = the return address. The jump goes through
// x16, which a landing pad for calls accepts.
    .text
    .globl dlopen
    .type dlopen, %function
    .globl sys_loader_dlopen_entry
    .hidden sys_loader_dlopen_entry
    .p2align 4
dlopen:
sys_loader_dlopen_entry:
    .cfi_startproc
    hint #34                    // bti c: calls come through the program's tables
    stp x29, x30, [sp, #-32]!
    .cfi_def_cfa_offset 32
    .cfi_offset x29, -32
    .cfi_offset x30, -24
    mov x29, sp
    stp x0, x1, [sp, #16]
    mov x2, x30
    bl sys_loader_dlopen_route
    mov x16, x0
    ldp x0, x1, [sp, #16]
    ldp x29, x30, [sp], #32
    .cfi_def_cfa_offset 0
    .cfi_restore x29
    .cfi_restore x30
    br x16
    .cfi_endproc
    .size dlopen, .-dlopen

#endif

    .section .note.GNU-stack,"",%progbits
