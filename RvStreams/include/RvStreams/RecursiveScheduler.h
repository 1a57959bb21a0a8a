#pragma once

// Recursive scheduling: operators that emit step by step (ranges, emission
// from a collection, draining onto another scheduler) do not loop; each step
// schedules the next one, so every step is its own scheduled action and
// disposal can stop the chain between any two steps. The step that is
// scheduled but has not started yet is kept in a group, so disposing the
// chain cancels it.

#include <memory>
#include <optional>
#include <utility>

#include "RvStreams/CompositeDisposable.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Lock.h"
#include "RvStreams/Scheduler.h"
#include "RvStreams/UniqueFunction.h"
#include "base/Mutex.h"
#include "base/ThreadSafety.h"

namespace rv {

template <class State>
class RecursiveImmediateScheduler;

namespace detail {

// Handed to the action of a RecursiveImmediateScheduler: calling it
// schedules the next step with a state. Valid while the action runs; keep no
// copy of it beyond that.
template <class State>
class ImmediateRecurse {
 public:
  void operator()(State state) const { owner_->schedule(std::move(state)); }

 private:
  friend class RecursiveImmediateScheduler<State>;
  explicit ImmediateRecurse(RecursiveImmediateScheduler<State>* owner) : owner_(owner) {}
  RecursiveImmediateScheduler<State>* owner_;
};

// Where one step of a chain stands; read and written only under the
// chain's lock.
struct StepCell {
  enum class Stage { initial, added, done };
  Stage stage = Stage::initial;
  CompositeDisposable::DisposeKey key{};
};

// What the two recursive schedulers share: the lock, the step action, the
// group of pending steps, and the bookkeeping of each step. Steps run
// outside the lock; what it disposes under it is a scheduled step's
// cancellation, which a scheduler may run in place, so the lock stays a
// recursive one.
template <class Action>
class RecursiveSchedulerBase {
 protected:
  explicit RecursiveSchedulerBase(Action action)
      : action_(std::make_shared<Action>(std::move(action))) {}
  ~RecursiveSchedulerBase() = default;

  // After the scheduler call returned `disposable` for the step of `cell`:
  // keeps it in the group unless the step already started (it ran inside the
  // call) or the group is disposed (then `disposable` is disposed at once).
  void recordStep(StepCell& cell, Ref<Disposable> disposable) {
    base::LockGuard guard(lock_);
    switch (cell.stage) {
      case StepCell::Stage::added:
        fatalError("Invalid state");
      case StepCell::Stage::initial:
        if (std::optional<CompositeDisposable::DisposeKey> key = group_.insert(disposable)) {
          cell.stage = StepCell::Stage::added;
          cell.key = *key;
        } else {
          cell.stage = StepCell::Stage::done;
        }
        break;
      case StepCell::Stage::done:
        break;
    }
  }

  // When the step of `cell` starts: null when the chain was disposed.
  // Otherwise drops the step's own disposable from the group, marks the step
  // done and returns the action to run it with.
  std::shared_ptr<Action> beginStep(StepCell& cell) {
    if (group_.isDisposed()) return nullptr;
    base::LockGuard guard(lock_);
    if (cell.stage == StepCell::Stage::added) group_.remove(cell.key);
    cell.stage = StepCell::Stage::done;
    return action_;
  }

  // Clears the action (under the lock; released after it) and disposes the
  // pending steps.
  void disposeChain() noexcept {
    std::shared_ptr<Action> released;
    {
      base::LockGuard guard(lock_);
      released.swap(action_);
    }
    released.reset();
    group_.dispose();
  }

  // The number of pending steps kept in the group.
  std::size_t pendingCount() const { return group_.count(); }

