// Taking back the stacks of threads that ended without giving them back
// (system/HandlerStacks.h).

#include <sys/mman.h>

#include "HandlerStacksInternal.h"

namespace sys::stacks {

// Whether place `place`, taken from `holder`, an ended thread, can be
// settled: its stack's mark can be read. Where it cannot (the kernel reads
// no memory for this process), the place goes back to that holder and
// stays out of use: its stack may be the set's, or memory of another's
// mapped since, and is neither used nor unmapped, nor replaced by another
// (so that a place costs one stack at most, however many threads end).
KX_HANDLER_ENTRY bool settleOrHandBack(handler_stacks* set, int place, uint64_t holder) {
  auto* top = static_cast<char*>(__atomic_load_n(&set->tops[place], __ATOMIC_ACQUIRE));
  if (top == nullptr || stackMark(set, top) != Mark::unknown) return true;
  __atomic_store_n(&set->holders[place], holder, __ATOMIC_RELEASE);
  return false;
}

// Unmaps the stacks mapped for one thread alone of threads that ended
// without giving them back (threads not made through `pthread_create`).
KX_HANDLER_ENTRY void unmapThoseOfEndedThreads(handler_stacks* set, Holder* self) {
  if (__atomic_load_n(&set->own_held, __ATOMIC_ACQUIRE) == 0) return;
  const int32_t pid = processId();
  const int end = __atomic_load_n(&set->own_end, __ATOMIC_ACQUIRE);
  for (int i = kOwnFirst; i < end; ++i) {
    uint64_t holder = holderOf(set, i);
    if (holder != 0 && holderEnded(pid, holder, self) &&
        __atomic_compare_exchange_n(&set->holders[i], &holder, holderWord(self), false,
                                    __ATOMIC_ACQUIRE, __ATOMIC_RELAXED) &&
        settleOrHandBack(set, i, holder)) {
      givePlaceBack(set, i, true);
    }
  }
}

// Takes over place `place` of the set's own, whose holder ended without
// giving it back: its stack as it is, unless something unmapped it (then
// the guard page left goes, and a new stack is mapped), or it cannot be
// told (see settleOrHandBack).
KX_HANDLER_ENTRY bool takeOverFromEndedHolder(handler_stacks* set, int place, uint64_t holder,
                                              uint64_t self) {
  if (!claimPlaceFrom(set, place, holder, self)) return false;
  auto* top = static_cast<char*>(__atomic_load_n(&set->tops[place], __ATOMIC_ACQUIRE));
  const Mark mark = stackMark(set, top);
  if (mark == Mark::ours) return true;
  if (mark == Mark::unknown) {
    __atomic_store_n(&set->holders[place], holder, __ATOMIC_RELEASE);
    return false;
  }
  __atomic_store_n(&set->tops[place], nullptr, __ATOMIC_RELEASE);
  systemCall(SYS_munmap, word(guardOf(set, top)), word(kPage));
  return ensurePlaceHasStack(set, place);
}

}  // namespace sys::stacks

namespace sys {

void handler_stacks_thread_ending() noexcept {
  using namespace stacks;
  Holder self = {threadId()};
  // No signal's handler of the thread's own takes a place while it is given
  // back.
  KernelMask before;
  setMask(&kEverySignal, &before);
  for (handler_stacks* set : gWatched) {
    if (set == nullptr) continue;
    const int here = placeOfCaller(set);
    const int end = placesInUse(set);
    for (int i = 0; i < end; ++i) {
      if (i != here && holds(set, i, &self)) giveBackIdlePlace(set, i);
    }
  }
  setMask(&before);
}

}  // namespace sys
