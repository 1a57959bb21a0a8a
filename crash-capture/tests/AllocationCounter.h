#pragma once

#include <cstdint>

// Counts heap allocations of the whole process while counting is on. With a
// sanitizer the count comes from the sanitizer allocator's hooks; without one
// the test program interposes malloc and its relatives. Async-signal-safe.
namespace rocrash::testing {

void startCountingAllocations();
// Stops counting and returns the number of allocations seen since the start.
uint64_t stopCountingAllocations();

}  // namespace rocrash::testing
