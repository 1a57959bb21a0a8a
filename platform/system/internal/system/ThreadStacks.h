#pragma once

#include <cstddef>

// Alternate signal stacks for every thread of the process. A handler that
// must run when a thread's stack is exhausted, or its stack pointer corrupt,
// needs an alternate stack on that very thread, and `sigaltstack` acts on the
// calling thread only. Once enabled, each thread that exists then is offered
// a stack (through the parking signal, see Threads.h) and every thread
// created later with `pthread_create` takes one as it starts, before its own
// code runs. A thread that already has an alternate stack (its own, or a
// sanitizer's) keeps it. Stacks are taken on ordinary threads, never in a
// signal handler, with an inaccessible guard page below each, and are given
// back when their thread ends, after its thread_local and key destructors
// have run (a stack overflow in one of them is still caught); only a thread
// that was neither created through `pthread_create` nor ended through it (the
// process's initial thread) keeps its stack for the life of the process. A
// thread created after enabling keeps its stack in its own start record, so
// there is no limit to how many threads have one; threads that exist at
// enabling are offered one of kThreadCapacity slots, except those that have
// the parking signal blocked (they may be waiting for signals of their own),
// which are left alone. Where the kernel can put guard pages inside a mapping
// (6.13 on), stacks are carved from shared blocks, so that a thread costs at
// most one mapping more than without them (given back, a stack's memory is
// released, its block's address range kept); elsewhere each is a mapping of
// its own plus its guard page's, unmapped when given back.
//
// Thread creation is wrapped for the whole program as soon as this layer is
// linked in: the wrapper adds a start routine of its own around the given
// one and passes everything else through. So are `pthread_sigmask` and
// `sigprocmask`, which pass everything through until the fault signals are
// kept deliverable (below).
namespace sys {

// Enables the stacks, `size` usable bytes each, and gives the calling thread
// one when it has none (each call). Idempotent otherwise: later calls keep
// the first size. Waits briefly (about 100 ms at most) for the existing
// threads to take theirs: each is interrupted once by the parking signal (a
// timed wait it was in may return early with EINTR).
void thread_alternate_stacks_enable(size_t size) noexcept;

// The usable size of the stacks, 0 before they are enabled.
size_t thread_alternate_stack_size() noexcept;

// From now on the synchronous fault signals (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE, SIGTRAP, SIGSYS) stay deliverable wherever this layer reaches: the
// kernel ends a thread that faults with its fault signal blocked, and no
// handler runs. They are unblocked on the calling thread, on every thread
// created through `pthread_create` as it starts (whatever mask its creator
// had), on each thread that takes an offered stack (when this call comes
// before `thread_alternate_stacks_enable`), and left out
// of every mask set later through `pthread_sigmask` or `sigprocmask`
// (SIG_BLOCK and SIG_SETMASK). Masks set by other means (raw system calls,
// `siglongjmp`, `swapcontext`, a handler's `sa_mask`) are out of reach.
// Idempotent.
void thread_fault_signals_keep_deliverable() noexcept;

// Undoes `thread_fault_signals_keep_deliverable` for a set-up that failed
// after it: masks set from now on pass through unchanged again. The calling
// thread's mask is left as it is (its caller restores it).
void thread_fault_signals_stop_keeping() noexcept;

}  // namespace sys
