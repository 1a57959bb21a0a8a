#pragma once

// The stack segments deep chains are let go on (RvStreams/detail/FlatDeletion.h):
// their layout, where they are mapped, what a thread keeps of one, and the
// segments kept for any thread. How the deletions use them: FlatDeletion.cpp.

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "FlatDeletionQueue.h"
#include "RvStreams/detail/FlatDeletion.h"
#include "base/Stacks.h"

namespace rv::detail::segments {

inline std::uintptr_t address(const void* pointer) noexcept {
  return reinterpret_cast<std::uintptr_t>(pointer);
}

// A segment is one mapping: a guard below the stack, wide enough that a
// frame bigger than a page cannot step over it, then the stack, then the
// segment's own record (its top granule). Sizes and addresses are multiples
// of 64 KiB, a multiple of every page size. Its stack, from the low end up
// (see usableFor):
//   - the room of a level's destructors and kFlatDeletionRoom: a level whose
//     frame lies here goes on to another segment; where none can be had, it
//     runs in place while half the room (fallbackRoom) is left below it, and
//     is queued past that;
//   - fallbackRoom more: a level runs in place, and runs what the levels
//     inside it queued right after its destructor has returned;
//   - the levels running in place one inside another (kLevelsBytes): a level
//     there is called last by the library's code, which so takes no frame
//     of its own for it. What its destructors let go, within their room,
//     lands above the part where levels are queued: nothing waits for it to
//     return.
inline constexpr std::size_t kGranule = base::kStackGranule;
inline constexpr std::size_t kGuardBytes = kGranule;
// The room the levels running in place one inside another take: as many as
// a deep chain has (some 300,000 levels optimised), or, where that
// much cannot be had or ThreadSanitizer runs, which takes a fiber of its own
// for every few levels, fewer.
inline constexpr std::size_t kLevelsBytes = std::size_t{32} << 20;
inline constexpr std::size_t kFewerLevelsBytes = std::size_t{1} << 20;
// What a thread keeps resident of the segment it keeps, once a chain has
// finished with it: its record and the top of its stack, where the next
// chain's levels start. The rest of the pages the chain touched are given
// back, once for the chain.
inline constexpr std::uintptr_t kResidentBytes = (std::uintptr_t{1} << 20) - kGranule;
// The levels called last start on those pages, and go on to pages made
// ready this many at a time as they go deeper, at once (which costs a
// fraction of a fault for each).
inline constexpr std::uintptr_t kReadyBytes = std::uintptr_t{2} << 20;
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// Where no segment can be had, a level runs in place while this much is
// left below its frame: the queue's deletions run there, so that each has
// at least half the room.
inline std::uintptr_t fallbackRoom(std::uintptr_t room) noexcept {
  return std::max<std::uintptr_t>(kFlatDeletionRoom, room / 2);
}

// The stack of a segment for levels that need `room`, `levels` of it for the
// levels running in place one inside another.
inline std::size_t usableFor(std::uintptr_t room, std::size_t levels) noexcept {
  return (room + kFlatDeletionRoom + fallbackRoom(room) + levels + kGranule - 1) & ~(kGranule - 1);
}

// A segment's record, at the top of its mapping, which starts a page: kept
// for any thread, it is a kept stack of its usable bytes.
struct Segment : base::KeptStack {
  char* base;          // the mapping, guard first
  std::size_t mapped;  // its bytes
  // The room each level needs, as the chain on it asks.
  std::uintptr_t room = 0;
  // The top it is announced to AddressSanitizer with: its own, or the
  // caller's for a segment just below the caller's stack.
  std::uintptr_t announcedTop = 0;
  // The lowest frame a level ran at here, but for the levels called last.
  std::uintptr_t lowest = 0;
  // What the levels here queued.
  FlatQueued* queued = nullptr;
  FlatQueued* lastQueued = nullptr;
  // The levels running here one inside another, and whether
  // ThreadSanitizer is told of the segment as a fiber of its own.
  int nested = 0;
  bool fibers = false;
  // Some thread's state may still name it (a switch to it did not come back
  // the way it went): it is never unmapped, only kept for later switches.
  bool tainted = false;

  std::uintptr_t low() const noexcept { return address(base) + kGuardBytes; }
  std::uintptr_t top() const noexcept { return address(this); }
  std::uintptr_t usable() const noexcept { return top() - low(); }
  std::uintptr_t end() const noexcept { return address(base) + mapped; }
  // Where the levels called last may run (see usableFor).
  std::uintptr_t leanLow() const noexcept {
    return (low() + room + kFlatDeletionRoom + fallbackRoom(room) + kGranule - 1) & ~(kGranule - 1);
  }
};

// A new segment for levels that need `room`, just below `below` where a
// stack may go there (base::stackMayGoJustBelow), else where the kernel
// places it; null when none can be mapped (an address-space limit, the
// mapping count used up, no memory, a sandbox).
Segment* mapSegment(std::uintptr_t room, std::uintptr_t below) noexcept;

void unmapSegment(Segment* segment) noexcept;

// Gives back the pages of `segment` below the top a thread keeps resident
// (kResidentBytes), once a chain has finished with it.
void keepTopResident(Segment* segment) noexcept;

// Keeps a segment some thread's state may still name for later switches of
// any thread, its pages given back; and takes one with `usable` bytes at
// least, if one is kept.
void keepForAnyThread(Segment* segment) noexcept;
Segment* takeKept(std::uintptr_t usable) noexcept;

#ifdef KX_TEST_SEAMS
// Forgets the segments kept for any thread (left mapped).
void forgetKeptForTesting() noexcept;
#endif

}  // namespace rv::detail::segments
