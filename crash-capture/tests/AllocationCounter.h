#pragma once

#include <cstdint>

// Counts heap allocations of the whole process while counting is on. With a
// sanitizer the count comes from the sanitizer allocator's hooks; without one
// the test program interposes malloc and its relatives. Async-signal-safe.
namespace rocrash::testing {

// With `thisThreadOnly`, only allocations made on the calling thread count:
// a test of code that runs on one thread is then not disturbed by threads of
// the test program that happen to be starting up or winding down.
void startCountingAllocations(bool thisThreadOnly = false);
// Stops counting and returns the number of allocations seen since the start.
uint64_t stopCountingAllocations();

}  // namespace rocrash::testing
