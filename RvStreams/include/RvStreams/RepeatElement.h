#pragma once

// `repeatElement` emits one element for ever, one per scheduled action
// (recursive scheduling); only disposal stops it, and it never completes.

#include <type_traits>
#include <utility>

#include "RvStreams/Producer.h"
#include "RvStreams/RecursiveScheduler.h"
#include "RvStreams/Scheduler.h"

namespace rv {

namespace detail {

template <class T>
class RepeatElementSink final : public Sink<T>,
                                public std::enable_shared_from_this<RepeatElementSink<T>> {
  using Recurse = typename RecursiveImmediateScheduler<T>::Recurse;

 public:
  RepeatElementSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)) {}

  Ref<Disposable> run(T element, const Ref<ImmediateSchedulerType>& scheduler) {
    return scheduler->scheduleRecursive(
        std::move(element), [self = this->shared_from_this()](T e, const Recurse& recurse) {
          self->forwardOn(Event<T>::next(e));
          recurse(std::move(e));
        });
  }
};

template <class T>
class RepeatElement final : public Producer<T> {
 public:
  RepeatElement(T element, Ref<ImmediateSchedulerType> scheduler)
      : element_(std::move(element)), scheduler_(std::move(scheduler)) {}

 protected:
  typename Producer<T>::SinkAndSubscription run(Ref<ObserverType<T>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink = std::make_shared<RepeatElementSink<T>>(std::move(observer), std::move(cancel));
    Ref<Disposable> subscription = sink->run(element_, scheduler_);
    return {std::move(sink), std::move(subscription)};
  }

 private:
  const T element_;
  const Ref<ImmediateSchedulerType> scheduler_;
};

}  // namespace detail

// Emits `element` again and again on `scheduler` until disposed.
template <class T>
Ref<Observable<std::decay_t<T>>> repeatElement(T&& element, Ref<ImmediateSchedulerType> scheduler) {
  return std::make_shared<detail::RepeatElement<std::decay_t<T>>>(std::forward<T>(element),
                                                                  std::move(scheduler));
}

}  // namespace rv
