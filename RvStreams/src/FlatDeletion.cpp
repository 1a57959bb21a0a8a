#include "RvStreams/detail/FlatDeletion.h"

namespace rv::detail {

constinit thread_local FlatDeletions tFlatDeletions;

void FlatDeletions::queue(FlatDeletion* object, void (*destroy)(FlatDeletion*) noexcept) noexcept {
  object->nextQueued_ = nullptr;
  object->destroyQueued_ = destroy;
  if (queued == nullptr) {
    queued = object;
  } else {
    lastQueued->nextQueued_ = object;
  }
  lastQueued = object;
}

void FlatDeletions::runQueue() noexcept {
  FlatDeletion* next = queued;
  queued = nullptr;
  while (next != nullptr) {
    FlatDeletion* object = next;
    next = object->nextQueued_;
    object->destroyQueued_(object);
    // What it let go comes before its later siblings, as with destructors.
    if (queued != nullptr) {
      lastQueued->nextQueued_ = next;
      next = queued;
      queued = nullptr;
    }
  }
}

}  // namespace rv::detail
