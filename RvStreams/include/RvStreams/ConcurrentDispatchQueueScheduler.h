#pragma once

// The scheduler over a concurrent dispatch queue (or any queue it is given):
// actions may run at the same time on different threads and in any order, so
// an action does its own locking. Scheduling calls may come from any thread.

#include <dispatch/DispatchQueue.h>
#include <dispatch/QoS.h>

#include <memory>

#include "RvStreams/DispatchQueueConfiguration.h"
#include "RvStreams/Scheduler.h"

namespace rv {

class ConcurrentDispatchQueueScheduler : public SchedulerType {
  struct PrivateTag {};

 public:
  using QueueRef = std::shared_ptr<dispatch::DispatchQueue>;

  // Over `queue`, serial or concurrent (the scheduler does not look).
  static Ref<ConcurrentDispatchQueueScheduler> create(
      QueueRef queue, DispatchTimeInterval leeway = DispatchTimeInterval::nanoseconds(0));

  // Over a new concurrent queue of `qos` labelled "rvstreams.queue." followed
  // by the description of `qos`. Every call makes a queue of its own.
  static Ref<ConcurrentDispatchQueueScheduler> create(
      dispatch::DispatchQoS qos,
      DispatchTimeInterval leeway = DispatchTimeInterval::nanoseconds(0));

  // Public only for std::make_shared; use `create`.
  ConcurrentDispatchQueueScheduler(PrivateTag, QueueRef queue, DispatchTimeInterval leeway);

  const DispatchQueueConfiguration& configuration() const noexcept { return configuration_; }

  // SchedulerType:
  // The wall-clock time at each call.
  Date now() const override;
  // Submits to the queue; never inline.
  Ref<Disposable> scheduleAction(ScheduledAction action) final;
  Ref<Disposable> scheduleRelativeAction(DispatchTimeInterval dueTime,
                                         ScheduledAction action) final;
  Ref<Disposable> schedulePeriodicAction(DispatchTimeInterval startAfter,
                                         DispatchTimeInterval period,
                                         UniqueFunction<void()> tick) override;

 private:
  const DispatchQueueConfiguration configuration_;
};

}  // namespace rv
