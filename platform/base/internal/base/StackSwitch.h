#pragma once

// The one stack switch of the tree (src/CallOnStack.S), for x86-64 and
// AArch64: the crash engine's handler stacks and the reactive library's
// deletion stacks both call through it. Elsewhere it is not defined, and
// KX_HAVE_CALL_ON_STACK is 0.

#include "base/BuildFacts.h"

#if KX_X86_64 || KX_AARCH64
#define KX_HAVE_CALL_ON_STACK 1
#else
#define KX_HAVE_CALL_ON_STACK 0
#endif

// Calls `function(argument)` with the stack pointer at `top` rounded down to
// 16 bytes (stacks grow down here), and returns on the caller's stack once it
// returns. Its frame record, kept by the frame pointer and named by its
// call-frame information at every instruction, links the callee's frames to
// the caller's: a walk by frame pointers or by unwind tables goes on from the
// other stack to the caller. A debugger takes a walk that climbs to a lower
// address for a corrupt stack: for one to go on, the other stack lies below
// the caller's. Nothing is saved but that record, and no signal is masked.
// Hidden, so bound when the program or library is linked: a call through a
// table the loader fills in at the first call would use the stack it leaves,
// which a handler on a nearly full stack cannot spare.
extern "C" __attribute__((visibility("hidden"))) void kx_call_on_stack(void* top,
                                                                       void (*function)(void*),
                                                                       void* argument) noexcept;
