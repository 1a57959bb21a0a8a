#include "RvStreams/detail/FlatDeletion.h"

#include <pthread.h>

#include <limits>

namespace rv::detail {

constinit thread_local FlatDeletions tFlatDeletions;

void FlatDeletions::learnTheStack() noexcept {
  learnt = true;
  void* lowest = nullptr;
  std::size_t size = 0;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    if (pthread_attr_getstack(&attributes, &lowest, &size) != 0) size = 0;
    pthread_attr_destroy(&attributes);
  }
  if (size == 0) {
    // Not known (the main thread's, without /proc): every frame counts as on
    // the stack, and none has room for a deletion inside another.
    stackLow = 0;
    stackSize = std::numeric_limits<std::uintptr_t>::max();
    roomLow = stackSize;
  } else {
    stackLow = reinterpret_cast<std::uintptr_t>(lowest);
    stackSize = size;
    roomLow = stackLow + kFlatDeletionMargin;
  }
  idleSize = stackSize;
}

void FlatDeletions::destroyElsewhere(FlatDeletion* object, FlatDestroy inPlace,
                                     FlatDestroy later) noexcept {
  const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (!learnt) learnTheStack();
  if (frame - stackLow >= stackSize) {
    // Another stack, which may be suspended or move to another thread
    // before the destructor returns: nothing here is touched after it.
    inPlace(object);
    return;
  }
  if (idleSize != 0) {
    destroyOutermost(object, inPlace);
  } else if (nested < kFlatDeletionDepth - 1 && frame >= roomLow) {
    ++nested;
    FlatDeletion* const mark = lastQueued;
    inPlace(object);
    if (lastQueued != mark) runQueuedAfter(mark);
    --nested;
  } else {
    queue(object, later);
  }
}

void FlatDeletions::destroyOutermost(FlatDeletion* object, FlatDestroy inPlace) noexcept {
  const std::uintptr_t size = idleSize;
  idleSize = 0;
  inPlace(object);
  if (queued != nullptr) runQueuedAfter(nullptr);
  idleSize = size;
}

void FlatDeletions::queue(FlatDeletion* object, FlatDestroy later) noexcept {
  object->nextQueued_ = nullptr;
  object->destroyQueued_ = later;
  if (lastQueued == nullptr) {
    queued = object;
  } else {
    lastQueued->nextQueued_ = object;
  }
  lastQueued = object;
}

FlatDeletion* FlatDeletions::takeQueuedAfter(FlatDeletion* mark) noexcept {
  FlatDeletion*& first = mark != nullptr ? mark->nextQueued_ : queued;
  FlatDeletion* const taken = first;
  first = nullptr;
  lastQueued = mark;
  return taken;
}

void FlatDeletions::runQueuedAfter(FlatDeletion* mark) noexcept {
  FlatDeletion* next = takeQueuedAfter(mark);
  while (next != nullptr) {
    FlatDeletion* object = next;
    next = object->nextQueued_;
    object->destroyQueued_(object);
    // What it let go comes before its later siblings, as with destructors.
    if (lastQueued != mark) {
      lastQueued->nextQueued_ = next;
      next = takeQueuedAfter(mark);
    }
  }
}

}  // namespace rv::detail
