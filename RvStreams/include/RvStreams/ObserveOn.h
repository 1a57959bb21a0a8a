#pragma once

// `observeOn` re-delivers every event of a source on a scheduler, in order.
// The source is still subscribed on the caller's thread; only delivery moves.
//
// On a serial dispatch-queue scheduler (the main scheduler included) the sink
// queues the events and posts one drain whenever its queue goes from empty to
// non-empty; the serial queue keeps the drains apart. Any other scheduler
// gets a sink that queues the events itself and drains them by recursive
// scheduling, one event per step, with at most one drain per subscription at
// a time: the observer is called serially and in source order even on a
// concurrent scheduler.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"
#include "RvStreams/Queue.h"
#include "RvStreams/RecursiveScheduler.h"
#include "RvStreams/Scheduler.h"
#include "RvStreams/SerialDispatchQueueScheduler.h"
#include "RvStreams/SerialDisposable.h"

namespace rv {

namespace detail {

// Whether a drain of an ObserveOnSink is scheduled or running.
enum class ObserveOnState : int32_t { stopped = 0, running = 1 };

// The queued form. Events are enqueued under the lock; delivery and
// scheduling happen outside it.
template <class T>
class ObserveOnSink final : public ObserverBase<T>,
                            public std::enable_shared_from_this<ObserveOnSink<T>> {
  using Recurse = typename RecursiveImmediateScheduler<Unit>::Recurse;

 public:
  ObserveOnSink(Ref<ImmediateSchedulerType> scheduler, Ref<ObserverType<T>> observer,
                Ref<Cancelable> cancel)
      : scheduler_(std::move(scheduler)),
        observer_(std::move(observer)),
        cancel_(std::move(cancel)) {}

  // Marks the observer stopped, ends the subscription and cancels a pending
  // drain step; events still queued are never delivered.
  void dispose() noexcept override {
    ObserverBase<T>::dispose();
    cancel_->dispose();
    scheduleDisposable_->dispose();
  }

 protected:
  void onCore(const Event<T>& event) noexcept override {
    bool startDrain = false;
    {
      LockGuard guard(lock_);
      queue_.enqueue(event);
      if (state_ == ObserveOnState::stopped) {
        state_ = ObserveOnState::running;
        startDrain = true;
      }
    }
    if (startDrain) {
      // Replacing the previous (finished) drain's disposable disposes it.
      scheduleDisposable_->setDisposable(scheduler_->scheduleRecursive(
          Unit{}, [self = this->shared_from_this()](Unit, const Recurse& recurse) {
            self->drainStep(recurse);
          }));
    }
  }

 private:
  // Delivers the oldest queued event and schedules the next step while more
  // are queued.
  void drainStep(const Recurse& recurse) noexcept {
    std::optional<Event<T>> event;
    Ref<ObserverType<T>> observer;
    {
      LockGuard guard(lock_);
      if (!queue_.isEmpty()) {
        event = queue_.dequeue();
      } else {
        state_ = ObserveOnState::stopped;
      }
      observer = observer_;
    }
    if (!event) return;
    // A cancelled subscription keeps its state running for good, so no new
    // drain ever starts for it.
    if (cancel_->isDisposed()) return;
    observer->on(*event);
    if (event->isStopEvent()) dispose();
    if (shouldContinue()) recurse(Unit{});
  }

  bool shouldContinue() noexcept {
    LockGuard guard(lock_);
    if (queue_.isEmpty()) {
      state_ = ObserveOnState::stopped;
      return false;
    }
    return true;
  }

  const Ref<ImmediateSchedulerType> scheduler_;
  RecursiveLock lock_;
  const Ref<ObserverType<T>> observer_;
  ObserveOnState state_ KX_GUARDED_BY(lock_) = ObserveOnState::stopped;
  Queue<Event<T>> queue_ KX_GUARDED_BY(lock_) = Queue<Event<T>>(10);
  const Ref<SerialDisposable> scheduleDisposable_ = SerialDisposable::create();
  const Ref<Cancelable> cancel_;
};

// The serial-queue form. Events wait in the sink's own queue, and one drain
// is posted to the scheduler when that queue goes from empty to non-empty;
// the drain delivers every waiting event, also those that arrive meanwhile,
// and is done when it finds the queue empty. The serial queue keeps the
// drains apart, so the observer is called serially and in source order. The
// lock guards only the waiting events and the drain's state; nothing is
// called under it.
template <class T>
class ObserveOnSerialDispatchQueueSink final
    : public ObserverBase<T>,
      public std::enable_shared_from_this<ObserveOnSerialDispatchQueueSink<T>> {
 public:
  ObserveOnSerialDispatchQueueSink(Ref<SerialDispatchQueueScheduler> scheduler,
                                   Ref<ObserverType<T>> observer, Ref<Cancelable> cancel)
      : scheduler_(std::move(scheduler)),
        observer_(std::move(observer)),
        cancel_(std::move(cancel)) {}

  // A drain already posted finds the subscription cancelled and delivers
  // nothing.
  void dispose() noexcept override {
    ObserverBase<T>::dispose();
    cancel_->dispose();
  }

 protected:
  void onCore(const Event<T>& event) noexcept override {
    bool post = false;
    {
      base::LockGuard guard(mutex_);
      waiting_.push_back(event);
      if (state_ == ObserveOnState::stopped) {
        state_ = ObserveOnState::running;
        post = true;
      }
    }
    if (post) {
      scheduler_->schedule(this->shared_from_this(),
                           [](const Ref<ObserveOnSerialDispatchQueueSink>& sink) {
                             sink->drain();
                             return Disposables::create();
                           });
    }
  }

 private:
  void drain() noexcept {
    for (;;) {
      {
        base::LockGuard guard(mutex_);
        if (waiting_.empty()) {
          state_ = ObserveOnState::stopped;
          return;
        }
        std::swap(waiting_, draining_);
      }
      for (const Event<T>& event : draining_) {
        // A cancelled subscription keeps its state running for good, so no
        // new drain is ever posted for it.
        if (cancel_->isDisposed()) {
          draining_.clear();
          return;
        }
        observer_->on(event);
        if (event.isStopEvent()) dispose();
      }
      draining_.clear();  // keeps its capacity for the next swap
    }
  }

  const Ref<SerialDispatchQueueScheduler> scheduler_;
  const Ref<ObserverType<T>> observer_;
  const Ref<Cancelable> cancel_;
  base::Mutex mutex_;
  ObserveOnState state_ KX_GUARDED_BY(mutex_) = ObserveOnState::stopped;
  std::vector<Event<T>> waiting_ KX_GUARDED_BY(mutex_);
  // Only the running drain touches it.
  std::vector<Event<T>> draining_;
};

// The operator value of either form: each subscription makes `SinkT<T>` on
// the scheduler.
template <template <class> class SinkT, class Scheduler>
struct ObserveOnForm {
  Ref<Scheduler> scheduler;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    return subscribeSink(
        std::make_shared<SinkT<T>>(scheduler, std::move(observer), std::move(cancel)), source);
  }
};

template <class T>
using ObserveOn = OperatorProducer<T, ObserveOnForm<ObserveOnSink, ImmediateSchedulerType>>;
template <class T>
using ObserveOnSerialDispatchQueue =
    OperatorProducer<T,
                     ObserveOnForm<ObserveOnSerialDispatchQueueSink, SerialDispatchQueueScheduler>>;

struct ObserveOnOp : OperatorTag {
  Ref<ImmediateSchedulerType> scheduler;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    if (auto serial = std::dynamic_pointer_cast<SerialDispatchQueueScheduler>(scheduler)) {
      return bindOperator(
          rv::asObservable(source),
          ObserveOnForm<ObserveOnSerialDispatchQueueSink, SerialDispatchQueueScheduler>{
              std::move(serial)});
    }
    return bindOperator(rv::asObservable(source),
                        ObserveOnForm<ObserveOnSink, ImmediateSchedulerType>{std::move(scheduler)});
  }
};

}  // namespace detail

// Delivers the source's events on `scheduler`, in order. A serial
// dispatch-queue scheduler (the main scheduler included) gets one drain per
// burst of events; any other scheduler a queue drained by recursive
// scheduling, one event per step.
inline detail::ObserveOnOp observeOn(Ref<ImmediateSchedulerType> scheduler) {
  return {{}, std::move(scheduler)};
}

}  // namespace rv
