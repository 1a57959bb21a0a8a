#pragma once

#include <signal.h>

#include <cstddef>
#include <memory>

#include "foundation/NSError.h"
#include "system/HandlerStacks.h"

// The continuation handed to a signal callback: runs the next callback of
// the registry's list. Null when the current callback is the last one.
struct rocrash_signal_handler_callback_next_context;

// A callback of the registry's chain. Returns true when it handled the
// signal. `next` (may be null) lets it run the rest of the chain first.
using rocrash_signal_handler_callback_func =
    bool (*)(int signo, siginfo_t* info, void* uap, void* context,
             rocrash_signal_handler_callback_next_context* next);

// Runs the callback after the one `next` stands for; false when `next` is
// null (there is none). Async-signal-safe.
bool rocrash_signal_handler_callback_next(rocrash_signal_handler_callback_next_context* next,
                                          int signo, siginfo_t* info, void* uap);

// Runs `function(argument)` with as much stack as the chain's handler stacks
// have: in place where the calling thread's chain runs on one of them (or on
// a vfork child's own one), else on one of them. Called from a callback of
// the chain. Async-signal-safe.
void rocrash_signal_handler_call_with_room(void (*function)(void*), void* argument);

// Runs `handler(signo, info, uap)` on one of the chain's handler stacks, for
// another handler of a fatal signal: its action blocks every signal and its
// handler calls this first (see system/HandlerStacks.h), so that nothing of
// it lands on the stack the signal arrived on, which may be small.
KX_HANDLER_ENTRY void rocrash_signal_handler_run_with_room(void (*handler)(int, siginfo_t*, void*),
                                                           int signo, siginfo_t* info, void* uap);

// The registry's handler itself, for another handler that hands it a fatal
// signal as it arrived (its action blocks every signal, as the registry's
// does).
KX_HANDLER_ENTRY void rocrash_signal_handler_dispatch(int signo, siginfo_t* info, void* uap);

// For a thread that has nothing left to do but wait for the process to end
// (another thread's crash ends it): publishes `uap` (its signal's context,
// may be null) as its state for a report, leaves the chain's handler stack it
// may work on, and waits for good (see `sys::handler_stacks_wait_for_end`).
// Async-signal-safe, on whatever stack.
[[noreturn]] KX_HANDLER_ENTRY void rocrash_signal_handler_wait_for_the_end(const void* uap);

// Installs one process-wide handler per fatal signal asked for, runs it on an
// alternate signal stack (so a stack overflow can still be reported), keeps a
// chain of in-process callbacks that see every such signal first, and hands
// the signal on to the handler that was installed before. The chain itself
// runs on a handler stack of its own (system/HandlerStacks.h), the first
// reserved at the first registration, one for each thread whose signal runs
// the chain at the same moment, so that it has room even when the signal
// arrives on a small alternate stack (installed by the application or
// another runtime) or on one a handler before it nearly used up. A child
// that runs in its parent's memory (made by vfork) leaves those stacks to
// the parent and runs the chain on one mapped for it alone. Registration
// runs on ordinary threads; the chain is walked inside signal handlers
// without locks or allocation.
class ROCrashSignalHandler {
 public:
  // The shared instance (made on first use).
  static std::shared_ptr<ROCrashSignalHandler> sharedHandler();
  // A registry object.
  static std::shared_ptr<ROCrashSignalHandler> create();
  ~ROCrashSignalHandler();

  // Installs the registry's handler for `signo` (once per signal) and puts
  // {callback, context} at the head of the callback chain. False with `*error`
  // (code 1, the POSIX error underneath) when the handler cannot be
  // installed.
  bool registerHandlerForSignal(int signo, rocrash_signal_handler_callback_func callback,
                                void* context, std::shared_ptr<foundation::NSError>* error);
  // Installs the registry's handler for `signo` once, saving the action it
  // replaces. Every thread of the process, the calling one too, now and
  // later, keeps the alternate stack it has or gets one of its own
  // (system/ThreadStacks.h); the first handler stack is reserved.
  bool registerHandlerWithSignal(int signo, std::shared_ptr<foundation::NSError>* error);

  // Undoes one `registerHandlerForSignal` with the same arguments, for a
  // set-up that failed halfway: the callback and one forwarding entry leave
  // the chain, and once no registration for `signo` remains, its action is
  // the one the registry replaced again. Alternate stacks stay.
  void unregisterHandlerForSignal(int signo, rocrash_signal_handler_callback_func callback,
                                  void* context);

  // Whether a thread may be running callbacks of the chain now: one whose
  // signal is being handled (or that left a handler by a jump). What a
  // callback taken out of the chain uses must stay until none may.
  static bool callbacksMayRun();

  // Empties the callback chain and the saved previous actions. The process's
  // signal actions keep pointing at the registry's handler.
  static void resetHandlers();

#ifdef KX_TEST_SEAMS
  // Test seam: the entries of the callback chain, forwarding ones included.
  static size_t callbackCountForTesting();
#endif

 private:
  ROCrashSignalHandler() = default;
};
