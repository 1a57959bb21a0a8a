#pragma once

#include <signal.h>

#include <cstddef>
#include <cstdint>

// Stacks for the work of a signal handler. A fatal signal may arrive on
// whatever alternate stack its thread has: an application's small one, below
// a kernel frame of up to some 3.5 KiB (the widest vector registers), or one
// a handler before nearly used up. A handler that entered through
// `handler_stacks_run` does nothing where it arrived but move to a stack of a
// set: the set's first stack is mapped at set-up, further ones when threads
// take their signals at the same moment and find the others held, up to
// kHandlerStacksMax. A thread that finds none (every one held, or no memory
// for another) waits for one to be given back, every signal blocked meanwhile,
// so that nothing else lands on the small stack either. For the time of the
// work the stack is also the thread's alternate stack: a signal of its own
// meanwhile (the parking signal of a report's writer, a fault in the work)
// arrives below, on that stack.
//
// A child that runs in its parent's memory (made by vfork) leaves its
// parent's set alone, for it may end while holding a stack: it works on a
// stack mapped for it alone, unmapped when the work returns (left mapped
// should the child end inside), or where it is when none can be mapped.
//
// What runs on the small stack (the entry, the choice of a stack, the wait)
// is not instrumented by the sanitizers and makes system calls only, so that
// it needs as little there in their builds as elsewhere: some 300 bytes below
// the kernel's frame (ThreadSanitizer's own interception adds some 250 before
// it). Everything here is async-signal-safe: no heap, no locks.
namespace sys {

// The most stacks one set maps.
inline constexpr int kHandlerStacksMax = 16;

// For a signal handler's entry, which runs on whatever stack the signal
// arrived on, before it moves: not instrumented by the sanitizers, and
// called directly from within the program or library it is linked into,
// never through a table the loader fills in at the first call.
#define KX_HANDLER_ENTRY \
  __attribute__((no_sanitize("address", "thread", "undefined"), visibility("hidden")))

// A set of stacks of `size` usable bytes each, each above an inaccessible
// guard page. A static object: constant-initialised, never destroyed, so
// that handlers may use it until the process ends.
struct handler_stacks {
  constexpr explicit handler_stacks(size_t usable) noexcept : size(usable) {}

  const size_t size;
  // The process that set the stacks up (or first used them): a process
  // that finds another's id here is a child of it.
  int32_t owner = 0;
  // The thread working on each stack (0 when none), and its top (null until
  // mapped).
  int32_t holders[kHandlerStacksMax] = {};
  void* tops[kHandlerStacksMax] = {};
  // Counts stacks given back: the word a thread that found none waits on.
  int32_t given_back = 0;
};

using handler_stacks_handler = void (*)(int signo, siginfo_t* info, void* uap);

// Maps the set's first stack, on an ordinary thread at set-up, so that a
// signal in a process that has used up its memory still finds one. True
// when the set has it (mapped now or before).
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

}  // namespace sys
