#pragma once

// A small atomic integer for one-shot flags, state bits and counters. Each
// operation returns the value before the change. Bit value 1 conventionally
// means disposed or stopped, bit value 2 means set.

#include <atomic>
#include <cstdint>

#include "RvStreams/Base.h"

namespace rv {

class AtomicInt {
 public:
  explicit AtomicInt(int32_t value = 0) noexcept : value_(value) {}
  AtomicInt(const AtomicInt&) = delete;
  AtomicInt& operator=(const AtomicInt&) = delete;

  // add, sub, increment and decrement stop the process when the result leaves
  // the signed 32-bit range.
  int32_t add(int32_t delta) noexcept {
    return update(
        [delta](int32_t old, int32_t* next) { return __builtin_add_overflow(old, delta, next); });
  }
  int32_t sub(int32_t delta) noexcept {
    return update(
        [delta](int32_t old, int32_t* next) { return __builtin_sub_overflow(old, delta, next); });
  }
  int32_t increment() noexcept { return add(1); }
  int32_t decrement() noexcept { return sub(1); }
  int32_t fetchOr(int32_t mask) noexcept {
    return value_.fetch_or(mask, std::memory_order_acq_rel);
  }
  int32_t load() const noexcept { return value_.load(std::memory_order_acquire); }
  bool testBits(int32_t mask) const noexcept { return (load() & mask) != 0; }

 private:
  // Applies `step` (which reports overflow) atomically; returns the old value.
  template <class Step>
  int32_t update(Step step) noexcept {
    int32_t old = value_.load(std::memory_order_relaxed);
    int32_t next;
    do {
      if (step(old, &next)) fatalError("Arithmetic overflow");
    } while (!value_.compare_exchange_weak(old, next, std::memory_order_acq_rel,
                                           std::memory_order_relaxed));
    return old;
  }

  std::atomic<int32_t> value_;
};

}  // namespace rv
