#pragma once

// The interval arithmetic the schedulers and the time operators share. Every
// result keeps the unit of its input interval; nothing is normalised.

#include "RvStreams/Scheduler.h"

namespace rv {

// True for a zero amount in any unit; false for `never`.
bool isNow(DispatchTimeInterval interval) noexcept;

// `interval` shortened by the time between `earlierDate` and `laterDate`, in
// the interval's own unit, rounded to the nearest whole amount (halves away
// from zero). A span as long as the interval or longer gives 0; a later date
// before the earlier one lengthens the interval (saturating at the largest
// amount). `never` stays `never`.
DispatchTimeInterval reduceWithSpanBetween(DispatchTimeInterval interval, Date earlierDate,
                                           Date laterDate) noexcept;

// `date` moved forward by `interval`; `never` gives `Date::distantFuture()`.
Date addingDispatchInterval(Date date, DispatchTimeInterval interval) noexcept;

}  // namespace rv
