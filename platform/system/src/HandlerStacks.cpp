#include "system/HandlerStacks.h"

#include <ucontext.h>

#include "HandlerStacksInternal.h"
#include "ThreadsInternal.h"
#include "base/ProcessToken.h"
#include "base/StackSwitch.h"
#include "system/SignalSafe.h"

namespace sys::stacks {
namespace {

// A call on a stack: what runs there, the stack, and what the thread had
// before.
struct StackCall {
  void (*function)(void*);
  void* argument;
  // When `masked`, the signal mask the call runs with, and the one the
  // thread had when it came (it blocks every signal in between).
  bool masked;
  KernelMask mask;
  KernelMask entryMask;
  char* top;
  size_t size;
  // The set whose place `index` the call works on; null for a stack mapped
  // for the caller alone outside the set (a child in its parent's memory).
  handler_stacks* set;
  int index;
  Holder self;
  // Whether the call may settle what ended threads left (not in a child
  // that has not taken the set over yet).
  bool tidy;
  stack_t previous;  // the thread's alternate stack before
  bool switched;
};

// Blocks every signal until the call runs, where the thread's mask becomes
// `*during` (its mask when it came, when null).
KX_HANDLER_ENTRY void holdSignalsBack(StackCall* call, const KernelMask* during) {
  setMask(&kEverySignal, &call->entryMask);
  call->mask = during != nullptr ? *during : call->entryMask;
  call->masked = true;
}

// Runs the call where the thread is now, on a stack of room.
KX_HANDLER_ENTRY void callHere(StackCall* call) {
  const int savedErrno = errno;
  // A signal held back until now arrives here.
  if (call->masked) setMask(&call->mask);
  call->function(call->argument);
  if (call->masked) setMask(&call->entryMask);
  errno = savedErrno;
}

// Runs on the stack of `argument` (a StackCall): gives back what the thread
// left elsewhere, makes the stack the alternate stack, then runs the call.
KX_HANDLER_ENTRY void onStack(void* argument) {
  auto* call = static_cast<StackCall*>(argument);
  handler_stacks* set = call->set;
  if (set != nullptr) {
#if KX_TSAN
    // The thread that held the stack before is done with it.
    __tsan_acquire(&set->holders[call->index]);
#endif
    // Here, with room, rather than on the stack the signal arrived on.
    giveBackOtherIdlePlaces(set, call->index, &call->self);
    if (call->tidy) unmapThoseOfEndedThreads(set, &call->self);
  }
  stack_t here;
  here.ss_sp = call->top - call->size;
  here.ss_size = call->size - kMarkSize;
  here.ss_flags = 0;
  stack_t current;
  alternateStackNow(&current);
  if (set != nullptr && current.ss_sp == here.ss_sp && (current.ss_flags & SS_DISABLE) == 0) {
    // Still the thread's alternate stack (it left its work here by a jump),
    // which cannot be set again while the thread runs on it: the one to give
    // it back is the one it had before it first took this one.
    call->previous = set->origins[call->index];
    call->switched = true;
  } else {
    call->switched = systemCall(SYS_sigaltstack, word(&here), word(&call->previous)) == 0;
    if (set != nullptr && call->switched) set->origins[call->index] = call->previous;
  }
  // Mapped behind the sanitizer's back, and left by some works with their
  // frames' poison in place (a jump out, a thread that waits for the end
  // elsewhere): what the sanitizer knew of these addresses does not hold.
  base::forgetStackUse(here.ss_sp, here.ss_size);
  callHere(call);
}

// Runs `call` on its stack, then gives the thread its alternate stack back.
// A work that leaves by a jump, an exception or the thread's end skips the
// rest: no frame here has anything to run then (a frame with a cleanup
// would have the unwinder run on the small stack the signal arrived on).
KX_HANDLER_ENTRY void callOnStack(StackCall* call) {
  kx_call_on_stack(call->top - kMarkSize, onStack, call);
  if (call->switched) {
    call->previous.ss_flags &= ~SS_ONSTACK;
    systemCall(SYS_sigaltstack, word(&call->previous), 0);
  }
}

// Runs `call` on a stack mapped for it alone outside the set, or where the
// thread is when none can be mapped.
KX_HANDLER_ENTRY void callOnLooseStack(handler_stacks* set, StackCall* call) {
  call->set = nullptr;
  call->top = mapStack(set, nullptr);
  if (call->top == nullptr) {
    callHere(call);
    return;
  }
  callOnStack(call);
  unmapStack(set, call->top, false);
}

// Runs `call` on a stack of the set: the one the thread left its work on by
// a jump, else one of the set's own, else one mapped for it alone, else
// where it is. With every signal held back meanwhile, so that no signal's
// handler of the thread's own finds a place it holds half taken.
KX_HANDLER_ENTRY void callOnSetStack(handler_stacks* set, StackCall* call) {
  call->size = set->size;
  if (placeOfCaller(set) >= 0) {
    callHere(call);
    return;
  }
  Holder self = {threadId()};
  const SetUse use = setUseOfCaller(set, &self);
  if (use == SetUse::none) {
    callOnLooseStack(set, call);
    return;
  }
  int place = idlePlaceHeld(set, &self);
  if (place >= 0 && !ensurePlaceHasStack(set, place)) place = -1;
  if (place < 0) place = claimSharedStack(set, &self, use == SetUse::own);
  if (place < 0) place = claimPrivateStack(set, holderWord(&self));
  if (place < 0) {
    callHere(call);
    return;
  }
  call->set = set;
  call->index = place;
  call->self = self;
  call->tidy = use == SetUse::own;
  call->top = static_cast<char*>(__atomic_load_n(&set->tops[place], __ATOMIC_ACQUIRE));
  set->entries[place] = call;
  callOnStack(call);
  givePlaceBack(set, place, false);
}

struct HandlerCall {
  handler_stacks_handler handler;
  int signo;
  siginfo_t* info;
  void* uap;
};

KX_HANDLER_ENTRY void callHandler(void* argument) {
  auto* call = static_cast<HandlerCall*>(argument);
  call->handler(call->signo, call->info, call->uap);
}

}  // namespace
}  // namespace sys::stacks

