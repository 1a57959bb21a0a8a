#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace concurrency::detail {

// Waits for another thread, which may take as long as it likes: a few
// yields, then sleeps of 50 us, each twice the one before up to `longest`.
template <class Ready>
void waitUntil(Ready ready,
               std::chrono::microseconds longest = std::chrono::microseconds(50)) noexcept {
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
