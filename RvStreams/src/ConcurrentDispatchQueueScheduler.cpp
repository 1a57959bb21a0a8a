#include "RvStreams/ConcurrentDispatchQueueScheduler.h"

#include <utility>

namespace rv {

using dispatch::DispatchQueue;

Ref<ConcurrentDispatchQueueScheduler> ConcurrentDispatchQueueScheduler::create(
    QueueRef queue, DispatchTimeInterval leeway) {
  return std::make_shared<ConcurrentDispatchQueueScheduler>(PrivateTag{}, std::move(queue), leeway);
}

Ref<ConcurrentDispatchQueueScheduler> ConcurrentDispatchQueueScheduler::create(
    dispatch::DispatchQoS qos, DispatchTimeInterval leeway) {
  return create(DispatchQueue::create("rvstreams.queue." + qos.description(), qos,
                                      DispatchQueue::Attributes::concurrent),
                leeway);
}

ConcurrentDispatchQueueScheduler::ConcurrentDispatchQueueScheduler(PrivateTag, QueueRef queue,
                                                                   DispatchTimeInterval leeway)
    : configuration_{std::move(queue), leeway} {}

Date ConcurrentDispatchQueueScheduler::now() const { return Date::now(); }

Ref<Disposable> ConcurrentDispatchQueueScheduler::scheduleAction(ScheduledAction action) {
  return configuration_.schedule(std::move(action));
}

Ref<Disposable> ConcurrentDispatchQueueScheduler::scheduleRelativeAction(
    DispatchTimeInterval dueTime, ScheduledAction action) {
  return configuration_.scheduleRelative(dueTime, std::move(action));
}

Ref<Disposable> ConcurrentDispatchQueueScheduler::schedulePeriodicAction(
    DispatchTimeInterval startAfter, DispatchTimeInterval period, UniqueFunction<void()> tick) {
  return configuration_.schedulePeriodic(startAfter, period, std::move(tick));
}

}  // namespace rv
