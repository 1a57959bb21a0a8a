#include "ROCrashSignalHandler.h"

#include <errno.h>
#include <pthread.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/BuildFacts.h"
#include "base/Mutex.h"
#include "crash-capture/ROReradUzerirudError.h"
#include "safe/AsyncList.h"
#include "safe/AsyncSafe.h"
#include "system/HandlerStacks.h"
#include "system/SignalSafe.h"
#include "system/Task.h"
#include "system/ThreadStacks.h"
#include "system/Threads.h"

#ifndef AT_MINSIGSTKSZ
#define AT_MINSIGSTKSZ 51
#endif

namespace {

// A thread's alternate stack: the kernel's signal frame, which this
// processor's register state sizes (the kernel tells how large it can be),
// and room for the handler's entry, which moves the work to a stack of its
// own (below) first. At least 64 KiB.
size_t alternateStackSize() {
  constexpr size_t kEntryRoom = 48 * 1024;
  // Kernels before 5.14 do not tell: room for the largest frames they make.
  size_t frame = getauxval(AT_MINSIGSTKSZ);
  if (frame == 0) frame = 16 * 1024;
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t bytes = (kEntryRoom + frame + page - 1) / page * page;
  return std::max<size_t>(64 * 1024, bytes);
}
// The stack the chain runs on: room for the crash log writer, whatever is
// left of the stack the signal arrived on.
constexpr size_t kHandlerStackSize = 512 * 1024;

struct CallbackEntry {
  rocrash_signal_handler_callback_func callback;
  void* context;
  bool operator==(const CallbackEntry& other) const {
    return callback == other.callback && context == other.context;
  }
};

struct PreviousAction {
  int signo;
  struct sigaction action;
  bool operator==(const PreviousAction& other) const { return signo == other.signo; }
};

using CallbackList = rocrash::async::async_list<CallbackEntry>;
using ActionList = rocrash::async::async_list<PreviousAction>;

// Both lists live for the whole process; a signal handler may walk them at
// any time, so they are made before main and never move. They are never
// destroyed either: a crash in a global destructor of the program, or in an
// exit handler, is still reported.
CallbackList& gCallbacks = *new CallbackList();
ActionList& gPreviousActions = *new ActionList();
base::Mutex gRegistrationLock;
// Registrations per signal still in force.
int gRegistrations[NSIG] KX_GUARDED_BY(gRegistrationLock) = {};

#if KX_TSAN
bool gSanitizerSignalPathBound KX_GUARDED_BY(gRegistrationLock) = false;

// ThreadSanitizer hands every signal on to the handler itself, and binds
// the functions it calls there at the first one, on the stack that signal
// arrived on: the loader saves every vector register there (some 3 KiB with
// the widest), more than an application's small alternate stack may leave.
// A signal of no effect (the parking signal, sent but not queued), taken on
// this thread's own stack now, is that first one.
void bindTheSanitizersSignalPath() KX_REQUIRES(gRegistrationLock) {
  if (gSanitizerSignalPathBound) return;
  gSanitizerSignalPathBound = true;
  sys::thread_parking_prepare();
  stack_t none = {nullptr, SS_DISABLE, 0}, own;
  if (sigaltstack(&none, &own) != 0) return;
  pthread_kill(pthread_self(), sys::thread_parking_signal());
  sigaltstack(&own, nullptr);
}
#endif

// The stacks the chain runs on (see system/HandlerStacks.h): each thread
// whose signal runs the chain has one of its own, so that whichever crash
// the gate lets through first has the room to write its report.
sys::handler_stacks gChainStacks{kHandlerStackSize};

}  // namespace

struct rocrash_signal_handler_callback_next_context {
  bool (*iterate)(int, siginfo_t*, void*, CallbackList::node*);
  CallbackList::node* entry;
};

