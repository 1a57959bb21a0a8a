// Places and claims: which thread holds which stack of a set, how a thread
// takes one, and how it gives one back (system/HandlerStacks.h).

#include <fcntl.h>
#include <linux/futex.h>

#include <climits>

#include "HandlerStacksInternal.h"
#include "base/ProcFiles.h"
#include "base/ProcStat.h"

#ifdef KX_TEST_SEAMS
#include "system/TestSeams.h"
#endif

namespace sys::stacks {
namespace {

#ifdef KX_TEST_SEAMS
void (*gHolderEndedHook)(int32_t holder) = nullptr;
#endif

// The clock the kernel counts a thread's start by, in its clock ticks
// (base::proc_clock_ticks): the time since boot.
KX_HANDLER_ENTRY uint64_t ticksNow() {
  struct timespec now = {0, 0};
  systemCall(SYS_clock_gettime, CLOCK_BOOTTIME, word(&now));
  const auto rate = static_cast<uint64_t>(base::proc_clock_ticks());
  return static_cast<uint64_t>(now.tv_sec) * rate +
         static_cast<uint64_t>(now.tv_nsec) / (1'000'000'000 / rate);
}

// The calling thread's start in those ticks (base/ProcStat.h), read a few
// bytes at a time (this may run on the small stack a signal arrived on). 0
// when it cannot be read.
KX_HANDLER_ENTRY uint64_t threadStart() {
  static constexpr base::ProcPath kOwnStat = base::ProcPath(base::kProcThreadSelf).file("stat");
  const long fd = systemCall(SYS_openat, AT_FDCWD, word(kOwnStat.c_str()), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char chunk[64];
  base::ProcStatScanner scanner;
  scanner.start();
  for (long got;
       !scanner.complete() && (got = systemCall(SYS_read, fd, word(chunk), sizeof chunk)) > 0;) {
    scanner.feed(chunk, static_cast<size_t>(got));
  }
  systemCall(SYS_close, fd);
  return scanner.complete() ? scanner.stat().startTicks : 0;
}

// Whether `holder`, a word with the calling thread's id, is the calling
// thread's own: it claimed the place after it started (its start is read
// once, here, when a word first has its id). A thread given that id after
// the thread that claimed ended starts later than that claim; the same tick
// is taken for the calling thread's. Where /proc does not tell the start,
// the id alone.
KX_HANDLER_ENTRY bool ownClaim(uint64_t holder, Holder* self) {
  if (holder == self->word) return true;
  if (!self->startRead) {
    self->start = threadStart();
    self->startRead = true;
  }
  if (self->start == 0) return true;
  // The claim's tick, from the lower 32 bits the word keeps of it.
  const uint64_t now = ticksNow();
  const uint64_t claimed = now - (static_cast<uint32_t>(now) - static_cast<uint32_t>(holder >> 32));
  return self->start <= claimed;
}

}  // namespace

KX_HANDLER_ENTRY uint64_t holderWord(Holder* self) {
  if (self->word == 0) {
    self->word = (ticksNow() & 0xFFFFFFFFu) << 32 | static_cast<uint32_t>(self->tid);
  }
  return self->word;
}

KX_HANDLER_ENTRY bool holds(const handler_stacks* set, int place, Holder* self) {
  const uint64_t holder = holderOf(set, place);
  return holderThread(holder) == self->tid && ownClaim(holder, self);
}

KX_HANDLER_ENTRY bool holderEnded(int32_t pid, uint64_t holder, Holder* self) {
  const int32_t tid = holderThread(holder);
  const bool ended = tid == self->tid ? !ownClaim(holder, self) : !threadExists(pid, tid);
#ifdef KX_TEST_SEAMS
  if (ended) {
    if (auto* hook = __atomic_load_n(&gHolderEndedHook, __ATOMIC_ACQUIRE)) hook(tid);
  }
#endif
  return ended;
}

// The place whose stack `at` lies on, or -1.
KX_HANDLER_ENTRY int placeOfAddress(const handler_stacks* set, const void* at) {
  const int end = placesInUse(set);
  for (int i = 0; i < end; ++i) {
    if (onStackOf(set, i, at)) return i;
  }
  return -1;
}

// The place of the set whose stack the calling thread runs on, or -1.
KX_HANDLER_ENTRY int placeOfCaller(const handler_stacks* set) {
  return placeOfAddress(set, __builtin_frame_address(0));
}

KX_HANDLER_ENTRY void wakeStackWaiters(handler_stacks* set) {
  __atomic_fetch_add(&set->given_back, 1, __ATOMIC_RELEASE);
  systemCall(SYS_futex, word(&set->given_back), FUTEX_WAKE_PRIVATE, INT_MAX);
}

// Gives place `place` back, which the caller holds and nobody works on: a
// stack mapped for one thread alone is unmapped (`checked`: see unmapStack),
// the top forgotten before, so that a child forked meanwhile never unmaps
// what is no longer there.
KX_HANDLER_ENTRY void givePlaceBack(handler_stacks* set, int place, bool checked) {
#if KX_TSAN
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
  wakeStackWaiters(set);
}

// Gives back place `place`, which the calling thread holds with no work of
// its own on it: the alternate stack it still is (a jump out left it so)
// becomes the one the thread had before it took it.
KX_HANDLER_ENTRY void giveBackIdlePlace(handler_stacks* set, int place) {
  stack_t alternate;
  alternateStackNow(&alternate);
  if ((alternate.ss_flags & SS_DISABLE) == 0 && alternate.ss_sp != nullptr &&
      onStackOf(set, place, alternate.ss_sp)) {
    stack_t origin = set->origins[place];
    origin.ss_flags &= ~SS_ONSTACK;
    systemCall(SYS_sigaltstack, word(&origin), 0);
  }
  givePlaceBack(set, place, false);
}

// The sets in use, for the fork handler, the ends of threads and the walks
// below.
handler_stacks* gWatched[8] = {};

// The set and place whose stack `at` lies on, looking at `first` and at
// the watched sets; null when none.
KX_HANDLER_ENTRY handler_stacks* setAndPlaceOfAddress(handler_stacks* first, const void* at,
                                                      int* place) {
  if ((*place = placeOfAddress(first, at)) >= 0) return first;
  for (handler_stacks* set : gWatched) {
    if (set != nullptr && set != first && (*place = placeOfAddress(set, at)) >= 0) return set;
  }
  return nullptr;
}

namespace {

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
    handler_stacks* on = setAndPlaceOfAddress(set, at, &place);
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

}  // namespace

// A place of the set that the calling thread `self` holds with no work on it
// (it left one by a jump): the one its next work takes. -1 when none.
KX_HANDLER_ENTRY int idlePlaceHeld(handler_stacks* set, Holder* self) {
  const int end = placesInUse(set);
  int first = 0;
  while (first < end && !holds(set, first, self)) ++first;
  if (first == end) return -1;
  int busy[4];
  const int count = worksBelow(set, busy, 4);
  if (count < 0) return -1;
  for (int i = first; i < end; ++i) {
    if (holds(set, i, self) && !among(busy, count, i)) return i;
  }
  return -1;
}

// Gives back the places of the set that the calling thread `self` holds but
// `current` with no work on them: a thread holds one stack of a set for its
// works, whatever it did to its alternate stack after a jump out of one.
KX_HANDLER_ENTRY void giveBackOtherIdlePlaces(handler_stacks* set, int current, Holder* self) {
  const int end = placesInUse(set);
  int busy[8];
  int count = -2;
  for (int i = 0; i < end; ++i) {
    if (i == current || !holds(set, i, self)) continue;
    if (count == -2) count = worksBelow(set, busy, 8);
    if (count < 0) return;
    if (!among(busy, count, i)) giveBackIdlePlace(set, i);
  }
}

// Whether place `place`, which the caller holds, has its stack, mapping it
// when it has none; false (the place let go) when none can be mapped.
KX_HANDLER_ENTRY bool ensurePlaceHasStack(handler_stacks* set, int place) {
  if (__atomic_load_n(&set->tops[place], __ATOMIC_ACQUIRE) != nullptr ||
      mapStack(set, &set->tops[place]) != nullptr) {
    return true;
  }
  __atomic_store_n(&set->holders[place], 0, __ATOMIC_RELEASE);
  if (place >= kOwnFirst) __atomic_fetch_sub(&set->own_held, 1, __ATOMIC_ACQ_REL);
  return false;
}

// Takes place `place` of the set's own for `self` when its holder is `from`
// (0: free) and gives it its stack (see ensurePlaceHasStack).
KX_HANDLER_ENTRY bool claimPlaceFrom(handler_stacks* set, int place, uint64_t from, uint64_t self) {
  uint64_t expected = from;
  return __atomic_load_n(&set->holders[place], __ATOMIC_RELAXED) == from &&
         __atomic_compare_exchange_n(&set->holders[place], &expected, self, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED) &&
         ensurePlaceHasStack(set, place);
}

// A stack of the set's own for `self`: a free one, one whose holder has
// ended (with `reclaim`), or one given back within the patience. -1 when
// none came.
KX_HANDLER_ENTRY int claimSharedStack(handler_stacks* set, Holder* self, bool reclaim) {
  const int32_t pid = processId();
  int64_t deadline = 0;
  for (;;) {
    const int32_t round = __atomic_load_n(&set->given_back, __ATOMIC_ACQUIRE);
    bool anyHeld = false;
    for (int i = 0; i < kHandlerStacksMax; ++i) {
      if (claimPlaceFrom(set, i, 0, holderWord(self))) return i;
      const uint64_t holder = holderOf(set, i);
      anyHeld = anyHeld || holder != 0;
      if (reclaim && holder != 0 && holderEnded(pid, holder, self) &&
          takeOverFromEndedHolder(set, i, holder, holderWord(self))) {
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
KX_HANDLER_ENTRY int claimPrivateStack(handler_stacks* set, uint64_t self) {
  // Counted first, so that a thread that looks for its own place, or for
  // the stack it runs on, looks past the set's own from now on.
  __atomic_fetch_add(&set->own_held, 1, __ATOMIC_ACQ_REL);
  for (int i = kOwnFirst; i < kPlaces; ++i) {
    uint64_t none = 0;
    if (__atomic_load_n(&set->holders[i], __ATOMIC_RELAXED) != 0 ||
        !__atomic_compare_exchange_n(&set->holders[i], &none, self, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED)) {
      continue;
    }
    int32_t end = __atomic_load_n(&set->own_end, __ATOMIC_ACQUIRE);
    while (end <= i && !__atomic_compare_exchange_n(&set->own_end, &end, i + 1, false,
                                                    __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    }
    return ensurePlaceHasStack(set, i) ? i : -1;
  }
  __atomic_fetch_sub(&set->own_held, 1, __ATOMIC_ACQ_REL);
  return -1;
}

KX_HANDLER_ENTRY void addToWatchedSets(handler_stacks* set) {
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

}  // namespace sys::stacks

#ifdef KX_TEST_SEAMS
namespace sys {

void setHandlerStackHolderEndedHookForTesting(void (*hook)(int32_t holder)) noexcept {
  __atomic_store_n(&stacks::gHolderEndedHook, hook, __ATOMIC_RELEASE);
}

}  // namespace sys
#endif
