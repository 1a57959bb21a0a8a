#pragma once

#include <chrono>
#include <thread>

namespace base::testing {

// Whether `holds` comes true within `timeout`, for a state nothing signals
// (what another thread or the kernel has done by now): looks again every
// fifth of a millisecond. A test that waits for an event it can be told of
// waits on that instead.
template <class Predicate>
bool within(Predicate holds, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!holds()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace base::testing
