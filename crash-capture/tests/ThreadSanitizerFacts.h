#pragma once

#include <cstddef>

#include "base/BuildFacts.h"

// What ThreadSanitizer changes for the tests that crash or park threads.
namespace rocrash::testing {

// Its background thread blocks every signal: it never parks, so a report
// lists it by number only.
inline constexpr size_t kSanitizerThreadsThatNeverPark = KX_TSAN ? 1 : 0;

}  // namespace rocrash::testing
