#pragma once

// Immediate, delayed and periodic work on one dispatch queue: what the serial,
// main and concurrent dispatch-queue schedulers share. A plain value, copied
// freely; every operation may be called from any thread, and the actions run
// on the queue.

#include <dispatch/DispatchQueue.h>

#include <memory>

#include "RvStreams/Scheduler.h"

namespace rv {

struct DispatchQueueConfiguration {
  // The queue all work runs on.
  std::shared_ptr<dispatch::DispatchQueue> queue;
  // The tolerance handed to every timer source made here.
  DispatchTimeInterval leeway = DispatchTimeInterval::nanoseconds(0);

  // Submits `action` to the queue; it never runs on the calling stack.
  // Disposing the result before the queue reaches it keeps it from running;
  // afterwards it disposes what the action returned.
  Ref<Disposable> schedule(ScheduledAction action) const;

  // Runs `action` on the queue once `dueTime` has passed (a `never` due time
  // never comes). Disposing the result cancels and releases the pending timer,
  // disposes the action's result when it already ran, and makes a firing that
  // is already on its way return without running the action.
  Ref<Disposable> scheduleRelative(DispatchTimeInterval dueTime, ScheduledAction action) const;

  // Runs `tick` on the queue first `startAfter` from now, then every `period`
  // (see `SchedulerType::schedulePeriodicAction`); firings that come while a
  // run is still in progress merge into one further run. Disposing the result
  // stops further runs, also from inside `tick`.
  Ref<Disposable> schedulePeriodic(DispatchTimeInterval startAfter, DispatchTimeInterval period,
                                   UniqueFunction<void()> tick) const;
};

}  // namespace rv
