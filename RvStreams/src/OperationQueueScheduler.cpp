#include "RvStreams/OperationQueueScheduler.h"

#include <utility>

#include "RvStreams/Disposables.h"

namespace rv {

Ref<OperationQueueScheduler> OperationQueueScheduler::create(
    std::shared_ptr<dispatch::OperationQueue> operationQueue, QueuePriority queuePriority) {
  return std::make_shared<OperationQueueScheduler>(PrivateTag{}, std::move(operationQueue),
                                                   queuePriority);
}

OperationQueueScheduler::OperationQueueScheduler(
    PrivateTag, std::shared_ptr<dispatch::OperationQueue> operationQueue,
    QueuePriority queuePriority)
    : operationQueue_(std::move(operationQueue)), queuePriority_(queuePriority) {}

Ref<Disposable> OperationQueueScheduler::scheduleAction(ScheduledAction action) {
  auto cancel = SingleAssignmentDisposable::create();
  auto shared = std::make_shared<ScheduledAction>(std::move(action));
  auto operation = dispatch::BlockOperation::create([cancel, shared] {
    if (cancel->isDisposed()) return;
    cancel->setDisposable((*shared)());
  });
  operation->setQueuePriority(queuePriority_);
  operationQueue_->addOperation(std::move(operation));
  return cancel;
}

}  // namespace rv
