#pragma once

// The two scheduler interfaces every scheduler implements and every operator
// calls. Actions are type-erased move-only callables; the templates on top
// carry a state into the action.

#include <dispatch/Time.h>

#include <utility>

#include "RvStreams/Disposable.h"
#include "RvStreams/UniqueFunction.h"

namespace rv {

using Date = dispatch::Date;
using DispatchTimeInterval = dispatch::DispatchTimeInterval;

// An action run once by a scheduler; its result is disposed when the
// scheduling is disposed after the action ran.
using ScheduledAction = UniqueFunction<Ref<Disposable>()>;

class ImmediateSchedulerType {
 public:
  virtual ~ImmediateSchedulerType() = default;

  // Runs `action` once, as soon as the scheduler allows. Disposing the result
  // before the action starts keeps it from running (best effort); disposing
  // it afterwards disposes what the action returned.
  virtual Ref<Disposable> scheduleAction(ScheduledAction action) = 0;

  // Runs `action(state)` once.
  template <class State, class Action>
  Ref<Disposable> schedule(State state, Action action) {
    return scheduleAction(
        [state = std::move(state), action = std::move(action)]() mutable -> Ref<Disposable> {
          return action(std::move(state));
        });
  }
};

class SchedulerType : public ImmediateSchedulerType {
 public:
  // The scheduler's current time.
  virtual Date now() const = 0;

  // Runs `action` once, no earlier than `dueTime` from now.
  virtual Ref<Disposable> scheduleRelativeAction(DispatchTimeInterval dueTime,
                                                 ScheduledAction action) = 0;

  // Runs `tick` first after `startAfter`, then every `period`, until the
  // result is disposed.
  virtual Ref<Disposable> schedulePeriodicAction(DispatchTimeInterval startAfter,
                                                 DispatchTimeInterval period,
                                                 UniqueFunction<void()> tick) = 0;

  template <class State, class Action>
  Ref<Disposable> scheduleRelative(State state, DispatchTimeInterval dueTime, Action action) {
    return scheduleRelativeAction(
        dueTime,
        [state = std::move(state), action = std::move(action)]() mutable -> Ref<Disposable> {
          return action(std::move(state));
        });
  }

  // Each run receives the state the previous run returned; the first run
  // receives `state`.
  template <class State, class Action>
  Ref<Disposable> schedulePeriodic(State state, DispatchTimeInterval startAfter,
                                   DispatchTimeInterval period, Action action) {
    return schedulePeriodicAction(startAfter, period,
                                  [state = std::move(state), action = std::move(action)]() mutable {
                                    state = action(std::move(state));
                                  });
  }
};

}  // namespace rv
