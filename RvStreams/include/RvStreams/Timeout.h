#pragma once

// `timeout` watches the gap before the first element and between consecutive
// elements. When nothing arrives within `dueTime`, the source is abandoned
// and the output switches over to another sequence; without one, it fails
// with the library's timeout error ("Sequence timeout.").

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Just.h"
#include "RvStreams/Producer.h"
#include "RvStreams/RvError.h"
#include "RvStreams/Scheduler.h"
#include "RvStreams/SerialDisposable.h"

namespace rv {

namespace detail {

// The race between the source's latest event and the timer is settled under
// the lock by the timer number: an event moves the number on, so an older
// timer cannot win afterwards; a winning timer marks the sink switched, so
// later source events are dropped. Events are forwarded outside the lock.
template <class T>
class TimeoutSink final : public Sink<T>,
                          public ObserverType<T>,
                          public std::enable_shared_from_this<TimeoutSink<T>> {
 public:
  TimeoutSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, DispatchTimeInterval dueTime,
              Ref<Observable<T>> other, Ref<SchedulerType> scheduler)
      : Sink<T>(std::move(observer), std::move(cancel)),
        dueTime_(dueTime),
        other_(std::move(other)),
        scheduler_(std::move(scheduler)) {}

  Ref<Disposable> run(const Ref<Observable<T>>& source) {
    auto original = SingleAssignmentDisposable::create();
    subscription_->setDisposable(original);
    createTimeoutTimer();  // the first gap starts before the source is subscribed
    original->setDisposable(source->subscribe(this->shared_from_this()));
    return Disposables::create(subscription_, timerD_);
  }

  void on(const Event<T>& event) noexcept override {
    bool passes;
    {
      LockGuard guard(lock_);
      passes = !switched_;
      if (passes) ++id_;  // unsigned: wraps
    }
    if (!passes) return;
    if (event.isStopEvent()) {
      this->forwardStop(event);
    } else {
      this->forwardOn(event);
      createTimeoutTimer();
    }
  }

 private:
  void createTimeoutTimer() {
    if (timerD_->isDisposed()) return;
    auto nextTimer = SingleAssignmentDisposable::create();
    timerD_->setDisposable(nextTimer);  // cancels the previous timer
    uint64_t number;
    {
      LockGuard guard(lock_);
      number = id_;
    }
    nextTimer->setDisposable(scheduler_->scheduleRelative(
        number, dueTime_, [self = this->shared_from_this()](uint64_t n) {
          self->onTimer(n);
          return Disposables::create();
        }));
  }

  void onTimer(uint64_t number) noexcept {
    bool timerWins;
    {
      LockGuard guard(lock_);
      // Once switched, always switched: a stale timer that fires late (its
      // cancellation lost the race) must not let the abandoned source through
      // again alongside `other`.
      timerWins = !switched_ && id_ == number;
      if (timerWins) switched_ = true;
    }
    if (timerWins) {
      // Replacing the subscription disposes the one to the source.
      subscription_->setDisposable(other_->subscribe(this->forwarder()));
    }
  }

  const DispatchTimeInterval dueTime_;
  const Ref<Observable<T>> other_;
  const Ref<SchedulerType> scheduler_;
  RecursiveLock lock_;
  const Ref<SerialDisposable> timerD_ = SerialDisposable::create();
  const Ref<SerialDisposable> subscription_ = SerialDisposable::create();
  uint64_t id_ KX_GUARDED_BY(lock_) = 0;  // number of the current timer
  bool switched_ KX_GUARDED_BY(lock_) = false;
};

// Applied, the operator binds its form with `Other` the source's observable
// type to the producer.
template <class Other>
struct TimeoutOp : OperatorTag {
  DispatchTimeInterval dueTime;
  Other other;
  Ref<SchedulerType> scheduler;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    Ref<Observable<T>> fallback;
    if constexpr (std::is_same_v<Other, std::nullptr_t>) {
      fallback = rv::error<T>(std::make_exception_ptr(RvError::timeout()));
    } else {
      fallback = rv::asObservable(other);
    }
    return bindOperator(
        rv::asObservable(source),
        TimeoutOp<Ref<Observable<T>>>{{}, dueTime, std::move(fallback), std::move(scheduler)});
  }
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(std::make_shared<TimeoutSink<T>>(std::move(observer), std::move(cancel), dueTime,
                                                    other, scheduler),
                   source);
  }
};

}  // namespace detail

// Fails with the library's timeout error when no event arrives within
// `dueTime` of the subscription or of the previous element, on `scheduler`.
inline detail::TimeoutOp<std::nullptr_t> timeout(DispatchTimeInterval dueTime,
                                                 Ref<SchedulerType> scheduler) {
  return {{}, dueTime, nullptr, std::move(scheduler)};
}

// Switches over to `other` when no event arrives within `dueTime` of the
// subscription or of the previous element, on `scheduler`.
template <ObservableConvertible Other>
detail::TimeoutOp<std::decay_t<Other>> timeout(DispatchTimeInterval dueTime, Other&& other,
                                               Ref<SchedulerType> scheduler) {
  return {{}, dueTime, std::forward<Other>(other), std::move(scheduler)};
}

}  // namespace rv
