#pragma once

// What the sources of the handler stacks (system/HandlerStacks.h) share, one
// concept each: the stack memory (HandlerStacksMemory.cpp), places and claims
// (HandlerStacksPlaces.cpp), taking back the stacks of ended threads
// (HandlerStacksEnded.cpp), ownership across fork (HandlerStacksFork.cpp),
// the waiting room (HandlerStacksWaitingRoom.cpp), and the calls on a stack
// with the entry points (HandlerStacks.cpp). The parking signal's handler
// (ThreadParking.cpp), which runs where its signal arrives too, makes its
// system calls with the helpers here.

#include <errno.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

#include "base/Sanitizers.h"
#include "base/Stacks.h"
#include "system/HandlerStacks.h"

// Every function here that may run before the move to a stack of the set
// is a KX_HANDLER_ENTRY and calls no function but this layer's own (hidden,
// so bound when the program or library is linked): it makes its system calls
// itself. A sanitizer wraps many of the C library's
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

namespace sys::stacks {

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

// The system call `number`; its result, or -errno.
KX_HANDLER_ENTRY inline long systemCall(long number, long a = 0, long b = 0, long c = 0, long d = 0,
                                        long e = 0, long f = 0) {
  return base::rawSystemCall(number, a, b, c, d, e, f);
}

template <class T>
KX_HANDLER_ENTRY inline long word(T value) {
  return (long)(value);  // NOLINT: pointers and integers alike
}

KX_HANDLER_ENTRY inline int32_t threadId() { return static_cast<int32_t>(systemCall(SYS_gettid)); }
KX_HANDLER_ENTRY inline int32_t processId() { return static_cast<int32_t>(systemCall(SYS_getpid)); }

// Whether thread `tid` of process `pid` still exists.
KX_HANDLER_ENTRY inline bool threadExists(int32_t pid, int32_t tid) {
  return systemCall(SYS_tgkill, pid, tid, 0) != -ESRCH;
}

// Sets the calling thread's signal mask to `*mask`, and gives the one it had
// in `*old` (unless null).
KX_HANDLER_ENTRY inline void setMask(const KernelMask* mask, KernelMask* old = nullptr) {
  systemCall(SYS_rt_sigprocmask, SIG_SETMASK, word(mask), word(old), sizeof(KernelMask));
}

KX_HANDLER_ENTRY inline void alternateStackNow(stack_t* now) {
  if (systemCall(SYS_sigaltstack, 0, word(now)) != 0) now->ss_sp = nullptr;
}

KX_HANDLER_ENTRY inline int64_t monotonicNow() {
  struct timespec now = {0, 0};
  systemCall(SYS_clock_gettime, CLOCK_MONOTONIC, word(&now));
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

KX_HANDLER_ENTRY inline char* guardOf(const handler_stacks* set, char* top) {
  return top - set->size - kPage;
}

// What lies at the top of a stack of the set now.
enum class Mark {
  ours,     // the set's mark: the stack is the set's mapping still
  gone,     // something else, or nothing: the stack was unmapped (a
            // sanitizer's end of a thread unmaps its alternate stack)
  unknown,  // the kernel reads no memory for this process (a sandbox's filter)
};

// ---- Stack memory (HandlerStacksMemory.cpp) ----

KX_HANDLER_ENTRY Mark stackMark(const handler_stacks* set, char* top);
KX_HANDLER_ENTRY bool protectGuardPage(const handler_stacks* set, char* top);
KX_HANDLER_ENTRY char* mapStack(const handler_stacks* set, void** published);
KX_HANDLER_ENTRY void unmapStack(const handler_stacks* set, char* top, bool checked);

// ---- Places and claims (HandlerStacksPlaces.cpp) ----

// Whether `at` lies on the stack of place `place` of the set.
KX_HANDLER_ENTRY inline bool onStackOf(const handler_stacks* set, int place, const void* at) {
  const auto* top = static_cast<const char*>(__atomic_load_n(&set->tops[place], __ATOMIC_ACQUIRE));
  const auto* address = static_cast<const char*>(at);
  return top != nullptr && address < top && address >= top - set->size;
}

// One past the last place worth looking at: the set's own, and those past
// them while any of those is held.
KX_HANDLER_ENTRY inline int placesInUse(const handler_stacks* set) {
  return __atomic_load_n(&set->own_held, __ATOMIC_ACQUIRE) > 0
             ? __atomic_load_n(&set->own_end, __ATOMIC_ACQUIRE)
             : kOwnFirst;
}

KX_HANDLER_ENTRY inline uint64_t holderOf(const handler_stacks* set, int place) {
  return __atomic_load_n(&set->holders[place], __ATOMIC_ACQUIRE);
}

// A place's holder word: the thread's id in the lower half, and in the upper
// one the low 32 bits of the clock tick it claimed the place in, on the clock
// the kernel counts a thread's start by. A thread given the id of a holder
// that ended started after that holder's claim: by its start (from /proc) it
// knows the place is not its own.
KX_HANDLER_ENTRY inline int32_t holderThread(uint64_t holder) {
  return static_cast<int32_t>(holder);
}

// The calling thread as a holder: its id, the word of its claims once asked
// for (0 until then), and its start once read (reading it costs a read of
// /proc: only done when a place's word has the thread's id).
struct Holder {
  int32_t tid = 0;
  uint64_t word = 0;
  uint64_t start = 0;
  bool startRead = false;
};

// The word the calling thread `self` claims with, made now unless it has it.
KX_HANDLER_ENTRY uint64_t holderWord(Holder* self);
// Whether the calling thread `self` holds place `place` of the set: one
// given its id after the holder ended does not.
KX_HANDLER_ENTRY bool holds(const handler_stacks* set, int place, Holder* self);
// Whether `holder`, a thread of process `pid`, has ended: no thread has its
// id, or the calling thread `self` has it and did not make that claim.
KX_HANDLER_ENTRY bool holderEnded(int32_t pid, uint64_t holder, Holder* self);

// The place of the set whose stack `at` lies on (or the calling thread runs
// on), or -1.
KX_HANDLER_ENTRY int placeOfAddress(const handler_stacks* set, const void* at);
KX_HANDLER_ENTRY int placeOfCaller(const handler_stacks* set);
// Wakes the threads waiting for one of the set's stacks to be given back.
KX_HANDLER_ENTRY void wakeStackWaiters(handler_stacks* set);
// Gives back place `place`, which the caller holds and nobody works on.
KX_HANDLER_ENTRY void givePlaceBack(handler_stacks* set, int place, bool checked);
// The same for a place the calling thread holds with no work of its own on
// it, whose stack may still be its alternate stack (a jump out left it so).
KX_HANDLER_ENTRY void giveBackIdlePlace(handler_stacks* set, int place);
// The sets in use: for the fork handler, the ends of threads and the walks.
extern handler_stacks* gWatched[8];
// The set (`first`, or a watched one) and place whose stack `at` lies on.
KX_HANDLER_ENTRY handler_stacks* setAndPlaceOfAddress(handler_stacks* first, const void* at,
                                                      int* place);
// A place the calling thread holds with no work on it (its next work's), or
// -1; and the giving back of every other such place but `current`.
KX_HANDLER_ENTRY int idlePlaceHeld(handler_stacks* set, Holder* self);
KX_HANDLER_ENTRY void giveBackOtherIdlePlaces(handler_stacks* set, int current, Holder* self);
// Maps the stack of a place the caller holds unless it has one; false (the
// place let go) without memory.
KX_HANDLER_ENTRY bool ensurePlaceHasStack(handler_stacks* set, int place);
// Takes place `place` for `self` when its holder is `from` (0: free).
KX_HANDLER_ENTRY bool claimPlaceFrom(handler_stacks* set, int place, uint64_t from, uint64_t self);
// One of the set's shared stacks, or a place past them with a stack mapped
// for the caller alone; -1 when none can be had.
KX_HANDLER_ENTRY int claimSharedStack(handler_stacks* set, Holder* self, bool reclaim);
KX_HANDLER_ENTRY int claimPrivateStack(handler_stacks* set, uint64_t self);
// Adds the set to `gWatched` (once).
KX_HANDLER_ENTRY void addToWatchedSets(handler_stacks* set);

// ---- The stacks of ended threads (HandlerStacksEnded.cpp) ----

// Whether a place taken from an ended `holder` can be settled (its stack's
// mark can be read); else it goes back to that holder, out of use.
KX_HANDLER_ENTRY bool settleOrHandBack(handler_stacks* set, int place, uint64_t holder);
// Unmaps the stacks mapped for one thread alone of threads that ended
// without giving them back.
KX_HANDLER_ENTRY void unmapThoseOfEndedThreads(handler_stacks* set, Holder* self);
// Takes over a shared place whose holder ended without giving it back.
KX_HANDLER_ENTRY bool takeOverFromEndedHolder(handler_stacks* set, int place, uint64_t holder,
                                              uint64_t self);

// ---- Ownership across fork (HandlerStacksFork.cpp) ----

// The set's `owner` word of the process with token `token` and id `pid`.
KX_HANDLER_ENTRY inline uint64_t ownerWord(uint32_t token, int32_t pid) {
  return static_cast<uint64_t>(token) << 32 | static_cast<uint32_t>(pid);
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

// Who may use the set's stacks in the calling process, taking them over in
// a child whose first thread asks.
KX_HANDLER_ENTRY SetUse setUseOfCaller(handler_stacks* set, Holder* self);

}  // namespace sys::stacks
