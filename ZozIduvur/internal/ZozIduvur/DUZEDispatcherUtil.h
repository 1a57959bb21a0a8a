#pragma once

#include <functional>

// Helpers for running work on the main thread.
class DUZEDispatcherUtil {
 public:
  // Runs `block` on the main thread without waiting for it: at once when
  // already there, else through the main queue.
  static void performBlockOnMainThread(std::function<void()> block);
};
