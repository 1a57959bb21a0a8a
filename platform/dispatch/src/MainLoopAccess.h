#pragma once

#include "dispatch/DispatchQueue.h"

namespace dispatch::detail {

// The main loop's side of the main queue.
class MainLoopAccess {
 public:
  // Appends a job to the main queue and wakes the loop.
  static void enqueue(DispatchQueue& mainQueue, Job job);
  // Takes the oldest job; false when there is none.
  static bool pop(Job& out);
  // Jobs waiting now.
  static std::size_t pendingCount();
  // Waits until a job is queued, a stop is requested or `deadline` (steady
  // clock, nanoseconds; 0 for no limit) passes; true when a stop was requested
  // (and consumes it).
  static bool waitForWork(uint64_t deadlineNanos);
  static bool consumeStop();
  static void requestStop();
};

}  // namespace dispatch::detail
