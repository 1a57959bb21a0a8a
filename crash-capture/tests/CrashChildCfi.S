// A function whose call-frame information gives rbx an expression that skips
// back onto itself for ever, and which faults at once.
        .text
        .globl  crash_child_looping_cfi
        .type   crash_child_looping_cfi, @function
crash_child_looping_cfi:
        .cfi_startproc
        // DW_CFA_expression, register 3 (rbx), 3 bytes: DW_OP_skip -3
        .cfi_escape 0x10, 0x03, 0x03, 0x2f, 0xfd, 0xff
        movl    $1, 0x10
        ret
        .cfi_endproc
        .size   crash_child_looping_cfi, .-crash_child_looping_cfi
        .section .note.GNU-stack,"",@progbits
