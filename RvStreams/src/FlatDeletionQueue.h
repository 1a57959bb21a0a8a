#pragma once

// The queues of deletions that could neither run in place nor on a segment
// (RvStreams/detail/FlatDeletion.h), each from its `first` to its `last`
// node: the thread's own stack's, a segment's, and the thread's queue of
// other stacks. A mark (the last node queued before a deletion began, or
// null) tells what that deletion's destructor queued.

#include <atomic>
#include <cstdint>

#include "RvStreams/detail/FlatDeletion.h"

namespace rv::detail {

// A queued deletion: the producer, whose weak reference to itself keeps its
// allocation meanwhile, and how to destroy it.
struct FlatQueued {
  FlatDeletion* object;
  FlatDestroy destroy;
  FlatQueued* next;
  std::atomic<std::uint32_t> nextFree;  // while in the pool's free nodes
};

// Queues `object` at the end of a queue; false when no node can be had.
bool queueFlat(FlatQueued*& first, FlatQueued*& last, FlatDeletion* object,
               FlatDestroy later) noexcept;

// Runs one queued deletion, its node given back first.
void runQueued(FlatQueued* node) noexcept;

// Runs what was queued after `mark`, and what those queue, in constant stack:
// what one lets go comes before its later siblings, as with destructors. The
// queue is one whose deletions stay on one stack (the thread's own, or a
// segment's), so that its ends stay where they are.
void runQueuedAfter(FlatQueued*& first, FlatQueued*& last, FlatQueued* mark) noexcept;

}  // namespace rv::detail
