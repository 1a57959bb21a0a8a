#pragma once

#include <chrono>
#include <thread>

namespace concurrency::detail {

// Waits for another thread, which may take as long as it likes: a few
// yields, then short sleeps.
template <class Ready>
void waitUntil(Ready ready) noexcept {
  for (int round = 0; !ready(); ++round) {
    if (round < 64) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }
}

}  // namespace concurrency::detail
