#pragma once

// A scheduler whose actions, immediate or timed, wait in one list until the
// test runs them, in any order it likes. Disposing a scheduled action does not
// stop it: it models a timer whose cancellation comes too late, so operators
// can be shown to recognise stale timers themselves. Its clock is set by hand.

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Scheduler.h"

namespace rv::test {

class QueuedScheduler final : public SchedulerType {
 public:
  static Ref<QueuedScheduler> create() { return std::make_shared<QueuedScheduler>(); }

  Date now() const override {
    std::lock_guard<std::mutex> guard(mutex_);
    return now_;
  }
  void setNow(Date now) {
    std::lock_guard<std::mutex> guard(mutex_);
    now_ = now;
  }

  Ref<Disposable> scheduleAction(ScheduledAction action) override {
    return enqueue(std::move(action));
  }
  Ref<Disposable> scheduleRelativeAction(DispatchTimeInterval, ScheduledAction action) override {
    return enqueue(std::move(action));
  }

  // Runs the action at `index` of the waiting list (0 is the oldest) and
  // removes it; false when there is none.
  bool run(std::size_t index = 0) {
    ScheduledAction action;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (index >= pending_.size()) return false;
      action = std::move(pending_[index]);
      pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(index));
    }
    action()->dispose();
    return true;
  }
  // Runs the newest waiting action.
  bool runLast() {
    const std::size_t count = waiting();
    return count > 0 && run(count - 1);
  }
  void runAll() {
    while (run()) {
    }
  }
  // Drops every waiting action without running it (lets what they hold go).
  void clear() {
    std::deque<ScheduledAction> dropped;
    std::lock_guard<std::mutex> guard(mutex_);
    dropped.swap(pending_);
  }
  std::size_t waiting() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return pending_.size();
  }

 private:
  Ref<Disposable> enqueue(ScheduledAction action) {
    std::lock_guard<std::mutex> guard(mutex_);
    pending_.push_back(std::move(action));
    return Disposables::create();
  }

  mutable std::mutex mutex_;
  Date now_{0.0};
  std::deque<ScheduledAction> pending_;
};

}  // namespace rv::test
