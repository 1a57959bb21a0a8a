#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "RvStreams/SchedulerTime.h"

namespace rv {
namespace {

using DTI = DispatchTimeInterval;

TEST(SchedulerTime, IsNowOnlyForZeroAmounts) {
  EXPECT_TRUE(isNow(DTI::seconds(0)));
  EXPECT_TRUE(isNow(DTI::milliseconds(0)));
  EXPECT_TRUE(isNow(DTI::microseconds(0)));
  EXPECT_TRUE(isNow(DTI::nanoseconds(0)));
  EXPECT_FALSE(isNow(DTI::nanoseconds(1)));
  EXPECT_FALSE(isNow(DTI::seconds(-1)));
  EXPECT_FALSE(isNow(DTI::never()));
}

TEST(SchedulerTime, ReduceRoundsTheRemainderInTheIntervalsOwnUnit) {
  const Date start(1000.0);
  // 500 - 200.4 = 299.6, rounded to the nearest millisecond.
  EXPECT_EQ(reduceWithSpanBetween(DTI::milliseconds(500), start, start + 0.2004),
            DTI::milliseconds(300));
  // Halves round away from zero: 2 - 1.5 = 0.5 gives 1.
  EXPECT_EQ(reduceWithSpanBetween(DTI::seconds(2), start, start + 1.5), DTI::seconds(1));
  EXPECT_EQ(reduceWithSpanBetween(DTI::microseconds(1000), start, start + 0.00025),
            DTI::microseconds(750));
  EXPECT_EQ(reduceWithSpanBetween(DTI::nanoseconds(1'000'000'000), start, start + 0.5),
            DTI::nanoseconds(500'000'000));
}

TEST(SchedulerTime, ReduceStopsAtZeroWhenTheSpanCoversTheInterval) {
  const Date start(1000.0);
  EXPECT_EQ(reduceWithSpanBetween(DTI::milliseconds(500), start, start + 0.6),
            DTI::milliseconds(0));
  EXPECT_EQ(reduceWithSpanBetween(DTI::milliseconds(500), start, start + 0.5),
            DTI::milliseconds(0));
  EXPECT_EQ(reduceWithSpanBetween(DTI::seconds(0), start, start), DTI::seconds(0));
}

TEST(SchedulerTime, ReduceWithTheLaterDateFirstLengthensTheInterval) {
  const Date start(1000.0);
  EXPECT_EQ(reduceWithSpanBetween(DTI::milliseconds(500), start, start - 0.25),
            DTI::milliseconds(750));
}

TEST(SchedulerTime, ReduceSaturatesInsteadOfOverflowing) {
  // The remainder no longer fits the amount's 64 bits.
  const DTI reduced = reduceWithSpanBetween(DTI::nanoseconds(std::numeric_limits<int64_t>::max()),
                                            Date(0), Date(-1e6));
  EXPECT_EQ(reduced, DTI::nanoseconds(std::numeric_limits<int64_t>::max()));
}

TEST(SchedulerTime, ReduceLeavesNeverAlone) {
  EXPECT_EQ(reduceWithSpanBetween(DTI::never(), Date(0), Date(100)), DTI::never());
}

TEST(SchedulerTime, AddingAnIntervalMovesTheDateByItsSeconds) {
  const Date start(10.0);
  EXPECT_EQ(addingDispatchInterval(start, DTI::seconds(2)), Date(12.0));
  EXPECT_EQ(addingDispatchInterval(start, DTI::milliseconds(250)), Date(10.25));
  EXPECT_EQ(addingDispatchInterval(start, DTI::microseconds(-500000)), Date(9.5));
  EXPECT_EQ(addingDispatchInterval(start, DTI::nanoseconds(125'000'000)), Date(10.125));
  EXPECT_EQ(addingDispatchInterval(start, DTI::never()), Date::distantFuture());
}

}  // namespace
}  // namespace rv
