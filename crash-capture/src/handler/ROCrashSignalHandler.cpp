#include "ROCrashSignalHandler.h"

#include <errno.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "base/Mutex.h"
#include "crash-capture/AsyncSafe.h"
#include "crash-capture/ROReradUzerirudError.h"
#include "safe/AsyncList.h"
#include "system/SignalSafe.h"
#include "system/Task.h"
#include "system/ThreadStacks.h"

namespace {

constexpr size_t kAlternateStackSize = 65536;
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

// A stack of kHandlerStackSize bytes above an inaccessible guard page,
// mapped once, taken by one thread at a time.
struct HandlerStack {
  std::atomic<void*> top{nullptr};
  std::atomic<int32_t> holder{0};
};

// The chain's: the thread whose signal runs the chain while another already
// does stays on its own stack. A signal of the thread that holds it (a fault
// in its own handler) runs on, below, where it already is.
HandlerStack gChainStack;
// The one `rocrash_signal_handler_call_with_room` lends: the thread whose
// signal lost the chain's stack to another's may still be the one that has
// to write a crash's report (the other, a second crash, then waits).
HandlerStack gRoomStack;

void reserve(HandlerStack* stack) {
  if (stack->top.load() != nullptr) return;
  const size_t page = sys::vm_page_size();
  void* mapping = mmap(nullptr, kHandlerStackSize + page, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping == MAP_FAILED) return;
  mprotect(mapping, page, PROT_NONE);
  stack->top.store(static_cast<char*>(mapping) + page + kHandlerStackSize);
}

void reserveHandlerStacks() {
  reserve(&gChainStack);
  reserve(&gRoomStack);
}

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

struct StackCall {
  void (*function)(void*);
  void* argument;
  void* top;
  stack_t previous;  // the thread's alternate stack before
  bool switched;
};

void callHere(void* argument) {
  auto* call = static_cast<StackCall*>(argument);
  // For the time of the call this stack is the thread's alternate stack: a
  // signal of its own meanwhile (a fault in a callback) then arrives below,
  // on this stack, rather than at the top of the stack the signal came on,
  // where the caller's frames still are.
  stack_t here;
  here.ss_sp = static_cast<char*>(call->top) - kHandlerStackSize;
  here.ss_size = kHandlerStackSize;
  here.ss_flags = 0;
  call->switched = sigaltstack(&here, &call->previous) == 0;
  call->function(call->argument);
}

// Runs `function(argument)` on the handler-sized stack whose top is `top`,
// then gives the thread its alternate stack back.
void callOn(void* top, void (*function)(void*), void* argument) {
  StackCall call = {function, argument, top, {}, false};
  sys_call_on_stack(top, callHere, &call);
  if (call.switched) {
    call.previous.ss_flags &= ~SS_ONSTACK;
    sigaltstack(&call.previous, nullptr);
  }
}

struct Delivery {
  int signo;
  siginfo_t* info;
  void* uap;
};

void dispatchDelivery(void* delivery) {
  auto* d = static_cast<Delivery*>(delivery);
  dispatchHere(d->signo, d->info, d->uap);
}

void dispatchOn(void* top, int signo, siginfo_t* info, void* uap) {
  Delivery delivery = {signo, info, uap};
  callOn(top, dispatchDelivery, &delivery);
}

// A child in its parent's memory (made by vfork) leaves the parent's handler
// stack be: its chain runs on a stack mapped for it alone, unmapped before
// the handler returns (or left to the parent, should the child end inside).
void dispatchOnOwnStack(int signo, siginfo_t* info, void* uap) {
  const size_t page = sys::vm_page_size();
  const size_t size = kHandlerStackSize + page;
  void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping == MAP_FAILED) {
    dispatchHere(signo, info, uap);
    return;
  }
  mprotect(mapping, page, PROT_NONE);
  dispatchOn(static_cast<char*>(mapping) + size, signo, info, uap);
  munmap(mapping, size);
}

// The registry's handler: the chain runs on the handler stack when it is
// free, else where the signal arrived.
void dispatchSignal(int signo, siginfo_t* info, void* uap) {
  sys::ErrnoGuard errnoGuard;
  void* top = gChainStack.top.load(std::memory_order_acquire);
  int32_t idle = 0;
  if (sys::task_shares_parent_memory()) {
    dispatchOnOwnStack(signo, info, uap);
  } else if (top != nullptr && gChainStack.holder.compare_exchange_strong(
                                   idle, sys::mach_thread_self(), std::memory_order_acquire)) {
    dispatchOn(top, signo, info, uap);
    gChainStack.holder.store(0, std::memory_order_release);
  } else {
    dispatchHere(signo, info, uap);
  }
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
  const int32_t self = sys::mach_thread_self();
  // A child in its parent's memory runs the chain on a stack of its own.
  if (sys::task_shares_parent_memory() || gChainStack.holder.load() == self) {
    function(argument);
    return;
  }
  void* top = gRoomStack.top.load(std::memory_order_acquire);
  int32_t idle = 0;
  if (top != nullptr &&
      gRoomStack.holder.compare_exchange_strong(idle, self, std::memory_order_acquire)) {
    callOn(top, function, argument);
    gRoomStack.holder.store(0, std::memory_order_release);
  } else {
    function(argument);
  }
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
  sys::thread_alternate_stacks_enable(kAlternateStackSize);
  reserveHandlerStacks();

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
  sigemptyset(&action.sa_mask);
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
