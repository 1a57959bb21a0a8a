#pragma once

// Maybe: one element, an empty completion, or one error. Built like Single
// with a third outcome, `completed`, which here is legal and silent.

#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "RvStreams/Create.h"
#include "RvStreams/DefaultIfEmpty.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Do.h"
#include "RvStreams/ErrorReport.h"
#include "RvStreams/Just.h"
#include "RvStreams/Map.h"
#include "RvStreams/Merge.h"
#include "RvStreams/PrimitiveSequence.h"
#include "RvStreams/Subscribe.h"
#include "RvStreams/SwitchIfEmpty.h"

namespace rv {

// The outcome of a Maybe: success with the element, error, or completed
// without an element.
template <class T>
class MaybeEvent {
 public:
  static MaybeEvent success(T element) {
    return MaybeEvent(std::in_place_index<0>, std::move(element));
  }
  static MaybeEvent error(Error error) {
    return MaybeEvent(std::in_place_index<1>, std::move(error));
  }
  static MaybeEvent completed() { return MaybeEvent(std::in_place_index<2>, Completed{}); }

  bool isCompleted() const noexcept { return value_.index() == 2; }
  // The element of a success; null otherwise.
  const T* element() const noexcept { return std::get_if<0>(&value_); }
  // The error of an error; null otherwise.
  const Error* error() const noexcept { return std::get_if<1>(&value_); }

 private:
  struct Completed {};
  template <std::size_t I, class V>
  MaybeEvent(std::in_place_index_t<I> index, V&& value) : value_(index, std::forward<V>(value)) {}

  std::variant<T, Error, Completed> value_;
};

// "success(<element>)", "error(<error>)" or "completed".
template <class T>
std::string describe(const MaybeEvent<T>& event) {
  if (const T* e = event.element()) return "success(" + describe(*e) + ")";
  if (const Error* x = event.error()) return "error(" + describe(*x) + ")";
  return "completed";
}

// Receives the outcome of a Maybe. Only the first call counts.
template <class T>
using MaybeObserver = std::function<void(MaybeEvent<T>)>;

template <class T>
struct MaybeSubscribeHandlers {
  std::function<void(const T&)> onSuccess{};
  // Without it, the error goes to Hooks::defaultErrorHandler.
  std::function<void(const Error&)> onError{};
  std::function<void()> onCompleted{};
  // Runs once: after the outcome, or when the subscription is disposed.
  std::function<void()> onDisposed{};
};

template <class Object, class T>
struct MaybeSubscribeWithHandlers {
  std::function<void(const Ref<Object>&, const T&)> onSuccess{};
  std::function<void(const Ref<Object>&, const Error&)> onError{};
  std::function<void(const Ref<Object>&)> onCompleted{};
  std::function<void(const Ref<Object>&)> onDisposed{};
};

namespace detail {

template <class T>
class PrimitiveSequenceOperators<MaybeTrait, T> {
 public:
  // A Maybe from `subscribe(MaybeObserver<T>) -> Ref<Disposable>`, called
  // once per subscription. The first outcome wins; later ones are dropped.
  template <class Subscribe>
  requires std::is_invocable_r_v<Ref<Disposable>, Subscribe&, MaybeObserver<T>> static Maybe<T>
  create(Subscribe subscribe) {
    return Maybe<T>(rv::create<T>(
        [subscribe = std::move(subscribe)](AnyObserver<T> observer) mutable -> Ref<Disposable> {
          return subscribe(MaybeObserver<T>([observer](MaybeEvent<T> event) mutable {
            if (const T* element = event.element()) {
              observer.onNext(*element);
              observer.onCompleted();
            } else if (const Error* error = event.error()) {
              observer.onError(*error);
            } else {
              observer.onCompleted();
            }
          }));
        }));
  }

  // Subscribes `observer(MaybeEvent<T>)`, which receives exactly one outcome:
  // the completion that follows an element is not reported. The observer
  // must not throw.
  template <class Observer>
  requires std::is_invocable_v<Observer&, MaybeEvent<T>> Ref<Disposable> subscribe(
      Observer observer)
  const {
    return rv::subscribe(
        self(), [observer = std::move(observer), stopped = false](const Event<T>& event) mutable {
          if (stopped) return;
          stopped = true;
          if (const T* element = event.element()) {
            observer(MaybeEvent<T>::success(*element));
          } else if (const Error* error = event.error()) {
            observer(MaybeEvent<T>::error(*error));
          } else {
            observer(MaybeEvent<T>::completed());
          }
        });
  }

