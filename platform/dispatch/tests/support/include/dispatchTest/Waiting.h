#pragma once

#include <chrono>
#include <functional>

#include "dispatch/DispatchSemaphore.h"
#include "dispatch/Time.h"

namespace dispatch::testing {

// How long a test waits for something that should happen within
// microseconds before it reports a failure instead of hanging; generous, since
// only a broken component ever gets near it, even under ThreadSanitizer.
constexpr double kPatienceSeconds = 20.0;

// Waits for one signal of `semaphore`; false if it never came.
bool waitFor(DispatchSemaphore& semaphore);

// Runs the main loop (so main-queue work goes on, and the predicate is looked
// at again at least once a millisecond) until `predicate` holds; false after
// `timeout`. Call it on the main thread.
bool eventually(const std::function<bool()>& predicate,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace dispatch::testing
