#pragma once

// Waiting for another thread of a test without spending processor time on it.
//
// A thread that waits by spinning or yielding runs on for as long as the
// thread it waits for is off its processor: on a loaded machine, or a virtual
// one whose host has given its processor to another guest, that is a whole
// slice or more each time, and a suite of such waits costs many times its
// processor time there. So a waiting thread here looks for the change for a
// moment (the other thread, on a processor beside it, often makes it within
// that, and a race a test sets up stays as tight as before), then sleeps in
// the kernel until woken. Whoever changes the atomic wakes the waiters with
// `notify_all()` (or stores through `announce`).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <type_traits>

#include "base/BuildFacts.h"

namespace base::testing {

namespace detail {

inline void relax() noexcept {
#if KX_X86_64
  __builtin_ia32_pause();
#elif KX_AARCH64
  asm volatile("yield" ::: "memory");
#endif
}

}  // namespace detail

// How long a waiter looks before it sleeps, at most: long enough that two
// threads handing work back and forth while both have a processor never
// sleep (on a busy machine each wake-up waits for a processor, a millisecond
// or more: 20,000 hand-offs took 75 s instead of 1 s when they looked for
// 20 us). Each thread cuts its own look by a quarter after one that found
// nothing, down to a microsecond, and doubles it after one that did: a waiter
// whose other thread shares its processor, or has lost it, soon spends next
// to nothing.
inline constexpr std::chrono::nanoseconds kLongestLook = std::chrono::microseconds(100);

namespace detail {
inline thread_local std::chrono::nanoseconds tLook = kLongestLook;
}  // namespace detail

// Returns once `holds()`, for a state that no atomic announces (a count
// behind another object's lock, say): looks for a moment, then between sleeps
// that double up to a millisecond.
template <class Predicate>
void awaitState(Predicate holds) {
  const auto sleepAt = std::chrono::steady_clock::now() + kLongestLook;
  std::chrono::microseconds nap{10};
  while (!holds()) {
    if (std::chrono::steady_clock::now() < sleepAt) {
      detail::relax();
      continue;
    }
    std::this_thread::sleep_for(nap);
    nap = std::min(nap * 2, std::chrono::microseconds(1000));
  }
}

// Returns once `holds(value.load())`, which a change some thread makes and
// then announces (notify_all) brings about.
template <class T, class Predicate>
void awaitUntil(const std::atomic<T>& value, Predicate holds) {
  std::chrono::nanoseconds& look = detail::tLook;
  const auto sleepAt = std::chrono::steady_clock::now() + look;
  for (unsigned round = 1; !holds(value.load()); ++round) {
    detail::relax();
    if (round % 64 == 0 && std::chrono::steady_clock::now() >= sleepAt) {
      look = std::max<std::chrono::nanoseconds>(look * 3 / 4, std::chrono::microseconds(1));
      if constexpr (KX_TSAN) {
        // The thread sanitizer holds a signal's handler back until a futex
        // wait ends: a waiter another thread parks would never answer.
        awaitState([&] { return holds(value.load()); });
      } else {
        for (T now = value.load(); !holds(now); now = value.load()) value.wait(now);
      }
      return;
    }
  }
  look = std::min(look * 2, kLongestLook);
}

// Returns once `value` no longer holds `old`.
template <class T>
void awaitChange(const std::atomic<T>& value, std::type_identity_t<T> old) {
  awaitUntil(value, [&old](const T& now) { return now != old; });
}

// Returns once `value` has reached `least` (a count the others raise).
template <class T>
void awaitAtLeast(const std::atomic<T>& value, std::type_identity_t<T> least) {
  awaitUntil(value, [&least](const T& now) { return now >= least; });
}

// Stores `next` and wakes whoever waits on `value`.
template <class T>
void announce(std::atomic<T>& value, std::type_identity_t<T> next) {
  value.store(next);
  value.notify_all();
}

// Adds one to `count` and wakes whoever waits on it.
template <class T>
void countUp(std::atomic<T>& count) {
  count.fetch_add(1);
  count.notify_all();
}

// A barrier for `threads` threads that meet again and again. Its waiters
// look for the last arrival before they sleep, as above: std::barrier's sleep
// almost at once, and each meeting then costs a wake-up on a busy machine.
class Barrier {
 public:
  explicit Barrier(int threads) : threads_(threads) {}
  Barrier(const Barrier&) = delete;
  Barrier& operator=(const Barrier&) = delete;

  void arriveAndWait() {
    const int phase = phase_.load();
    if (arrived_.fetch_add(1) + 1 < threads_) {
      awaitChange(phase_, phase);
      return;
    }
    arrived_.store(0);
    announce(phase_, phase + 1);
  }

 private:
  const int threads_;
  std::atomic<int> arrived_{0};
  std::atomic<int> phase_{0};
};

}  // namespace base::testing
