#pragma once

// The ready-made virtual-time scheduler whose virtual time is a date and whose
// virtual interval is a number of seconds: for replaying recorded events at
// their recorded times.

#include "RvStreams/VirtualTimeScheduler.h"

namespace rv {

struct HistoricalSchedulerTimeConverter {
  using VirtualTimeUnit = Date;
  using VirtualTimeIntervalUnit = double;

  Date convertFromVirtualTime(Date time) const { return time; }
  Date convertToVirtualTime(Date date) const { return date; }
  double convertFromVirtualTimeInterval(double seconds) const { return seconds; }
  double convertToVirtualTimeInterval(double seconds) const { return seconds; }
  Date offsetVirtualTime(Date time, double offset) const { return time.addingTimeInterval(offset); }
  VirtualTimeComparison compareVirtualTime(Date lhs, Date rhs) const {
    if (lhs < rhs) return VirtualTimeComparison::lessThan;
    if (lhs > rhs) return VirtualTimeComparison::greaterThan;
    return VirtualTimeComparison::equal;
  }
};

class HistoricalScheduler : public VirtualTimeScheduler<HistoricalSchedulerTimeConverter> {
 public:
  // Starts at `initialClock`; by default at the reference date
  // (2001-01-01 00:00:00 UTC).
  static Ref<HistoricalScheduler> create(Date initialClock = Date(0)) {
    return std::make_shared<HistoricalScheduler>(initialClock);
  }

  // Use `create`; public for std::make_shared.
  explicit HistoricalScheduler(Date initialClock)
      : VirtualTimeScheduler(initialClock, HistoricalSchedulerTimeConverter{}) {}
};

}  // namespace rv
