#include "system/HandlerStacks.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <climits>

#include "system/SignalSafe.h"
#include "system/Task.h"

#if defined(__SANITIZE_ADDRESS__)
#define KX_STACKS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KX_STACKS_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define KX_STACKS_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KX_STACKS_TSAN 1
#endif
#endif

#ifdef KX_STACKS_ASAN
#include <sanitizer/asan_interface.h>
#endif
#ifdef KX_STACKS_TSAN
#include <sanitizer/tsan_interface.h>
#endif

// Every function here that may run before the move to a stack of the set
// is a KX_HANDLER_ENTRY and calls nothing a sanitizer instruments or
// intercepts: the C library's `syscall` and the compiler's atomic built-ins
// only (the sanitizers wrap `mmap`, `sigaltstack` and `sigprocmask`, and a
// wrapper runs on its caller's stack).

namespace sys {
namespace {

// The kernel's signal mask: one bit per signal.
using KernelMask = uint64_t;

KX_HANDLER_ENTRY int32_t threadId() { return static_cast<int32_t>(syscall(SYS_gettid)); }
KX_HANDLER_ENTRY int32_t processId() { return static_cast<int32_t>(syscall(SYS_getpid)); }
KX_HANDLER_ENTRY size_t pageSize() { return static_cast<size_t>(getauxval(AT_PAGESZ)); }

KX_HANDLER_ENTRY void setMask(const KernelMask* mask) {
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, mask, nullptr, sizeof(KernelMask));
}

// Maps `size` usable bytes above an inaccessible guard page; the top, or
// null when the process can have no more memory.
KX_HANDLER_ENTRY char* mapStack(size_t size) {
  const size_t page = pageSize();
  const long mapping = syscall(SYS_mmap, nullptr, size + page, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping == -1) return nullptr;
  char* low = reinterpret_cast<char*>(mapping);
  syscall(SYS_mprotect, low, page, PROT_NONE);
  return low + page + size;
}

KX_HANDLER_ENTRY void unmapStack(char* top, size_t size) {
  const size_t page = pageSize();
  syscall(SYS_munmap, top - size - page, size + page);
}

// A call on a stack: what runs there, the stack, and what the thread had
// before.
struct StackCall {
  void (*function)(void*);
  void* argument;
  // The signal mask to set once on the stack (or in place), when `masked`.
  bool masked;
  KernelMask mask;
  char* top;
  size_t size;
  // The set's record of the stack's holder, or null for a stack mapped for
  // the caller alone.
  int32_t* holder;
  bool fresh;        // mapped for this call
  stack_t previous;  // the thread's alternate stack before
  bool switched;
};

// Runs on the stack of `argument` (a StackCall): makes it the alternate
// stack, then runs the call.
KX_HANDLER_ENTRY void onStack(void* argument) {
  auto* call = static_cast<StackCall*>(argument);
  stack_t here;
  here.ss_sp = call->top - call->size;
  here.ss_size = call->size;
  here.ss_flags = 0;
  call->switched = syscall(SYS_sigaltstack, &here, &call->previous) == 0;
  // A signal held back until now arrives here.
  if (call->masked) setMask(&call->mask);
#ifdef KX_STACKS_ASAN
  // Mapped behind the sanitizer's back: what it knew of these addresses
  // before does not hold for the stack.
  if (call->fresh) __asan_unpoison_memory_region(here.ss_sp, call->size);
#endif
#ifdef KX_STACKS_TSAN
  // The thread that held the stack before is done with it.
  if (call->holder != nullptr) __tsan_acquire(call->holder);
#endif
  call->function(call->argument);
#ifdef KX_STACKS_TSAN
  if (call->holder != nullptr) __tsan_release(call->holder);
#endif
}

// Runs `call` on its stack, then gives the thread its alternate stack back.
KX_HANDLER_ENTRY void callOnStack(StackCall* call) {
  sys_call_on_stack(call->top, onStack, call);
  if (call->switched) {
    call->previous.ss_flags &= ~SS_ONSTACK;
    syscall(SYS_sigaltstack, &call->previous, nullptr);
  }
}

KX_HANDLER_ENTRY void callInPlace(StackCall* call) {
  if (call->masked) setMask(&call->mask);
  call->function(call->argument);
}

// Whether the calling thread's stack pointer is inside one of the set's
// stacks.
KX_HANDLER_ENTRY bool runsOn(const handler_stacks* set) {
  const auto* here = static_cast<const char*>(__builtin_frame_address(0));
  for (int i = 0; i < kHandlerStacksMax; ++i) {
    const auto* top = static_cast<const char*>(__atomic_load_n(&set->tops[i], __ATOMIC_ACQUIRE));
    if (top != nullptr && here < top && here >= top - set->size) return true;
  }
  return false;
}

// The set may be used by this process: it set the set up, or is a child of
// the one that did with memory of its own (a forked child, which takes the
// set over). False in a child that runs in its parent's memory.
KX_HANDLER_ENTRY bool setIsOwn(handler_stacks* set) {
  const int32_t self = processId();
  int32_t owner = __atomic_load_n(&set->owner, __ATOMIC_ACQUIRE);
  if (owner == self) return true;
  // Only a child asks, once: the question is not as lean.
  if (task_shares_parent_memory()) return false;
  __atomic_compare_exchange_n(&set->owner, &owner, self, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
  return true;
}

// Takes stack `index` of the set for `self`, mapping it when it is not yet;
// its top, or null when another thread holds it or it cannot be mapped.
KX_HANDLER_ENTRY char* takeStack(handler_stacks* set, int index, int32_t self, bool* fresh) {
  int32_t idle = 0;
  if (__atomic_load_n(&set->holders[index], __ATOMIC_RELAXED) != 0 ||
      !__atomic_compare_exchange_n(&set->holders[index], &idle, self, false, __ATOMIC_ACQUIRE,
                                   __ATOMIC_RELAXED)) {
    return nullptr;
  }
  // Only a holder maps a stack, so no two threads map the same one.
  auto* top = static_cast<char*>(__atomic_load_n(&set->tops[index], __ATOMIC_ACQUIRE));
  *fresh = top == nullptr;
  if (top == nullptr) {
    top = mapStack(set->size);
    if (top != nullptr) __atomic_store_n(&set->tops[index], top, __ATOMIC_RELEASE);
  }
  if (top == nullptr) __atomic_store_n(&set->holders[index], 0, __ATOMIC_RELEASE);
  return top;
}

KX_HANDLER_ENTRY void giveBack(handler_stacks* set, int32_t* holder) {
  __atomic_store_n(holder, 0, __ATOMIC_RELEASE);
  __atomic_fetch_add(&set->given_back, 1, __ATOMIC_RELEASE);
  syscall(SYS_futex, &set->given_back, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Runs `call` on a stack of the set: the first free one, else one mapped for
// the caller alone in a child in its parent's memory.
KX_HANDLER_ENTRY void callOnSetStack(handler_stacks* set, StackCall* call) {
  call->size = set->size;
  if (runsOn(set)) {
    callInPlace(call);
    return;
  }
  if (!setIsOwn(set)) {
    call->top = mapStack(set->size);
    call->fresh = true;
    if (call->top == nullptr) {
      callInPlace(call);
      return;
    }
    callOnStack(call);
    unmapStack(call->top, set->size);
    return;
  }
  const int32_t self = threadId();
  for (;;) {
    const int32_t round = __atomic_load_n(&set->given_back, __ATOMIC_ACQUIRE);
    for (int i = 0; i < kHandlerStacksMax && call->top == nullptr; ++i) {
      call->top = takeStack(set, i, self, &call->fresh);
      if (call->top != nullptr) call->holder = &set->holders[i];
    }
    if (call->top != nullptr) break;
    // None free: wait where nothing else can land on this stack either. The
    // mask goes back once on the stack taken.
    if (!call->masked) {
      const KernelMask all = ~KernelMask{0};
      call->masked =
          syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, &call->mask, sizeof(KernelMask)) == 0;
    }
    syscall(SYS_futex, &set->given_back, FUTEX_WAIT_PRIVATE, round, nullptr, nullptr, 0);
  }
  callOnStack(call);
  giveBack(set, call->holder);
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

bool handler_stacks_reserve(handler_stacks* set) noexcept {
  int32_t none = 0;
  __atomic_compare_exchange_n(&set->owner, &none, processId(), false, __ATOMIC_ACQ_REL,
                              __ATOMIC_ACQUIRE);
  if (__atomic_load_n(&set->tops[0], __ATOMIC_ACQUIRE) != nullptr) return true;
  bool fresh = false;
  char* top = takeStack(set, 0, threadId(), &fresh);
  if (top == nullptr) return false;
  giveBack(set, &set->holders[0]);
  return true;
}

void handler_stacks_call(handler_stacks* set, void (*function)(void*), void* argument) noexcept {
  const int savedErrno = errno;
  StackCall call = {};
  call.function = function;
  call.argument = argument;
  callOnSetStack(set, &call);
  errno = savedErrno;
}

void handler_stacks_run(handler_stacks* set, handler_stacks_handler handler, int signo,
                        siginfo_t* info, void* uap) noexcept {
  const int savedErrno = errno;
  HandlerCall handlerCall = {handler, signo, info, uap};
  StackCall call = {};
  call.function = callHandler;
  call.argument = &handlerCall;
  // The action blocked every signal until the move; from then on the mask is
  // the one the interrupted code had, and the signal itself.
  call.masked = true;
  call.mask = static_cast<const ucontext_t*>(uap)->uc_sigmask.__val[0] | KernelMask{1}
                                                                             << (signo - 1);
  callOnSetStack(set, &call);
  errno = savedErrno;
}

bool handler_stacks_running_on(const handler_stacks* set) noexcept { return runsOn(set); }

}  // namespace sys