  // Subscribes optional handlers. Disposing the result ends the subscription
  // and runs onDisposed once.
  Ref<Disposable> subscribe(MaybeSubscribeHandlers<T> handlers) const {
    Ref<Disposable> disposable =
        handlers.onDisposed ? Ref<Disposable>(Disposables::create(std::move(handlers.onDisposed)))
                            : Disposables::create();
    Ref<Disposable> subscription =
        subscribe([onSuccess = std::move(handlers.onSuccess), onError = std::move(handlers.onError),
                   onCompleted = std::move(handlers.onCompleted), disposable](MaybeEvent<T> event) {
          if (const T* element = event.element()) {
            if (onSuccess) onSuccess(*element);
          } else if (const Error* error = event.error()) {
            if (onError) {
              onError(*error);
            } else {
              Hooks::defaultErrorHandler()({}, *error);
            }
          } else if (onCompleted) {
            onCompleted();
          }
          disposable->dispose();
        });
    return Disposables::create(std::move(subscription), std::move(disposable));
  }

  // The same with handlers that receive `object` first, held weakly: once it
  // is gone no handler runs (not even onDisposed), and an error without
  // onError is dropped instead of reaching the default error handler.
  template <class Object>
  Ref<Disposable> subscribe(const Ref<Object>& object,
                            std::type_identity_t<MaybeSubscribeWithHandlers<Object, T>> h) const {
    Weak<Object> weak = object;
    return subscribe(MaybeSubscribeHandlers<T>{
        .onSuccess = detail::withWeakObject(weak, std::move(h.onSuccess)),
        .onError = detail::withWeakObject(weak, std::move(h.onError)),
        .onCompleted = detail::withWeakObject(weak, std::move(h.onCompleted)),
        .onDisposed = detail::withWeakObject(weak, std::move(h.onDisposed))});
  }

  static Maybe<T> just(T element) { return Maybe<T>(rv::just(std::move(element))); }

  // Delivers the element and the completion on `scheduler`.
  static Maybe<T> just(T element, Ref<ImmediateSchedulerType> scheduler) {
    return Maybe<T>(rv::just(std::move(element), scheduler));
  }

  static Maybe<T> error(Error error) { return Maybe<T>(rv::error<T>(std::move(error))); }

  static Maybe<T> never() { return Maybe<T>(rv::never<T>()); }

  // Completes at once without an element.
  static Maybe<T> empty() { return Maybe<T>(rv::empty<T>()); }

  // Side effects around the outcome, the subscription and the disposal; a
  // throwing event handler turns into the sequence's error.
  Maybe<T> doOn(DoHandlers<T> handlers) const {
    return Maybe<T>(rv::doOn(self(), std::move(handlers)));
  }

  template <class Predicate>
  Maybe<T> filter(Predicate predicate) const {
    return Maybe<T>(self() | rv::filter(std::move(predicate)));
  }

  template <class F>
  auto map(F transform) const {
    auto mapped = self() | rv::map(std::move(transform));
    return Maybe<ElementOf<decltype(mapped)>>(std::move(mapped));
  }

  // An absent result leaves an empty completion.
  template <class F>
  auto compactMap(F transform) const {
    auto mapped = self() | rv::compactMap(std::move(transform));
    return Maybe<ElementOf<decltype(mapped)>>(std::move(mapped));
  }

  // Continues with the Maybe `selector(const T&)` returns.
  template <class Selector>
  auto flatMap(Selector selector) const {
    using Result = std::decay_t<std::invoke_result_t<Selector&, const T&>>;
    static_assert(PrimitiveSequenceOf<Result, MaybeTrait>, "the selector must return a Maybe");
    return Result(self() | rv::flatMap(std::move(selector)));
  }

  // An empty completion becomes a success with `defaultValue`.
  Single<T> ifEmptyDefault(T defaultValue) const {
    return Single<T>(self() | rv::ifEmptyDefault(std::move(defaultValue)));
  }

  // An empty completion continues with `other`, subscribed only then.
  Maybe<T> ifEmptySwitchTo(const Maybe<T>& other) const {
    return Maybe<T>(self() | rv::ifEmptySwitchTo(other.asObservable()));
  }
  Single<T> ifEmptySwitchTo(const Single<T>& other) const {
    return Single<T>(self() | rv::ifEmptySwitchTo(other.asObservable()));
  }

  // On an error, succeeds with `element`.
  Maybe<T> catchAndReturn(T element) const {
    return Maybe<T>(self() | rv::catchAndReturn(std::move(element)));
  }

 private:
  const Ref<Observable<T>>& self() const noexcept {
    return static_cast<const Maybe<T>&>(*this).asObservable();
  }
};

}  // namespace detail

static_assert(sizeof(Maybe<int>) == sizeof(Ref<Observable<int>>));

}  // namespace rv
