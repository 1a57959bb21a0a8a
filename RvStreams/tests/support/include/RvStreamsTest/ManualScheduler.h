#pragma once

// A scheduler that only queues: actions run when the test says so, from any
// thread. Timed actions wait in the same list, their due times ignored, and
// the clock stands still.

#include <deque>
#include <memory>
#include <mutex>

#include "RvStreams/Disposables.h"
#include "RvStreams/Scheduler.h"

namespace rv::test {

class ManualScheduler final : public SchedulerType {
 public:
  static Ref<ManualScheduler> create() { return std::make_shared<ManualScheduler>(); }

  Date now() const override { return Date(0); }
  Ref<Disposable> scheduleAction(ScheduledAction action) override {
    return enqueue(std::move(action));
  }
  Ref<Disposable> scheduleRelativeAction(DispatchTimeInterval, ScheduledAction action) override {
    return enqueue(std::move(action));
  }

  // Runs the oldest pending action; false when none is pending.
  bool runOne() {
    Pending next;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (pending_.empty()) return false;
      next = std::move(pending_.front());
      pending_.pop_front();
    }
    if (!next.cancel->isDisposed()) next.cancel->setDisposable(next.action());
    return true;
  }
  void runAll() {
    while (runOne()) {
    }
  }
  size_t pendingCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return pending_.size();
  }

 private:
  struct Pending {
    ScheduledAction action;
    Ref<SingleAssignmentDisposable> cancel;
  };
  Ref<Disposable> enqueue(ScheduledAction action) {
    auto cancel = SingleAssignmentDisposable::create();
    std::lock_guard<std::mutex> guard(mutex_);
    pending_.push_back({std::move(action), cancel});
    return cancel;
  }
  mutable std::mutex mutex_;
  std::deque<Pending> pending_;
};

}  // namespace rv::test
