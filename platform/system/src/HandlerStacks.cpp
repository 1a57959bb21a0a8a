#include "system/HandlerStacks.h"

#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>

#include <climits>

#include "ThreadsInternal.h"
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

// The guard page below each stack: x86-64's page, known before any static
// initialiser has run.
constexpr size_t kPage = 4096;

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

KX_HANDLER_ENTRY int32_t threadId() { return static_cast<int32_t>(systemCall(SYS_gettid)); }
KX_HANDLER_ENTRY int32_t processId() { return static_cast<int32_t>(systemCall(SYS_getpid)); }

// Whether thread `tid` of process `pid` still exists.
KX_HANDLER_ENTRY bool threadExists(int32_t pid, int32_t tid) {
  return systemCall(SYS_tgkill, pid, tid, 0) != -ESRCH;
}

// Sets the calling thread's signal mask to `*mask`, and gives the one it had
// in `*old` (unless null).
KX_HANDLER_ENTRY void setMask(const KernelMask* mask, KernelMask* old = nullptr) {
  systemCall(SYS_rt_sigprocmask, SIG_SETMASK, word(mask), word(old), sizeof(KernelMask));
}

KX_HANDLER_ENTRY void alternateStackNow(stack_t* now) {
  if (systemCall(SYS_sigaltstack, 0, word(now)) != 0) now->ss_sp = nullptr;
}

