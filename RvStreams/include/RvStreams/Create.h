#pragma once

// `rv::create<T>(handler)`: a sequence from a subscribe callable written by
// hand. The callable receives an observer for each subscription, pushes events
// into it and returns the disposable that tears its work down. The stream
// rules hold even for a misbehaving callable: nothing after the first stop
// event, and the subscription is torn down right after it.

#include <type_traits>
#include <utility>

#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"

namespace rv {

namespace detail {

template <class T>
class AnonymousObservableSink final : public Sink<T>, public ObserverType<T> {
 public:
  using Sink<T>::Sink;

  void on(const Event<T>& event) noexcept override {
    if (event.isNext()) {
      if (isStopped_.load() != 1) this->forwardOn(event);
    } else if (isStopped_.fetchOr(1) == 0) {
      this->forwardStop(event);
    }
  }

 private:
  AtomicInt isStopped_;
};

template <class T, class Handler>
Ref<Observable<T>> makeCreate(Handler subscribeHandler) {
  return makeProducer<T>([subscribeHandler = std::move(subscribeHandler)](
                             Ref<ObserverType<T>> observer, Ref<Cancelable> cancel) mutable {
    auto sink =
        std::make_shared<AnonymousObservableSink<T>>(std::move(observer), std::move(cancel));
    Ref<Disposable> subscription = subscribeHandler(AnyObserver<T>(Ref<ObserverType<T>>(sink)));
    return SinkAndSubscription{std::move(sink), std::move(subscription)};
  });
}

}  // namespace detail

// `handler` takes an AnyObserver<T> and returns a Ref<Disposable>.
template <class T, class Handler>
requires std::is_invocable_r_v<Ref<Disposable>, Handler&, AnyObserver<T>> Ref<Observable<T>> create(
    Handler&& handler) {
  return detail::makeCreate<T, std::decay_t<Handler>>(std::forward<Handler>(handler));
}

}  // namespace rv
