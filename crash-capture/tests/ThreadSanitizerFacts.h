#pragma once

#include <cstddef>

#include "base/Sanitizers.h"

// What ThreadSanitizer changes for the tests that crash or park threads.
namespace rocrash::testing {

inline constexpr bool kThreadSanitizer = KX_TSAN;

// Its background thread blocks every signal: it never parks, so a report
// lists it by number only.
inline constexpr size_t kSanitizerThreadsThatNeverPark = kThreadSanitizer ? 1 : 0;

}  // namespace rocrash::testing
