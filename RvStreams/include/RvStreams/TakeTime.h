#pragma once

// `takeFor(duration, scheduler)` (also spelled `take(duration, scheduler)`)
// passes the source's events for `duration` after the subscription, then
// completes. Source events and the closing timer run under the sink's
// recursive lock, forwarding included, so an element and the completion never
// overlap.

#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"
#include "RvStreams/Scheduler.h"

namespace rv {

namespace detail {

template <class T>
class TakeTimeSink final : public Sink<T>,
                           public SynchronizedOnType<TakeTimeSink<T>, T>,
                           public std::enable_shared_from_this<TakeTimeSink<T>> {
 public:
  TakeTimeSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)) {}

  Ref<Disposable> run(const Ref<Observable<T>>& source, DispatchTimeInterval duration,
                      const Ref<SchedulerType>& scheduler) {
    Ref<Disposable> timer =
        scheduler->scheduleRelative(Unit{}, duration, [self = this->shared_from_this()](Unit) {
          LockGuard guard(self->lock_);
          self->forwardStop(Event<T>::completed());
          return Disposables::create();
        });
    Ref<Disposable> subscription = source->subscribe(this->shared_from_this());
    return Disposables::create(std::move(timer), std::move(subscription));
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

template <class T>
class TakeTime final : public Producer<T> {
 public:
  TakeTime(Ref<Observable<T>> source, DispatchTimeInterval duration, Ref<SchedulerType> scheduler)
      : source_(std::move(source)), duration_(duration), scheduler_(std::move(scheduler)) {}

 protected:
  typename Producer<T>::SinkAndSubscription run(Ref<ObserverType<T>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink = std::make_shared<TakeTimeSink<T>>(std::move(observer), std::move(cancel));
    Ref<Disposable> subscription = sink->run(source_, duration_, scheduler_);
    return {std::move(sink), std::move(subscription)};
  }

 private:
  const Ref<Observable<T>> source_;
  const DispatchTimeInterval duration_;
  const Ref<SchedulerType> scheduler_;
};

struct TakeTimeOp : OperatorTag {
  DispatchTimeInterval duration;
  Ref<SchedulerType> scheduler;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    return std::make_shared<TakeTime<ElementOf<S>>>(rv::asObservable(source), duration,
                                                    std::move(scheduler));
  }
};

}  // namespace detail

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
