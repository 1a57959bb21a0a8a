#pragma once

// The trampoline every producer subscription passes through. The first
// schedule on a thread with no active trampoline runs its action at once and
// then, on the same thread, every action scheduled meanwhile, first in first
// out; a schedule made from inside a running action waits in the queue until
// the running one returns. Work never leaves the thread.

#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Queue.h"
#include "RvStreams/Scheduler.h"

namespace rv {

// An item waiting on a scheduler: runs once unless disposed first.
class ScheduledItemType : public Cancelable {
 public:
  virtual void invoke() noexcept = 0;
};

// An action with its state; the action's result goes into a single-assignment
// disposable, so disposing the item after it ran disposes the result.
class ScheduledItem final : public ScheduledItemType {
 public:
  explicit ScheduledItem(ScheduledAction action) : action_(std::move(action)) {}

  void invoke() noexcept override {
    ScheduledAction action = std::move(action_);
    disposable_->setDisposable(action());
  }
  void dispose() noexcept override { disposable_->dispose(); }
  bool isDisposed() const noexcept override { return disposable_->isDisposed(); }

 private:
  ScheduledAction action_;
  Ref<SingleAssignmentDisposable> disposable_ = SingleAssignmentDisposable::create();
};

// An invocable with the value to invoke it with; `Invocable` has
// `invoke(const Value&)`. Runs through an AsyncLock (anything with `invoke()`).
template <class Invocable, class Value>
struct InvocableScheduledItem {
  InvocableScheduledItem(Ref<Invocable> invocable, Value state)
      : invocable(std::move(invocable)), state(std::move(state)) {}
  void invoke() { invocable->invoke(state); }

  Ref<Invocable> invocable;
  Value state;
};

class CurrentThreadScheduler final : public ImmediateSchedulerType {
 public:
  static const Ref<CurrentThreadScheduler>& instance();

  // True when no trampoline runs on the calling thread.
  static bool isScheduleRequired() noexcept;

  Ref<Disposable> scheduleAction(ScheduledAction action) override;

  // The trampoline without type erasure: when none is active, runs `body` as
  // the outermost action and then drains; inside an active trampoline runs
  // `body` at once. Used by producer subscriptions.
  template <class Body>
  static auto runOrJoin(Body&& body) {
    if (!isScheduleRequired()) return body();
    ActiveScope scope;
    auto result = body();
    drain();
    return result;
  }

  // Whether the calling thread holds a queue of waiting items (for tests).
  static bool hasQueue() noexcept;

 private:
  // Marks the trampoline active on this thread for its lifetime and resets the
  // thread's state when it ends, even when an action ends abnormally.
  class ActiveScope {
   public:
    ActiveScope() noexcept;
    ~ActiveScope();
    ActiveScope(const ActiveScope&) = delete;
    ActiveScope& operator=(const ActiveScope&) = delete;
  };

  // Runs the waiting items in order, skipping disposed ones, until the queue
  // is empty; items scheduled meanwhile join the same loop.
  static void drain() noexcept;
};

}  // namespace rv
