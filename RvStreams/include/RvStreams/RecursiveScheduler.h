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

namespace rv {
namespace detail {

// What the two recursive schedulers share: the lock, the group of pending
// steps, and the bookkeeping of each step.
class RecursiveSchedulerBase {
 protected:
  // Where one step stands; read and written only under `lock_`.
  struct StepCell {
    enum class Stage { initial, added, done };
    Stage stage = Stage::initial;
    CompositeDisposable::DisposeKey key{};
  };

  RecursiveSchedulerBase() = default;
  ~RecursiveSchedulerBase() = default;

  // After the scheduler call returned `disposable` for the step of `cell`:
  // keeps it in the group unless the step already started (it ran inside the
  // call) or the group is disposed (then `disposable` is disposed at once).
  void recordStep(StepCell& cell, Ref<Disposable> disposable) {
    LockGuard guard(lock_);
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

  // When the step of `cell` starts: false when the chain was disposed.
  // Otherwise drops the step's own disposable from the group, marks the step
  // done and returns what `copyAction` (called under the lock) returns.
  template <class CopyAction>
  auto beginStep(StepCell& cell, CopyAction copyAction) -> decltype(copyAction()) {
    if (group_.isDisposed()) return nullptr;
    LockGuard guard(lock_);
    if (cell.stage == StepCell::Stage::added) group_.remove(cell.key);
    cell.stage = StepCell::Stage::done;
    return copyAction();
  }

  // Clears the action (under the lock; released after it) and disposes the
  // pending steps.
  template <class ActionRef>
  void disposeChain(ActionRef& action) noexcept {
    ActionRef released;
    {
      LockGuard guard(lock_);
      released.swap(action);
    }
    released.reset();
    group_.dispose();
  }

  // The number of pending steps kept in the group.
  std::size_t pendingCount() const { return group_.count(); }

  RecursiveLock lock_;
  CompositeDisposable group_;
};

}  // namespace detail

// A chain of immediate steps on an `ImmediateSchedulerType`. Made by
// `ImmediateSchedulerType::scheduleRecursive`; any thread.
template <class State>
class RecursiveImmediateScheduler final
    : public detail::RecursiveSchedulerBase,
      public std::enable_shared_from_this<RecursiveImmediateScheduler<State>> {
 public:
  // Handed to the action: calling it schedules the next step with a state.
  // Valid while the action runs; keep no copy of it beyond that.
  class Recurse {
   public:
    void operator()(State state) const { owner_->schedule(std::move(state)); }

   private:
    friend class RecursiveImmediateScheduler;
    explicit Recurse(RecursiveImmediateScheduler* owner) : owner_(owner) {}
    RecursiveImmediateScheduler* owner_;
  };
  using Action = UniqueFunction<void(State, const Recurse&)>;

  static Ref<RecursiveImmediateScheduler> create(Action action,
                                                 Ref<ImmediateSchedulerType> scheduler) {
    return std::make_shared<RecursiveImmediateScheduler>(std::move(action), std::move(scheduler));
  }

  RecursiveImmediateScheduler(Action action, Ref<ImmediateSchedulerType> scheduler)
      : action_(std::make_shared<Action>(std::move(action))), scheduler_(std::move(scheduler)) {}

  // Schedules one step with `state`.
  void schedule(State state) {
    auto cell = std::make_shared<StepCell>();
    Ref<Disposable> disposable = scheduler_->schedule(
        std::move(state), [self = this->shared_from_this(), cell](State s) -> Ref<Disposable> {
          self->runStep(*cell, std::move(s));
          return Disposables::create();
        });
    recordStep(*cell, std::move(disposable));
  }

  // Stops the chain: no step action runs after this returns, except one
  // already running on another thread.
  void dispose() noexcept { disposeChain(action_); }

  // Steps scheduled and not yet started (for tests).
  std::size_t pendingStepCount() const { return pendingCount(); }

 private:
  void runStep(StepCell& cell, State state) {
    std::shared_ptr<Action> action = beginStep(cell, [this] { return action_; });
    if (action) (*action)(std::move(state), Recurse(this));
  }

  std::shared_ptr<Action> action_;  // guarded by lock_; empty once disposed
  const Ref<ImmediateSchedulerType> scheduler_;
};

// A chain of timed or immediate steps on a `SchedulerType`. Made by
// `SchedulerType::scheduleRecursive`; the action receives this object and
// schedules the next steps through it. Any thread.
template <class State>
class AnyRecursiveScheduler final
    : public detail::RecursiveSchedulerBase,
      public std::enable_shared_from_this<AnyRecursiveScheduler<State>> {
 public:
  using Action = UniqueFunction<void(State, AnyRecursiveScheduler&)>;

  static Ref<AnyRecursiveScheduler> create(Ref<SchedulerType> scheduler, Action action) {
    return std::make_shared<AnyRecursiveScheduler>(std::move(scheduler), std::move(action));
  }

  AnyRecursiveScheduler(Ref<SchedulerType> scheduler, Action action)
      : action_(std::make_shared<Action>(std::move(action))), scheduler_(std::move(scheduler)) {}

  // Schedules one step with `state`, `dueTime` from now.
  void schedule(State state, DispatchTimeInterval dueTime) {
    auto cell = std::make_shared<StepCell>();
    Ref<Disposable> disposable =
        scheduler_->scheduleRelative(std::move(state), dueTime, stepAction(cell));
    recordStep(*cell, std::move(disposable));
  }

  // Schedules one step with `state`, as soon as the scheduler allows.
  void schedule(State state) {
    auto cell = std::make_shared<StepCell>();
    Ref<Disposable> disposable = scheduler_->schedule(std::move(state), stepAction(cell));
    recordStep(*cell, std::move(disposable));
  }

  // Stops the chain: no step action runs after this returns, except one
  // already running on another thread.
  void dispose() noexcept { disposeChain(action_); }

  // Steps scheduled and not yet started (for tests).
  std::size_t pendingStepCount() const { return pendingCount(); }

 private:
  auto stepAction(const std::shared_ptr<StepCell>& cell) {
    return [self = this->shared_from_this(), cell](State s) -> Ref<Disposable> {
      self->runStep(*cell, std::move(s));
      return Disposables::create();
    };
  }

  void runStep(StepCell& cell, State state) {
    std::shared_ptr<Action> action = beginStep(cell, [this] { return action_; });
    if (action) (*action)(std::move(state), *this);
  }

  std::shared_ptr<Action> action_;  // guarded by lock_; empty once disposed
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
