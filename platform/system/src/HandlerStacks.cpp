#include "system/HandlerStacks.h"

#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <ucontext.h>

#include <climits>

#include "ThreadsInternal.h"
#include "base/ProcessToken.h"
#include "system/SignalSafe.h"
#include "system/Task.h"

#ifdef KX_TEST_SEAMS
#include "system/TestSeams.h"
#endif

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
//
// Which stacks a thread holds is told by `holders` alone, never by its
// alternate stack, which the thread may set again or disable after a jump
// out of its work. A work's frames may lie below the thread's position on
// another stack of this layer (a signal in a work that moves to a stack of
// another set, whose handler comes back to this set): each place keeps where
// its work was entered from, and a thread follows those points down before
// it takes a stack it holds again or gives one back.

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
    movl $0, (%r12)
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
    void* room_top, int32_t* holder, int32_t* given_back, void* mapping, size_t length) noexcept;

static_assert(SYS_sigaltstack == 131 && SYS_munmap == 11 && SYS_futex == 202 && SYS_pause == 34,
              "the waiting room's system calls are x86-64's");
static_assert(SS_DISABLE == 2 && FUTEX_WAKE_PRIVATE == 129 && sizeof(stack_t) == 24,
              "the waiting room's constants are x86-64 Linux's");

namespace sys {
namespace {

// The kernel's signal mask: one bit per signal.
using KernelMask = uint64_t;
constexpr KernelMask kEverySignal = ~KernelMask{0};

// The guard page below each stack: x86-64's page, known before any static
// initialiser has run.
constexpr size_t kPage = 4096;

// The set's mark at the top of each stack, above the work and outside the
// alternate stack the thread gets (so that no signal frame covers it): a
// stack whose mark is gone is no longer the set's mapping.
constexpr size_t kMarkSize = 16;
constexpr uint64_t kMarkWord = 0x6b78'5f68'616e'646cULL;

constexpr int kPlaces = handler_stacks::kPlaces;
constexpr int kOwnFirst = kHandlerStacksMax;

#ifdef KX_TEST_SEAMS
void (*gMappedHook)(const void* top) = nullptr;
#endif

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

// ---- Stacks ----

KX_HANDLER_ENTRY char* guardOf(const handler_stacks* set, char* top) {
  return top - set->size - kPage;
}

KX_HANDLER_ENTRY bool marked(const handler_stacks* set, const uint64_t* mark, const char* top) {
  return mark[0] == (kMarkWord ^ reinterpret_cast<uint64_t>(set)) &&
         mark[1] == reinterpret_cast<uint64_t>(top);
}

// What lies at the top of a stack of the set now.
enum class Mark {
  ours,     // the set's mark: the stack is the set's mapping still
  gone,     // something else, or nothing: the stack was unmapped (a
            // sanitizer's end of a thread unmaps its alternate stack)
  unknown,  // the kernel reads no memory for this process (a sandbox's filter)
};

// The mark of the stack at `top`, read with calls that fail where a load
// would fault: a copy through the calling thread (the process's id names
// nothing once its first thread has ended), or, where copies are refused,
// the futex call, which compares each word with what the mark holds there
// and, finding it, waits no time.
KX_HANDLER_ENTRY Mark markOf(const handler_stacks* set, char* top) {
  uint64_t mark[2] = {0, 0};
  struct iovec local = {mark, sizeof mark};
  struct iovec remote = {top - kMarkSize, kMarkSize};
  const long copied =
      systemCall(SYS_process_vm_readv, threadId(), word(&local), 1, word(&remote), 1, 0);
  if (copied == static_cast<long>(kMarkSize))
    return marked(set, mark, top) ? Mark::ours : Mark::gone;
  if (copied >= 0 || copied == -EFAULT) return Mark::gone;
  const uint64_t expected[2] = {kMarkWord ^ reinterpret_cast<uint64_t>(set),
                                reinterpret_cast<uint64_t>(top)};
  const auto* words = reinterpret_cast<const uint32_t*>(expected);
  for (int i = 0; i < 4; ++i) {
    const struct timespec noTime = {0, 0};
    const long result = systemCall(SYS_futex, word(top - kMarkSize + 4 * i), FUTEX_WAIT_PRIVATE,
                                   words[i], word(&noTime));
    // A different word answers at once; a word it waited on (timed out, or
    // interrupted, or woken) was the mark's.
    if (result == -EAGAIN || result == -EFAULT) return Mark::gone;
    if (result != -ETIMEDOUT && result != -EINTR && result != 0) return Mark::unknown;
  }
  return Mark::ours;
}

// Makes the guard page of the stack at `top` inaccessible: without it a
// handler that needs more than the stack would run into whatever lies below.
KX_HANDLER_ENTRY bool guard(const handler_stacks* set, char* top) {
  return systemCall(SYS_mprotect, word(guardOf(set, top)), word(kPage), PROT_NONE) == 0;
}

// Maps a stack of the set above its guard page, marked; its top, or null
// when the process can have no more memory, or no guard page. `published`
// (unless null) is the place's top, set as soon as the mapping exists, so
// that a child forked meanwhile finds it and finishes it.
KX_HANDLER_ENTRY char* mapStack(const handler_stacks* set, void** published) {
  const size_t length = set->size + kPage;
  const long mapping = systemCall(SYS_mmap, 0, word(length), PROT_READ | PROT_WRITE,
                                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping < 0 && mapping > -4096) return nullptr;
  char* top = reinterpret_cast<char*>(mapping) + length;
  auto* mark = reinterpret_cast<uint64_t*>(top - kMarkSize);
  mark[0] = kMarkWord ^ reinterpret_cast<uint64_t>(set);
  mark[1] = reinterpret_cast<uint64_t>(top);
  if (published != nullptr) {
    __atomic_store_n(published, top, __ATOMIC_RELEASE);
#ifdef KX_TEST_SEAMS
    if (auto* hook = __atomic_load_n(&gMappedHook, __ATOMIC_ACQUIRE)) hook(top);
#endif
  }
  if (!guard(set, top)) {
    if (published != nullptr) __atomic_store_n(published, nullptr, __ATOMIC_RELEASE);
    systemCall(SYS_munmap, mapping, word(length));
    return nullptr;
  }
  return top;
}

// Unmaps the stack at `top`: all of it, or, when `checked` and its mark is
// not known to be there (see markOf), only the guard page, the one part
// still the set's: memory that may not be the set's is never unmapped.
KX_HANDLER_ENTRY void unmapStack(const handler_stacks* set, char* top, bool checked) {
  const size_t length = !checked || markOf(set, top) == Mark::ours ? set->size + kPage : kPage;
  systemCall(SYS_munmap, word(guardOf(set, top)), word(length));
}

// ---- Places ----

// Whether `at` lies on the stack of place `place` of the set.
KX_HANDLER_ENTRY bool onStackOf(const handler_stacks* set, int place, const void* at) {
  const auto* top = static_cast<const char*>(__atomic_load_n(&set->tops[place], __ATOMIC_ACQUIRE));
  const auto* address = static_cast<const char*>(at);
  return top != nullptr && address < top && address >= top - set->size;
}

// One past the last place worth looking at: the set's own, and those past
// them while any of those is held.
KX_HANDLER_ENTRY int placesInUse(const handler_stacks* set) {
  return __atomic_load_n(&set->own_held, __ATOMIC_ACQUIRE) > 0
             ? __atomic_load_n(&set->own_end, __ATOMIC_ACQUIRE)
             : kOwnFirst;
}

// The place whose stack `at` lies on, or -1.
KX_HANDLER_ENTRY int placeAt(const handler_stacks* set, const void* at) {
  const int end = placesInUse(set);
  for (int i = 0; i < end; ++i) {
    if (onStackOf(set, i, at)) return i;
  }
  return -1;
}

// The place of the set whose stack the calling thread runs on, or -1.
KX_HANDLER_ENTRY int stackHere(const handler_stacks* set) {
  return placeAt(set, __builtin_frame_address(0));
}

KX_HANDLER_ENTRY int32_t holderOf(const handler_stacks* set, int place) {
  return __atomic_load_n(&set->holders[place], __ATOMIC_ACQUIRE);
}

KX_HANDLER_ENTRY void wakeWaiters(handler_stacks* set) {
  __atomic_fetch_add(&set->given_back, 1, __ATOMIC_RELEASE);
  systemCall(SYS_futex, word(&set->given_back), FUTEX_WAKE_PRIVATE, INT_MAX);
}

// Gives place `place` back, which the caller holds and nobody works on: a
// stack mapped for one thread alone is unmapped (`checked`: see unmapStack),
// the top forgotten before, so that a child forked meanwhile never unmaps
// what is no longer there.
KX_HANDLER_ENTRY void release(handler_stacks* set, int place, bool checked) {
#ifdef KX_STACKS_TSAN
  __tsan_release(&set->holders[place]);
#endif
  if (place >= kOwnFirst) {
    auto* top =
        static_cast<char*>(__atomic_exchange_n(&set->tops[place], nullptr, __ATOMIC_ACQ_REL));
    if (top != nullptr) unmapStack(set, top, checked);
    __atomic_store_n(&set->holders[place], 0, __ATOMIC_RELEASE);
    __atomic_fetch_sub(&set->own_held, 1, __ATOMIC_ACQ_REL);
  } else {
    __atomic_store_n(&set->holders[place], 0, __ATOMIC_RELEASE);
  }
  wakeWaiters(set);
}

// Gives back place `place`, which the calling thread holds with no work of
// its own on it: the alternate stack it still is (a jump out left it so)
// becomes the one the thread had before it took it.
KX_HANDLER_ENTRY void leave(handler_stacks* set, int place) {
  stack_t alternate;
  alternateStackNow(&alternate);
  if ((alternate.ss_flags & SS_DISABLE) == 0 && alternate.ss_sp != nullptr &&
      onStackOf(set, place, alternate.ss_sp)) {
    stack_t origin = set->origins[place];
    origin.ss_flags &= ~SS_ONSTACK;
    systemCall(SYS_sigaltstack, word(&origin), 0);
  }
  release(set, place, false);
}

// The sets in use, for the fork handler, the ends of threads and the walks
// below.
handler_stacks* gWatched[8] = {};

// The set and place whose stack `at` lies on, looking at `first` and at
// the watched sets; null when none.
KX_HANDLER_ENTRY handler_stacks* stackAt(handler_stacks* first, const void* at, int* place) {
  if ((*place = placeAt(first, at)) >= 0) return first;
  for (handler_stacks* set : gWatched) {
    if (set != nullptr && set != first && (*place = placeAt(set, at)) >= 0) return set;
  }
  return nullptr;
}

// The places of `set` that the calling thread's position was entered from,
// at some remove: from each stack of this layer it finds itself on, it goes
// to the point that stack's work was entered from, until one lies on none
// (or a signal began the work where it is). Up to `max` of them in
// `places`; their count, or -1 when there are more or the way down does not
// end (then any place the thread holds may have a work on it).
KX_HANDLER_ENTRY int worksBelow(handler_stacks* set, int* places, int max) {
  const void* at = __builtin_frame_address(0);
  int count = 0;
  for (int step = 0; step < 8; ++step) {
    int place = -1;
    handler_stacks* on = stackAt(set, at, &place);
    if (on == nullptr) return count;
    if (on == set) {
      if (count == max) return -1;
      places[count++] = place;
    }
    const void* from = __atomic_load_n(&on->entries[place], __ATOMIC_RELAXED);
    if (from == nullptr || onStackOf(on, place, from)) return count;
    at = from;
  }
  return -1;
}

KX_HANDLER_ENTRY bool among(const int* places, int count, int place) {
  for (int i = 0; i < count; ++i) {
    if (places[i] == place) return true;
  }
  return false;
}

// A place of the set that the calling thread `self` holds with no work on it
// (it left one by a jump): the one its next work takes. -1 when none.
KX_HANDLER_ENTRY int placeLeft(handler_stacks* set, int32_t self) {
  const int end = placesInUse(set);
  int first = 0;
  while (first < end && holderOf(set, first) != self) ++first;
  if (first == end) return -1;
  int busy[4];
  const int count = worksBelow(set, busy, 4);
  if (count < 0) return -1;
  for (int i = first; i < end; ++i) {
    if (holderOf(set, i) == self && !among(busy, count, i)) return i;
  }
  return -1;
}

// Gives back the places of the set that the calling thread `self` holds but
// `current` with no work on them: a thread holds one stack of a set for its
// works, whatever it did to its alternate stack after a jump out of one.
KX_HANDLER_ENTRY void leaveTheOthers(handler_stacks* set, int current, int32_t self) {
  const int end = placesInUse(set);
  int busy[8];
  int count = -2;
  for (int i = 0; i < end; ++i) {
    if (i == current || holderOf(set, i) != self) continue;
    if (count == -2) count = worksBelow(set, busy, 8);
    if (count < 0) return;
    if (!among(busy, count, i)) leave(set, i);
  }
}

// Whether place `place`, taken from `holder`, an ended thread, can be
// settled: its stack's mark can be read. Where it cannot (the kernel reads
// no memory for this process), the place goes back to that holder and
// stays out of use: its stack may be the set's, or memory of another's
// mapped since, and is neither used nor unmapped, nor replaced by another
// (so that a place costs one stack at most, however many threads end).
KX_HANDLER_ENTRY bool settleable(handler_stacks* set, int place, int32_t holder) {
  auto* top = static_cast<char*>(__atomic_load_n(&set->tops[place], __ATOMIC_ACQUIRE));
  if (top == nullptr || markOf(set, top) != Mark::unknown) return true;
  __atomic_store_n(&set->holders[place], holder, __ATOMIC_RELEASE);
  return false;
}

// Unmaps the stacks mapped for one thread alone of threads that ended
// without giving them back (threads not made through `pthread_create`).
KX_HANDLER_ENTRY void unmapThoseOfEndedThreads(handler_stacks* set, int32_t self) {
  if (__atomic_load_n(&set->own_held, __ATOMIC_ACQUIRE) == 0) return;
  const int32_t pid = processId();
  const int end = __atomic_load_n(&set->own_end, __ATOMIC_ACQUIRE);
  for (int i = kOwnFirst; i < end; ++i) {
    int32_t holder = holderOf(set, i);
    if (holder != 0 && holder != self && !threadExists(pid, holder) &&
        __atomic_compare_exchange_n(&set->holders[i], &holder, self, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED) &&
        settleable(set, i, holder)) {
      release(set, i, true);
    }
  }
}

// Whether place `place`, which the caller holds, has its stack, mapping it
// when it has none; false (the place let go) when none can be mapped.
KX_HANDLER_ENTRY bool haveStack(handler_stacks* set, int place) {
  if (__atomic_load_n(&set->tops[place], __ATOMIC_ACQUIRE) != nullptr ||
      mapStack(set, &set->tops[place]) != nullptr) {
    return true;
  }
  __atomic_store_n(&set->holders[place], 0, __ATOMIC_RELEASE);
  if (place >= kOwnFirst) __atomic_fetch_sub(&set->own_held, 1, __ATOMIC_ACQ_REL);
  return false;
}

// Takes place `place` of the set's own for `self` when its holder is `from`
// (0: free) and gives it its stack (see haveStack).
KX_HANDLER_ENTRY bool takePlace(handler_stacks* set, int place, int32_t from, int32_t self) {
  int32_t expected = from;
  return __atomic_load_n(&set->holders[place], __ATOMIC_RELAXED) == from &&
         __atomic_compare_exchange_n(&set->holders[place], &expected, self, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED) &&
         haveStack(set, place);
}

// Takes over place `place` of the set's own, whose holder ended without
// giving it back: its stack as it is, unless something unmapped it (then
// the guard page left goes, and a new stack is mapped), or it cannot be
// told (see settleable).
KX_HANDLER_ENTRY bool takeOver(handler_stacks* set, int place, int32_t holder, int32_t self) {
  if (!takePlace(set, place, holder, self)) return false;
  auto* top = static_cast<char*>(__atomic_load_n(&set->tops[place], __ATOMIC_ACQUIRE));
  const Mark mark = markOf(set, top);
  if (mark == Mark::ours) return true;
  if (mark == Mark::unknown) {
    __atomic_store_n(&set->holders[place], holder, __ATOMIC_RELEASE);
    return false;
  }
  __atomic_store_n(&set->tops[place], nullptr, __ATOMIC_RELEASE);
  systemCall(SYS_munmap, word(guardOf(set, top)), word(kPage));
  return haveStack(set, place);
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
  // The set whose place `index` the call works on; null for a stack mapped
  // for the caller alone outside the set (a child in its parent's memory).
  handler_stacks* set;
  int index;
  int32_t self;
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

// A stack of the set's own for `self`: a free one, one whose holder has
// ended (with `reclaim`), or one given back within the patience. -1 when
// none came.
KX_HANDLER_ENTRY int claimSetStack(handler_stacks* set, int32_t self, bool reclaim) {
  const int32_t pid = processId();
  int64_t deadline = 0;
  for (;;) {
    const int32_t round = __atomic_load_n(&set->given_back, __ATOMIC_ACQUIRE);
    bool anyHeld = false;
    for (int i = 0; i < kHandlerStacksMax; ++i) {
      if (takePlace(set, i, 0, self)) return i;
      const int32_t holder = holderOf(set, i);
      anyHeld = anyHeld || holder != 0;
      if (reclaim && holder != 0 && holder != self && !threadExists(pid, holder) &&
          takeOver(set, i, holder, self)) {
        return i;
      }
    }
    // None can come back when none is held: there is no memory for one.
    if (!anyHeld) return -1;
    const int64_t now = monotonicNow();
    if (deadline == 0) deadline = now + kHandlerStacksPatienceNs;
    if (now >= deadline) return -1;
    const int64_t left = deadline - now;
    const struct timespec timeout = {static_cast<time_t>(left / 1'000'000'000),
                                     static_cast<long>(left % 1'000'000'000)};
    systemCall(SYS_futex, word(&set->given_back), FUTEX_WAIT_PRIVATE, round, word(&timeout));
  }
}

// A place past the set's own for `self`, with a stack mapped for it alone;
// -1 when every such place is held or there is no memory.
KX_HANDLER_ENTRY int claimOwnStack(handler_stacks* set, int32_t self) {
  // Counted first, so that a thread that looks for its own place, or for
  // the stack it runs on, looks past the set's own from now on.
  __atomic_fetch_add(&set->own_held, 1, __ATOMIC_ACQ_REL);
  for (int i = kOwnFirst; i < kPlaces; ++i) {
    int32_t none = 0;
    if (__atomic_load_n(&set->holders[i], __ATOMIC_RELAXED) != 0 ||
        !__atomic_compare_exchange_n(&set->holders[i], &none, self, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED)) {
      continue;
    }
    int32_t end = __atomic_load_n(&set->own_end, __ATOMIC_ACQUIRE);
    while (end <= i && !__atomic_compare_exchange_n(&set->own_end, &end, i + 1, false,
                                                    __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    }
    return haveStack(set, i) ? i : -1;
  }
  __atomic_fetch_sub(&set->own_held, 1, __ATOMIC_ACQ_REL);
  return -1;
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
#ifdef KX_STACKS_TSAN
    // The thread that held the stack before is done with it.
    __tsan_acquire(&set->holders[call->index]);
#endif
    // Here, with room, rather than on the stack the signal arrived on.
    leaveTheOthers(set, call->index, call->self);
    if (call->tidy) unmapThoseOfEndedThreads(set, call->self);
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
#ifdef KX_STACKS_ASAN
  // Mapped behind the sanitizer's back, and left by some works with their
  // frames' poison in place (a jump out, a thread that waits for the end
  // elsewhere): what the sanitizer knew of these addresses does not hold.
  __asan_unpoison_memory_region(here.ss_sp, here.ss_size);
#endif
  callHere(call);
}

// Runs `call` on its stack, then gives the thread its alternate stack back.
// A work that leaves by a jump, an exception or the thread's end skips the
// rest: no frame here has anything to run then (a frame with a cleanup
// would have the unwinder run on the small stack the signal arrived on).
KX_HANDLER_ENTRY void callOnStack(StackCall* call) {
  sys_call_on_stack(call->top - kMarkSize, onStack, call);
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

// The set's `owner` word of the process with token `token` and id `pid`.
KX_HANDLER_ENTRY uint64_t ownerWord(uint32_t token, int32_t pid) {
  return static_cast<uint64_t>(token) << 32 | static_cast<uint32_t>(pid);
}

// Takes the set over for process `pid` (whose token is `token`), in a child
// forked from the process that used it, on the child's first thread `self`:
// every stack a thread of the parent held is given back, but the one `self`
// works on or has for its alternate stack (the fork was called inside a
// handler's work, or after a jump out of one), which stays its own. A stack
// mapped for one of them alone is unmapped; one a thread was making is
// finished.
KX_HANDLER_ENTRY void adopt(handler_stacks* set, int32_t self, int32_t pid, uint32_t token) {
  stack_t alternate;
  alternateStackNow(&alternate);
  const bool hasAlternate = alternate.ss_sp != nullptr && (alternate.ss_flags & SS_DISABLE) == 0;
  const int here = stackHere(set);
  const int end = __atomic_load_n(&set->own_end, __ATOMIC_ACQUIRE);
  for (int i = 0; i < end; ++i) {
    int32_t holder = holderOf(set, i);
    if (holder == 0 || holder == self) continue;
    if (i == here || (hasAlternate && onStackOf(set, i, alternate.ss_sp))) {
      __atomic_store_n(&set->holders[i], self, __ATOMIC_RELEASE);
      continue;
    }
    if (threadExists(pid, holder) ||
        !__atomic_compare_exchange_n(&set->holders[i], &holder, self, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_RELAXED)) {
      continue;
    }
    if (!settleable(set, i, holder)) continue;
    auto* top = static_cast<char*>(__atomic_load_n(&set->tops[i], __ATOMIC_ACQUIRE));
    if (i >= kOwnFirst) {
      release(set, i, true);
      continue;
    }
    if (top != nullptr && !(markOf(set, top) == Mark::ours && guard(set, top))) {
      __atomic_store_n(&set->tops[i], nullptr, __ATOMIC_RELEASE);
      unmapStack(set, top, true);
    }
    __atomic_store_n(&set->holders[i], 0, __ATOMIC_RELEASE);
  }
  __atomic_store_n(&set->owner, ownerWord(token, pid), __ATOMIC_RELEASE);
  wakeWaiters(set);
}

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
    watch(set);
    return SetUse::own;
  }
  if (owner == own) return SetUse::own;
  // A child made without fork handlers: only its first thread knows which
  // stack, if any, its own work is on.
  if (self != pid) return SetUse::inherited;
  adopt(set, self, pid, token);
  return SetUse::own;
}

// Runs `call` on a stack of the set: the one the thread left its work on by
// a jump, else one of the set's own, else one mapped for it alone, else
// where it is. With every signal held back meanwhile, so that no signal's
// handler of the thread's own finds a place it holds half taken.
KX_HANDLER_ENTRY void callOnSetStack(handler_stacks* set, StackCall* call) {
  call->size = set->size;
  if (stackHere(set) >= 0) {
    callHere(call);
    return;
  }
  const int32_t self = threadId();
  const SetUse use = useOf(set, self);
  if (use == SetUse::none) {
    callOnLooseStack(set, call);
    return;
  }
  int place = placeLeft(set, self);
  if (place >= 0 && !haveStack(set, place)) place = -1;
  if (place < 0) place = claimSetStack(set, self, use == SetUse::own);
  if (place < 0) place = claimOwnStack(set, self);
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
  release(set, place, false);
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

// Gives back every place of every set the calling thread `self` holds, but
// place `keep` of `kept`: it waits for the end, and none of its works goes
// on. Every signal is blocked.
KX_HANDLER_ENTRY void leaveAll(handler_stacks* set, int32_t self, const handler_stacks* kept,
                               int keep) {
  for (int s = -1; s < 8; ++s) {
    handler_stacks* each = s < 0 ? set : gWatched[s];
    if (each == nullptr || (s >= 0 && each == set)) continue;
    const int end = placesInUse(each);
    for (int i = 0; i < end; ++i) {
      if ((each != kept || i != keep) && holderOf(each, i) == self) leave(each, i);
    }
  }
}

// The room where threads that waited on a handler stack wait for the end
// (see kx_handler_stacks_wait_off), shared: nothing is written there.
alignas(64) char gWaitingRoom[64];

// In a forked child, the stacks its parent's threads held are given back.
void adoptAfterFork() {
  const int32_t self = threadId();
  const uint32_t token = base::process_token();
  for (handler_stacks* set : gWatched) {
    if (set != nullptr &&
        __atomic_load_n(&set->owner, __ATOMIC_ACQUIRE) != ownerWord(token, self)) {
      adopt(set, self, self, token);
    }
  }
}

[[maybe_unused]] const int gForkHandler = pthread_atfork(nullptr, nullptr, adoptAfterFork);

}  // namespace

bool handler_stacks_reserve(handler_stacks* set) noexcept {
  uint64_t none = 0;
  __atomic_compare_exchange_n(&set->owner, &none, ownerWord(base::process_token(), processId()),
                              false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
  watch(set);
  if (__atomic_load_n(&set->tops[0], __ATOMIC_ACQUIRE) != nullptr) return true;
  if (!takePlace(set, 0, 0, threadId())) return false;
  release(set, 0, false);
  return true;
}

void handler_stacks_call(handler_stacks* set, void (*function)(void*), void* argument) {
  StackCall call = {};
  call.function = function;
  call.argument = argument;
  holdSignalsBack(&call, nullptr);
  callOnSetStack(set, &call);
}

void handler_stacks_run(handler_stacks* set, handler_stacks_handler handler, int signo,
                        siginfo_t* info, void* uap) {
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
  const int here = stackHere(set);
  if (here >= 0 && (context->uc_stack.ss_flags & SS_ONSTACK) == 0 &&
      onStackOf(set, here, context) && holderOf(set, here) == threadId()) {
    set->entries[here] = &call;
  }
  callOnSetStack(set, &call);
}

bool handler_stacks_running_on(const handler_stacks* set) noexcept { return stackHere(set) >= 0; }

void handler_stacks_wait_for_end(handler_stacks* set, const void* uap) noexcept {
  const int32_t self = threadId();
  // Published before anything changes: the context may lie on a stack given
  // back.
  if (uap != nullptr) (void)detail::thread_publish_waiting_state(self, uap);
  KernelMask before;
  setMask(&kEverySignal, &before);
  int place = -1;
  handler_stacks* on = stackAt(set, __builtin_frame_address(0), &place);
  if (on != nullptr && holderOf(on, place) != self) on = nullptr;
  leaveAll(set, self, on, place);
  if (on != nullptr) {
#ifdef KX_STACKS_TSAN
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

void handler_stacks_thread_ending() noexcept {
  const int32_t self = threadId();
  // No signal's handler of the thread's own takes a place while it is given
  // back.
  KernelMask before;
  setMask(&kEverySignal, &before);
  for (handler_stacks* set : gWatched) {
    if (set == nullptr) continue;
    const int here = stackHere(set);
    const int end = placesInUse(set);
    for (int i = 0; i < end; ++i) {
      if (i != here && holderOf(set, i) == self) leave(set, i);
    }
  }
  setMask(&before);
}

int32_t handler_thread_id() noexcept { return threadId(); }

#ifdef KX_TEST_SEAMS
void setHandlerStackMappedHookForTesting(void (*hook)(const void* top)) noexcept {
  __atomic_store_n(&gMappedHook, hook, __ATOMIC_RELEASE);
}
#endif

}  // namespace sys
