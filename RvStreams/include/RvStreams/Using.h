#pragma once

// usingResource(resourceFactory, observableFactory): creates a resource for
// each subscription and a source from it, and ties the resource's life to the
// subscription. Disposal ends the source subscription first, then disposes the
// resource; a stop event of the source does the same after forwarding it. A
// throwing factory delivers its error during subscribe; a resource already
// made is disposed right after that error.

#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Just.h"
#include "RvStreams/Producer.h"

namespace rv {

namespace detail {

template <class T>
class UsingSink final : public Sink<T>,
                        public ObserverType<T>,
                        public std::enable_shared_from_this<UsingSink<T>> {
 public:
  using Sink<T>::Sink;

  template <class ResourceFactory, class ObservableFactory>
  Ref<Disposable> run(ResourceFactory& resourceFactory, ObservableFactory& observableFactory) {
    Ref<Disposable> held = Disposables::create();
    Ref<Observable<T>> source;
    try {
      auto resource = resourceFactory();
      held = resource;
      source = rv::asObservable(observableFactory(resource));
    } catch (...) {
      // The error reaches the observer through the sink, during subscribe.
      source = rv::error<T>(std::current_exception());
    }
    Ref<Disposable> subscription = source->subscribe(this->shared_from_this());
    return Disposables::create(std::move(subscription), std::move(held));
  }

  void on(const Event<T>& event) noexcept override {
    if (event.isNext()) {
      this->forwardOn(event);
    } else {
      this->forwardStop(event);
    }
  }
};

template <class T, class ResourceFactory, class ObservableFactory>
Ref<Observable<T>> makeUsing(ResourceFactory resourceFactory, ObservableFactory observableFactory) {
  return makeProducer<T>([resourceFactory = std::move(resourceFactory),
                          observableFactory = std::move(observableFactory)](
                             Ref<ObserverType<T>> observer, Ref<Cancelable> cancel) mutable {
    return runSink(std::make_shared<UsingSink<T>>(std::move(observer), std::move(cancel)),
                   resourceFactory, observableFactory);
  });
}

}  // namespace detail

// `resourceFactory()` returns a Ref to a Disposable resource;
// `observableFactory(resource)` returns the source built on it. Both are
// called once per subscription.
template <class ResourceFactory, class ObservableFactory>
auto usingResource(ResourceFactory&& resourceFactory, ObservableFactory&& observableFactory) {
  using Resource = std::invoke_result_t<std::decay_t<ResourceFactory>&>;
  static_assert(std::is_convertible_v<Resource, Ref<Disposable>>,
                "the resource must be a reference to a Disposable");
  using T = ElementOf<std::invoke_result_t<std::decay_t<ObservableFactory>&, Resource&>>;
  return detail::makeUsing<T, std::decay_t<ResourceFactory>, std::decay_t<ObservableFactory>>(
      std::forward<ResourceFactory>(resourceFactory),
      std::forward<ObservableFactory>(observableFactory));
}

}  // namespace rv