namespace {

// Calls the callback after `current` (the first one when `current` is null).
bool runCallbackChain(int signo, siginfo_t* info, void* uap, CallbackList::node* current) {
  gCallbacks.set_reading(true);
  bool handled = false;
  CallbackList::node* entry = gCallbacks.next(current);
  if (entry != nullptr) {
    rocrash_signal_handler_callback_next_context next = {runCallbackChain, entry};
    bool hasNext = gCallbacks.next(entry) != nullptr;
    handled =
        entry->value.callback(signo, info, uap, entry->value.context, hasNext ? &next : nullptr);
  }
  gCallbacks.set_reading(false);
  return handled;
}

void dispatchHere(int signo, siginfo_t* info, void* uap);

// The registry's handler: the chain runs on a stack of the set.
KX_HANDLER_ENTRY void dispatchSignal(int signo, siginfo_t* info, void* uap) {
  sys::handler_stacks_run(&gChainStacks, dispatchHere, signo, info, uap);
}

void dispatchHere(int signo, siginfo_t* info, void* uap) {
  if (runCallbackChain(signo, info, uap, nullptr)) return;
  // Nobody handled it. Deliver it again with the default action: were the
  // registry's own handler left in place, the raised signal would come back
  // here for ever.
  sys::ErrnoGuard errnoGuard;
  struct sigaction current;
  if (sigaction(signo, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) != 0 &&
      current.sa_sigaction == dispatchSignal) {
    sys::restore_default_action(signo);
  }
  raise(signo);
}

// Hands the signal to the action that was installed before the registry's.
bool forwardToPreviousAction(int signo, siginfo_t* info, void* uap, void*,
                             rocrash_signal_handler_callback_next_context* next) {
  if (next != nullptr && rocrash_signal_handler_callback_next(next, signo, info, uap)) return true;

  bool found = false;
  struct sigaction previous;
  gPreviousActions.set_reading(true);
  for (ActionList::node* n = gPreviousActions.next(nullptr); n != nullptr;
       n = gPreviousActions.next(n)) {
    if (n->value.signo == signo) {
      previous = n->value.action;
      found = true;
      break;
    }
  }
  gPreviousActions.set_reading(false);
  if (!found) return false;

  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    previous.sa_sigaction(signo, info, uap);
    return true;
  }
  if (previous.sa_handler == SIG_IGN) return true;
  if (previous.sa_handler == SIG_DFL) return false;
  previous.sa_handler(signo);
  return true;
}

void populatePosixError(std::shared_ptr<foundation::NSError>* error, const char* message,
                        int errorNumber) {
  ROCrashPopulateError(
      error, ROReradUzerirudErrorOperatingSystem, message,
      foundation::NSError::create(std::string(foundation::NSPOSIXErrorDomain), errorNumber));
}

}  // namespace

void rocrash_signal_handler_call_with_room(void (*function)(void*), void* argument) {
  // A child in its parent's memory runs the chain on a stack of its own.
  if (sys::task_shares_parent_memory() || sys::handler_stacks_running_on(&gChainStacks)) {
    function(argument);
  } else {
    sys::handler_stacks_call(&gChainStacks, function, argument);
  }
}

void rocrash_signal_handler_run_with_room(void (*handler)(int, siginfo_t*, void*), int signo,
                                          siginfo_t* info, void* uap) {
  sys::handler_stacks_run(&gChainStacks, handler, signo, info, uap);
}

void rocrash_signal_handler_dispatch(int signo, siginfo_t* info, void* uap) {
  dispatchSignal(signo, info, uap);
}

void rocrash_signal_handler_wait_for_the_end(const void* uap) {
  sys::handler_stacks_wait_for_end(&gChainStacks, uap);
}

bool rocrash_signal_handler_callback_next(rocrash_signal_handler_callback_next_context* next,
                                          int signo, siginfo_t* info, void* uap) {
  if (next == nullptr) return false;
  return next->iterate(signo, info, uap, next->entry);
}

std::shared_ptr<ROCrashSignalHandler> ROCrashSignalHandler::sharedHandler() {
  static std::shared_ptr<ROCrashSignalHandler> shared = create();
  return shared;
}

std::shared_ptr<ROCrashSignalHandler> ROCrashSignalHandler::create() {
  return std::shared_ptr<ROCrashSignalHandler>(new ROCrashSignalHandler());
}

