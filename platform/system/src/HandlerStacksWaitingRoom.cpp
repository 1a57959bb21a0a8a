// The waiting room: where a thread that only waits for the process to end
// waits, holding no stack (system/HandlerStacks.h).

#include <linux/futex.h>

#include "HandlerStacksInternal.h"
#include "ThreadsInternal.h"
#include "base/BuildFacts.h"

// Where a thread that waits for the process to end waits once it has left
// the handler stack it worked on (see `handler_stacks_wait_for_end`), written
// for x86-64 and AArch64 in HandlerStacksWaitOff.S: with its stack pointer at
// `room_top`, in a small room it never writes to, and every signal blocked,
// so that any number of threads share the room, it disables the thread's
// alternate stack, unmaps `mapping` (`length` bytes: a stack mapped for the
// thread alone; null when none), clears `*holder`, counts a stack given back
// in `*given_back` and wakes the threads that wait for one, and pauses for
// good.
extern "C" [[noreturn]] __attribute__((visibility("hidden"))) void kx_handler_stacks_wait_off(
    void* room_top, uint64_t* holder, int32_t* given_back, void* mapping, size_t length) noexcept;

// The numbers and layouts the routine spells out.
#if KX_X86_64
static_assert(SYS_sigaltstack == 131 && SYS_munmap == 11 && SYS_futex == 202 && SYS_pause == 34,
              "the waiting room's system calls are x86-64's");
#elif KX_AARCH64
static_assert(SYS_sigaltstack == 132 && SYS_munmap == 215 && SYS_futex == 98 && SYS_ppoll == 73,
              "the waiting room's system calls are AArch64's");
#else
#error "the waiting room (HandlerStacksWaitOff.S) is written for x86-64 and AArch64 only"
#endif
static_assert(SS_DISABLE == 2 && FUTEX_WAKE_PRIVATE == 129 && sizeof(stack_t) == 24,
              "the waiting room's constants are Linux's");

namespace sys {
namespace stacks {
namespace {

// Gives back every place of every set the calling thread `self` holds, but
// place `keep` of `kept`: it waits for the end, and none of its works goes
// on. Every signal is blocked.
KX_HANDLER_ENTRY void leaveAll(handler_stacks* set, Holder* self, const handler_stacks* kept,
                               int keep) {
  for (int s = -1; s < 8; ++s) {
    handler_stacks* each = s < 0 ? set : gWatched[s];
    if (each == nullptr || (s >= 0 && each == set)) continue;
    const int end = placesInUse(each);
    for (int i = 0; i < end; ++i) {
      if ((each != kept || i != keep) && holds(each, i, self)) giveBackIdlePlace(each, i);
    }
  }
}

// The room where threads that waited on a handler stack wait for the end
// (see kx_handler_stacks_wait_off), shared: nothing is written there.
alignas(64) char gWaitingRoom[64];

}  // namespace
}  // namespace stacks

void handler_stacks_wait_for_end(handler_stacks* set, const void* uap) noexcept {
  using namespace stacks;
  Holder self = {threadId()};
  // Published before anything changes: the context may lie on a stack given
  // back.
  if (uap != nullptr) (void)detail::thread_publish_waiting_state(self.tid, uap);
  KernelMask before;
  setMask(&kEverySignal, &before);
  int place = -1;
  handler_stacks* on = setAndPlaceOfAddress(set, __builtin_frame_address(0), &place);
  if (on != nullptr && !holds(on, place, &self)) on = nullptr;
  leaveAll(set, &self, on, place);
  if (on != nullptr) {
#if KX_TSAN
    __tsan_release(&on->holders[place]);
#endif
    char* mapping = nullptr;
    size_t length = 0;
    if (place >= kOwnFirst) {
      auto* top =
          static_cast<char*>(__atomic_exchange_n(&on->tops[place], nullptr, __ATOMIC_ACQ_REL));
      mapping = guardOf(on, top);
      length = on->size + kPage;
      __atomic_fetch_sub(&on->own_held, 1, __ATOMIC_ACQ_REL);
    }
    kx_handler_stacks_wait_off(gWaitingRoom + sizeof gWaitingRoom, &on->holders[place],
                               &on->given_back, mapping, length);
  }
  // Elsewhere: on a signal's alternate stack, which may have no room for
  // another signal's frame, every signal stays blocked.
  stack_t alternate;
  alternateStackNow(&alternate);
  if ((alternate.ss_flags & SS_ONSTACK) == 0) setMask(&before);
  for (;;) systemCall(SYS_pause);
}

}  // namespace sys
