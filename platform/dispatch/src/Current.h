#pragma once

#include "dispatch/DispatchQueue.h"

namespace dispatch::detail {

// The queue whose block the calling thread is running, or null.
extern thread_local DispatchQueue* tCurrentQueue;

// Sets the current queue for the life of the scope.
class ScopedCurrentQueue {
 public:
  explicit ScopedCurrentQueue(DispatchQueue* queue) noexcept : saved_(tCurrentQueue) {
    tCurrentQueue = queue;
  }
  ~ScopedCurrentQueue() { tCurrentQueue = saved_; }
  ScopedCurrentQueue(const ScopedCurrentQueue&) = delete;
  ScopedCurrentQueue& operator=(const ScopedCurrentQueue&) = delete;

 private:
  DispatchQueue* saved_;
};

// The current queue, counting the main queue on the main thread outside any
// block.
DispatchQueue* effectiveCurrentQueue() noexcept;

// Runs a job with its owner as the current queue. An exception escaping the
// block ends the process through std::terminate.
inline void runJob(const Job& job) noexcept {
  if (job.owner) {
    ScopedCurrentQueue scope(job.owner.get());
    job.block();
  } else {
    job.block();
  }
}

// Marks a stretch in which the calling thread waits in one of this layer's
// blocking calls. On a pool worker it lets the pool start another worker, so
// blocks waiting on each other cannot starve the pool. No effect elsewhere.
class BlockingScope {
 public:
  BlockingScope() noexcept;
  ~BlockingScope();
  BlockingScope(const BlockingScope&) = delete;
  BlockingScope& operator=(const BlockingScope&) = delete;

 private:
  bool active_;
};

}  // namespace dispatch::detail
