#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "base/Mutex.h"
#include "dispatch/DispatchQueue.h"

namespace dispatch {

class OperationQueue;

// A piece of work run once by an `OperationQueue`. Held by `std::shared_ptr`;
// the state queries may be called from any thread.
class Operation : public std::enable_shared_from_this<Operation> {
 public:
  // Among the ready operations of a queue, higher priorities start first;
  // equal ones in the order they were added.
  enum class QueuePriority : int { veryLow = -8, low = -4, normal = 0, high = 4, veryHigh = 8 };

  virtual ~Operation() = default;
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // Read when the operation is added to a queue; later changes have no effect.
  QueuePriority queuePriority() const { return priority_.load(); }
  void setQueuePriority(QueuePriority priority) { priority_.store(priority); }

  // Marks the operation cancelled: if it has not started, it finishes without
  // running its work when its queue reaches it. No effect on work that runs.
  void cancel() { cancelled_.store(true); }
  bool isCancelled() const { return cancelled_.load(); }
  bool isExecuting() const;
  bool isFinished() const;

  // Waits until the operation has finished. Must not be called from the
  // operation's own work (that would wait for ever).
  void waitUntilFinished();

 protected:
  Operation() = default;
  // The work; runs once on a worker thread.
  virtual void main() = 0;

 private:
  friend class OperationQueue;
  enum class State { ready, executing, finished };
  void start();

  std::atomic<QueuePriority> priority_{QueuePriority::normal};
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> enqueued_{false};
  mutable base::Mutex mutex_;
  std::condition_variable finished_;
  State state_ KX_GUARDED_BY(mutex_) = State::ready;
};

// An operation that runs one block.
class BlockOperation final : public Operation {
  struct PrivateTag {};

 public:
  // A null block stops the process with a fatal error.
  static std::shared_ptr<BlockOperation> create(Block block);

  // Public only for std::make_shared; use `create`.
  BlockOperation(PrivateTag, Block block) : block_(std::move(block)) {}

 protected:
  void main() override;

 private:
  Block block_;
};

// Runs operations on the worker pool behind the global queues, at most
// `maxConcurrentOperationCount` at a time, highest priority first. Held by
// `std::shared_ptr`; operations in flight keep it alive. Any thread.
class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
  struct PrivateTag {};

 public:
  // Let the system decide how many operations run at once.
  static constexpr int64_t defaultMaxConcurrentOperationCount = -1;

  static std::shared_ptr<OperationQueue> create();

  // Queues `operation` to start when a slot is free. A null operation, or one
  // that was already added to a queue, stops the process with a fatal error.
  void addOperation(std::shared_ptr<Operation> operation);
  // Wraps `block` in a `BlockOperation` and adds it.
  void addOperation(Block block);

  int64_t maxConcurrentOperationCount() const;
  // -1 (`defaultMaxConcurrentOperationCount`) for no limit of ours, 0 to start
  // nothing until raised again, N to run at most N at once. Any other negative
  // value stops the process with a fatal error. Raising it starts waiting
  // operations at once.
  void setMaxConcurrentOperationCount(int64_t count);

  // Operations added and not yet finished.
  std::size_t operationCount() const;

  // Waits until every operation added so far (and any added meanwhile) has
  // finished. Must not be called from an operation of this queue.
  void waitUntilAllOperationsAreFinished();

  // Public only for std::make_shared; use `create`.
  explicit OperationQueue(PrivateTag) {}

 private:
  using Operations = std::vector<std::shared_ptr<Operation>>;
  // Takes from the waiting ones those a free slot lets start now, to be
  // started by `start` once the lock is let go.
  Operations takeReadyLocked() KX_REQUIRES(mutex_);
  void start(Operations operations);
  void operationFinished();

  mutable base::Mutex mutex_;
  std::condition_variable allFinished_;
  // Waiting operations by (-priority, order added).
  std::map<std::pair<int, uint64_t>, std::shared_ptr<Operation>> waiting_ KX_GUARDED_BY(mutex_);
  uint64_t nextOrder_ KX_GUARDED_BY(mutex_) = 0;
  int64_t maxConcurrent_ KX_GUARDED_BY(mutex_) = defaultMaxConcurrentOperationCount;
  int64_t running_ KX_GUARDED_BY(mutex_) = 0;
  std::size_t count_ KX_GUARDED_BY(mutex_) = 0;
};

}  // namespace dispatch
