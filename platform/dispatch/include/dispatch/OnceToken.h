#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "base/Mutex.h"

namespace dispatch {

namespace detail {
[[noreturn]] void onceTokenReentered();
}  // namespace detail

// Runs a piece of work once until reset: the shared-instance pattern, with a
// `reset` so that tests can build the instance anew.
class OnceToken {
 public:
  OnceToken() = default;
  OnceToken(const OnceToken&) = delete;
  OnceToken& operator=(const OnceToken&) = delete;

  // Runs `work` if it has not run since construction or the last `reset`;
  // other threads calling meanwhile wait until it returns, then return without
  // running it. If `work` throws, the token stays unset and the exception
  // propagates. Calling `perform` on the same token from inside its own work
  // would deadlock: that stops the process with a fatal error.
  template <class F>
  void perform(F&& work) {
    if (done_.load(std::memory_order_acquire)) return;
    if (runner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
      detail::onceTokenReentered();
    }
    if (!mutex_.tryLock()) lockWaiting();
    base::LockGuard<base::Mutex> hold(mutex_, std::adopt_lock);
    if (done_.load(std::memory_order_relaxed)) return;
    runner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    struct Clear {
      std::atomic<std::thread::id>& runner;
      ~Clear() { runner.store(std::thread::id(), std::memory_order_relaxed); }
    } clear{runner_};
    work();
    done_.store(true, std::memory_order_release);
  }

  // Makes the next `perform` run its work again. Waits for a `perform` in
  // progress to finish first.
  void reset() {
    base::LockGuard hold(mutex_);
    done_.store(false, std::memory_order_release);
  }

  bool hasRun() const { return done_.load(std::memory_order_acquire); }

 private:
  // Takes the mutex where another thread holds it, letting the worker pool
  // start another worker meanwhile.
  void lockWaiting() KX_ACQUIRE(mutex_);

  // Held while the work runs; the flags are atomic, read without it.
  base::Mutex mutex_;
  std::atomic<bool> done_{false};
  std::atomic<std::thread::id> runner_{};
};

}  // namespace dispatch
