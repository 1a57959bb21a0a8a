#include "system/HandlerStacks.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>

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
// is a KX_HANDLER_ENTRY and calls no function of another object: it makes
// its system calls itself. A sanitizer wraps many of the C library's
// functions, and the first call through a function not yet bound makes the
// loader save every vector register on the caller's stack (some 3 KiB with
// the widest); either runs on the stack the signal arrived on.

namespace sys {
namespace {

// The kernel's signal mask: one bit per signal.
using KernelMask = uint64_t;
constexpr KernelMask kEverySignal = ~KernelMask{0};

// The system call `number`; its result, or -errno.
KX_HANDLER_ENTRY inline long systemCall(long number, long a = 0, long b = 0, long c = 0, long d = 0,
                                        long e = 0, long f = 0) {
  long result;
  register long r10 asm("r10") = d;
  register long r8 asm("r8") = e;
  register long r9 asm("r9") = f;
  asm volatile("syscall"
               : "=a"(result)
               : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
               : "rcx", "r11", "memory");
  return result;
}

template <class T>
KX_HANDLER_ENTRY inline long word(T value) {
  return (long)(value);  // NOLINT: pointers and integers alike
}

const size_t kPage = static_cast<size_t>(getauxval(AT_PAGESZ));

KX_HANDLER_ENTRY int32_t threadId() { return static_cast<int32_t>(systemCall(SYS_gettid)); }
KX_HANDLER_ENTRY int32_t processId() { return static_cast<int32_t>(systemCall(SYS_getpid)); }

// Sets the calling thread's signal mask to `*mask`, and gives the one it had
// in `*old` (unless null).
KX_HANDLER_ENTRY void setMask(const KernelMask* mask, KernelMask* old = nullptr) {
  systemCall(SYS_rt_sigprocmask, SIG_SETMASK, word(mask), word(old), sizeof(KernelMask));
}

// Maps `size` usable bytes above an inaccessible guard page; the top, or
// null when the process can have no more memory.
KX_HANDLER_ENTRY char* mapStack(size_t size) {
  const long mapping = systemCall(SYS_mmap, 0, word(size + kPage), PROT_READ | PROT_WRITE,
                                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping < 0 && mapping > -4096) return nullptr;
  char* low = reinterpret_cast<char*>(mapping);
  systemCall(SYS_mprotect, mapping, word(kPage), PROT_NONE);
  return low + kPage + size;
}

KX_HANDLER_ENTRY void unmapStack(char* top, size_t size) {
  systemCall(SYS_munmap, word(top - size - kPage), word(size + kPage));
}

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
  // The set's record of the stack's holder, or null for a stack mapped for
  // the caller alone.
  int32_t* holder;
  bool fresh;        // mapped for this call
  stack_t previous;  // the thread's alternate stack before
  bool switched;
};

// Runs the call where the thread is now, on a stack of room.
KX_HANDLER_ENTRY void callHere(StackCall* call) {
  const int savedErrno = errno;
  // A signal held back until now arrives here.
  if (call->masked) setMask(&call->mask);
  call->function(call->argument);
  if (call->masked) setMask(&call->entryMask);
  errno = savedErrno;
}

// Runs on the stack of `argument` (a StackCall): makes it the alternate
// stack, then runs the call.
KX_HANDLER_ENTRY void onStack(void* argument) {
  auto* call = static_cast<StackCall*>(argument);
  stack_t here;
  here.ss_sp = call->top - call->size;
  here.ss_size = call->size;
  here.ss_flags = 0;
  call->switched = systemCall(SYS_sigaltstack, word(&here), word(&call->previous)) == 0;
#ifdef KX_STACKS_ASAN
  // Mapped behind the sanitizer's back: what it knew of these addresses
  // before does not hold for the stack.
  if (call->fresh) __asan_unpoison_memory_region(here.ss_sp, call->size);
#endif
#ifdef KX_STACKS_TSAN
  // The thread that held the stack before is done with it.
  if (call->holder != nullptr) __tsan_acquire(call->holder);
#endif
  callHere(call);
#ifdef KX_STACKS_TSAN
  if (call->holder != nullptr) __tsan_release(call->holder);
#endif
}

// Runs `call` on its stack, then gives the thread its alternate stack back.
KX_HANDLER_ENTRY void callOnStack(StackCall* call) {
  sys_call_on_stack(call->top, onStack, call);
  if (call->switched) {
    call->previous.ss_flags &= ~SS_ONSTACK;
    systemCall(SYS_sigaltstack, word(&call->previous), 0);
  }
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
  systemCall(SYS_futex, word(&set->given_back), FUTEX_WAKE_PRIVATE, INT_MAX);
}

// Blocks every signal until the call runs, where the thread's mask becomes
// `*during` (its mask when it came, when null).
KX_HANDLER_ENTRY void holdSignalsBack(StackCall* call, const KernelMask* during) {
  setMask(&kEverySignal, &call->entryMask);
  call->mask = during != nullptr ? *during : call->entryMask;
  call->masked = true;
}

// Runs `call` on a stack of the set: the first free one, else one mapped for
// the caller alone in a child in its parent's memory.
KX_HANDLER_ENTRY void callOnSetStack(handler_stacks* set, StackCall* call) {
  call->size = set->size;
  if (runsOn(set)) {
    callHere(call);
    return;
  }
  if (!setIsOwn(set)) {
    call->top = mapStack(set->size);
    call->fresh = true;
    if (call->top == nullptr) {
      callHere(call);
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
    // None free: wait where nothing else can land on this stack either.
    if (!call->masked) holdSignalsBack(call, nullptr);
    systemCall(SYS_futex, word(&set->given_back), FUTEX_WAIT_PRIVATE, round, 0);
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
  if (takeStack(set, 0, threadId(), &fresh) == nullptr) return false;
  giveBack(set, &set->holders[0]);
  return true;
}

void handler_stacks_call(handler_stacks* set, void (*function)(void*), void* argument) noexcept {
  StackCall call = {};
  call.function = function;
  call.argument = argument;
  callOnSetStack(set, &call);
}

void handler_stacks_run(handler_stacks* set, handler_stacks_handler handler, int signo,
                        siginfo_t* info, void* uap) noexcept {
  HandlerCall handlerCall = {handler, signo, info, uap};
  StackCall call = {};
  call.function = callHandler;
  call.argument = &handlerCall;
  // Held back until the move (the action blocked them already, unless the
  // handler was called directly); from then on the mask is the one the
  // interrupted code had, and the signal itself.
  const KernelMask during =
      static_cast<const ucontext_t*>(uap)->uc_sigmask.__val[0] | KernelMask{1} << (signo - 1);
  holdSignalsBack(&call, &during);
  callOnSetStack(set, &call);
}

bool handler_stacks_running_on(const handler_stacks* set) noexcept { return runsOn(set); }

}  // namespace sys
