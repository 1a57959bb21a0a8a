#pragma once

// `subscribeOn` moves the subscription to the source, and its later disposal,
// onto a scheduler. Events are forwarded on whatever thread the source emits
// them (moving delivery is `observeOn`).

#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Producer.h"
#include "RvStreams/Scheduler.h"
#include "RvStreams/SerialDisposable.h"

namespace rv {

namespace detail {

template <class T>
class SubscribeOnSink final : public Sink<T>,
                              public ObserverType<T>,
                              public std::enable_shared_from_this<SubscribeOnSink<T>> {
 public:
  SubscribeOnSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)) {}

  // Disposing the result before the scheduled subscription ran cancels it;
  // afterwards it disposes the source subscription on `scheduler`. When the
  // subscription runs after the result was disposed, it is disposed again at
  // once, on the scheduler.
  Ref<Disposable> run(Ref<Observable<T>> source, Ref<ImmediateSchedulerType> scheduler) {
    auto disposeEverything = SerialDisposable::create();
    auto cancelSchedule = SingleAssignmentDisposable::create();
    disposeEverything->setDisposable(cancelSchedule);
    Ref<Disposable> disposeSchedule =
        scheduler->schedule(Unit{}, [self = this->shared_from_this(), source = std::move(source),
                                     scheduler, disposeEverything](Unit) {
          Ref<Disposable> subscription = source->subscribe(self);
          // Replaces (and so disposes) the schedule canceller.
          disposeEverything->setDisposable(
              ScheduledDisposable::create(scheduler, std::move(subscription)));
          return Disposables::create();
        });
    cancelSchedule->setDisposable(std::move(disposeSchedule));
    return disposeEverything;
  }

  void on(const Event<T>& event) noexcept override {
    if (event.isStopEvent()) {
      this->forwardStop(event);
    } else {
      this->forwardOn(event);
    }
  }
};

struct SubscribeOnOp : SourceOperator<SubscribeOnOp> {
  Ref<ImmediateSchedulerType> scheduler;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(std::make_shared<SubscribeOnSink<T>>(std::move(observer), std::move(cancel)),
                   source, scheduler);
  }
};

}  // namespace detail

// Subscribes to the source on `scheduler`, and disposes that subscription
// there too; events pass on the thread the source emits them on.
inline detail::SubscribeOnOp subscribeOn(Ref<ImmediateSchedulerType> scheduler) {
  return {{}, std::move(scheduler)};
}

}  // namespace rv
