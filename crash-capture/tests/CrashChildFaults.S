// Functions whose first instruction faults (CrashChild.cpp declares them):
//
//   void kx_child_illegal()                   an illegal instruction
//   int kx_child_divide(const int* zero)      an integer division by *zero

#if defined(__x86_64__)

    .text
    .globl kx_child_illegal
    .type kx_child_illegal, @function
kx_child_illegal:
    .cfi_startproc
    ud2
    .cfi_endproc
    .size kx_child_illegal, .-kx_child_illegal

    .globl kx_child_divide
    .type kx_child_divide, @function
kx_child_divide:
    .cfi_startproc
    idivl (%rdi)
    ret
    .cfi_endproc
    .size kx_child_divide, .-kx_child_divide

#else
#error "the crash child's faults are x86-64's"
#endif

    .section .note.GNU-stack,"",%progbits
