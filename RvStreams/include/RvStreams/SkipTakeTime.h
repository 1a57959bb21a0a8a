#pragma once

// The operators bounded by a time span from the subscription, on a scheduler:
// - `skip(duration, scheduler)` drops the elements that arrive within the
//   span and passes the rest unchanged. No lock: the gate is a flag opened
//   once by the timer, on the scheduler's context, and read on the source's
//   thread; an atomic with release and acquire ordering hands it over safely.
// - `takeFor(duration, scheduler)` (also spelled `take(duration, scheduler)`)
//   passes the source's events within the span, then completes. Source events
//   and the closing timer run under the sink's recursive lock, forwarding
//   included, so an element and the completion never overlap.
// Stop events of the source always pass and end the subscription.

#include <atomic>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"
#include "RvStreams/Scheduler.h"

namespace rv {

namespace detail {

// Starts the span's timer, which calls `sink->spanEnded()`, then subscribes
// the sink to the source.
template <class SinkT, class T>
Ref<Disposable> runTimeSpan(const Ref<SinkT>& sink, const Ref<Observable<T>>& source,
                            DispatchTimeInterval duration, const Ref<SchedulerType>& scheduler) {
  Ref<Disposable> timer = scheduler->scheduleRelative(Unit{}, duration, [sink](Unit) {
    sink->spanEnded();
    return Disposables::create();
  });
  Ref<Disposable> subscription = source->subscribe(sink);
  return Disposables::create(std::move(timer), std::move(subscription));
}

template <class T>
class SkipTimeSink final : public Sink<T>, public ObserverType<T> {
 public:
  using Sink<T>::Sink;

  void spanEnded() noexcept { open_.store(true, std::memory_order_release); }

  void on(const Event<T>& event) noexcept override {
    if (event.isNext()) {
      if (open_.load(std::memory_order_acquire)) this->forwardOn(event);
    } else {
      this->forwardStop(event);
    }
  }

 private:
  std::atomic<bool> open_{false};
};

template <class T>
class TakeTimeSink final : public Sink<T>, public SynchronizedOnType<TakeTimeSink<T>, T> {
 public:
  using Sink<T>::Sink;

  void spanEnded() noexcept {
    LockGuard guard(lock_);
    this->forwardStop(Event<T>::completed());
  }

  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(lock_) { return lock_; }

  void synchronized_on(const Event<T>& event) noexcept KX_REQUIRES(lock()) {
    if (event.isNext()) {
      this->forwardOn(event);
    } else {
      this->forwardStop(event);
    }
  }

 private:
  RecursiveLock lock_;
};

template <template <class> class SinkT>
struct TimeSpanOp : SourceOperator<TimeSpanOp<SinkT>> {
  DispatchTimeInterval duration;
  Ref<SchedulerType> scheduler;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    auto sink = std::make_shared<SinkT<T>>(std::move(observer), std::move(cancel));
    Ref<Disposable> subscription = runTimeSpan(sink, source, duration, scheduler);
    return {std::move(sink), std::move(subscription)};
  }
};

using SkipTimeOp = TimeSpanOp<SkipTimeSink>;
using TakeTimeOp = TimeSpanOp<TakeTimeSink>;

}  // namespace detail

// Drops the elements arriving within `duration` of the subscription, on
// `scheduler`.
inline detail::SkipTimeOp skip(DispatchTimeInterval duration, Ref<SchedulerType> scheduler) {
  return {{}, duration, std::move(scheduler)};
}

// Passes the source's events for `duration` after the subscription on
// `scheduler`, then completes.
inline detail::TakeTimeOp takeFor(DispatchTimeInterval duration, Ref<SchedulerType> scheduler) {
  return {{}, duration, std::move(scheduler)};
}

// The same operation as `takeFor`.
inline detail::TakeTimeOp take(DispatchTimeInterval duration, Ref<SchedulerType> scheduler) {
  return takeFor(duration, std::move(scheduler));
}

}  // namespace rv
