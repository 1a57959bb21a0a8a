#pragma once

// `skip(duration, scheduler)` drops the elements that arrive before
// `duration` has passed on `scheduler` since the subscription, and passes the
// rest unchanged. Stop events always pass and end the subscription.
//
// No lock: the gate is a flag opened once by the timer, on the scheduler's
// context, and read on the source's thread; an atomic with release and
// acquire ordering hands it over safely.

#include <atomic>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Producer.h"
#include "RvStreams/Scheduler.h"

namespace rv {

namespace detail {

template <class T>
class SkipTimeSink final : public Sink<T>,
                           public ObserverType<T>,
                           public std::enable_shared_from_this<SkipTimeSink<T>> {
 public:
  SkipTimeSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)) {}

  Ref<Disposable> run(const Ref<Observable<T>>& source, DispatchTimeInterval duration,
                      const Ref<SchedulerType>& scheduler) {
    Ref<Disposable> timer =
        scheduler->scheduleRelative(Unit{}, duration, [self = this->shared_from_this()](Unit) {
          self->open_.store(true, std::memory_order_release);
          return Disposables::create();
        });
    Ref<Disposable> subscription = source->subscribe(this->shared_from_this());
    return Disposables::create(std::move(timer), std::move(subscription));
  }

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
class SkipTime final : public Producer<T> {
 public:
  SkipTime(Ref<Observable<T>> source, DispatchTimeInterval duration, Ref<SchedulerType> scheduler)
      : source_(std::move(source)), duration_(duration), scheduler_(std::move(scheduler)) {}

 protected:
  typename Producer<T>::SinkAndSubscription run(Ref<ObserverType<T>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink = std::make_shared<SkipTimeSink<T>>(std::move(observer), std::move(cancel));
    Ref<Disposable> subscription = sink->run(source_, duration_, scheduler_);
    return {std::move(sink), std::move(subscription)};
  }

 private:
  const Ref<Observable<T>> source_;
  const DispatchTimeInterval duration_;
  const Ref<SchedulerType> scheduler_;
};

struct SkipTimeOp : OperatorTag {
  DispatchTimeInterval duration;
  Ref<SchedulerType> scheduler;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    return std::make_shared<SkipTime<ElementOf<S>>>(rv::asObservable(source), duration,
                                                    std::move(scheduler));
  }
};

}  // namespace detail

// Drops the elements arriving within `duration` of the subscription, on
// `scheduler`.
inline detail::SkipTimeOp skip(DispatchTimeInterval duration, Ref<SchedulerType> scheduler) {
  return {{}, duration, std::move(scheduler)};
}

}  // namespace rv
