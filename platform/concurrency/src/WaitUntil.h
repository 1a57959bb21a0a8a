#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace concurrency::detail {

// Waits for another thread, which may take as long as it likes, to bring
// about a state it does not announce: a few yields (the thread is most
// often about to), then sleeps of 50 us, each twice the one before up to
// `longest`. A waiter that kept yielding would run on for as long as the
// thread it waits for is off its processor, a whole slice and more on a
// loaded machine or a virtual one whose host has lent the processor out; one
// that kept sleeping 50 us would wake 20,000 times a second. A wait that
// lasts is late by at most about as long as it has lasted, and by `longest`.
template <class Ready>
void waitUntil(Ready ready,
               std::chrono::microseconds longest = std::chrono::milliseconds(1)) noexcept {
  std::chrono::microseconds nap(50);
  for (int round = 0; !ready(); ++round) {
    if (round < 64) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(nap);
      nap = std::min(nap * 2, longest);
    }
  }
}

}  // namespace concurrency::detail
