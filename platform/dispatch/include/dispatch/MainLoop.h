#pragma once

#include <cstddef>
#include <functional>

#include "dispatch/Time.h"

namespace dispatch {

// The loop that drains the main queue (`DispatchQueue::main()`). Its blocks run
// only here, on the main thread (see `isMainThread`), one at a time in the
// order they were submitted.
//
// `run`, `runUntil` and `drainPending` must be called on the main thread
// outside any block; called elsewhere (another thread, or nested inside a
// block, which would break the main queue's one-at-a-time order) they stop
// the process with a fatal error.
class MainLoop {
 public:
  // Runs main-queue blocks, waiting for more when there are none, until
  // `stop` is called; then returns after the block in progress.
  static void run();

  // Makes the running `run` or `runUntil` return after its current block.
  // Any thread. When no loop is running the request is kept, and the next
  // `run` or `runUntil` returns at once; each request ends one loop.
  static void stop();

  // Runs main-queue blocks until `predicate` is true, `timeout` has passed
  // (`DispatchTimeInterval::never()` waits for ever), or `stop` is called.
  // The predicate runs on the main thread before and after every block, and at
  // least once a millisecond while waiting. Returns the predicate's last
  // answer.
  static bool runUntil(const std::function<bool()>& predicate, DispatchTimeInterval timeout);

  // Runs the blocks that are on the main queue when called, not those they
  // submit, without waiting for more; returns how many ran. A serial queue
  // that targets the main queue is one entry there, and that entry runs the
  // blocks its queue holds when it is reached.
  static std::size_t drainPending();
};

}  // namespace dispatch
