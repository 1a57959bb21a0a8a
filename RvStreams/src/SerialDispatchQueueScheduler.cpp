#include "RvStreams/SerialDispatchQueueScheduler.h"

#include <utility>

namespace rv {

using dispatch::DispatchQueue;

Ref<SerialDispatchQueueScheduler> SerialDispatchQueueScheduler::create(
    QueueRef serialQueue, DispatchTimeInterval leeway) {
  return std::make_shared<SerialDispatchQueueScheduler>(PrivateTag{}, std::move(serialQueue),
                                                        leeway);
}

Ref<SerialDispatchQueueScheduler> SerialDispatchQueueScheduler::create(
    std::string internalSerialQueueName, QueueConfiguration serialQueueConfiguration,
    DispatchTimeInterval leeway) {
  QueueRef queue = DispatchQueue::create(std::move(internalSerialQueueName));
  if (serialQueueConfiguration) serialQueueConfiguration(queue);
  return create(std::move(queue), leeway);
}

Ref<SerialDispatchQueueScheduler> SerialDispatchQueueScheduler::create(
    QueueRef queue, std::string internalSerialQueueName, DispatchTimeInterval leeway) {
  QueueRef serial = DispatchQueue::create(std::move(internalSerialQueueName),
                                          dispatch::DispatchQoS::unspecified(),
                                          DispatchQueue::Attributes::serial, std::move(queue));
  return create(std::move(serial), leeway);
}

Ref<SerialDispatchQueueScheduler> SerialDispatchQueueScheduler::create(
    dispatch::DispatchQoS qos, std::string internalSerialQueueName, DispatchTimeInterval leeway) {
  return create(DispatchQueue::global(qos.qosClass), std::move(internalSerialQueueName), leeway);
}

SerialDispatchQueueScheduler::SerialDispatchQueueScheduler(PrivateTag, QueueRef serialQueue,
                                                           DispatchTimeInterval leeway)
    : configuration_{std::move(serialQueue), leeway} {}

Date SerialDispatchQueueScheduler::now() const { return Date::now(); }

Ref<Disposable> SerialDispatchQueueScheduler::scheduleAction(ScheduledAction action) {
  return scheduleInternal(std::move(action));
}

Ref<Disposable> SerialDispatchQueueScheduler::scheduleInternal(ScheduledAction action) {
  return configuration_.schedule(std::move(action));
}

Ref<Disposable> SerialDispatchQueueScheduler::scheduleRelativeAction(DispatchTimeInterval dueTime,
                                                                     ScheduledAction action) {
  return configuration_.scheduleRelative(dueTime, std::move(action));
}

Ref<Disposable> SerialDispatchQueueScheduler::schedulePeriodicAction(
    DispatchTimeInterval startAfter, DispatchTimeInterval period, UniqueFunction<void()> tick) {
  return configuration_.schedulePeriodic(startAfter, period, std::move(tick));
}

}  // namespace rv
