#pragma once

// doOn(handlers): side effects around the events of a sequence and around its
// subscription and disposal, without changing the events.
//
//   source | rv::doOn<int>({.onNext = log, .onDispose = done})
//
// The event handlers may throw: a handler that throws before an event keeps
// the event from being forwarded, one that throws after it follows it; either
// way the thrown error is forwarded and the subscription ends.

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Producer.h"

namespace rv {

template <class T>
struct DoHandlers {
  std::function<void(const T&)> onNext{};     // before an element is forwarded
  std::function<void(const T&)> afterNext{};  // after it is forwarded
  std::function<void(const Error&)> onError{};
  std::function<void(const Error&)> afterError{};
  std::function<void()> onCompleted{};
  std::function<void()> afterCompleted{};
  std::function<void()> onSubscribe{};   // before the source is subscribed; must not throw
  std::function<void()> onSubscribed{};  // after the source is subscribed; must not throw
  std::function<void()> onDispose{};  // after the source's subscription is disposed; must not throw
};

namespace detail {

template <class T>
class DoSink final : public Sink<T>, public ObserverType<T> {
 public:
  DoSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, Ref<const DoHandlers<T>> handlers)
      : Sink<T>(std::move(observer), std::move(cancel)), handlers_(std::move(handlers)) {}

  void on(const Event<T>& event) noexcept override {
    const DoHandlers<T>& h = *handlers_;
    try {
      call(event, h.onNext, h.onError, h.onCompleted);
    } catch (...) {
      this->forwardStop(Event<T>::error(std::current_exception()));
      return;
    }
    this->forwardOn(event);
    try {
      call(event, h.afterNext, h.afterError, h.afterCompleted);
    } catch (...) {
      this->forwardStop(Event<T>::error(std::current_exception()));
      return;
    }
    if (event.isStopEvent()) this->dispose();
  }

 private:
  static void call(const Event<T>& event, const std::function<void(const T&)>& next,
                   const std::function<void(const Error&)>& error,
                   const std::function<void()>& completed) {
    if (const T* element = event.element()) {
      if (next) next(*element);
    } else if (const Error* e = event.error()) {
      if (error) error(*e);
    } else if (completed) {
      completed();
    }
  }

  Ref<const DoHandlers<T>> handlers_;
};

template <class T>
struct DoOp : SourceOperator<DoOp<T>> {
  template <class S>
  using Output = T;
  Ref<const DoHandlers<T>> handlers;
  template <class S>
  SinkAndSubscription run(const Ref<Observable<S>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    static_assert(std::is_same_v<S, T>, "do handlers of another element type");
    if (handlers->onSubscribe) handlers->onSubscribe();
    auto sink = std::make_shared<DoSink<T>>(std::move(observer), std::move(cancel), handlers);
    Ref<Disposable> subscription = source->subscribe(sink);
    if (handlers->onSubscribed) handlers->onSubscribed();
    Ref<Disposable> disposable =
        Disposables::create([subscription = std::move(subscription), handlers = handlers] {
          subscription->dispose();
          if (handlers->onDispose) handlers->onDispose();
        });
    return {std::move(sink), std::move(disposable)};
  }
};

}  // namespace detail

// Runs `handlers` around the events, the subscription and the disposal of
// `source`.
template <ObservableConvertible S>
Ref<Observable<ElementOf<S>>> doOn(const S& source,
                                   std::type_identity_t<DoHandlers<ElementOf<S>>> handlers) {
  using T = ElementOf<S>;
  return rv::asObservable(source) |
         detail::DoOp<T>{{}, std::make_shared<const DoHandlers<T>>(std::move(handlers))};
}

// The operator form: `source | rv::doOn<int>({...})`.
template <class T>
detail::DoOp<T> doOn(DoHandlers<T> handlers) {
  return {{}, std::make_shared<const DoHandlers<T>>(std::move(handlers))};
}

}  // namespace rv
