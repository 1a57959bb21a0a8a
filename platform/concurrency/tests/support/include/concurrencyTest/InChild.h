#pragma once

// For tests that make the process-wide barrier fail, which is for good: they
// run in a child process of their own, with a time limit.

#include "baseTest/Children.h"

namespace concurrency::testing {

// What a child returns to say that its test cannot run here (it printed
// why).
inline constexpr int kSkippedInChild = 77;

}  // namespace concurrency::testing

// Expects `body` to succeed in a child process, or skips the test when the
// child says it cannot run here. Variadic, so that the body may hold commas
// outside parentheses.
#define CONCURRENCY_EXPECT_IN_CHILD(...)                                          \
  do {                                                                            \
    const int concurrencyChildCode = ::base::testing::inChild(__VA_ARGS__);       \
    if (concurrencyChildCode == ::concurrency::testing::kSkippedInChild)          \
      GTEST_SKIP() << "not possible here (the child said why on standard error)"; \
    EXPECT_EQ(concurrencyChildCode, 0);                                           \
  } while (false)
