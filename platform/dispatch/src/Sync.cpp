// Semaphores, once-tokens and operation queues.
#include <chrono>

#include "Current.h"
#include "base/FatalError.h"
#include "dispatch/DispatchSemaphore.h"
#include "dispatch/OnceToken.h"
#include "dispatch/OperationQueue.h"

namespace dispatch {
namespace detail {

void onceTokenReentered() {
  base::fatalError("OnceToken::perform called from inside its own work would deadlock");
}

}  // namespace detail

// DispatchSemaphore

DispatchSemaphore::DispatchSemaphore(int64_t value) : value_(value) {
  if (value < 0) {
    base::fatalError("DispatchSemaphore created with a negative value (" + std::to_string(value) +
                     ")");
  }
}

int64_t DispatchSemaphore::signal() {
  base::LockGuard lock(mutex_);
  if (waiters_ > wakeups_) {
    ++wakeups_;
    available_.notify_all();
    return 1;
  }
  ++value_;
  return 0;
}

void DispatchSemaphore::wait() { (void)wait(DispatchTime::distantFuture()); }

DispatchTimeoutResult DispatchSemaphore::wait(DispatchTime deadline) {
  base::LockGuard lock(mutex_);
  if (value_ > 0) {
    --value_;
    return DispatchTimeoutResult::success;
  }
  if (deadline <= DispatchTime::now()) return DispatchTimeoutResult::timedOut;
  detail::BlockingScope blocking;
  ++waiters_;
  auto woken = [this]() KX_REQUIRES(mutex_) { return wakeups_ > 0; };
  bool got = true;
  if (deadline.isDistantFuture() || deadline.uptimeNanoseconds() > (uint64_t{1} << 62)) {
    mutex_.wait(available_, woken);
  } else {
    const std::chrono::steady_clock::time_point at{
        std::chrono::nanoseconds(static_cast<int64_t>(deadline.uptimeNanoseconds()))};
    got = mutex_.waitUntil(available_, at, woken);
  }
  --waiters_;
  if (!got) return DispatchTimeoutResult::timedOut;
  --wakeups_;
  return DispatchTimeoutResult::success;
}

// OnceToken

void OnceToken::lockWaiting() {
  detail::BlockingScope blocking;
  mutex_.lock();
}

// Operation

bool Operation::isExecuting() const {
  base::LockGuard lock(mutex_);
  return state_ == State::executing;
}

bool Operation::isFinished() const {
  base::LockGuard lock(mutex_);
  return state_ == State::finished;
}

void Operation::waitUntilFinished() {
  base::LockGuard lock(mutex_);
  if (state_ == State::finished) return;
  detail::BlockingScope blocking;
  mutex_.wait(finished_, [this]() KX_REQUIRES(mutex_) { return state_ == State::finished; });
}

void Operation::start() {
  if (!isCancelled()) {
    {
      base::LockGuard lock(mutex_);
      state_ = State::executing;
    }
    main();
  }
  base::LockGuard lock(mutex_);
  state_ = State::finished;
  finished_.notify_all();
}

std::shared_ptr<BlockOperation> BlockOperation::create(Block block) {
  if (!block) base::fatalError("BlockOperation created with a null block");
  return std::make_shared<BlockOperation>(PrivateTag{}, std::move(block));
}

void BlockOperation::main() { block_(); }

// OperationQueue

std::shared_ptr<OperationQueue> OperationQueue::create() {
  return std::make_shared<OperationQueue>(PrivateTag{});
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  if (!operation) base::fatalError("OperationQueue::addOperation called with a null operation");
  if (operation->enqueued_.exchange(true)) {
    base::fatalError("OperationQueue::addOperation: the operation was already added to a queue");
  }
  Operations ready;
  {
    base::LockGuard lock(mutex_);
    const int priority = static_cast<int>(operation->queuePriority());
    waiting_.emplace(std::make_pair(-priority, nextOrder_++), std::move(operation));
    ++count_;
    ready = takeReadyLocked();
  }
  start(std::move(ready));
}

void OperationQueue::addOperation(Block block) {
  addOperation(BlockOperation::create(std::move(block)));
}

int64_t OperationQueue::maxConcurrentOperationCount() const {
  base::LockGuard lock(mutex_);
  return maxConcurrent_;
}

void OperationQueue::setMaxConcurrentOperationCount(int64_t count) {
  if (count < defaultMaxConcurrentOperationCount) {
    base::fatalError("OperationQueue::setMaxConcurrentOperationCount: " + std::to_string(count) +
                     " is negative; use -1 for the default limit");
  }
  Operations ready;
  {
    base::LockGuard lock(mutex_);
    maxConcurrent_ = count;
    ready = takeReadyLocked();
  }
  start(std::move(ready));
}

std::size_t OperationQueue::operationCount() const {
  base::LockGuard lock(mutex_);
  return count_;
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  base::LockGuard lock(mutex_);
  if (count_ == 0) return;
  detail::BlockingScope blocking;
  mutex_.wait(allFinished_, [this]() KX_REQUIRES(mutex_) { return count_ == 0; });
}

OperationQueue::Operations OperationQueue::takeReadyLocked() {
  Operations ready;
  while (!waiting_.empty() && (maxConcurrent_ < 0 || running_ < maxConcurrent_)) {
    ready.push_back(std::move(waiting_.begin()->second));
    waiting_.erase(waiting_.begin());
    ++running_;
  }
  return ready;
}

void OperationQueue::start(Operations operations) {
  for (auto& operation : operations) {
    DispatchQueue::global()->async([self = shared_from_this(), operation = std::move(operation)] {
      operation->start();
      self->operationFinished();
    });
  }
}

void OperationQueue::operationFinished() {
  Operations ready;
  {
    base::LockGuard lock(mutex_);
    --running_;
    --count_;
    if (count_ == 0) allFinished_.notify_all();
    ready = takeReadyLocked();
  }
  start(std::move(ready));
}

}  // namespace dispatch
