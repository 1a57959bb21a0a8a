#pragma once

#include <signal.h>

#include <cstddef>
#include <cstdint>

// Stacks for the work of a signal handler. A fatal signal may arrive on
// whatever alternate stack its thread has: an application's small one, below
// a kernel frame of up to some 12 KiB (the widest register state), or one a
// handler before nearly used up. A handler that entered through
// `handler_stacks_run` does nothing where it arrived but move to a stack of a
// set: the set's first stack is mapped at set-up, further ones when threads
// take their signals at the same moment and find the others held, up to
// kHandlerStacksMax. For the time of the work the stack is also the thread's
// alternate stack: a signal of its own meanwhile (the parking signal of a
// report's writer, a fault in the work) arrives below, on that stack.
//
// No thread waits long for a stack. One that finds every stack held waits
// (every signal blocked, so that nothing else lands on the small stack) at
// most kHandlerStacksPatienceNs for one to be given back, then works on a
// stack mapped for it alone, unmapped when the work returns, or, with no
// memory left for one, where it is. A thread that only waits for the process
// to end gives its stack back first (`handler_stacks_wait_for_end`).
//
// A thread that left its work by a jump (`siglongjmp`) keeps the stack as
// its alternate stack, where the kernel puts its next signal: the stack
// stays that thread's, for its later signals (never a second one), until its
// next claim from elsewhere or its end (a thread made through
// `pthread_create`, see system/ThreadStacks.h) gives it back, and the thread
// its own alternate stack. The stack of another thread that ended holding
// it is mapped afresh for the next thread that finds none free.
//
// A forked child starts with every stack free but the one its thread may be
// working on (fork called inside a handler): the stacks the parent's other
// threads held are given back in the child (by a fork handler, or, for a
// child made by a raw system call, by its first thread at its first claim). A
// child that runs in its parent's memory (made by vfork) leaves its parent's
// set alone, for it may end while holding a stack: it works on a stack mapped
// for it alone, or where it is when none can be mapped.
//
// What runs on the small stack (the entry, the choice of a stack, the wait)
// is not instrumented by the sanitizers and makes system calls only, so that
// it needs as little there in their builds as elsewhere: some 300 bytes below
// the kernel's frame (ThreadSanitizer's own interception adds some 250 before
// it). Everything here is async-signal-safe: no heap, no locks. x86-64 only.
namespace sys {

// The most stacks one set maps.
inline constexpr int kHandlerStacksMax = 16;
// How long a thread that finds every stack of a set held waits for one to be
// given back: well below the 20 ms a report's writer gives a thread with the
// parking signal blocked to unblock it.
inline constexpr int64_t kHandlerStacksPatienceNs = 5'000'000;

// For a signal handler's entry, which runs on whatever stack the signal
// arrived on, before it moves: not instrumented by the sanitizers, and
// called directly from within the program or library it is linked into,
// never through a table the loader fills in at the first call.
#define KX_HANDLER_ENTRY \
  __attribute__((no_sanitize("address", "thread", "undefined"), visibility("hidden")))

// A set of stacks of `size` usable bytes each, each above an inaccessible
// guard page. A static object: constant-initialised, never destroyed, so
// that handlers may use it until the process ends. Its fields are the
// implementation's.
struct handler_stacks {
  constexpr explicit handler_stacks(size_t usable) noexcept : size(usable) {}

  const size_t size;
  // The process whose threads `holders` name: a process that finds another's
  // id here is a child of it.
  int32_t owner = 0;
  // The thread working on each stack (0 when none), and its top (null until
  // mapped).
  int32_t holders[kHandlerStacksMax] = {};
  void* tops[kHandlerStacksMax] = {};
  // Of each stack, for its holder only: where its work was entered from (on
  // the stack the signal arrived on), and its alternate stack before it first
  // took the stack.
  void* entries[kHandlerStacksMax] = {};
  stack_t origins[kHandlerStacksMax] = {};
  // Counts stacks given back: the word a thread that found none waits on.
  int32_t given_back = 0;
  // Whether the fork handler and the ends of threads know the set.
  int32_t watched = 0;
};

using handler_stacks_handler = void (*)(int signo, siginfo_t* info, void* uap);

// Maps the set's first stack, on an ordinary thread at set-up, so that a
// signal in a process that has used up its memory still finds one, and has a
// forked child's handler give the stacks its parent's threads held back.
// True when the set has its first stack (mapped now or before); a set
// without one still serves, from stacks mapped later or where its threads are.
bool handler_stacks_reserve(handler_stacks* set) noexcept;

// Runs `handler(signo, info, uap)` on a stack of `set` (see above), then
// gives the calling thread its alternate stack, signal mask and errno back.
// A thread that already runs on one of the set's stacks (a signal in its
// own handler's work) runs `handler` where it is. For the signal action
// whose handler calls it, which blocks every signal (`sa_mask` full), so
// that no other signal lands on the stack the signal arrived on before the
// move, nor after the move back; `handler` runs with the mask the
// interrupted code had, and `signo`.
KX_HANDLER_ENTRY void handler_stacks_run(handler_stacks* set, handler_stacks_handler handler,
                                         int signo, siginfo_t* info, void* uap) noexcept;

// The same for `function(argument)`, with the calling thread's mask.
KX_HANDLER_ENTRY void handler_stacks_call(handler_stacks* set, void (*function)(void*),
                                          void* argument) noexcept;

// Whether the calling thread runs on one of the set's stacks.
KX_HANDLER_ENTRY bool handler_stacks_running_on(const handler_stacks* set) noexcept;

// For a thread that has nothing left to do but wait for the process to end
// (another thread's crash ends it): publishes the context `uap` (a signal
// handler's, may be null) as the thread's state, so that a report written
// meanwhile shows where the thread was (see `thread_publish_fault_state`),
// and waits for good. A thread working on a stack of `set` leaves it first:
// it waits below the entry of its work, on the stack its signal arrived on,
// and gives the stack back. A thread on a signal's alternate stack waits with
// every signal blocked (that stack may have no room for another signal's
// frame); one on its own stack waits as it is.
[[noreturn]] KX_HANDLER_ENTRY void handler_stacks_wait_for_end(handler_stacks* set,
                                                               const void* uap) noexcept;

// For the end of a thread (called by the thread creation wrapper, see
// system/ThreadStacks.h, as the thread's key destructors begin): a stack the
// thread left its work on by a jump, still its alternate stack, goes back to
// its set, and the thread gets the alternate stack it had before.
void handler_stacks_thread_ending() noexcept;

// The calling thread's id, for a handler's entry.
KX_HANDLER_ENTRY int32_t handler_thread_id() noexcept;

}  // namespace sys
