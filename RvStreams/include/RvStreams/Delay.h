#pragma once

// `delay` shifts every element and the completion later by `dueTime`, keeping
// their spacing; an error is passed on at once and drops what is still
// waiting. `delaySubscription` postpones the subscription to the source by
// `dueTime` and then passes everything through unchanged.

#include <optional>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Producer.h"
#include "RvStreams/Queue.h"
#include "RvStreams/RecursiveScheduler.h"
#include "RvStreams/Scheduler.h"
#include "RvStreams/SchedulerTime.h"
#include "RvStreams/SerialDisposable.h"

namespace rv {

namespace detail {

// Queues each `next` and `completed` with the time it arrived and forwards it
// `dueTime` later from a timed recursive drain, one event per drain step.
// Queue and flags change under the lock; events are forwarded outside it.
template <class T>
class DelaySink final : public Sink<T>,
                        public ObserverType<T>,
                        public std::enable_shared_from_this<DelaySink<T>> {
 public:
  DelaySink(Ref<ObserverType<T>> observer, DispatchTimeInterval dueTime,
            Ref<SchedulerType> scheduler, Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)),
        dueTime_(dueTime),
        scheduler_(std::move(scheduler)) {}

  Ref<Disposable> run(const Ref<Observable<T>>& source) {
    sourceSubscription_->setDisposable(source->subscribe(this->shared_from_this()));
    return Disposables::create(sourceSubscription_, cancelable_);
  }

  void on(const Event<T>& event) noexcept override {
    if (event.isStopEvent()) sourceSubscription_->dispose();

    if (const Error* error = event.error()) {
      bool wasRunning;
      Queue<Item> dropped;
      {
        LockGuard guard(lock_);
        wasRunning = running_;
        std::swap(dropped, queue_);
        errorEvent_ = *error;
      }
      // A drain in the middle of forwarding forwards the error itself, after
      // the event it is forwarding.
      if (!wasRunning) this->forwardStop(event);
      return;
    }

    bool wasActive;
    {
      LockGuard guard(lock_);
      wasActive = active_;
      active_ = true;
      queue_.enqueue(Item{scheduler_->now(), event});
    }
    // An active drain reaches the new event in its turn.
    if (!wasActive) {
      cancelable_->setDisposable(scheduler_->scheduleRecursive(
          Unit{}, dueTime_,
          [self = this->shared_from_this()](Unit, AnyRecursiveScheduler<Unit>& recursive) {
            self->drainQueue(recursive);
          }));
    }
  }

 private:
  struct Item {
    Date eventTime;
    Event<T> event;
  };

  // Forwards the event that fell due, then schedules itself for the arrival
  // time of the next one plus `dueTime`.
  void drainQueue(AnyRecursiveScheduler<Unit>& recursive) noexcept {
    {
      LockGuard guard(lock_);
      if (errorEvent_) return;  // forwarded by on()
      running_ = true;
    }
    bool ranAtLeastOnce = false;
    while (true) {
      std::optional<Error> error;
      std::optional<Event<T>> eventToForward;
      std::optional<Date> nextEventTime;
      {
        LockGuard guard(lock_);
        error = errorEvent_;
        if (!ranAtLeastOnce) {
          if (std::optional<Item> item = queue_.dequeue()) eventToForward = std::move(item->event);
        } else if (!queue_.isEmpty()) {
          nextEventTime = queue_.peek().eventTime;
        }
        if (!error) {
          if (eventToForward) {
            // still running
          } else if (nextEventTime) {
            running_ = false;
          } else {
            running_ = false;
            active_ = false;  // the next event schedules a new drain
          }
        }
      }

      if (error) {
        this->forwardStop(Event<T>::error(*error));
        return;
      }
      if (eventToForward) {
        ranAtLeastOnce = true;
        if (eventToForward->isCompleted()) {
          this->forwardStop(*eventToForward);
          return;
        }
        this->forwardOn(*eventToForward);
        continue;
      }
      if (nextEventTime) {
        recursive.schedule(Unit{},
                           reduceWithSpanBetween(dueTime_, *nextEventTime, scheduler_->now()));
      }
      return;
    }
  }

  RecursiveLock lock_;
  const DispatchTimeInterval dueTime_;
  const Ref<SchedulerType> scheduler_;
  const Ref<SingleAssignmentDisposable> sourceSubscription_ = SingleAssignmentDisposable::create();
  const Ref<SerialDisposable> cancelable_ = SerialDisposable::create();
  bool active_ KX_GUARDED_BY(lock_) = false;   // a drain is scheduled or under way
  bool running_ KX_GUARDED_BY(lock_) = false;  // a drain is forwarding an event
  std::optional<Error> errorEvent_ KX_GUARDED_BY(lock_);
  Queue<Item> queue_ KX_GUARDED_BY(lock_) = Queue<Item>(0);
};

template <class T>
class DelaySubscriptionSink final : public Sink<T>, public ObserverType<T> {
 public:
  DelaySubscriptionSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)) {}

  void on(const Event<T>& event) noexcept override {
    if (event.isStopEvent()) {
      this->forwardStop(event);
    } else {
      this->forwardOn(event);
    }
  }
};

struct DelayOp : SourceOperator<DelayOp> {
  DispatchTimeInterval dueTime;
  Ref<SchedulerType> scheduler;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(
        std::make_shared<DelaySink<T>>(std::move(observer), dueTime, scheduler, std::move(cancel)),
        source);
  }
};

struct DelaySubscriptionOp : SourceOperator<DelaySubscriptionOp> {
  DispatchTimeInterval dueTime;
  Ref<SchedulerType> scheduler;
  // Disposing the subscription before `dueTime` cancels the timer, so the
  // source is never subscribed.
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    auto sink = std::make_shared<DelaySubscriptionSink<T>>(std::move(observer), std::move(cancel));
    Ref<Disposable> subscription = scheduler->scheduleRelative(
        Unit{}, dueTime, [source, sink](Unit) { return source->subscribe(sink); });
    return {std::move(sink), std::move(subscription)};
  }
};

}  // namespace detail

// Emits every element and the completion `dueTime` later on `scheduler`,
// keeping their spacing. An error is emitted at once and drops the elements
// still waiting.
inline detail::DelayOp delay(DispatchTimeInterval dueTime, Ref<SchedulerType> scheduler) {
  return {{}, dueTime, std::move(scheduler)};
}

// Subscribes to the source only `dueTime` after the subscription, on
// `scheduler`; events then pass unchanged.
inline detail::DelaySubscriptionOp delaySubscription(DispatchTimeInterval dueTime,
                                                     Ref<SchedulerType> scheduler) {
  return {{}, dueTime, std::move(scheduler)};
}

}  // namespace rv
