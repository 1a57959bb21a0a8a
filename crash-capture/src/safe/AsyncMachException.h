#pragma once

#include <cstdint>

// The signal a report records for a crash that arrived as a Mach exception.
struct rocrash_async_siginfo {
  int32_t signo;
  int32_t code;
  uint64_t address;
};

// Exception types as the exception layer numbers them.
inline constexpr uint64_t ROCRASH_EXC_BAD_ACCESS = 1;
inline constexpr uint64_t ROCRASH_EXC_BAD_INSTRUCTION = 2;
inline constexpr uint64_t ROCRASH_EXC_ARITHMETIC = 3;
inline constexpr uint64_t ROCRASH_EXC_EMULATION = 4;
inline constexpr uint64_t ROCRASH_EXC_SOFTWARE = 5;
inline constexpr uint64_t ROCRASH_EXC_BREAKPOINT = 6;

// Derives the signal number, code and fault address (the second code) from
// an exception. False when fewer than two codes are given, the type is not 1
// to 6, or the derived signal does not exist on this host (SIGEMT).
// Async-signal-safe.
bool rocrash_async_mach_exception_siginfo(uint64_t exception_type, const uint64_t* codes,
                                          uint32_t code_count, rocrash_async_siginfo* out) noexcept;
