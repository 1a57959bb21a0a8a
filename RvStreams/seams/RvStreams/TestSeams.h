#pragma once

// The hooks the tests steer the reactive library with; built only with the
// tests.

namespace rv::detail {

// Deep chains (detail/FlatDeletion.h): the calling thread forgets its stack
// (learnt again at its next deletion) and unmaps the segment it keeps, and
// the segments kept for any thread are forgotten (left mapped), as in a
// process that has let go of no deep chain yet. Called where no deletion
// runs on the thread.
void resetFlatDeletionsForTesting() noexcept;

// Whether the caller runs on the segment the thread's innermost switch went
// to.
bool onDeletionSegmentForTesting() noexcept;

}  // namespace rv::detail
