#pragma once

// The subscribe forms application code uses: one event handler, four optional
// handlers, or four handlers receiving a weakly held object.
//
//   auto d = rv::subscribe(source, {.onNext = f, .onDisposed = g});
//   auto d = source | rv::map(h) | rv::subscribe<int>({.onNext = f});
//
// Handlers must not throw: events reach them through noexcept observers.

#include <functional>
#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/ErrorReport.h"
#include "RvStreams/Observable.h"
#include "RvStreams/Observers.h"

namespace rv {

template <class T>
struct SubscribeHandlers {
  std::function<void(const T&)> onNext{};
  // Without it, errors go to Hooks::defaultErrorHandler.
  std::function<void(const Error&)> onError{};
  std::function<void()> onCompleted{};
  // Runs once: after onError/onCompleted, or when the subscription is
  // disposed, whichever comes first.
  std::function<void()> onDisposed{};
};

template <class Object, class T>
struct SubscribeWithHandlers {
  std::function<void(const Ref<Object>&, const T&)> onNext{};
  std::function<void(const Ref<Object>&, const Error&)> onError{};
  std::function<void(const Ref<Object>&)> onCompleted{};
  std::function<void(const Ref<Object>&)> onDisposed{};
};

namespace detail {
// Calls `f` out of line: keeps a cold path out of the caller's body.
template <class F, class... Args>
[[gnu::noinline]] void callNoinline(const F& f, const Args&... args) {
  f(args...);
}

}  // namespace detail

// Subscribes one event handler; it receives every event up to and including
// the first stop event.
template <ObservableConvertible S, class Handler>
requires std::is_invocable_v < Handler&, const Event<ElementOf<S>>
& > Ref<Disposable> subscribe(const S& source, Handler handler) {
  return rv::asObservable(source)->subscribe(
      makeAnonymousObserver<ElementOf<S>>(std::move(handler)));
}

// Subscribes four optional handlers. Disposing the result ends the
// subscription first and then runs onDisposed.
template <ObservableConvertible S>
Ref<Disposable> subscribe(const S& source,
                          std::type_identity_t<SubscribeHandlers<ElementOf<S>>> handlers) {
  using T = ElementOf<S>;
  Ref<Disposable> disposable =
      handlers.onDisposed ? Ref<Disposable>(Disposables::create(std::move(handlers.onDisposed)))
                          : Disposables::create();
  Hooks::CallStack callStack;
  if (Hooks::recordCallStackOnError()) callStack = Hooks::captureSubscriptionCallStack()();

  // The stop events apart, so that the element path inlines into the
  // observer.
  auto stop = [onError = std::move(handlers.onError), onCompleted = std::move(handlers.onCompleted),
               disposable, callStack = std::move(callStack)](const Event<T>& event) {
    if (const Error* error = event.error()) {
      if (onError) {
        onError(*error);
      } else {
        Hooks::defaultErrorHandler()(callStack, *error);
      }
    } else if (onCompleted) {
      onCompleted();
    }
    disposable->dispose();
  };
  auto observer = makeAnonymousObserver<T>(
      [onNext = std::move(handlers.onNext), stop = std::move(stop)](const Event<T>& event) {
        if (const T* element = event.element()) [[likely]] {
          if (onNext) onNext(*element);
        } else {
          detail::callNoinline(stop, event);
        }
      });
  Ref<Disposable> subscription = rv::asObservable(source)->subscribe(std::move(observer));
  return Disposables::create(std::move(subscription), std::move(disposable));
}

namespace detail {
// A handler that calls `slot` with the object first, only while the object
// lives; an empty slot is never called. The subscribe forms that take an
// object hold it weakly through this.
template <class Object, class Slot>
auto withWeakObject(Weak<Object> object, Slot slot) {
  return [object = std::move(object), slot = std::move(slot)](const auto&... args) {
    if (Ref<Object> strong = object.lock(); strong && slot) slot(strong, args...);
  };
}
}  // namespace detail

// Subscribes four handlers that receive `object` first, holding it weakly.
// Once the object is gone nothing is called (not even onDisposed), yet the
// subscription stays until disposed or stopped; errors never reach the
// default error handler.
template <ObservableConvertible S, class Object>
Ref<Disposable> subscribe(const S& source, const Ref<Object>& object,
                          std::type_identity_t<SubscribeWithHandlers<Object, ElementOf<S>>> h) {
  using T = ElementOf<S>;
  Weak<Object> weak = object;
  return rv::subscribe(
      source,
      SubscribeHandlers<T>{.onNext = detail::withWeakObject(weak, std::move(h.onNext)),
                           .onError = detail::withWeakObject(weak, std::move(h.onError)),
                           .onCompleted = detail::withWeakObject(weak, std::move(h.onCompleted)),
                           .onDisposed = detail::withWeakObject(weak, std::move(h.onDisposed))});
}

namespace detail {
template <class T>
struct SubscribeOp : OperatorTag {
  SubscribeHandlers<T> handlers;
  template <class S>
  Ref<Disposable> operator()(const S& source) && {
    static_assert(std::is_same_v<ElementOf<S>, T>, "subscribe handlers of another element type");
    return rv::subscribe(source, std::move(handlers));
  }
};
template <class Handler>
struct SubscribeEventOp : OperatorTag {
  Handler handler;
  template <class S>
  Ref<Disposable> operator()(const S& source) && {
    return rv::subscribe(source, std::move(handler));
  }
};
}  // namespace detail

// The four-handler form as an operator: `source | rv::subscribe<int>({...})`.
template <class T>
detail::SubscribeOp<T> subscribe(SubscribeHandlers<T> handlers) {
  return {{}, std::move(handlers)};
}

// The event-handler form as an operator: `source | rv::subscribe(handler)`.
template <class Handler>
requires(!ObservableConvertible<Handler>) detail::SubscribeEventOp<std::decay_t<Handler>> subscribe(
    Handler&& handler) {
  return {{}, std::forward<Handler>(handler)};
}

}  // namespace rv
