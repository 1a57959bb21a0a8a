#pragma once

#include <signal.h>

#include <cstddef>
#include <cstdint>

#include "base/Stacks.h"

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
// stack mapped for it alone (up to kHandlerStacksOwnMax such stacks at once),
// unmapped when the work is done, or, with no memory or room left for one,
// where it is. A thread that only waits for the process to end gives every
// stack it holds back first (`handler_stacks_wait_for_end`).
//
// A thread that left its work by a jump (`siglongjmp`), or ended in it
// (`pthread_exit`), keeps the stack, and the stack stays its alternate stack
// unless the thread sets another: the kernel puts its next signal there. It
// never holds a second one for it: its next claim from elsewhere takes that
// stack again, whatever the thread did to its alternate stack meanwhile, and
// gives the others it left back; its end gives them all back (a thread made
// through `pthread_create`, see system/ThreadStacks.h), and the thread its
// own alternate stack. The stacks of a thread that ended otherwise come back
// at a later claim of another thread, which finds it gone (or of the thread
// given its id since, which knows it is another by its start): those of the set
// are taken again as they are, those mapped for it alone are unmapped; a
// stack that something else unmapped meanwhile (a sanitizer's end of a
// thread unmaps its alternate stack) is known by a mark at its top that is
// not there any more, and only the guard page, still the set's, is unmapped.
// Where the mark cannot be read at all (a sandbox refuses the calls that
// read it), such a stack stays with its ended thread, out of use: never
// unmapped, used or replaced, so that it costs one stack at most. A place
// records its holder's id and the clock tick of the claim: a thread given the
// id of a holder that ended started after that claim, and knows from its
// start (read from /proc, when a place has its id) that the place is not its
// own (one that started in that very tick is taken for the holder; where
// /proc does not tell the start, the id alone is).
//
// A forked child starts with every stack free but the one its thread may be
// working on or have left by a jump (fork called inside a handler, or after
// a jump out of one): the stacks the parent's other threads held are given
// back in the child (by a fork handler, or, for a child made by a raw system
// call, by its first thread at its first claim), those mapped for one of
// them alone unmapped, and one a thread was making as the parent forked is
// finished. A child that runs in its parent's memory (made by vfork) leaves
// its parent's set alone, for it may end while holding a stack: it works on a
// stack mapped for it alone, or where it is when none can be mapped.
//
// What runs on the small stack (the entry, the choice of a stack, the wait)
// is not instrumented by the sanitizers and makes system calls only, so that
// it needs as little there in their builds as elsewhere: some 300 bytes below
// the kernel's frame (ThreadSanitizer's own interception adds some 250 before
// it). Everything here is async-signal-safe: no heap, no locks. x86-64 only.
namespace sys {

// The most stacks one set maps and keeps.
inline constexpr int kHandlerStacksMax = 16;
// The most stacks one set maps for one thread alone at once, past its own:
// each is unmapped when its work is done; a thread that finds none of them
// free works where it is.
inline constexpr int kHandlerStacksOwnMax = 240;
// How long a thread that finds every stack of a set held waits for one to be
// given back: well below the 20 ms a report's writer gives a thread with the
// parking signal blocked to unblock it.
inline constexpr int64_t kHandlerStacksPatienceNs = 5'000'000;

// For a signal handler's entry, which runs on whatever stack the signal
// arrived on, before it moves (see base/Stacks.h).
#define KX_HANDLER_ENTRY KX_BARE_ENTRY

// A set of stacks of `size` bytes each, each above an inaccessible guard
// page (the top 16 bytes hold the set's mark, the rest is for the work). A
// static object: constant-initialised, never destroyed, so that handlers may
// use it until the process ends. Its fields are the implementation's.
struct handler_stacks {
  // Places for stacks: the set's own (kept mapped) first, then those mapped
  // for one thread alone.
  static constexpr int kPlaces = kHandlerStacksMax + kHandlerStacksOwnMax;

  constexpr explicit handler_stacks(size_t usable) noexcept : size(usable) {}

  const size_t size;
  // The process whose threads `holders` name: its token (see
  // base/ProcessToken.h) in the upper half, its id in the lower. A process
  // that finds another token here is a child of it, whatever their ids; one
  // that finds its own token with another id shares its parent's memory.
  uint64_t owner = 0;
  // The thread holding each place's stack (0 when none): its id in the
  // lower half, and in the upper one the clock tick it claimed the place in
  // (see HandlerStacksPlaces.cpp), so that a thread given the id of a holder
  // that has ended is not taken for that holder. And each place's top (null
  // while not mapped).
  uint64_t holders[kPlaces] = {};
  void* tops[kPlaces] = {};
  // Of each place, for its holder only: where its current work was entered
  // from (on the stack the signal arrived on, or on this stack when a signal
  // began it there), and the thread's alternate stack before it took it.
  const void* entries[kPlaces] = {};
  stack_t origins[kPlaces] = {};
  // Counts stacks given back: the word a thread that found none waits on.
  int32_t given_back = 0;
  // Whether the fork handler and the ends of threads know the set.
  int32_t watched = 0;
  // How many places past the set's own are held, and one past the last of
  // them ever held: the others are not looked at.
  int32_t own_held = 0;
  int32_t own_end = kHandlerStacksMax;
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
// interrupted code had, and `signo`. `handler` may leave by a jump, by an
// exception or by `pthread_exit`, which pass through (see above for the
// stack it leaves).
KX_HANDLER_ENTRY void handler_stacks_run(handler_stacks* set, handler_stacks_handler handler,
                                         int signo, siginfo_t* info, void* uap);

// The same for `function(argument)`, with the calling thread's mask.
KX_HANDLER_ENTRY void handler_stacks_call(handler_stacks* set, void (*function)(void*),
                                          void* argument);

// Whether the calling thread runs on one of the set's stacks.
KX_HANDLER_ENTRY bool handler_stacks_running_on(const handler_stacks* set) noexcept;

// For a thread that has nothing left to do but wait for the process to end
// (another thread's crash ends it): publishes the context `uap` (a signal
// handler's, may be null) as the thread's state, so that a report written
// meanwhile shows where the thread was (see `thread_publish_fault_state`),
// and waits for good. It gives back every handler stack it holds, of every
// set: one it works on (of `set` or another) it leaves first, for a place of
// the layer's where it waits, every signal blocked and no alternate stack
// left, touching no stack at all (so that any number of threads wait there
// at once). A thread elsewhere waits where it is: on a signal's alternate
// stack with every signal blocked (that stack may have no room for another
// signal's frame), on its own stack as it is.
[[noreturn]] KX_HANDLER_ENTRY void handler_stacks_wait_for_end(handler_stacks* set,
                                                               const void* uap) noexcept;

// For the end of a thread (called by the thread creation wrapper, see
// system/ThreadStacks.h, as the thread's key destructors begin): every stack
// the thread still holds (left by a jump, or by `pthread_exit` in a work)
// goes back to its set, and one that is still its alternate stack gives way
// to the alternate stack it had before.
void handler_stacks_thread_ending() noexcept;

// The calling thread's id, for a handler's entry.
KX_HANDLER_ENTRY int32_t handler_thread_id() noexcept;

}  // namespace sys
