// Ownership across fork: which process a set's holders belong to, and how a
// forked child takes the set over (system/HandlerStacks.h).

#include "HandlerStacksInternal.h"
#include "base/Fork.h"
#include "base/ProcessToken.h"
#include "system/Task.h"

namespace sys::stacks {
namespace {

// Takes the set over for process `pid` (whose token is `token`), in a child
// forked from the process that used it, on the child's first thread `self`:
// every stack a thread of the parent held is given back, but the one `self`
// works on or has for its alternate stack (the fork was called inside a
// handler's work, or after a jump out of one), which stays its own. A stack
// mapped for one of them alone is unmapped; one a thread was making is
// finished.
KX_HANDLER_ENTRY void adopt(handler_stacks* set, Holder* self, int32_t pid, uint32_t token) {
  stack_t alternate;
  alternateStackNow(&alternate);
  const bool hasAlternate = alternate.ss_sp != nullptr && (alternate.ss_flags & SS_DISABLE) == 0;
  const int here = placeOfCaller(set);
  const int end = __atomic_load_n(&set->own_end, __ATOMIC_ACQUIRE);
  for (int i = 0; i < end; ++i) {
    uint64_t holder = holderOf(set, i);
    if (holder == 0 || holds(set, i, self)) continue;
    if (i == here || (hasAlternate && onStackOf(set, i, alternate.ss_sp))) {
      __atomic_store_n(&set->holders[i], holderWord(self), __ATOMIC_RELEASE);
      continue;
    }
    if (!holderEnded(pid, holder, self) ||
        !__atomic_compare_exchange_n(&set->holders[i], &holder, holderWord(self), false,
                                     __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) {
      continue;
    }
    if (!settleOrHandBack(set, i, holder)) continue;
    auto* top = static_cast<char*>(__atomic_load_n(&set->tops[i], __ATOMIC_ACQUIRE));
    if (i >= kOwnFirst) {
      givePlaceBack(set, i, true);
      continue;
    }
    if (top != nullptr && !(stackMark(set, top) == Mark::ours && protectGuardPage(set, top))) {
      __atomic_store_n(&set->tops[i], nullptr, __ATOMIC_RELEASE);
      unmapStack(set, top, true);
    }
    __atomic_store_n(&set->holders[i], 0, __ATOMIC_RELEASE);
  }
  __atomic_store_n(&set->owner, ownerWord(token, pid), __ATOMIC_RELEASE);
  wakeStackWaiters(set);
}

// In a forked child, the stacks its parent's threads held are given back.
void adoptAfterFork() {
  Holder self = {threadId()};
  const uint32_t token = base::process_token();
  for (handler_stacks* set : gWatched) {
    if (set != nullptr &&
        __atomic_load_n(&set->owner, __ATOMIC_ACQUIRE) != ownerWord(token, self.tid)) {
      adopt(set, &self, self.tid, token);
    }
  }
}

__attribute__((constructor)) void adoptionJoinedAtLoad() {
  base::fork_join_or_stop(base::ForkPhase::system, {.child = adoptAfterFork});
}

}  // namespace

KX_HANDLER_ENTRY SetUse setUseOfCaller(handler_stacks* set, Holder* self) {
  const int32_t pid = processId();
  const uint32_t token = base::process_token();
  const uint64_t own = ownerWord(token, pid);
  uint64_t owner = __atomic_load_n(&set->owner, __ATOMIC_ACQUIRE);
  if (owner == own) return SetUse::own;
  // The owner's token under another id: a child in its parent's memory,
  // which has its parent's token. Else only a child asks, once: the question
  // is not as lean.
  if (owner >> 32 == token || task_shares_parent_memory()) return SetUse::none;
  if (owner == 0 && __atomic_compare_exchange_n(&set->owner, &owner, own, false, __ATOMIC_ACQ_REL,
                                                __ATOMIC_ACQUIRE)) {
    addToWatchedSets(set);
    return SetUse::own;
  }
  if (owner == own) return SetUse::own;
  // A child made without fork handlers: only its first thread knows which
  // stack, if any, its own work is on.
  if (self->tid != pid) return SetUse::inherited;
  adopt(set, self, pid, token);
  return SetUse::own;
}

}  // namespace sys::stacks