  base::RecursiveMutex lock_;
  std::shared_ptr<Action> action_ KX_GUARDED_BY(lock_);  // empty once disposed
  CompositeDisposable group_;
};

}  // namespace detail

// A chain of immediate steps on an `ImmediateSchedulerType`. Made by
// `ImmediateSchedulerType::scheduleRecursive`; any thread.
template <class State>
class RecursiveImmediateScheduler final
    : public detail::RecursiveSchedulerBase<
          UniqueFunction<void(State, const detail::ImmediateRecurse<State>&)>>,
      public std::enable_shared_from_this<RecursiveImmediateScheduler<State>> {
  using Base = detail::RecursiveSchedulerBase<
      UniqueFunction<void(State, const detail::ImmediateRecurse<State>&)>>;

 public:
  using Recurse = detail::ImmediateRecurse<State>;
  using Action = UniqueFunction<void(State, const Recurse&)>;

  static Ref<RecursiveImmediateScheduler> create(Action action,
                                                 Ref<ImmediateSchedulerType> scheduler) {
    return std::make_shared<RecursiveImmediateScheduler>(std::move(action), std::move(scheduler));
  }

  RecursiveImmediateScheduler(Action action, Ref<ImmediateSchedulerType> scheduler)
      : Base(std::move(action)), scheduler_(std::move(scheduler)) {}

  // Schedules one step with `state`.
  void schedule(State state) {
    auto cell = std::make_shared<detail::StepCell>();
    Ref<Disposable> disposable = scheduler_->schedule(
        std::move(state), [self = this->shared_from_this(), cell](State s) -> Ref<Disposable> {
          self->runStep(*cell, std::move(s));
          return Disposables::create();
        });
    this->recordStep(*cell, std::move(disposable));
  }

  // Stops the chain: no step action runs after this returns, except one
  // already running on another thread.
  void dispose() noexcept { this->disposeChain(); }

  // Steps scheduled and not yet started (for tests).
  std::size_t pendingStepCount() const { return this->pendingCount(); }

 private:
  void runStep(detail::StepCell& cell, State state) {
    std::shared_ptr<Action> action = this->beginStep(cell);
    if (action) (*action)(std::move(state), Recurse(this));
  }

  const Ref<ImmediateSchedulerType> scheduler_;
};

// A chain of timed or immediate steps on a `SchedulerType`. Made by
// `SchedulerType::scheduleRecursive`; the action receives this object and
// schedules the next steps through it. Any thread.
template <class State>
class AnyRecursiveScheduler final
    : public detail::RecursiveSchedulerBase<
          UniqueFunction<void(State, AnyRecursiveScheduler<State>&)>>,
      public std::enable_shared_from_this<AnyRecursiveScheduler<State>> {
  using Base = detail::RecursiveSchedulerBase<UniqueFunction<void(State, AnyRecursiveScheduler&)>>;

 public:
  using Action = UniqueFunction<void(State, AnyRecursiveScheduler&)>;

  static Ref<AnyRecursiveScheduler> create(Ref<SchedulerType> scheduler, Action action) {
    return std::make_shared<AnyRecursiveScheduler>(std::move(scheduler), std::move(action));
  }

  AnyRecursiveScheduler(Ref<SchedulerType> scheduler, Action action)
      : Base(std::move(action)), scheduler_(std::move(scheduler)) {}

  // Schedules one step with `state`, `dueTime` from now.
  void schedule(State state, DispatchTimeInterval dueTime) {
    auto cell = std::make_shared<detail::StepCell>();
    Ref<Disposable> disposable =
        scheduler_->scheduleRelative(std::move(state), dueTime, stepAction(cell));
    this->recordStep(*cell, std::move(disposable));
  }

  // Schedules one step with `state`, as soon as the scheduler allows.
  void schedule(State state) {
    auto cell = std::make_shared<detail::StepCell>();
    Ref<Disposable> disposable = scheduler_->schedule(std::move(state), stepAction(cell));
    this->recordStep(*cell, std::move(disposable));
  }

  // Stops the chain: no step action runs after this returns, except one
  // already running on another thread.
  void dispose() noexcept { this->disposeChain(); }

  // Steps scheduled and not yet started (for tests).
  std::size_t pendingStepCount() const { return this->pendingCount(); }

 private:
  auto stepAction(const std::shared_ptr<detail::StepCell>& cell) {
    return [self = this->shared_from_this(), cell](State s) -> Ref<Disposable> {
      self->runStep(*cell, std::move(s));
      return Disposables::create();
    };
  }

  void runStep(detail::StepCell& cell, State state) {
    std::shared_ptr<Action> action = this->beginStep(cell);
    if (action) (*action)(std::move(state), *this);
  }

  const Ref<SchedulerType> scheduler_;
};

template <class State, class Action>
Ref<Disposable> ImmediateSchedulerType::scheduleRecursive(State state, Action action) {
  auto recursive = RecursiveImmediateScheduler<State>::create(
      typename RecursiveImmediateScheduler<State>::Action(std::move(action)), selfReference());
  recursive->schedule(std::move(state));
  return Disposables::create([recursive] { recursive->dispose(); });
}

template <class State, class Action>
Ref<Disposable> SchedulerType::scheduleRecursive(State state, DispatchTimeInterval dueTime,
                                                 Action action) {
  auto recursive = AnyRecursiveScheduler<State>::create(
      std::static_pointer_cast<SchedulerType>(selfReference()),
      typename AnyRecursiveScheduler<State>::Action(std::move(action)));
  recursive->schedule(std::move(state), dueTime);
  return Disposables::create([recursive] { recursive->dispose(); });
}

}  // namespace rv
