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

TEST(DispatchTime, ArithmeticSaturatesAndNeverMeansTheDistantFuture) {
  const DispatchTime t(5'000'000'000);
  EXPECT_EQ((t + DispatchTimeInterval::milliseconds(250)).uptimeNanoseconds(), 5'250'000'000u);
  EXPECT_EQ((t + DispatchTimeInterval::seconds(-2)).uptimeNanoseconds(), 3'000'000'000u);
  EXPECT_EQ((t + 0.5).uptimeNanoseconds(), 5'500'000'000u);
  EXPECT_EQ((t + -1.25).uptimeNanoseconds(), 3'750'000'000u);

  // Below the clock's start clamps to zero; past its end is the distant future.
  EXPECT_EQ((t + DispatchTimeInterval::seconds(-10)).uptimeNanoseconds(), 0u);
  EXPECT_EQ(t + DispatchTimeInterval::nanoseconds(std::numeric_limits<int64_t>::min()),
            DispatchTime(0));
  EXPECT_EQ(t + DispatchTimeInterval::never(), DispatchTime::distantFuture());
  EXPECT_EQ(
      DispatchTime(std::numeric_limits<uint64_t>::max() - 10) + DispatchTimeInterval::seconds(1),
      DispatchTime::distantFuture());
  EXPECT_EQ(DispatchTime::distantFuture() + DispatchTimeInterval::seconds(-1),
            DispatchTime::distantFuture());
  EXPECT_EQ(t + std::numeric_limits<double>::infinity(), DispatchTime::distantFuture());
  EXPECT_EQ(t + std::numeric_limits<double>::quiet_NaN(), DispatchTime::distantFuture());
  EXPECT_EQ(t + 1e300, DispatchTime::distantFuture());
  EXPECT_EQ(t + -1e300, DispatchTime(0));

  const DispatchTime a = DispatchTime::now();
  EXPECT_LE(a, DispatchTime::now());
  EXPECT_LT(a, DispatchTime::distantFuture());
}

}  // namespace
}  // namespace dispatch
