#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/Mutex.h"
#include "dispatch/DispatchQueue.h"
#include "dispatch/Time.h"

namespace dispatch {

namespace detail {
class TimerService;
class MemoryPressureMonitor;
}  // namespace detail

class DispatchSourceTimer;
class DispatchSourceMemoryPressure;

// Memory-pressure levels, as a bit mask: `normal` 1, `warning` 2, `critical` 4.
enum class MemoryPressureEvent : uint32_t { normal = 1, warning = 2, critical = 4 };
constexpr MemoryPressureEvent operator|(MemoryPressureEvent a, MemoryPressureEvent b) {
  return static_cast<MemoryPressureEvent>(static_cast<uint32_t>(a) | static_cast<uint32_t>(b));
}
constexpr bool intersects(MemoryPressureEvent a, MemoryPressureEvent b) {
  return (static_cast<uint32_t>(a) & static_cast<uint32_t>(b)) != 0;
}

// An event source whose handler runs as a block of its target queue. A source
// starts suspended: events before `resume` are kept (merged) and delivered
// after it. The handler never runs twice at the same time, even on a
// concurrent queue: events that arrive while it runs (or waits to run) merge
// into one further run. After `cancel` no further run starts (a run already
// started finishes) and the handler is released.
//
// Sources are held by `std::shared_ptr`; dropping the last reference cancels
// the source. All member functions may be called from any thread.
class DispatchSource : public std::enable_shared_from_this<DispatchSource> {
 public:
  // A timer source on `queue` (the main queue when null), not yet scheduled.
  static std::shared_ptr<DispatchSourceTimer> makeTimerSource(
      std::shared_ptr<DispatchQueue> queue = nullptr);

  // A memory-pressure source on `queue` (the main queue when null) for the
  // levels in `eventMask`: its handler runs when the system's memory pressure
  // enters one of them.
  static std::shared_ptr<DispatchSourceMemoryPressure> makeMemoryPressureSource(
      MemoryPressureEvent eventMask, std::shared_ptr<DispatchQueue> queue = nullptr);

  virtual ~DispatchSource();
  DispatchSource(const DispatchSource&) = delete;
  DispatchSource& operator=(const DispatchSource&) = delete;

  // Sets the block run for each (merged) event; null clears it (events are then
  // dropped). Takes effect from the next run. Ignored after `cancel`.
  void setEventHandler(Block handler);

  // Starts delivering events. A second call, or a call after `cancel`, is
  // ignored.
  void resume();

  // Stops the source for good: no run starts after this returns (except one
  // already started), a queued run is skipped, and the handler is released on
  // the calling thread. A second call is ignored.
  void cancel();

  bool isCancelled() const;

  const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }

 protected:
  explicit DispatchSource(std::shared_ptr<DispatchQueue> queue);

  enum class Merge { add, bitOr };
  // Records an event (an amount for `add`, bits for `bitOr`) and starts a run
  // unless one is in flight or the source is suspended or cancelled.
  void deliver(uint64_t data, Merge merge);
  // The data of the run in progress (meaningful inside the handler).
  uint64_t currentData() const;

  // Hooks for subclasses, called without the source's lock.
  virtual void didResume() {}
  virtual void didCancel() {}
  // Asked after each run: true to run again at once (with data 1).
  virtual bool runsAgainAfterRun() const { return false; }

 private:
  // Queues a run of the handler; called without the lock, by the one who set
  // `inFlight_`.
  void startRun();
  void runHandler();

  const std::shared_ptr<DispatchQueue> queue_;
  mutable base::Mutex mutex_;
  std::shared_ptr<const Block> handler_ KX_GUARDED_BY(mutex_);
  uint64_t pending_ KX_GUARDED_BY(mutex_) = 0;
  uint64_t current_ KX_GUARDED_BY(mutex_) = 0;
  bool inFlight_ KX_GUARDED_BY(mutex_) = false;
  bool resumed_ KX_GUARDED_BY(mutex_) = false;
  bool cancelled_ KX_GUARDED_BY(mutex_) = false;
};

// A timer on the monotonic clock, served by one timer thread.
class DispatchSourceTimer final : public DispatchSource {
 public:
  // Arms the timer (again) for `deadline`, then every `repeating` after it.
  // `repeating` `never` makes a one-shot timer; zero or a negative interval
  // runs the handler back to back while the timer lives. A deadline of
  // `DispatchTime::distantFuture()` never fires; a deadline in the past fires
  // as soon as possible. Firings that fall due while the handler still runs,
  // or that the timer thread is late for, merge into one run whose `data` is
  // their count. `leeway` is how late a firing may come; the timer thread
  // fires at the deadline and uses no leeway. Takes effect at `resume` when
  // called before it; ignored after `cancel`.
  void schedule(DispatchTime deadline,
                DispatchTimeInterval repeating = DispatchTimeInterval::never(),
                DispatchTimeInterval leeway = DispatchTimeInterval::nanoseconds(0));

  // Inside the handler: how many firings this run stands for (at least 1).
  uint64_t data() const { return currentData(); }

  ~DispatchSourceTimer() override;

  // Public only for std::make_shared; use `DispatchSource::makeTimerSource`.
  DispatchSourceTimer(std::shared_ptr<DispatchQueue> queue,
                      std::shared_ptr<detail::TimerService> service);

 private:
  friend class detail::TimerService;
  void didResume() override;
  void didCancel() override;
  bool runsAgainAfterRun() const override;
  void fire(uint64_t count) { deliver(count, Merge::add); }

  const std::shared_ptr<detail::TimerService> service_;
  std::atomic<bool> backToBack_{false};
  // The arming state below belongs to the timer service and is guarded by its
  // lock.
  bool active_ = false;  // resumed and not cancelled
  bool armed_ = false;   // has an entry in the service's schedule
  uint64_t entryId_ = 0;
  uint64_t deadline_ = UINT64_MAX;
  int64_t interval_ = INT64_MAX;  // INT64_MAX: one-shot; <= 0: back to back
};

// Delivers the system's memory-pressure level changes (see
// `simulateMemoryPressure` for tests).
class DispatchSourceMemoryPressure final : public DispatchSource {
 public:
  // Inside the handler: the levels entered since the previous run.
  MemoryPressureEvent data() const { return static_cast<MemoryPressureEvent>(currentData()); }
  MemoryPressureEvent mask() const { return mask_; }

  ~DispatchSourceMemoryPressure() override;

  // Public only for std::make_shared; use
  // `DispatchSource::makeMemoryPressureSource`.
  DispatchSourceMemoryPressure(std::shared_ptr<DispatchQueue> queue, MemoryPressureEvent mask);

 private:
  friend class detail::MemoryPressureMonitor;
  void didResume() override;
  void didCancel() override;
  void notify(MemoryPressureEvent event);

  const MemoryPressureEvent mask_;
};

}  // namespace dispatch
