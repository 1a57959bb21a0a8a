#pragma once

// `debounce` passes an element on only once no newer element has arrived for
// a quiet period after it. Every element starts a one-shot timer; only the
// timer of the latest element emits. Completion flushes the element still
// waiting; an error drops it.
//
// Source events and timers may come from different threads: both are handled
// under the sink's recursive lock, downstream delivery included.

#include <cstdint>
#include <optional>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"
#include "RvStreams/Scheduler.h"
#include "RvStreams/SerialDisposable.h"

namespace rv {

namespace detail {

template <class T>
class DebounceSink final : public Sink<T>,
                           public SynchronizedOnType<DebounceSink<T>, T>,
                           public std::enable_shared_from_this<DebounceSink<T>> {
 public:
  DebounceSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, DispatchTimeInterval dueTime,
               Ref<SchedulerType> scheduler)
      : Sink<T>(std::move(observer), std::move(cancel)),
        dueTime_(dueTime),
        scheduler_(std::move(scheduler)) {}

  // Subscribes upstream; the result ends the upstream subscription and the
  // pending timer.
  Ref<Disposable> run(const Ref<Observable<T>>& source) {
    Ref<Disposable> subscription = source->subscribe(this->shared_from_this());
    return Disposables::create(std::move(subscription), cancellable_);
  }

  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(lock_) { return lock_; }

  void synchronized_on(const Event<T>& event) noexcept KX_REQUIRES(lock()) {
    if (const T* element = event.element()) {
      const uint64_t number = ++id_;  // unsigned: wraps
      value_ = *element;
      // Replacing the serial disposable's content cancels the previous
      // element's timer.
      auto timer = SingleAssignmentDisposable::create();
      cancellable_->setDisposable(timer);
      timer->setDisposable(scheduler_->scheduleRelative(
          number, dueTime_, [self = this->shared_from_this()](uint64_t n) {
            LockGuard guard(self->lock_);
            self->propagate(n);
            return Disposables::create();
          }));
    } else if (event.error() != nullptr) {
      value_.reset();
      this->forwardStop(event);
    } else {
      if (value_) {
        T element = std::move(*value_);
        value_.reset();
        this->forwardOn(Event<T>::next(std::move(element)));
      }
      this->forwardStop(event);
    }
  }

 private:
  // The timer of element `n`: emits it unless a newer element arrived or the
  // element was already flushed or dropped.
  void propagate(uint64_t n) noexcept KX_REQUIRES(lock_) {
    if (value_ && id_ == n) {
      T element = std::move(*value_);
      value_.reset();
      this->forwardOn(Event<T>::next(std::move(element)));
    }
  }

  const DispatchTimeInterval dueTime_;
  const Ref<SchedulerType> scheduler_;
  RecursiveLock lock_;
  uint64_t id_ KX_GUARDED_BY(lock_) = 0;         // number of the latest element
  std::optional<T> value_ KX_GUARDED_BY(lock_);  // the element waiting
  const Ref<SerialDisposable> cancellable_ = SerialDisposable::create();
};

struct DebounceOp : SourceOperator<DebounceOp> {
  DispatchTimeInterval dueTime;
  Ref<SchedulerType> scheduler;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(std::make_shared<DebounceSink<T>>(std::move(observer), std::move(cancel),
                                                     dueTime, scheduler),
                   source);
  }
};

}  // namespace detail

// Emits an element only after `dueTime` has passed on `scheduler` without a
// newer element; the element waiting when the source completes is emitted
// before the completion.
inline detail::DebounceOp debounce(DispatchTimeInterval dueTime, Ref<SchedulerType> scheduler) {
  return {{}, dueTime, std::move(scheduler)};
}

}  // namespace rv
