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

#include "baseTest/Handoff.h"
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

// How a busy thread runs.
struct Busy {
  // With a real-time policy, where it may have one, so that nothing preempts
  // it.
  bool realTime = false;
  // Yielding its processor at every turn (the ticks then find it in the
  // kernel most of the time).
  bool yields = false;
  // What it runs at every turn, if anything.
  std::function<void()> eachTurn = {};
};

// A thread that runs `first` (a read that attaches it, say) and then, once
// let go, runs alone on `processor` without a pause until destroyed or let
// go: it never goes through the scheduler, so nothing tells when its last
// stores become visible. It takes its processor (and its policy) when it
// starts, before a filter the caller installs later would refuse that.
class BusyThread {
 public:
  BusyThread(int processor, Busy how, std::function<void()> first)
      : thread_([this, processor, how, first = std::move(first)] {
          pinned_ = pinTo(processor);
          const sched_param priority{1};
          realTime_ =
              how.realTime && pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
          first();
          key_ = fenceThreadKey();
          go_.wait();
          base::testing::announce(running_, true);
          while (!stop_.load(std::memory_order_relaxed)) {
            if (how.yields) sched_yield();
            if (how.eachTurn) how.eachTurn();
          }
          // Seen (its light sides fenced from now on), and blocked.
          noteFencedLightSide();
          if (last_) last_();
          end_.wait();
        }) {}
  ~BusyThread() {
    go_.count_down();
    stop_ = true;
    end_.count_down();
    thread_.join();
  }
  // Lets it run; whether it runs as asked.
  bool run() {
    go_.count_down();
    base::testing::awaitChange(running_, false);
    return pinned_;
  }
  // Ends its run: it runs a fenced step, which marks it seen, then `last`,
  // and blocks until destroyed. Call `last` before run().
  void atEnd(std::function<void()> last) { last_ = std::move(last); }
  void letGo() { stop_ = true; }
  bool realTime() const { return realTime_; }
  uintptr_t key() const { return key_; }

 private:
  std::latch go_{1};
  std::latch end_{1};
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> pinned_{false};
  std::atomic<bool> realTime_{false};
  std::atomic<uintptr_t> key_{0};
  std::function<void()> last_;
  std::thread thread_;
};

}  // namespace concurrency::testing