ROCrashSignalHandler::~ROCrashSignalHandler() = default;

bool ROCrashSignalHandler::registerHandlerForSignal(int signo,
                                                    rocrash_signal_handler_callback_func callback,
                                                    void* context,
                                                    std::shared_ptr<foundation::NSError>* error) {
  if (!registerHandlerWithSignal(signo, error)) return false;
  gCallbacks.nasync_prepend({callback, context});
  return true;
}

bool ROCrashSignalHandler::registerHandlerWithSignal(int signo,
                                                     std::shared_ptr<foundation::NSError>* error) {
  base::LockGuard lock(gRegistrationLock);
  // Every thread needs an alternate stack, this one too: a stack overflow or
  // a corrupt stack pointer may happen on any of them. One it has already
  // (the program's own) stays.
  sys::thread_alternate_stacks_enable(alternateStackSize());
  // Without its first stack (no memory now) the chain still runs: on a stack
  // mapped when a signal comes, or where the signal arrived.
  (void)sys::handler_stacks_reserve(&gChainStacks);
#if KX_TSAN
  bindTheSanitizersSignalPath();
#endif

  // One forwarding entry per registration, behind the user callbacks; each
  // runs the rest of the chain first, so only the last one forwards.
  gCallbacks.nasync_append({forwardToPreviousAction, nullptr});

  bool installed = false;
  gPreviousActions.set_reading(true);
  for (ActionList::node* n = gPreviousActions.next(nullptr); n != nullptr;
       n = gPreviousActions.next(n)) {
    if (n->value.signo == signo) {
      installed = true;
      break;
    }
  }
  gPreviousActions.set_reading(false);
  const bool counted = signo > 0 && signo < NSIG;
  if (installed) {
    if (counted) ++gRegistrations[signo];
    return true;
  }

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = dispatchSignal;
  // A signal handed on to the application's handler (one of its own kills)
  // interrupts no system call of the thread it arrives on.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  // Every signal held back until the handler has moved to its stack.
  sigfillset(&action.sa_mask);
  PreviousAction previous;
  previous.signo = signo;
  if (sigaction(signo, &action, &previous.action) != 0) {
    populatePosixError(error, "Failed to register signal handler", errno);
    gCallbacks.nasync_remove_first({forwardToPreviousAction, nullptr});
    return false;
  }
  gPreviousActions.nasync_append(previous);
  if (counted) gRegistrations[signo] = 1;
  return true;
}

void ROCrashSignalHandler::unregisterHandlerForSignal(int signo,
                                                      rocrash_signal_handler_callback_func callback,
                                                      void* context) {
  base::LockGuard lock(gRegistrationLock);
  gCallbacks.nasync_remove_first({callback, context});
  gCallbacks.nasync_remove_first({forwardToPreviousAction, nullptr});
  if (signo <= 0 || signo >= NSIG || gRegistrations[signo] == 0 || --gRegistrations[signo] > 0) {
    return;
  }
  gPreviousActions.set_reading(true);
  for (ActionList::node* n = gPreviousActions.next(nullptr); n != nullptr;
       n = gPreviousActions.next(n)) {
    if (n->value.signo == signo) {
      sigaction(signo, &n->value.action, nullptr);
      break;
    }
  }
  gPreviousActions.set_reading(false);
  gPreviousActions.nasync_remove_first({signo, {}});
}

bool ROCrashSignalHandler::callbacksMayRun() { return gCallbacks.reader_count() != 0; }

#ifdef KX_TEST_SEAMS
size_t ROCrashSignalHandler::callbackCountForTesting() {
  size_t count = 0;
  for (CallbackList::node* n = gCallbacks.next(nullptr); n != nullptr; n = gCallbacks.next(n)) {
    ++count;
  }
  return count;
}
#endif

void ROCrashSignalHandler::resetHandlers() {
  base::LockGuard lock(gRegistrationLock);
  gPreviousActions.nasync_remove_all();
  gCallbacks.nasync_remove_all();
  for (int& count : gRegistrations) count = 0;
}
