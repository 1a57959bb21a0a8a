#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>

#include "system/SignalSafe.h"

namespace {

// The digits written, and that nothing past them was touched.
std::string decimal(uint64_t value) {
  char out[sys::kDecimalDigitsMax + 1];
  std::fill(std::begin(out), std::end(out), '*');
  const size_t count = sys::format_decimal(value, out);
  EXPECT_LE(count, sys::kDecimalDigitsMax);
  EXPECT_EQ(out[count], '*');
  return std::string(out, count);
}

TEST(SignalSafe, FormatDecimalWritesEveryDigitAndNoMore) {
  EXPECT_EQ(decimal(0), "0");
  EXPECT_EQ(decimal(9), "9");
  EXPECT_EQ(decimal(10), "10");
  EXPECT_EQ(decimal(4294967295u), "4294967295");
  EXPECT_EQ(decimal(UINT64_MAX), "18446744073709551615");
}

}  // namespace
