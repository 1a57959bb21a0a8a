#include "RvStreams/detail/FlatDeletion.h"

#include <cstdint>

namespace rv::detail {

namespace {

// This thread's deletions: how many run one inside another, the frame of
// the outermost, and those queued past the bounds that no loop has taken up
// yet, in the order they were let go. Trivially destructible, so that a chain
// let go by another thread-local object's destructor at thread exit still
// finds it.
struct Deletions {
  int depth = 0;
  std::uintptr_t outermostFrame = 0;
  FlatDeletion* queued = nullptr;
  FlatDeletion* lastQueued = nullptr;
};

constinit thread_local Deletions tDeletions;

// The stack taken below the outermost deletion (stacks grow down here). A
// frame above it, or on another stack, counts as past the bound.
bool pastTheBounds(const Deletions& deletions, std::uintptr_t frame) noexcept {
  if (deletions.depth == 0) return false;
  if (deletions.depth >= kFlatDeletionDepth) return true;
  return frame > deletions.outermostFrame ||
         deletions.outermostFrame - frame >= static_cast<std::uintptr_t>(kFlatDeletionStack);
}

}  // namespace

void FlatDeletion::letGo(FlatDeletion* object) noexcept {
  Deletions& deletions = tDeletions;
  const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (pastTheBounds(deletions, frame)) {
    object->nextQueued_ = nullptr;
    if (deletions.queued == nullptr) {
      deletions.queued = object;
    } else {
      deletions.lastQueued->nextQueued_ = object;
    }
    deletions.lastQueued = object;
    return;
  }
  if (deletions.depth++ == 0) deletions.outermostFrame = frame;
  object->~FlatDeletion();
  // Whatever is queued now was let go by this deletion, past the bounds: run
  // it here, so that what the queued ones let go is queued again and the
  // stack stays where it is.
  FlatDeletion* next = deletions.queued;
  deletions.queued = nullptr;
  while (next != nullptr) {
    FlatDeletion* queued = next;
    next = queued->nextQueued_;
    {
      // The queued object's weak reference to itself, which keeps its
      // allocation now, goes with the object: hold another until the
      // destructor has returned.
      const std::weak_ptr<const void> allocation = queued->allocation();
      queued->~FlatDeletion();
    }
    // What it let go comes before its later siblings, as with destructors.
    if (deletions.queued != nullptr) {
      deletions.lastQueued->nextQueued_ = next;
      next = deletions.queued;
      deletions.queued = nullptr;
    }
  }
  --deletions.depth;
}

}  // namespace rv::detail
