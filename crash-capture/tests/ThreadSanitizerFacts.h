#pragma once

#include <cstddef>

// What ThreadSanitizer changes for the tests that crash or park threads.
namespace rocrash::testing {

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif

// Its background thread blocks every signal: it never parks, so a report
// lists it by number only.
inline constexpr size_t kSanitizerThreadsThatNeverPark = kThreadSanitizer ? 1 : 0;

}  // namespace rocrash::testing
