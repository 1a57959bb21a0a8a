#pragma once

// `throttle` lets at most one element through per `dueTime`: the first
// element after a quiet period goes out at once; elements arriving while the
// period since the last emission still runs are dropped, or (with `latest`)
// the newest of them goes out when the period ends.
//
// Source events and the trailing-element timer are handled under the sink's
// recursive lock, downstream delivery included.

#include <optional>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"
#include "RvStreams/Scheduler.h"
#include "RvStreams/SchedulerTime.h"
#include "RvStreams/SerialDisposable.h"

namespace rv {

namespace detail {

template <class T>
class ThrottleSink final : public Sink<T>,
                           public SynchronizedOnType<ThrottleSink<T>, T>,
                           public std::enable_shared_from_this<ThrottleSink<T>> {
 public:
  ThrottleSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, DispatchTimeInterval dueTime,
               bool latest, Ref<SchedulerType> scheduler)
      : Sink<T>(std::move(observer), std::move(cancel)),
        dueTime_(dueTime),
        latest_(latest),
        scheduler_(std::move(scheduler)) {}

  Ref<Disposable> run(const Ref<Observable<T>>& source) {
    Ref<Disposable> subscription = source->subscribe(this->shared_from_this());
    return Disposables::create(std::move(subscription), cancellable_);
  }

  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(lock_) { return lock_; }

  void synchronized_on(const Event<T>& event) noexcept KX_REQUIRES(lock()) {
    if (const T* element = event.element()) {
      const Date now = scheduler_->now();
      // Less than half a unit of the period left rounds to "now": the element
      // goes out at once.
      const DispatchTimeInterval remaining =
          lastSentTime_ ? reduceWithSpanBetween(dueTime_, *lastSentTime_, now)
                        : DispatchTimeInterval::nanoseconds(0);
      if (isNow(remaining)) {
        sendNow(*element);
        return;
      }
      if (!latest_) return;
      const bool alreadyWaiting = lastUnsentElement_.has_value();
      lastUnsentElement_ = *element;
      if (alreadyWaiting) return;  // its timer already runs
      auto timer = SingleAssignmentDisposable::create();
      cancellable_->setDisposable(timer);
      timer->setDisposable(
          scheduler_->scheduleRelative(0, remaining, [self = this->shared_from_this()](int) {
            self->propagate();
            return Disposables::create();
          }));
    } else if (event.error() != nullptr) {
      lastUnsentElement_.reset();
      this->forwardStop(event);
    } else if (lastUnsentElement_) {
      completed_ = true;  // the trailing timer emits the element, then completes
    } else {
      this->forwardStop(event);
    }
  }

 private:
  // Called under the lock. The period is measured from the end of the
  // forwarding.
  void sendNow(T element) noexcept KX_REQUIRES(lock_) {
    lastUnsentElement_.reset();
    this->forwardOn(Event<T>::next(std::move(element)));
    lastSentTime_ = scheduler_->now();
  }

  // The trailing-element timer.
  void propagate() noexcept {
    LockGuard guard(lock_);
    if (lastUnsentElement_) {
      T element = std::move(*lastUnsentElement_);
      sendNow(std::move(element));
    }
    if (completed_) this->forwardStop(Event<T>::completed());
  }

  const DispatchTimeInterval dueTime_;
  const bool latest_;
  const Ref<SchedulerType> scheduler_;
  RecursiveLock lock_;
  std::optional<T> lastUnsentElement_ KX_GUARDED_BY(lock_);
  std::optional<Date> lastSentTime_ KX_GUARDED_BY(lock_);
  bool completed_ KX_GUARDED_BY(lock_) = false;
  const Ref<SerialDisposable> cancellable_ = SerialDisposable::create();
};

struct ThrottleOp : SourceOperator<ThrottleOp> {
  DispatchTimeInterval dueTime;
  bool latest;
  Ref<SchedulerType> scheduler;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(std::make_shared<ThrottleSink<T>>(std::move(observer), std::move(cancel),
                                                     dueTime, latest, scheduler),
                   source);
  }
};

}  // namespace detail

// Emits the first element at once and then at most one element per `dueTime`
// on `scheduler`. Elements arriving within the period are dropped, or, with
// `latest`, the newest of them is emitted when the period ends (and a
// completion arriving meanwhile waits for it).
inline detail::ThrottleOp throttle(DispatchTimeInterval dueTime, bool latest,
                                   Ref<SchedulerType> scheduler) {
  return {{}, dueTime, latest, std::move(scheduler)};
}

}  // namespace rv
