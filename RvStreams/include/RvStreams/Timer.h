#pragma once

// Sequences of integers from a scheduler's clock. A one-shot timer emits 0
// after `dueTime` and completes; a periodic timer emits 0, 1, 2, ... first
// after `dueTime`, then every `period`, and never completes (only disposal
// ends it). The counter wraps around at the element type's maximum.

#include <concepts>
#include <optional>
#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Lock.h"
#include "RvStreams/Producer.h"
#include "RvStreams/Scheduler.h"

namespace rv {

// The element types of timers: fixed-width integers.
template <class T>
concept TimerElement = std::integral<T> && !std::same_as<T, bool>;

namespace detail {

// The periodic sink: each tick forwards under the lock, so two ticks never
// forward at the same time.
template <TimerElement T>
class TimerSink final : public Sink<T>, public std::enable_shared_from_this<TimerSink<T>> {
 public:
  TimerSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)) {}

  Ref<Disposable> run(const Ref<SchedulerType>& scheduler, DispatchTimeInterval dueTime,
                      DispatchTimeInterval period) {
    return scheduler->schedulePeriodic(
        T{0}, dueTime, period, [self = this->shared_from_this()](T state) {
          {
            LockGuard guard(self->lock_);
            self->forwardOn(Event<T>::next(state));
          }
          return static_cast<T>(static_cast<std::make_unsigned_t<T>>(state) + 1u);
        });
  }

 private:
  RecursiveLock lock_;
};

// The one-shot sink. The timer refers to the sink without owning it: the
// subscription keeps it alive.
template <TimerElement T>
class TimerOneOffSink final : public Sink<T>,
                              public std::enable_shared_from_this<TimerOneOffSink<T>> {
 public:
  TimerOneOffSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)) {}

  Ref<Disposable> run(const Ref<SchedulerType>& scheduler, DispatchTimeInterval dueTime) {
    return scheduler->scheduleRelative(Weak<TimerOneOffSink>(this->shared_from_this()), dueTime,
                                       [](const Weak<TimerOneOffSink>& weak) {
                                         if (Ref<TimerOneOffSink> self = weak.lock()) {
                                           self->forwardOn(Event<T>::next(T{0}));
                                           self->forwardStop(Event<T>::completed());
                                         }
                                         return Disposables::create();
                                       });
  }
};

template <TimerElement T>
Ref<Observable<T>> makeTimer(DispatchTimeInterval dueTime,
                             std::optional<DispatchTimeInterval> period,
                             Ref<SchedulerType> scheduler) {
  if (period) {
    return makeProducer<T>([dueTime, period = *period, scheduler = std::move(scheduler)](
                               Ref<ObserverType<T>> observer, Ref<Cancelable> cancel) {
      return runSink(std::make_shared<TimerSink<T>>(std::move(observer), std::move(cancel)),
                     scheduler, dueTime, period);
    });
  }
  return makeProducer<T>([dueTime, scheduler = std::move(scheduler)](Ref<ObserverType<T>> observer,
                                                                     Ref<Cancelable> cancel) {
    return runSink(std::make_shared<TimerOneOffSink<T>>(std::move(observer), std::move(cancel)),
                   scheduler, dueTime);
  });
}

}  // namespace detail

// Emits 0 after `dueTime` on `scheduler`; without a `period` it then
// completes, with one it goes on emitting 1, 2, ... every `period`.
template <TimerElement T>
Ref<Observable<T>> timer(DispatchTimeInterval dueTime, std::optional<DispatchTimeInterval> period,
                         Ref<SchedulerType> scheduler) {
  return detail::makeTimer<T>(dueTime, period, std::move(scheduler));
}

// Emits 0, 1, 2, ... every `period` on `scheduler`, the first after one
// period.
template <TimerElement T>
Ref<Observable<T>> interval(DispatchTimeInterval period, Ref<SchedulerType> scheduler) {
  return detail::makeTimer<T>(period, period, std::move(scheduler));
}

}  // namespace rv
