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
Ref<Observable<T>> makeRepeatElement(T element, Ref<ImmediateSchedulerType> scheduler) {
  return makeProducer<T>([element = std::move(element), scheduler = std::move(scheduler)](
                             Ref<ObserverType<T>> observer, Ref<Cancelable> cancel) {
    return runSink(std::make_shared<RepeatElementSink<T>>(std::move(observer), std::move(cancel)),
                   element, scheduler);
  });
}

}  // namespace detail

// Emits `element` again and again on `scheduler` until disposed.
template <class T>
Ref<Observable<std::decay_t<T>>> repeatElement(T&& element, Ref<ImmediateSchedulerType> scheduler) {
  return detail::makeRepeatElement<std::decay_t<T>>(std::forward<T>(element), std::move(scheduler));
}

}  // namespace rv
