#pragma once

#include <gtest/gtest.h>

#include "dispatch/DispatchSemaphore.h"
#include "dispatch/Time.h"

namespace dispatch::testing {

// How long a test waits for something that should happen within
// microseconds before it reports a failure instead of hanging.
constexpr double kPatienceSeconds = 10.0;

// Waits for one signal of `semaphore`; false if it never came.
inline bool waitFor(DispatchSemaphore& semaphore) {
  return semaphore.wait(DispatchTime::now() + kPatienceSeconds) == DispatchTimeoutResult::success;
}

}  // namespace dispatch::testing