KX_HANDLER_ENTRY int64_t monotonicNow() {
  struct timespec now = {0, 0};
  systemCall(SYS_clock_gettime, CLOCK_MONOTONIC, word(&now));
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Maps `size` usable bytes above an inaccessible guard page; the top, or
// null when the process can have no more memory, or no guard page (a stack
// without one would let a handler that needs more run into whatever lies
// below).
KX_HANDLER_ENTRY char* mapStack(size_t size) {
  const long mapping = systemCall(SYS_mmap, 0, word(size + kPage), PROT_READ | PROT_WRITE,
                                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping < 0 && mapping > -4096) return nullptr;
  if (systemCall(SYS_mprotect, mapping, word(kPage), PROT_NONE) != 0) {
    systemCall(SYS_munmap, mapping, word(size + kPage));
    return nullptr;
  }
  return reinterpret_cast<char*>(mapping) + kPage + size;
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
  // The set whose stack `index` the call works on; null for a stack mapped
  // for the caller alone.
  handler_stacks* set;
  int index;
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
  handler_stacks* set = call->set;
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
#ifdef KX_STACKS_ASAN
  // Mapped behind the sanitizer's back, and left by some works with their
  // frames' poison in place (a jump out, a thread that waits for the end
  // elsewhere): what the sanitizer knew of these addresses does not hold.
  __asan_unpoison_memory_region(here.ss_sp, call->size);
#endif
#ifdef KX_STACKS_TSAN
  // The thread that held the stack before is done with it.
  if (set != nullptr) __tsan_acquire(&set->holders[call->index]);
#endif
  callHere(call);
#ifdef KX_STACKS_TSAN
  if (set != nullptr) __tsan_release(&set->holders[call->index]);
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

// Whether `at` lies on stack `index` of the set.
KX_HANDLER_ENTRY bool onStackOf(const handler_stacks* set, int index, const void* at) {
  const auto* top = static_cast<const char*>(__atomic_load_n(&set->tops[index], __ATOMIC_ACQUIRE));
  const auto* address = static_cast<const char*>(at);
  return top != nullptr && address < top && address >= top - set->size;
}

// The set's stack the calling thread runs on, or -1.
KX_HANDLER_ENTRY int stackHere(const handler_stacks* set) {
  const void* here = __builtin_frame_address(0);
  for (int i = 0; i < kHandlerStacksMax; ++i) {
    if (onStackOf(set, i, here)) return i;
  }
  return -1;
}

KX_HANDLER_ENTRY void giveBack(handler_stacks* set, int index) {
  __atomic_store_n(&set->holders[index], 0, __ATOMIC_RELEASE);
  __atomic_fetch_add(&set->given_back, 1, __ATOMIC_RELEASE);
  systemCall(SYS_futex, word(&set->given_back), FUTEX_WAKE_PRIVATE, INT_MAX);
}

// Takes the set over for process `pid`, in a child forked from the process
// that used it, on the child's first thread `self`: every stack a thread of
// the parent held is given back, but the one `self` works on or has for its
// alternate stack (the fork was called inside a handler's work, or after a
// jump out of one), which stays its own.
KX_HANDLER_ENTRY void adopt(handler_stacks* set, int32_t self, int32_t pid) {
  stack_t alternate;
  alternateStackNow(&alternate);
  const int here = stackHere(set);
  for (int i = 0; i < kHandlerStacksMax; ++i) {
    int32_t holder = __atomic_load_n(&set->holders[i], __ATOMIC_ACQUIRE);
    if (holder == 0 || holder == self) continue;
    const bool own =
        i == here || (alternate.ss_sp != nullptr && onStackOf(set, i, alternate.ss_sp) &&
                      (alternate.ss_flags & SS_DISABLE) == 0);
    if (own) {
      __atomic_store_n(&set->holders[i], self, __ATOMIC_RELEASE);
    } else if (!threadExists(pid, holder)) {
      __atomic_compare_exchange_n(&set->holders[i], &holder, 0, false, __ATOMIC_ACQ_REL,
                                  __ATOMIC_RELAXED);
    }
  }
  __atomic_store_n(&set->owner, pid, __ATOMIC_RELEASE);
  __atomic_fetch_add(&set->given_back, 1, __ATOMIC_RELEASE);
}

// The sets in use, for the fork handler and the ends of threads.
handler_stacks* gWatched[8] = {};

KX_HANDLER_ENTRY void watch(handler_stacks* set) {
  int32_t unwatched = 0;
  if (__atomic_load_n(&set->watched, __ATOMIC_ACQUIRE) != 0 ||
      !__atomic_compare_exchange_n(&set->watched, &unwatched, 1, false, __ATOMIC_ACQ_REL,
                                   __ATOMIC_ACQUIRE)) {
    return;
  }
  for (handler_stacks*& slot : gWatched) {
    handler_stacks* none = nullptr;
    if (__atomic_compare_exchange_n(&slot, &none, set, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
      return;
    }
  }
  // More sets than places: a child's first thread takes this one over at
  // its first claim, and its threads' stacks left by jumps come back once
  // they have ended.
}

// Who may use the set's stacks in this process.
enum class SetUse {
  // A child in its parent's memory: none, they are the parent's.
  none,
  // This process, which set them up or took them over.
  own,
  // A child that has not taken them over yet: the stacks free now, and
  // those its own threads give back.
  inherited,
};

KX_HANDLER_ENTRY SetUse useOf(handler_stacks* set, int32_t self) {
  const int32_t pid = processId();
  int32_t owner = __atomic_load_n(&set->owner, __ATOMIC_ACQUIRE);
  if (owner == pid) return SetUse::own;
  // Only a child asks, once: the question is not as lean.
  if (task_shares_parent_memory()) return SetUse::none;
  if (owner == 0 && __atomic_compare_exchange_n(&set->owner, &owner, pid, false, __ATOMIC_ACQ_REL,
                                                __ATOMIC_ACQUIRE)) {
    watch(set);
    return SetUse::own;
  }
  if (owner == pid) return SetUse::own;
  // A child made without fork handlers: only its first thread knows which
  // stack, if any, its own work is on.
  if (self != pid) return SetUse::inherited;
  adopt(set, self, pid);
  return SetUse::own;
}

// Makes stack `index`, whose holder is now `self`, the call's, mapping it
// when it is not yet; false (the stack let go) when it cannot be mapped.
KX_HANDLER_ENTRY bool holdStack(handler_stacks* set, int index, StackCall* call) {
  // Only a holder maps a stack, so no two threads map the same one.
  auto* top = static_cast<char*>(__atomic_load_n(&set->tops[index], __ATOMIC_ACQUIRE));
  if (top == nullptr) {
    top = mapStack(set->size);
    if (top == nullptr) {
      __atomic_store_n(&set->holders[index], 0, __ATOMIC_RELEASE);
      return false;
    }
    __atomic_store_n(&set->tops[index], top, __ATOMIC_RELEASE);
  }
  call->set = set;
  call->index = index;
  call->top = top;
  return true;
}

// Takes stack `index` of the set for `self` when its holder is `from` (0:
// free).
KX_HANDLER_ENTRY bool takeSetStack(handler_stacks* set, int index, int32_t from, int32_t self,
                                   StackCall* call) {
  int32_t expected = from;
  return __atomic_load_n(&set->holders[index], __ATOMIC_RELAXED) == from &&
         __atomic_compare_exchange_n(&set->holders[index], &expected, self, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED) &&
         holdStack(set, index, call);
}

// Blocks every signal until the call runs, where the thread's mask becomes
// `*during` (its mask when it came, when null).
KX_HANDLER_ENTRY void holdSignalsBack(StackCall* call, const KernelMask* during) {
  setMask(&kEverySignal, &call->entryMask);
  call->mask = during != nullptr ? *during : call->entryMask;
  call->masked = true;
}

// The stack of the set the calling thread `self` left its work on by a jump:
// still its alternate stack. -1 when none.
KX_HANDLER_ENTRY int stackLeft(const handler_stacks* set, int32_t self) {
  stack_t alternate;
  alternateStackNow(&alternate);
  if ((alternate.ss_flags & SS_DISABLE) != 0 || alternate.ss_sp == nullptr) return -1;
  for (int i = 0; i < kHandlerStacksMax; ++i) {
    if (__atomic_load_n(&set->holders[i], __ATOMIC_RELAXED) == self &&
        onStackOf(set, i, alternate.ss_sp)) {
      return i;
    }
  }
  return -1;
}

// A stack of the set for `self`: the one it left its work on by a jump, a
// free one, one whose holder has ended (with `reclaim`), or one given back
// within the patience. False when none came.
KX_HANDLER_ENTRY bool claimStack(handler_stacks* set, int32_t self, bool reclaim, StackCall* call) {
  if (const int left = stackLeft(set, self); left >= 0) return holdStack(set, left, call);
  const int32_t pid = processId();
  int64_t deadline = 0;
  for (;;) {
    const int32_t round = __atomic_load_n(&set->given_back, __ATOMIC_ACQUIRE);
    bool anyHeld = false;
    for (int i = 0; i < kHandlerStacksMax; ++i) {
      if (takeSetStack(set, i, 0, self, call)) return true;
      int32_t holder = __atomic_load_n(&set->holders[i], __ATOMIC_RELAXED);
      anyHeld = anyHeld || holder != 0;
      // The stack of a thread that ended without giving it back is mapped
      // afresh: whatever ended the thread may have unmapped its alternate
      // stack (a sanitizer's end of a thread does).
      if (reclaim && holder != 0 && holder != self && !threadExists(pid, holder) &&
          __atomic_compare_exchange_n(&set->holders[i], &holder, self, false, __ATOMIC_ACQUIRE,
                                      __ATOMIC_RELAXED)) {
        __atomic_store_n(&set->tops[i], nullptr, __ATOMIC_RELEASE);
        if (holdStack(set, i, call)) return true;
      }
    }
    // None can come back when none is held: there is no memory for one.
    if (!anyHeld) return false;
    const int64_t now = monotonicNow();
    if (deadline == 0) deadline = now + kHandlerStacksPatienceNs;
    if (now >= deadline) return false;
    // Meanwhile nothing else lands on the stack the signal arrived on.
    if (!call->masked) holdSignalsBack(call, nullptr);
    const int64_t left = deadline - now;
    const struct timespec timeout = {static_cast<time_t>(left / 1'000'000'000),
                                     static_cast<long>(left % 1'000'000'000)};
    systemCall(SYS_futex, word(&set->given_back), FUTEX_WAIT_PRIVATE, round, word(&timeout));
  }
}

// Runs `call` on a stack mapped for it alone, or where the thread is when
// none can be mapped.
KX_HANDLER_ENTRY void callOnOwnStack(StackCall* call) {
  call->set = nullptr;
  call->top = mapStack(call->size);
  if (call->top == nullptr) {
    callHere(call);
    return;
  }
  callOnStack(call);
  unmapStack(call->top, call->size);
}

// Runs `call` on a stack of the set: a stack of the set, else one mapped for
// the caller alone, else where it is.
KX_HANDLER_ENTRY void callOnSetStack(handler_stacks* set, StackCall* call) {
  call->size = set->size;
  if (stackHere(set) >= 0) {
    callHere(call);
    return;
  }
  const int32_t self = threadId();
  const SetUse use = useOf(set, self);
  if (use == SetUse::none || !claimStack(set, self, use == SetUse::own, call)) {
    callOnOwnStack(call);
    return;
  }
  set->entries[call->index] = call;
  callOnStack(call);
  giveBack(set, call->index);
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

// Waits for the process to end, with every signal blocked when `blocked`.
[[noreturn]] KX_HANDLER_ENTRY void waitHere(bool blocked) {
  if (blocked) setMask(&kEverySignal);
  for (;;) systemCall(SYS_pause);
}

// Runs below the entry of a work the calling thread leaves for good (see
// `handler_stacks_wait_for_end`), on the stack its signal arrived on: gives
// the thread its alternate stack and the set its stack back, then waits.
[[noreturn]] KX_HANDLER_ENTRY void leaveAndWait(void* argument) {
  auto* call = static_cast<StackCall*>(argument);
  setMask(&kEverySignal);
  if (call->switched) {
    call->previous.ss_flags &= ~SS_ONSTACK;
    systemCall(SYS_sigaltstack, word(&call->previous), 0);
  }
  giveBack(call->set, call->index);
  waitHere(true);
}

// In a forked child, the stacks its parent's threads held are given back.
void adoptAfterFork() {
  const int32_t self = threadId();
  for (handler_stacks* set : gWatched) {
    if (set != nullptr && __atomic_load_n(&set->owner, __ATOMIC_ACQUIRE) != self) {
      adopt(set, self, self);
    }
  }
}

[[maybe_unused]] const int gForkHandler = pthread_atfork(nullptr, nullptr, adoptAfterFork);

}  // namespace

bool handler_stacks_reserve(handler_stacks* set) noexcept {
  const int32_t pid = processId();
  int32_t none = 0;
  __atomic_compare_exchange_n(&set->owner, &none, pid, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
  watch(set);
  if (__atomic_load_n(&set->tops[0], __ATOMIC_ACQUIRE) != nullptr) return true;
  StackCall call = {};
  if (!takeSetStack(set, 0, 0, threadId(), &call)) return false;
  giveBack(set, 0);
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
  auto* context = static_cast<ucontext_t*>(uap);
  const KernelMask during = context->uc_sigmask.__val[0] | KernelMask{1} << (signo - 1);
  holdSignalsBack(&call, &during);
  // A signal the kernel put at the top of a stack of the set that the thread
  // left its work on by a jump (still its alternate stack), from code
  // elsewhere: no work of the thread's is left there, and this one, run in
  // place, is the stack's work now.
  const int here = stackHere(set);
  if (here >= 0 && (context->uc_stack.ss_flags & SS_ONSTACK) == 0 &&
      onStackOf(set, here, context) &&
      __atomic_load_n(&set->holders[here], __ATOMIC_ACQUIRE) == threadId()) {
    set->entries[here] = &call;
  }
  callOnSetStack(set, &call);
}

bool handler_stacks_running_on(const handler_stacks* set) noexcept { return stackHere(set) >= 0; }

void handler_stacks_wait_for_end(handler_stacks* set, const void* uap) noexcept {
  const int32_t self = threadId();
  // Published before anything changes: the context may lie on the stack
  // given back.
  if (uap != nullptr) (void)detail::thread_publish_waiting_state(self, uap);
  const int here = stackHere(set);
  if (here >= 0 && __atomic_load_n(&set->holders[here], __ATOMIC_ACQUIRE) == self) {
    auto* call = static_cast<StackCall*>(set->entries[here]);
    // A work entered from elsewhere; one the signal started on this stack
    // (the thread had left it by a jump) has nowhere else to wait.
    if (call != nullptr && !onStackOf(set, here, call)) {
#ifdef KX_STACKS_TSAN
      __tsan_release(&set->holders[here]);
#endif
      sys_call_on_stack(call, leaveAndWait, call);
    }
  }
  stack_t alternate;
  alternateStackNow(&alternate);
  waitHere((alternate.ss_flags & SS_ONSTACK) != 0);
}

void handler_stacks_thread_ending() noexcept {
  const int32_t self = threadId();
  for (handler_stacks* set : gWatched) {
    if (set == nullptr) continue;
    const int left = stackLeft(set, self);
    if (left < 0 || stackHere(set) == left) continue;
    stack_t origin = set->origins[left];
    origin.ss_flags &= ~SS_ONSTACK;
    systemCall(SYS_sigaltstack, word(&origin), 0);
    giveBack(set, left);
  }
}

int32_t handler_thread_id() noexcept { return threadId(); }

}  // namespace sys
