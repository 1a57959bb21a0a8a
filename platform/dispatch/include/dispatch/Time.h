#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <limits>
#include <optional>

namespace dispatch {

// A point in time: seconds as a double since the reference date
// 2001-01-01 00:00:00 UTC. A value type; arithmetic never fails.
class Date {
 public:
  // Seconds between the Unix epoch and the reference date.
  static constexpr double kReferenceDateFromUnixEpoch = 978307200.0;

  constexpr Date() = default;
  constexpr explicit Date(double secondsSinceReferenceDate) : seconds_(secondsSinceReferenceDate) {}

  // The wall-clock time now.
  static Date now() noexcept;
  static constexpr Date fromUnixTime(double secondsSince1970) {
    return Date(secondsSince1970 - kReferenceDateFromUnixEpoch);
  }
  // Year 4001, later than any time the system meets.
  static constexpr Date distantFuture() { return Date(63113904000.0); }
  // Year 1, earlier than any time the system meets.
  static constexpr Date distantPast() { return Date(-63114076800.0); }

  constexpr double timeIntervalSinceReferenceDate() const { return seconds_; }
  constexpr double timeIntervalSince1970() const { return seconds_ + kReferenceDateFromUnixEpoch; }
  // Seconds from `other` to this date (positive when this date is later).
  constexpr double timeIntervalSince(Date other) const { return seconds_ - other.seconds_; }
  constexpr Date addingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

  friend constexpr Date operator+(Date d, double seconds) { return d.addingTimeInterval(seconds); }
  friend constexpr Date operator-(Date d, double seconds) { return d.addingTimeInterval(-seconds); }
  friend constexpr double operator-(Date a, Date b) { return a.timeIntervalSince(b); }
  friend constexpr auto operator<=>(Date a, Date b) = default;
  friend constexpr bool operator==(Date a, Date b) = default;

 private:
  double seconds_ = 0;
};

// A span of time in one unit with a signed 64-bit amount, or `never`.
// Conversions to a common unit saturate at the int64 limits instead of
// overflowing.
class DispatchTimeInterval {
 public:
  enum class Unit { seconds, milliseconds, microseconds, nanoseconds, never };

  static constexpr DispatchTimeInterval seconds(int64_t n) { return {Unit::seconds, n}; }
  static constexpr DispatchTimeInterval milliseconds(int64_t n) { return {Unit::milliseconds, n}; }
  static constexpr DispatchTimeInterval microseconds(int64_t n) { return {Unit::microseconds, n}; }
  static constexpr DispatchTimeInterval nanoseconds(int64_t n) { return {Unit::nanoseconds, n}; }
  static constexpr DispatchTimeInterval never() { return {Unit::never, 0}; }

  constexpr Unit unit() const { return unit_; }
  constexpr int64_t amount() const { return amount_; }
  constexpr bool isNever() const { return unit_ == Unit::never; }

  // Nanoseconds in this interval, saturated to the int64 range; `never` gives
  // the int64 maximum.
  constexpr int64_t nanosecondsSaturated() const {
    switch (unit_) {
      case Unit::seconds:
        return mulSat(amount_, 1'000'000'000);
      case Unit::milliseconds:
        return mulSat(amount_, 1'000'000);
      case Unit::microseconds:
        return mulSat(amount_, 1'000);
      case Unit::nanoseconds:
        return amount_;
      case Unit::never:
        break;
    }
    return std::numeric_limits<int64_t>::max();
  }

  // The interval in seconds as a double; `never` gives +infinity.
  constexpr double timeIntervalSeconds() const {
    switch (unit_) {
      case Unit::seconds:
        return static_cast<double>(amount_);
      case Unit::milliseconds:
        return static_cast<double>(amount_) / 1e3;
      case Unit::microseconds:
        return static_cast<double>(amount_) / 1e6;
      case Unit::nanoseconds:
        return static_cast<double>(amount_) / 1e9;
      case Unit::never:
        break;
    }
    return std::numeric_limits<double>::infinity();
  }

  friend constexpr bool operator==(DispatchTimeInterval a, DispatchTimeInterval b) {
    return a.unit_ == b.unit_ && a.amount_ == b.amount_;
  }

 private:
  constexpr DispatchTimeInterval(Unit unit, int64_t amount) : unit_(unit), amount_(amount) {}

  static constexpr int64_t mulSat(int64_t value, int64_t factor) {
    int64_t out = 0;
    if (__builtin_mul_overflow(value, factor, &out)) {
      return value < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    }
    return out;
  }

  Unit unit_;
  int64_t amount_;
};

// A point on the monotonic clock (nanoseconds since an arbitrary start, the
// steady clock's epoch): what the deadlines of `asyncAfter` and timer sources
// are measured in. `distantFuture` stands for "never". Arithmetic saturates:
// adding `never`, or overflowing, gives `distantFuture`; going below the
// clock's start gives 0. A value type, safe on any thread.
class DispatchTime {
 public:
  constexpr DispatchTime() = default;
  constexpr explicit DispatchTime(uint64_t uptimeNanoseconds) : nanos_(uptimeNanoseconds) {}

  // The monotonic clock now.
  static DispatchTime now() noexcept;
  static constexpr DispatchTime distantFuture() {
    return DispatchTime(std::numeric_limits<uint64_t>::max());
  }

  constexpr uint64_t uptimeNanoseconds() const { return nanos_; }
  constexpr bool isDistantFuture() const { return nanos_ == distantFuture().nanos_; }

  // `distantFuture` absorbs every interval; a negative interval moves back.
  friend constexpr DispatchTime operator+(DispatchTime t, DispatchTimeInterval interval) {
    if (t.isDistantFuture() || interval.isNever()) return distantFuture();
    return t.addingNanoseconds(interval.nanosecondsSaturated());
  }
  // Seconds as a double; NaN or infinity gives `distantFuture`.
  friend constexpr DispatchTime operator+(DispatchTime t, double seconds) {
    if (t.isDistantFuture() || !(seconds - seconds == 0)) return distantFuture();
    const double nanos = seconds * 1e9;
    if (nanos >= 9.2e18) return distantFuture();
    if (nanos <= -9.2e18) return DispatchTime(0);
    return t.addingNanoseconds(static_cast<int64_t>(nanos));
  }

  friend constexpr auto operator<=>(DispatchTime a, DispatchTime b) = default;
  friend constexpr bool operator==(DispatchTime a, DispatchTime b) = default;

 private:
  constexpr DispatchTime addingNanoseconds(int64_t delta) const {
    if (delta >= 0) {
      const uint64_t d = static_cast<uint64_t>(delta);
      if (d >= distantFuture().nanos_ - nanos_) return distantFuture();
      return DispatchTime(nanos_ + d);
    }
    const uint64_t d = static_cast<uint64_t>(-(delta + 1)) + 1;  // |delta| without overflow
    return DispatchTime(d >= nanos_ ? 0 : nanos_ - d);
  }

  uint64_t nanos_ = 0;
};

}  // namespace dispatch
