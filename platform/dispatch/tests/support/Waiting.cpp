#include "dispatchTest/Waiting.h"

#include "dispatch/MainLoop.h"
#include "dispatch/Time.h"

namespace dispatch::testing {

bool waitFor(DispatchSemaphore& semaphore) {
  return semaphore.wait(DispatchTime::now() + kPatienceSeconds) == DispatchTimeoutResult::success;
}

bool eventually(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  return MainLoop::runUntil(predicate, DispatchTimeInterval::milliseconds(timeout.count()));
}

}  // namespace dispatch::testing