namespace sys {

bool handler_stacks_reserve(handler_stacks* set) noexcept {
  using namespace stacks;
  uint64_t none = 0;
  __atomic_compare_exchange_n(&set->owner, &none, ownerWord(base::process_token(), processId()),
                              false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
  addToWatchedSets(set);
  if (__atomic_load_n(&set->tops[0], __ATOMIC_ACQUIRE) != nullptr) return true;
  Holder self = {threadId()};
  if (!claimPlaceFrom(set, 0, 0, holderWord(&self))) return false;
  givePlaceBack(set, 0, false);
  return true;
}

void handler_stacks_call(handler_stacks* set, void (*function)(void*), void* argument) {
  using namespace stacks;
  StackCall call = {};
  call.function = function;
  call.argument = argument;
  holdSignalsBack(&call, nullptr);
  callOnSetStack(set, &call);
}

void handler_stacks_run(handler_stacks* set, handler_stacks_handler handler, int signo,
                        siginfo_t* info, void* uap) {
  using namespace stacks;
  HandlerCall handlerCall = {handler, signo, info, uap};
  StackCall call = {};
  call.function = callHandler;
  call.argument = &handlerCall;
  // Held back until the move (the action blocked them already, unless the
  // handler was called directly); from then on the mask is the one the
  // interrupted code had, and the signal itself.
  auto* context = static_cast<ucontext_t*>(uap);
  const KernelMask during = context->uc_sigmask.__val[0] | KernelMask{1} << (signo - 1);
  holdSignalsBack(&call, &during);
  // A signal the kernel put at the top of a stack of the set that the thread
  // left its work on by a jump (still its alternate stack), from code
  // elsewhere: no work of the thread's is left there, and this one, run in
  // place, is the stack's work now, begun there.
  const int here = placeOfCaller(set);
  Holder self = {threadId()};
  if (here >= 0 && (context->uc_stack.ss_flags & SS_ONSTACK) == 0 &&
      onStackOf(set, here, context) && holds(set, here, &self)) {
    set->entries[here] = &call;
  }
  callOnSetStack(set, &call);
}

bool handler_stacks_running_on(const handler_stacks* set) noexcept {
  return stacks::placeOfCaller(set) >= 0;
}

int32_t handler_thread_id() noexcept { return stacks::threadId(); }

}  // namespace sys
