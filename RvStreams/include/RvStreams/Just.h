#pragma once

// The constant sources: `just` (one element, then completed), `empty`
// (completed only), `never` (nothing at all) and `error` (one error only).
// All but the scheduled `just` deliver synchronously inside subscribe, with no
// sink and no trampoline.

#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Producer.h"
#include "RvStreams/Scheduler.h"

namespace rv {

namespace detail {

template <class T>
class Just final : public Observable<T> {
 public:
  explicit Just(T element) : element_(std::move(element)) {}
  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) override {
    observer->on(Event<T>::next(element_));
    observer->on(Event<T>::completed());
    return Disposables::create();
  }

 private:
  T element_;
};

template <class T>
class EmptyProducer final : public Observable<T> {
 public:
  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) override {
    observer->on(Event<T>::completed());
    return Disposables::create();
  }
};

template <class T>
class NeverProducer final : public Observable<T> {
 public:
  Ref<Disposable> subscribe(Ref<ObserverType<T>>) override { return Disposables::create(); }
};

template <class T>
class ErrorProducer final : public Observable<T> {
 public:
  explicit ErrorProducer(Error error) : error_(std::move(error)) {}
  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) override {
    observer->on(Event<T>::error(error_));
    return Disposables::create();
  }

 private:
  Error error_;
};

// The element and the completion are two scheduled actions; the second is
// scheduled from inside the first, so next always precedes completed, and
// disposing between them cancels the completion.
template <class T>
class JustScheduledSink final : public Sink<T>,
                                public std::enable_shared_from_this<JustScheduledSink<T>> {
 public:
  JustScheduledSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)) {}

  Ref<Disposable> run(const Ref<ImmediateSchedulerType>& scheduler, T element) {
    auto self = this->shared_from_this();
    return scheduler->schedule(std::move(element), [self, scheduler](T e) {
      self->forwardOn(Event<T>::next(std::move(e)));
      return scheduler->schedule(Unit{}, [self](Unit) {
        self->forwardStop(Event<T>::completed());
        return Disposables::create();
      });
    });
  }
};

template <class T>
Ref<Observable<T>> makeJustScheduled(T element, Ref<ImmediateSchedulerType> scheduler) {
  return makeProducer<T>([element = std::move(element), scheduler = std::move(scheduler)](
                             Ref<ObserverType<T>> observer, Ref<Cancelable> cancel) {
    return runSink(std::make_shared<JustScheduledSink<T>>(std::move(observer), std::move(cancel)),
                   scheduler, element);
  });
}

}  // namespace detail

template <class T>
Ref<Observable<std::decay_t<T>>> just(T&& element) {
  return std::make_shared<detail::Just<std::decay_t<T>>>(std::forward<T>(element));
}

// Delivers the element and then completed as two actions on `scheduler`.
template <class T, class Scheduler>
Ref<Observable<std::decay_t<T>>> just(T&& element, const Ref<Scheduler>& scheduler) {
  return detail::makeJustScheduled<std::decay_t<T>>(std::forward<T>(element),
                                                    Ref<ImmediateSchedulerType>(scheduler));
}

template <class T>
Ref<Observable<T>> empty() {
  return std::make_shared<detail::EmptyProducer<T>>();
}

template <class T>
Ref<Observable<T>> never() {
  return std::make_shared<detail::NeverProducer<T>>();
}

// Fails every subscriber with exactly `error`.
template <class T>
Ref<Observable<T>> error(Error error) {
  return std::make_shared<detail::ErrorProducer<T>>(std::move(error));
}

}  // namespace rv
