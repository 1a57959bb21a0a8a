#pragma once

// The scheduler over one serial dispatch queue: actions run on the queue one
// at a time, in the order they were scheduled (timed actions when they fall
// due). Scheduling calls may come from any thread.

#include <dispatch/DispatchQueue.h>
#include <dispatch/QoS.h>

#include <functional>
#include <memory>
#include <string>

#include "RvStreams/DispatchQueueConfiguration.h"
#include "RvStreams/Scheduler.h"

namespace rv {

class SerialDispatchQueueScheduler : public SchedulerType {
 protected:
  struct PrivateTag {};

 public:
  using QueueRef = std::shared_ptr<dispatch::DispatchQueue>;
  // Called once with a newly made queue before anything else uses it.
  using QueueConfiguration = std::function<void(const QueueRef&)>;

  // Over `serialQueue`, which is not checked to be serial.
  static Ref<SerialDispatchQueueScheduler> create(
      QueueRef serialQueue, DispatchTimeInterval leeway = DispatchTimeInterval::nanoseconds(0));

  // Over a new serial queue labelled `internalSerialQueueName` (no target of
  // its own); `serialQueueConfiguration`, when given, is called with it first.
  static Ref<SerialDispatchQueueScheduler> create(
      std::string internalSerialQueueName, QueueConfiguration serialQueueConfiguration = nullptr,
      DispatchTimeInterval leeway = DispatchTimeInterval::nanoseconds(0));

  // Over a new serial queue labelled `internalSerialQueueName` that targets
  // `queue`, so the work runs serially on top of a possibly concurrent queue.
  static Ref<SerialDispatchQueueScheduler> create(
      QueueRef queue, std::string internalSerialQueueName,
      DispatchTimeInterval leeway = DispatchTimeInterval::nanoseconds(0));

  // As above, on top of the global queue of `qos`'s class.
  static Ref<SerialDispatchQueueScheduler> create(
      dispatch::DispatchQoS qos, std::string internalSerialQueueName,
      DispatchTimeInterval leeway = DispatchTimeInterval::nanoseconds(0));

  // Public only for std::make_shared; use `create`.
  SerialDispatchQueueScheduler(PrivateTag, QueueRef serialQueue, DispatchTimeInterval leeway);

  const DispatchQueueConfiguration& configuration() const noexcept { return configuration_; }

  // SchedulerType:
  // The wall-clock time at each call.
  Date now() const override;
  // Every immediate schedule goes through `scheduleInternal`.
  Ref<Disposable> scheduleAction(ScheduledAction action) final;
  Ref<Disposable> scheduleRelativeAction(DispatchTimeInterval dueTime,
                                         ScheduledAction action) final;
  Ref<Disposable> schedulePeriodicAction(DispatchTimeInterval startAfter,
                                         DispatchTimeInterval period,
                                         UniqueFunction<void()> tick) override;

 protected:
  // Submits to the queue; never runs `action` on the calling stack.
  virtual Ref<Disposable> scheduleInternal(ScheduledAction action);

 private:
  const DispatchQueueConfiguration configuration_;
};

}  // namespace rv
