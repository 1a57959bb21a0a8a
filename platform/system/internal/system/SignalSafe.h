#pragma once

#include <time.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

// Small helpers for code that may run in a signal handler: they make system
// calls only, take no lock and touch no heap.
namespace sys {

// Keeps errno as the interrupted or calling code left it, whatever the
// scope's own calls set it to.
class ErrnoGuard {
 public:
  ErrnoGuard() noexcept : saved_(errno) {}
  ~ErrnoGuard() { errno = saved_; }
  ErrnoGuard(const ErrnoGuard&) = delete;
  ErrnoGuard& operator=(const ErrnoGuard&) = delete;

 private:
  int saved_;
};

// Gives `signo` its default action back.
void restore_default_action(int signo) noexcept;

// Ends the process by `signo`: its default action back, the signal unblocked
// and raised on the calling thread.
[[noreturn]] void end_by_signal(int signo) noexcept;

// The monotonic clock in nanoseconds, for deadlines and timeouts.
inline int64_t monotonic_ns() noexcept {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The most digits `format_decimal` writes (those of 2^64 - 1).
inline constexpr size_t kDecimalDigitsMax = 20;

// Writes `value` in decimal to `out`, most significant digit first, with no
// sign and no terminating zero, and returns the number of digits (1 for 0).
// `out` has room for as many digits as the value has: kDecimalDigitsMax
// always suffices.
inline size_t format_decimal(uint64_t value, char* out) noexcept {
  char digits[kDecimalDigitsMax];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  return count;
}

}  // namespace sys
