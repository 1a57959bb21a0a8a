#pragma once

// deferred(factory): builds the source anew for each subscription, by calling
// `factory()` on the subscribing thread inside subscribe. A throwing factory
// delivers its error and subscribes nothing.

#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Producer.h"

namespace rv {

namespace detail {

template <class T>
class DeferredSink final : public Sink<T>,
                           public ObserverType<T>,
                           public std::enable_shared_from_this<DeferredSink<T>> {
 public:
  using Sink<T>::Sink;

  template <class Factory>
  Ref<Disposable> run(Factory& factory) {
    Ref<Observable<T>> source;
    try {
      source = rv::asObservable(factory());
    } catch (...) {
      this->forwardStop(Event<T>::error(std::current_exception()));
      return Disposables::create();
    }
    return source->subscribe(this->shared_from_this());
  }

  void on(const Event<T>& event) noexcept override {
    if (event.isNext()) {
      this->forwardOn(event);
    } else {
      this->forwardStop(event);
    }
  }
};

template <class T, class Factory>
Ref<Observable<T>> makeDeferred(Factory factory) {
  return makeProducer<T>([factory = std::move(factory)](Ref<ObserverType<T>> observer,
                                                        Ref<Cancelable> cancel) mutable {
    return runSink(std::make_shared<DeferredSink<T>>(std::move(observer), std::move(cancel)),
                   factory);
  });
}

}  // namespace detail

// `observableFactory()` returns something convertible to an observable; it is
// called once per subscription, never at creation.
template <class Factory>
auto deferred(Factory&& observableFactory) {
  using T = ElementOf<std::invoke_result_t<std::decay_t<Factory>&>>;
  return detail::makeDeferred<T, std::decay_t<Factory>>(std::forward<Factory>(observableFactory));
}

}  // namespace rv
