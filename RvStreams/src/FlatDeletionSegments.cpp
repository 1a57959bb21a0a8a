#include "FlatDeletionSegments.h"

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>

#include "base/StackSwitch.h"
#include "base/Stacks.h"

namespace rv::detail::segments {
namespace {

// Segments some thread's state may still name, for later switches of any
// thread.
constinit base::KeptStacks gKept;

// Segments are mapped, and given back, by the deleting thread (or a signal's
// handler that lets go of a chain) through the C library, whose wrappers a
// sanitizer follows: ThreadSanitizer forgets what it knew of a segment's
// frames as it is unmapped.
constexpr base::SystemCalls kCalls = base::SystemCalls::library;

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

}  // namespace

void unmapSegment(Segment* segment) noexcept {
  forgetWritten(segment);
  base::unmapStackMemory(segment->base, segment->mapped, kCalls);
}

void keepForAnyThread(Segment* segment) noexcept {
  forgetWritten(segment);
  madvise(reinterpret_cast<void*>(segment->low()), segment->usable(), MADV_DONTNEED);
  // A segment the list cannot take stays mapped, unused.
  (void)gKept.keep(segment);
}

// Another thread (or a signal's handler here) that finds none meanwhile maps
// one of its own.
Segment* takeKept(std::uintptr_t usable) noexcept {
  return static_cast<Segment*>(gKept.take(usable));
}

Segment* mapSegment(std::uintptr_t room, std::uintptr_t below) noexcept {
  const std::size_t most = base::threadSanitizerRuns() ? kFewerLevelsBytes : kLevelsBytes;
  for (std::size_t levels = most;; levels = kFewerLevelsBytes) {
    const std::size_t usable = usableFor(room, levels);
    const std::size_t bytes = kGuardBytes + usable + kGranule;
    if (char* mapping = base::mapGuardedStack(bytes, kGuardBytes, below, kCalls)) {
      auto* segment = new (mapping + kGuardBytes + usable) Segment;
      segment->base = mapping;
      segment->mapped = bytes;
      segment->bytes = usable;
      return segment;
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
void forgetKeptForTesting() noexcept { gKept.forget(); }
#endif

}  // namespace rv::detail::segments
