#include "RvStreams/SchedulerTime.h"

#include <cmath>
#include <cstdint>

namespace rv {
namespace {

using TimeUnit = DispatchTimeInterval::Unit;

// Units per second.
double unitFactor(TimeUnit unit) noexcept {
  switch (unit) {
    case TimeUnit::seconds:
      return 1.0;
    case TimeUnit::milliseconds:
      return 1e3;
    case TimeUnit::microseconds:
      return 1e6;
    case TimeUnit::nanoseconds:
      return 1e9;
    case TimeUnit::never:
      break;
  }
  fatalError("");
}

DispatchTimeInterval withAmount(TimeUnit unit, int64_t amount) noexcept {
  switch (unit) {
    case TimeUnit::seconds:
      return DispatchTimeInterval::seconds(amount);
    case TimeUnit::milliseconds:
      return DispatchTimeInterval::milliseconds(amount);
    case TimeUnit::microseconds:
      return DispatchTimeInterval::microseconds(amount);
    case TimeUnit::nanoseconds:
      return DispatchTimeInterval::nanoseconds(amount);
    case TimeUnit::never:
      break;
  }
  fatalError("");
}

}  // namespace

bool isNow(DispatchTimeInterval interval) noexcept {
  return !interval.isNever() && interval.amount() == 0;
}

DispatchTimeInterval reduceWithSpanBetween(DispatchTimeInterval interval, Date earlierDate,
                                           Date laterDate) noexcept {
  if (interval.isNever()) return interval;
  const double elapsed = laterDate.timeIntervalSince(earlierDate);
  const double remaining =
      static_cast<double>(interval.amount()) - elapsed * unitFactor(interval.unit());
  if (!(remaining > 0)) return withAmount(interval.unit(), 0);
  // 2^63 as a double: anything at or above it does not fit an int64, and
  // converting it would be undefined.
  constexpr double kLimit = 9223372036854775808.0;
  const double rounded = std::round(remaining);
  const int64_t amount = rounded >= kLimit ? INT64_MAX : static_cast<int64_t>(rounded);
  return withAmount(interval.unit(), amount);
}

Date addingDispatchInterval(Date date, DispatchTimeInterval interval) noexcept {
  if (interval.isNever()) return Date::distantFuture();
  return date.addingTimeInterval(static_cast<double>(interval.amount()) /
                                 unitFactor(interval.unit()));
}

}  // namespace rv
