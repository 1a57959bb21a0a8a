#pragma once

// `window` splits a sequence into consecutive windows, each a sequence of
// its own emitted as an element of the output. A window closes (completes)
// and the next one opens when it has received `count` elements or `timeSpan`
// after it opened, whichever comes first; a `count` of 0 or less closes
// windows by time only. The first window is emitted on subscription.
//
// Every window shares the source subscription by reference count with the
// outer subscription: after the outer subscription is disposed, the source
// stays subscribed while any window subscription lasts.
//
// Source events and window switches run under the sink's recursive lock,
// delivery included.

#include <cstdint>
#include <utility>

#include "RvStreams/CompositeDisposable.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/GroupBy.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreams/Scheduler.h"
#include "RvStreams/SerialDisposable.h"

namespace rv {

namespace detail {

template <class T>
class WindowTimeCountSink final : public Sink<Ref<Observable<T>>>,
                                  public SynchronizedOnType<WindowTimeCountSink<T>, T>,
                                  public std::enable_shared_from_this<WindowTimeCountSink<T>> {
  using Window = Ref<Observable<T>>;

 public:
  WindowTimeCountSink(Ref<ObserverType<Window>> observer, Ref<Cancelable> cancel,
                      DispatchTimeInterval timeSpan, int64_t count, Ref<SchedulerType> scheduler)
      : Sink<Window>(std::move(observer), std::move(cancel)),
        timeSpan_(timeSpan),
        count_(count),
        scheduler_(std::move(scheduler)) {
    groupDisposable_->insert(timerD_);
  }

  // Reads the first window without the lock: nothing else can reach the sink
  // before its timer starts.
  Ref<Disposable> run(const Ref<Observable<T>>& source) KX_NO_THREAD_SAFETY_ANALYSIS {
    this->forwardOn(Event<Window>::next(currentWindow()));
    createTimer(0);
    groupDisposable_->insert(source->subscribe(this->shared_from_this()));
    return refCountDisposable_;
  }

  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(lock_) { return lock_; }

  void synchronized_on(const Event<T>& event) noexcept KX_REQUIRES(lock()) {
    if (event.isNext()) {
      subject_->on(event);
      ++elementCount_;
      // Exact equality: a count of 0 or less never closes a window.
      if (elementCount_ == count_) {
        elementCount_ = 0;
        const uint64_t window = ++windowId_;  // unsigned: wraps
        startNewWindowAndCompleteCurrentOne();
        createTimer(window);
      }
    } else {
      subject_->on(event);
      this->forwardStopFrom(event);
    }
  }

 private:
  // The open window, tied to the shared source subscription.
  Window currentWindow() KX_REQUIRES(lock_) {
    return addRef(Ref<Observable<T>>(subject_), refCountDisposable_);
  }

  void startNewWindowAndCompleteCurrentOne() noexcept KX_REQUIRES(lock_) {
    subject_->on(Event<T>::completed());
    subject_ = PublishSubject<T>::create();
    this->forwardOn(Event<Window>::next(currentWindow()));
  }

  // Starts the timer of window `window` unless a newer window started its own
  // (or the sink is disposed). The check, the replacement of the previous
  // timer and the scheduling happen under one hold of the lock, so a timer
  // started for an older window can never replace a newer window's timer.
  void createTimer(uint64_t window) {
    LockGuard guard(lock_);
    if (timerD_->isDisposed() || windowId_ != window) return;
    auto nextTimer = SingleAssignmentDisposable::create();
    timerD_->setDisposable(nextTimer);  // cancels the previous window's timer
    nextTimer->setDisposable(scheduler_->scheduleRelative(
        window, timeSpan_, [self = this->shared_from_this()](uint64_t w) {
          self->onTimer(w);
          return Disposables::create();
        }));
  }

  void onTimer(uint64_t window) noexcept {
    LockGuard guard(lock_);
    if (window != windowId_) return;  // closed by count meanwhile
    elementCount_ = 0;
    const uint64_t next = ++windowId_;
    startNewWindowAndCompleteCurrentOne();
    createTimer(next);
  }

  const DispatchTimeInterval timeSpan_;
  const int64_t count_;
  const Ref<SchedulerType> scheduler_;
  RecursiveLock lock_;
  Ref<PublishSubject<T>> subject_ KX_GUARDED_BY(lock_) = PublishSubject<T>::create();
  int64_t elementCount_ KX_GUARDED_BY(lock_) = 0;
  uint64_t windowId_ KX_GUARDED_BY(lock_) = 0;
  // The timer and the source subscription, shared by the outer subscription
  // and every window subscription.
  const Ref<SerialDisposable> timerD_ = SerialDisposable::create();
  const Ref<CompositeDisposable> groupDisposable_ = CompositeDisposable::create();
  const Ref<RefCountDisposable> refCountDisposable_ = RefCountDisposable::create(groupDisposable_);
};

struct WindowOp : SourceOperator<WindowOp> {
  template <class T>
  using Output = Ref<Observable<T>>;
  DispatchTimeInterval timeSpan;
  int64_t count;
  Ref<SchedulerType> scheduler;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<Output<T>>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(std::make_shared<WindowTimeCountSink<T>>(std::move(observer), std::move(cancel),
                                                            timeSpan, count, scheduler),
                   source);
  }
};

}  // namespace detail

// Emits windows of the source's elements: each window is a sequence that
// completes after `count` elements or `timeSpan` after it opened on
// `scheduler`, when the next window is emitted. A source error or completion
// reaches the open window and the output.
inline detail::WindowOp window(DispatchTimeInterval timeSpan, int64_t count,
                               Ref<SchedulerType> scheduler) {
  return {{}, timeSpan, count, std::move(scheduler)};
}

}  // namespace rv
