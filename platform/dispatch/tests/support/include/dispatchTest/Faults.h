#pragma once

// A store to a small address the tests know, which faults with SIGSEGV.
// The address is read at run time from a volatile zero: a constant one lets
// the optimiser prove the store writes outside any object, so it warns (and
// may drop the store). Always inlined, so the fault is in the caller's frame.

#include <cstdint>

namespace dispatch::testing {

inline volatile uintptr_t gLowAddressBase = 0;

[[gnu::always_inline]] inline void storeToLowAddress(uintptr_t address) {
  *reinterpret_cast<volatile int*>(gLowAddressBase + address) = 1;
}

}  // namespace dispatch::testing
