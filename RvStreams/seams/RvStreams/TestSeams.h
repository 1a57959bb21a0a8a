#pragma once

// The hooks the tests steer the reactive library with; built only with the
// tests.

#include <cstddef>
#include <utility>

namespace rv::detail {

// Deep chains (detail/FlatDeletion.h): the calling thread forgets its stack
// (learnt again at its next deletion), any segment refused to it, and
// unmaps the segment it keeps, and the segments kept for any thread are
// forgotten (left mapped), as in a process that has let go of no deep chain
// yet. Called where no deletion runs on the thread.
void resetFlatDeletionsForTesting() noexcept;

// Whether the caller runs on the segment the thread's innermost switch went
// to.
bool onDeletionSegmentForTesting() noexcept;

// What the deletions of deep chains of the process have done so far: the
// segments they asked the system to map (each ask tries one or two sizes),
// and the levels that wanted a segment and ran without one (in place or
// queued).
struct FlatDeletionCounts {
  long segmentsAsked = 0;
  long levelsWithoutSegment = 0;
};
FlatDeletionCounts flatDeletionCountsForTesting() noexcept;

// The mapping of the segment the calling thread keeps for its next chain
// (null and 0 if none).
std::pair<const void*, std::size_t> keptSegmentForTesting() noexcept;

}  // namespace rv::detail
