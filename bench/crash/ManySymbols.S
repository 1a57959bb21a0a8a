// 400,000 small functions, each with its own symbol: with them the
// benchmark program's symbol table is as large as a big unstripped C++
// program's. The assembler writes them out from one macro.
#if defined(__x86_64__)

    .text
    .altmacro
    .macro bench_symbol n
    .type kestrix_bench_symbol_\n, @function
kestrix_bench_symbol_\n:
    ret
    .size kestrix_bench_symbol_\n, 1
    .endm

    .set bench_symbol_index, 0
    .rept 400000
    bench_symbol %bench_symbol_index
    .set bench_symbol_index, bench_symbol_index + 1
    .endr

#endif

    .section .note.GNU-stack,"",@progbits
