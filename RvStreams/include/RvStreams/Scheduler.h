#pragma once

// The two scheduler interfaces every scheduler implements and every operator
// calls. Actions are type-erased move-only callables; the templates on top
// carry a state into the action.

#include <dispatch/Time.h>

#include <memory>
#include <utility>

#include "RvStreams/Disposable.h"
#include "RvStreams/UniqueFunction.h"

namespace rv {

using Date = dispatch::Date;
using DispatchTimeInterval = dispatch::DispatchTimeInterval;

// An action run once by a scheduler; its result is disposed when the
// scheduling is disposed after the action ran.
using ScheduledAction = UniqueFunction<Ref<Disposable>()>;

template <class State>
class RecursiveImmediateScheduler;
template <class State>
class AnyRecursiveScheduler;

// Schedulers are reference types held by `Ref`: work that outlives a call
// (recursive chains, periodic emulation) keeps its scheduler alive through
// `shared_from_this`.
class ImmediateSchedulerType : public std::enable_shared_from_this<ImmediateSchedulerType> {
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

  // Runs a chain of steps, each one scheduled action: `action(state, recurse)`
  // runs first with `state`; each call of `recurse(next)` inside it schedules
  // one more step with `next`. Disposing the result cancels the pending steps
  // and keeps any later one from running. Defined in RecursiveScheduler.h.
  template <class State, class Action>
  Ref<Disposable> scheduleRecursive(State state, Action action);

 protected:
  // This scheduler as a `Ref`. A scheduler that no `std::shared_ptr` owns
  // (one on the stack in a test) gets a reference that does not own it; it
  // must then outlive the work scheduled on it.
  Ref<ImmediateSchedulerType> selfReference() {
    if (Ref<ImmediateSchedulerType> self = weak_from_this().lock()) return self;
    return Ref<ImmediateSchedulerType>(Ref<void>(), this);
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
  // result is disposed. A `never` period repeats nothing (only the first run
  // happens); a period of zero or less runs back to back.
  //
  // The default, for schedulers without a repeating timer of their own,
  // emulates the timer with timed recursive scheduling (see
  // SchedulePeriodicRecursive.h): ticks that fall due while `tick` still runs
  // are not lost but run one after another once it returns, and `tick` never
  // runs twice at the same time.
  virtual Ref<Disposable> schedulePeriodicAction(DispatchTimeInterval startAfter,
                                                 DispatchTimeInterval period,
                                                 UniqueFunction<void()> tick);

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

  using ImmediateSchedulerType::scheduleRecursive;

  // Runs a chain of timed steps: `action(state, scheduler)` runs first
  // `dueTime` from now, with `scheduler` an `AnyRecursiveScheduler<State>`
  // through which it schedules the next steps (timed or immediate). Disposing
  // the result cancels the pending steps and keeps any later one from running.
  // Defined in RecursiveScheduler.h.
  template <class State, class Action>
  Ref<Disposable> scheduleRecursive(State state, DispatchTimeInterval dueTime, Action action);
};

}  // namespace rv

#include "RvStreams/RecursiveScheduler.h"
