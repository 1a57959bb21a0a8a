#include <gtest/gtest.h>

#include <limits>

#include "dispatch/Time.h"

namespace dispatch {
namespace {

TEST(Date, ReferenceDateIsTheStartOf2001) {
  EXPECT_DOUBLE_EQ(Date::fromUnixTime(978307200.0).timeIntervalSinceReferenceDate(), 0.0);
  EXPECT_GT(Date::now(), Date::fromUnixTime(1.7e9));
  EXPECT_LT(Date::now(), Date::distantFuture());
  EXPECT_GT(Date::now(), Date::distantPast());
}

TEST(Date, ArithmeticAndComparison) {
  const Date a(10.5);
  const Date b = a + 0.25;
  EXPECT_DOUBLE_EQ(b.timeIntervalSinceReferenceDate(), 10.75);
  EXPECT_DOUBLE_EQ(b - a, 0.25);
  EXPECT_DOUBLE_EQ(a.timeIntervalSince(b), -0.25);
  EXPECT_LT(a, b);
  EXPECT_EQ(b - 0.25, a);
}

TEST(DispatchTimeInterval, ConversionsSaturateInsteadOfOverflowing) {
  constexpr auto kMax = std::numeric_limits<int64_t>::max();
  constexpr auto kMin = std::numeric_limits<int64_t>::min();
  EXPECT_EQ(DispatchTimeInterval::seconds(2).nanosecondsSaturated(), 2'000'000'000);
  EXPECT_EQ(DispatchTimeInterval::milliseconds(-3).nanosecondsSaturated(), -3'000'000);
  EXPECT_EQ(DispatchTimeInterval::microseconds(7).nanosecondsSaturated(), 7'000);
  EXPECT_EQ(DispatchTimeInterval::seconds(kMax).nanosecondsSaturated(), kMax);
  EXPECT_EQ(DispatchTimeInterval::seconds(kMin).nanosecondsSaturated(), kMin);
  EXPECT_EQ(DispatchTimeInterval::milliseconds(kMax / 10).nanosecondsSaturated(), kMax);
  EXPECT_EQ(DispatchTimeInterval::never().nanosecondsSaturated(), kMax);
  EXPECT_DOUBLE_EQ(DispatchTimeInterval::milliseconds(1500).timeIntervalSeconds(), 1.5);
  EXPECT_TRUE(DispatchTimeInterval::never().isNever());
  EXPECT_EQ(DispatchTimeInterval::nanoseconds(5), DispatchTimeInterval::nanoseconds(5));
  EXPECT_FALSE(DispatchTimeInterval::nanoseconds(5) == DispatchTimeInterval::microseconds(5));
}

}  // namespace
}  // namespace dispatch
