#pragma once

// `buffer` collects the source's elements into arrays and emits an array when
// it holds `count` elements or when `timeSpan` has passed since its window
// opened, whichever comes first; each emission opens a new window with a new
// timer. A window closed by its timer is emitted even when empty. A `count`
// of 0 or less never closes a window by count.
//
// Source events and timers are handled under the sink's recursive lock,
// downstream delivery included.

#include <cstdint>
#include <utility>
#include <vector>

#include "RvStreams/Disposables.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"
#include "RvStreams/Scheduler.h"
#include "RvStreams/SerialDisposable.h"

namespace rv {

namespace detail {

template <class T>
class BufferTimeCountSink final : public Sink<std::vector<T>>,
                                  public SynchronizedOnType<BufferTimeCountSink<T>, T>,
                                  public std::enable_shared_from_this<BufferTimeCountSink<T>> {
  using Out = std::vector<T>;

 public:
  BufferTimeCountSink(Ref<ObserverType<Out>> observer, Ref<Cancelable> cancel,
                      DispatchTimeInterval timeSpan, int64_t count, Ref<SchedulerType> scheduler)
      : Sink<Out>(std::move(observer), std::move(cancel)),
        timeSpan_(timeSpan),
        count_(count),
        scheduler_(std::move(scheduler)) {}

  Ref<Disposable> run(const Ref<Observable<T>>& source) {
    createTimer(0);  // the first window's timer starts before the subscription
    Ref<Disposable> subscription = source->subscribe(this->shared_from_this());
    return Disposables::create(timerD_, std::move(subscription));
  }

  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(lock_) { return lock_; }

  void synchronized_on(const Event<T>& event) noexcept KX_REQUIRES(lock()) {
    if (const T* element = event.element()) {
      buffer_.push_back(*element);
      // Exact equality: a count of 0 or less never closes a window.
      if (static_cast<int64_t>(buffer_.size()) == count_) startNewWindowAndSendCurrentOne();
    } else if (event.error() != nullptr) {
      buffer_.clear();
      this->forwardStopFrom(event);
    } else {
      this->forwardOn(Event<Out>::next(std::move(buffer_)));
      buffer_.clear();
      this->forwardStop(Event<Out>::completed());
    }
  }

 private:
  // Starts the timer of window `window` unless a newer window has started its
  // own (or the sink is disposed).
  void createTimer(uint64_t window) {
    LockGuard guard(lock_);
    if (timerD_->isDisposed() || windowID_ != window) return;
    auto nextTimer = SingleAssignmentDisposable::create();
    timerD_->setDisposable(nextTimer);  // cancels the previous window's timer
    nextTimer->setDisposable(scheduler_->scheduleRelative(
        window, timeSpan_, [self = this->shared_from_this()](uint64_t w) {
          LockGuard guard(self->lock_);
          // A window already closed by count leaves its timer stale.
          if (self->windowID_ == w) self->startNewWindowAndSendCurrentOne();
          return Disposables::create();
        }));
  }

  void startNewWindowAndSendCurrentOne() noexcept KX_REQUIRES(lock_) {
    const uint64_t window = ++windowID_;  // unsigned: wraps
    Out current = std::move(buffer_);
    buffer_.clear();
    this->forwardOn(Event<Out>::next(std::move(current)));
    createTimer(window);
  }

  const DispatchTimeInterval timeSpan_;
  const int64_t count_;
  const Ref<SchedulerType> scheduler_;
  RecursiveLock lock_;
  const Ref<SerialDisposable> timerD_ = SerialDisposable::create();
  Out buffer_ KX_GUARDED_BY(lock_);
  uint64_t windowID_ KX_GUARDED_BY(lock_) = 0;
};

struct BufferOp : SourceOperator<BufferOp> {
  template <class T>
  using Output = std::vector<T>;
  DispatchTimeInterval timeSpan;
  int64_t count;
  Ref<SchedulerType> scheduler;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<Output<T>>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(std::make_shared<BufferTimeCountSink<T>>(std::move(observer), std::move(cancel),
                                                            timeSpan, count, scheduler),
                   source);
  }
};

}  // namespace detail

// Emits the source's elements in arrays: an array closes when it holds
// `count` elements or `timeSpan` after it opened on `scheduler`. Completion
// emits the open array (even empty), then completes; an error drops it.
inline detail::BufferOp buffer(DispatchTimeInterval timeSpan, int64_t count,
                               Ref<SchedulerType> scheduler) {
  return {{}, timeSpan, count, std::move(scheduler)};
}

}  // namespace rv
