#pragma once

// Runs immediate actions as block operations on an operation queue, each with
// the scheduler's queue priority. No ordering promise between actions; they
// may run at the same time. Scheduling calls may come from any thread.

#include <dispatch/OperationQueue.h>

#include <memory>

#include "RvStreams/Scheduler.h"

namespace rv {

class OperationQueueScheduler : public ImmediateSchedulerType {
  struct PrivateTag {};

 public:
  using QueuePriority = dispatch::Operation::QueuePriority;

  static Ref<OperationQueueScheduler> create(
      std::shared_ptr<dispatch::OperationQueue> operationQueue,
      QueuePriority queuePriority = QueuePriority::normal);

  // Public only for std::make_shared; use `create`.
  OperationQueueScheduler(PrivateTag, std::shared_ptr<dispatch::OperationQueue> operationQueue,
                          QueuePriority queuePriority);

  const std::shared_ptr<dispatch::OperationQueue>& operationQueue() const noexcept {
    return operationQueue_;
  }
  QueuePriority queuePriority() const noexcept { return queuePriority_; }

  // ImmediateSchedulerType:
  // Disposing the result before the operation starts keeps the action from
  // running; the operation itself is not cancelled and finishes normally.
  Ref<Disposable> scheduleAction(ScheduledAction action) override;

 private:
  const std::shared_ptr<dispatch::OperationQueue> operationQueue_;
  const QueuePriority queuePriority_;
};

}  // namespace rv
