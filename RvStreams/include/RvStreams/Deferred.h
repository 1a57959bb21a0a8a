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
class Deferred final : public Producer<T> {
 public:
  explicit Deferred(Factory observableFactory) : observableFactory_(std::move(observableFactory)) {}

 protected:
  typename Producer<T>::SinkAndSubscription run(Ref<ObserverType<T>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink = std::make_shared<DeferredSink<T>>(std::move(observer), std::move(cancel));
    Ref<Disposable> subscription = sink->run(observableFactory_);
    return {std::move(sink), std::move(subscription)};
  }

 private:
  Factory observableFactory_;
};

}  // namespace detail

// `observableFactory()` returns something convertible to an observable; it is
// called once per subscription, never at creation.
template <class Factory>
auto deferred(Factory&& observableFactory) {
  using T = ElementOf<std::invoke_result_t<std::decay_t<Factory>&>>;
  return Ref<Observable<T>>(std::make_shared<detail::Deferred<T, std::decay_t<Factory>>>(
      std::forward<Factory>(observableFactory)));
}

}  // namespace rv
