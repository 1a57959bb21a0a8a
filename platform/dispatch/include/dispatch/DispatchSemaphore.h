#pragma once

#include <condition_variable>
#include <cstdint>

#include "base/Mutex.h"
#include "dispatch/Time.h"

namespace dispatch {

enum class DispatchTimeoutResult { success, timedOut };

// A counting semaphore. Any thread may signal or wait; a wait inside a block
// of a global queue lets the worker pool start another worker meanwhile.
class DispatchSemaphore {
 public:
  // Starts with `value` available; a negative value stops the process with a
  // fatal error.
  explicit DispatchSemaphore(int64_t value);

  DispatchSemaphore(const DispatchSemaphore&) = delete;
  DispatchSemaphore& operator=(const DispatchSemaphore&) = delete;

  // Adds one; wakes one waiting thread if any. Returns nonzero when a
  // waiting thread was woken, 0 otherwise.
  int64_t signal();

  // Takes one, waiting as long as needed.
  void wait();

  // Takes one, waiting until `deadline` on the monotonic clock at most
  // (`DispatchTime::distantFuture()` waits for ever).
  DispatchTimeoutResult wait(DispatchTime deadline);

 private:
  base::Mutex mutex_;
  std::condition_variable available_;
  int64_t value_ KX_GUARDED_BY(mutex_);
  int64_t waiters_ KX_GUARDED_BY(mutex_) = 0;
  // Signals reserved for waiters, so the one woken is the one served.
  int64_t wakeups_ KX_GUARDED_BY(mutex_) = 0;
};

}  // namespace dispatch
