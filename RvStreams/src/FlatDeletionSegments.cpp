#include "FlatDeletionSegments.h"

#include <errno.h>
#include <sys/auxv.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#include "base/StackSwitch.h"

namespace rv::detail::segments {
namespace {

// A segment goes just below its caller's stack by address, where a walk from
// it climbs on to the caller's frames, only where that stack lies among the
// mappings the kernel placed: below the dynamic loader (the first it placed)
// or this far below the main thread's top. Else it goes where the kernel
// places it: the main thread's stack may grow (to a RLIMIT_STACK the program
// raises later) through the room the kernel keeps free below it, and so may
// the stack of a program without this library.
constexpr std::uintptr_t kMainStackReach = std::uintptr_t{2} << 30;
// Lower addresses tried for a segment below its caller, one below the other,
// before any the kernel chooses.
constexpr int kPlacements = 4;

// Segments some thread's state may still name, for later switches of any
// thread: a stack linked through the segments, whose head carries a count
// in the bits a segment's address leaves clear, so that a segment taken and
// given back meanwhile is not taken for the head it was.
std::atomic<std::uintptr_t> gKept{0};
// (A segment's record starts a page: its low 12 bits are clear, and
// addresses given to programs here fit in 48 bits.)
constexpr std::uintptr_t kAddressBits = 0x0000'ffff'ffff'f000;

std::uintptr_t keptWord(const Segment* segment, std::uintptr_t count) noexcept {
  return address(segment) | (count & 0xfff) | ((count >> 12) << 48);
}

Segment* keptSegment(std::uintptr_t word) noexcept {
  return reinterpret_cast<Segment*>(word & kAddressBits);
}

std::uintptr_t keptCount(std::uintptr_t word) noexcept {
  return (word & 0xfff) | ((word >> 48) << 12);
}

Segment* keptAfter(const Segment* segment) noexcept {
  return reinterpret_cast<Segment*>(segment->keptNext.load(std::memory_order_relaxed));
}

// The stack of `segment` its chains may have written: the levels' frames,
// and below the lowest of them the room its destructors had.
std::uintptr_t writtenLow(const Segment& segment) noexcept {
  const std::uintptr_t below = segment.room + kFlatDeletionRoom;
  return segment.lowest - segment.low() > below ? segment.lowest - below : segment.low();
}

// Forgets what a sanitizer knew of the stack the chains wrote (the poison of
// frames left by a throw it did not follow), for whatever runs there next.
void forgetWritten(Segment* segment) noexcept {
  const std::uintptr_t low = writtenLow(*segment);
  base::forgetStackUse(reinterpret_cast<void*>(low), segment->top() - low);
  segment->lowest = segment->top();
}

// Puts the kept segments from `first` to `last`, linked, on the kept stack.
void putKept(Segment* first, Segment* last) noexcept {
  std::uintptr_t head = gKept.load(std::memory_order_relaxed);
  do {
    last->keptNext.store(address(keptSegment(head)), std::memory_order_relaxed);
  } while (!gKept.compare_exchange_weak(head, keptWord(first, keptCount(head) + 1),
                                        std::memory_order_release, std::memory_order_relaxed));
}

// Maps `bytes` just below `below` (the lowest address of the caller's
// stack), where a walk from the segment climbs on to the caller's frames, or
// where the kernel chooses when no such place is free or `below` is 0.
void* mapBelow(std::uintptr_t below, std::size_t bytes) noexcept {
  constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK;
  std::uintptr_t top = below & ~std::uintptr_t{kGranule - 1};
  for (int placement = 0; placement < kPlacements && top > bytes + kGranule; ++placement) {
    top -= bytes;
    void* mapped = mmap(reinterpret_cast<void*>(top), bytes, PROT_READ | PROT_WRITE,
                        kFlags | MAP_FIXED_NOREPLACE, -1, 0);
    // A kernel that does not know the flag takes the address as a hint.
    if (mapped != MAP_FAILED) return mapped;
    if (errno != EEXIST) break;
  }
  void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, kFlags, -1, 0);
  return mapped == MAP_FAILED ? nullptr : mapped;
}

}  // namespace

void unmapSegment(Segment* segment) noexcept {
  forgetWritten(segment);
  munmap(segment->base, segment->mapped);
}

void keepForAnyThread(Segment* segment) noexcept {
  forgetWritten(segment);
  madvise(reinterpret_cast<void*>(segment->low()), segment->usable(), MADV_DONTNEED);
  // A segment the count's bits cannot go beside (no such address is given
  // on these processors) stays mapped, unused.
  if ((address(segment) & ~kAddressBits) != 0) return;
  base::handOver(segment);
  putKept(segment, segment);
}

// The whole stack is taken off at once, in one step that a segment taken
// and given back meanwhile cannot fool, and the others go back: another
// thread (or a signal's handler here) meanwhile finds none, and maps one of
// its own.
Segment* takeKept(std::uintptr_t usable) noexcept {
  std::uintptr_t head = gKept.load(std::memory_order_acquire);
  do {
    if (keptSegment(head) == nullptr) return nullptr;
  } while (!gKept.compare_exchange_weak(head, keptWord(nullptr, keptCount(head) + 1),
                                        std::memory_order_acquire, std::memory_order_acquire));
  Segment* first = keptSegment(head);
  Segment* taken = nullptr;
  Segment* last = nullptr;
  for (Segment* segment = first; segment != nullptr; segment = keptAfter(segment)) {
    if (taken == nullptr && segment->usable() >= usable) {
      taken = segment;
      if (last == nullptr) {
        first = keptAfter(segment);
      } else {
        last->keptNext.store(address(keptAfter(segment)), std::memory_order_relaxed);
      }
    } else {
      last = segment;
    }
  }
  if (first != nullptr) putKept(first, last);
  if (taken != nullptr) base::takeOver(taken);
  return taken;
}

bool mayGoJustBelow(std::uintptr_t below) noexcept {
  const std::uintptr_t loader = getauxval(AT_BASE);
  // Sixteen bytes at the top of the main thread's stack.
  const std::uintptr_t mainTop = getauxval(AT_RANDOM);
  return (loader != 0 && below <= loader) ||
         (mainTop > kMainStackReach && below <= mainTop - kMainStackReach);
}

Segment* mapSegment(std::uintptr_t room, std::uintptr_t below) noexcept {
  const std::size_t most = base::threadSanitizerRuns() ? kFewerLevelsBytes : kLevelsBytes;
  for (std::size_t levels = most;; levels = kFewerLevelsBytes) {
    const std::size_t usable = usableFor(room, levels);
    const std::size_t bytes = kGuardBytes + usable + kGranule;
    if (void* base = mapBelow(mayGoJustBelow(below) ? below : 0, bytes)) {
      if (mprotect(base, kGuardBytes, PROT_NONE) == 0) {
        auto* segment = new (static_cast<char*>(base) + kGuardBytes + usable) Segment;
        segment->base = static_cast<char*>(base);
        segment->mapped = bytes;
        return segment;
      }
      munmap(base, bytes);
    }
    if (levels == kFewerLevelsBytes) return nullptr;
  }
}

void keepTopResident(Segment* segment) noexcept {
  forgetWritten(segment);
  const std::uintptr_t resident = segment->top() - kResidentBytes;
  if (segment->low() < resident) {
    madvise(reinterpret_cast<void*>(segment->low()), resident - segment->low(), MADV_DONTNEED);
  }
}

#ifdef KX_TEST_SEAMS
void forgetKeptForTesting() noexcept { gKept.store(0); }
#endif

}  // namespace rv::detail::segments
