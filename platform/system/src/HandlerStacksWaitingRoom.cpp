// The waiting room: where a thread that only waits for the process to end
// waits, holding no stack (system/HandlerStacks.h).

#include <linux/futex.h>

#include "HandlerStacksInternal.h"
#include "ThreadsInternal.h"

// Where a thread that waits for the process to end waits once it has left
// the handler stack it worked on (see `handler_stacks_wait_for_end`): with
// its stack pointer in a small room it never writes to, every signal
// blocked, so that any number of threads share the room. With rdi the room's top, rsi the holder
// word to clear, rdx the set's word of stacks given back, rcx and r8 a stack mapped for the thread
// alone to unmap first (rcx 0 when none): it disables the thread's alternate stack, unmaps, clears
// the holder, wakes the threads that wait for a stack, and pauses for good.
asm(R"(
    .pushsection .rodata
    .p2align 3
.Lkx_no_alternate_stack:
    .quad 0
    .long 2
    .long 0
    .quad 0
    .popsection
    .pushsection .text
    .globl kx_handler_stacks_wait_off
    .hidden kx_handler_stacks_wait_off
    .type kx_handler_stacks_wait_off, @function
    .p2align 4
kx_handler_stacks_wait_off:
    .cfi_startproc
    .cfi_undefined rip
    movq %rdi, %rsp
    movq %rsi, %r12
    movq %rdx, %r13
    movq %rcx, %r14
    movq %r8, %r15
    leaq .Lkx_no_alternate_stack(%rip), %rdi
    xorl %esi, %esi
    movl $131, %eax
    syscall
    testq %r14, %r14
    jz 1f
    movq %r14, %rdi
    movq %r15, %rsi
    movl $11, %eax
    syscall
1:
    movq $0, (%r12)
    lock incl (%r13)
    movq %r13, %rdi
    movl $129, %esi
    movl $0x7fffffff, %edx
    movl $202, %eax
    syscall
2:
    movl $34, %eax
    syscall
    jmp 2b
    .cfi_endproc
    .size kx_handler_stacks_wait_off, .-kx_handler_stacks_wait_off
    .popsection
)");

extern "C" [[noreturn]] __attribute__((visibility("hidden"))) void kx_handler_stacks_wait_off(
    void* room_top, uint64_t* holder, int32_t* given_back, void* mapping, size_t length) noexcept;

static_assert(SYS_sigaltstack == 131 && SYS_munmap == 11 && SYS_futex == 202 && SYS_pause == 34,
              "the waiting room's system calls are x86-64's");
static_assert(SS_DISABLE == 2 && FUTEX_WAKE_PRIVATE == 129 && sizeof(stack_t) == 24,
              "the waiting room's constants are x86-64 Linux's");

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
