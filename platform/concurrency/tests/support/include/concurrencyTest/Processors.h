#pragma once

// Choosing processors for the calling thread, for tests that need a thread
// alone on a processor of its own, and such a thread.

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <latch>
#include <thread>

#include "concurrency/AsymmetricFence.h"

namespace concurrency::testing {

// Two processors this process may run on.
inline bool twoProcessors(int& first, int& second) {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
  first = -1;
  for (int processor = 0; processor < CPU_SETSIZE; ++processor) {
    if (!CPU_ISSET(processor, &allowed)) continue;
    if (first >= 0) {
      second = processor;
      return true;
    }
    first = processor;
  }
  return false;
}

inline cpu_set_t processors(std::initializer_list<int> which) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (const int processor : which) CPU_SET(processor, &set);
  return set;
}

inline bool pinTo(int processor) {
  const cpu_set_t only = processors({processor});
  return sched_setaffinity(0, sizeof only, &only) == 0;
}

// Pins the caller to the first of two processors this process may run on, or
// says on standard error why it cannot.
inline bool pinnedBesideAnother(int& first, int& second) {
  if (twoProcessors(first, second) && pinTo(first)) return true;
  std::fputs("needs two processors to choose from\n", stderr);
  return false;
}

// How long a test lets the handover take to order such a thread: well
// within 100 ms on a quiet machine; a loaded one (tests run side by side,
// pinned to the same processors) gets five times that, still half of the
// time real-time throttling would take to pause the thread.
inline constexpr std::chrono::milliseconds kBusyThreadOrderedWithin{500};

// A thread that runs `first` (a read that attaches it, say) and then, once
// let go, runs alone on `processor` without a pause until destroyed: it
// never goes through the scheduler, so nothing tells when its last stores
// become visible. It takes its processor (and, when asked, a real-time
// policy where it may) when it starts, before a filter the caller installs
// later would refuse that.
class BusyThread {
 public:
  BusyThread(int processor, bool realTime, std::function<void()> first)
      : thread_([this, processor, realTime, first = std::move(first)] {
          pinned_ = pinTo(processor);
          const sched_param priority{1};
          realTime_ = realTime && pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
          first();
          key_ = fenceThreadKey();
          go_.wait();
          running_ = true;
          while (!stop_.load(std::memory_order_relaxed)) {
          }
        }) {}
  ~BusyThread() {
    go_.count_down();
    stop_ = true;
    thread_.join();
  }
  // Lets it run; whether it runs as asked.
  bool run() {
    go_.count_down();
    while (!running_) std::this_thread::yield();
    return pinned_;
  }
  bool realTime() const { return realTime_; }
  uintptr_t key() const { return key_; }

 private:
  std::latch go_{1};
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> pinned_{false};
  std::atomic<bool> realTime_{false};
  std::atomic<uintptr_t> key_{0};
  std::thread thread_;
};

}  // namespace concurrency::testing
