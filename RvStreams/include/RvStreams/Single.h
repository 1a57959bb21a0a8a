#pragma once

// Single: exactly one element or one error. Its source emits next(element)
// followed by completed, or error; the translation to and from the two
// outcomes happens at the edges, on creation and on subscription.
//
//   auto single = Single<int>::create([](SingleObserver<int> observer) {
//     observer(SingleEvent<int>::success(42));
//     return Disposables::create();
//   });
//   single.subscribe({.onSuccess = [](const int& x) { ... }});

#include <functional>
#include <ranges>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "RvStreams/Create.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Do.h"
#include "RvStreams/ErrorReport.h"
#include "RvStreams/Just.h"
#include "RvStreams/Map.h"
#include "RvStreams/Merge.h"
#include "RvStreams/PrimitiveSequence.h"
#include "RvStreams/Subscribe.h"
#include "RvStreams/Zip.h"

namespace rv {

// The outcome of a Single: success with the element, or failure.
template <class T>
class SingleEvent {
 public:
  static SingleEvent success(T element) {
    return SingleEvent(std::in_place_index<0>, std::move(element));
  }
  static SingleEvent failure(Error error) {
    return SingleEvent(std::in_place_index<1>, std::move(error));
  }

  bool isSuccess() const noexcept { return value_.index() == 0; }
  // The element of a success; null for a failure.
  const T* element() const noexcept { return std::get_if<0>(&value_); }
  // The error of a failure; null for a success.
  const Error* error() const noexcept { return std::get_if<1>(&value_); }

 private:
  template <std::size_t I, class V>
  SingleEvent(std::in_place_index_t<I> index, V&& value) : value_(index, std::forward<V>(value)) {}

  std::variant<T, Error> value_;
};

// "success(<element>)" or "failure(<error>)".
template <class T>
std::string describe(const SingleEvent<T>& event) {
  if (const T* e = event.element()) return "success(" + describe(*e) + ")";
  return "failure(" + describe(*event.error()) + ")";
}

// Receives the outcome of a Single. Only the first call counts.
template <class T>
using SingleObserver = std::function<void(SingleEvent<T>)>;

template <class T>
struct SingleSubscribeHandlers {
  std::function<void(const T&)> onSuccess{};
  // Without it, the error goes to Hooks::defaultErrorHandler.
  std::function<void(const Error&)> onFailure{};
  // Runs once: after the outcome, or when the subscription is disposed.
  std::function<void()> onDisposed{};
};

template <class Object, class T>
struct SingleSubscribeWithHandlers {
  std::function<void(const Ref<Object>&, const T&)> onSuccess{};
  std::function<void(const Ref<Object>&, const Error&)> onFailure{};
  std::function<void(const Ref<Object>&)> onDisposed{};
};

template <class T>
struct SingleDoHandlers {
  std::function<void(const T&)> onSuccess{};     // before the element is forwarded
  std::function<void(const T&)> afterSuccess{};  // after it is forwarded
  std::function<void(const Error&)> onError{};
  std::function<void(const Error&)> afterError{};
  std::function<void()> onSubscribe{};   // must not throw
  std::function<void()> onSubscribed{};  // must not throw
  std::function<void()> onDispose{};     // must not throw
};

namespace detail {

template <class S, class T>
concept SingleRange = std::ranges::input_range<const S> &&
    std::is_same_v<std::remove_cvref_t<std::ranges::range_value_t<const S>>, Single<T>>;

template <class T>
class PrimitiveSequenceOperators<SingleTrait, T> {
 public:
  // A Single from `subscribe(SingleObserver<T>) -> Ref<Disposable>`, called
  // once per subscription. The first outcome wins; later ones are dropped.
  template <class Subscribe>
  requires std::is_invocable_r_v<Ref<Disposable>, Subscribe&, SingleObserver<T>> static Single<T>
  create(Subscribe subscribe) {
    return Single<T>(rv::create<T>(
        [subscribe = std::move(subscribe)](AnyObserver<T> observer) mutable -> Ref<Disposable> {
          return subscribe(SingleObserver<T>([observer](SingleEvent<T> event) mutable {
            if (const T* element = event.element()) {
              observer.onNext(*element);
              observer.onCompleted();
            } else {
              observer.onError(*event.error());
            }
          }));
        }));
  }

  // Subscribes `observer(SingleEvent<T>)`, which receives one outcome at
  // most. A source that completes without an element is reported on standard
  // output and the observer is not called. The observer must not throw.
  template <class Observer>
  requires std::is_invocable_v<Observer&, SingleEvent<T>> Ref<Disposable> subscribe(
      Observer observer)
  const {
    return rv::subscribe(
        self(), [observer = std::move(observer), stopped = false](const Event<T>& event) mutable {
          if (stopped) return;
          stopped = true;
          if (const T* element = event.element()) {
            observer(SingleEvent<T>::success(*element));
          } else if (const Error* error = event.error()) {
            observer(SingleEvent<T>::failure(*error));
          } else {
            printReport("Singles can't emit a completion event", __FILE__, __LINE__);
          }
        });
  }

  // Subscribes optional handlers. Disposing the result ends the subscription
  // and runs onDisposed once.
  Ref<Disposable> subscribe(SingleSubscribeHandlers<T> handlers) const {
    Ref<Disposable> disposable =
        handlers.onDisposed ? Ref<Disposable>(Disposables::create(std::move(handlers.onDisposed)))
                            : Disposables::create();
    Ref<Disposable> subscription =
        subscribe([onSuccess = std::move(handlers.onSuccess),
                   onFailure = std::move(handlers.onFailure), disposable](SingleEvent<T> event) {
          if (const T* element = event.element()) {
            if (onSuccess) onSuccess(*element);
          } else if (onFailure) {
            onFailure(*event.error());
          } else {
            Hooks::defaultErrorHandler()({}, *event.error());
          }
          disposable->dispose();
        });
    return Disposables::create(std::move(subscription), std::move(disposable));
  }

  // The same with handlers that receive `object` first, held weakly: once it
  // is gone no handler runs (not even onDisposed), and an error without
  // onFailure is dropped instead of reaching the default error handler.
  template <class Object>
  Ref<Disposable> subscribe(const Ref<Object>& object,
                            std::type_identity_t<SingleSubscribeWithHandlers<Object, T>> h) const {
    Weak<Object> weak = object;
    return subscribe(SingleSubscribeHandlers<T>{
        .onSuccess = detail::withWeakObject(weak, std::move(h.onSuccess)),
        .onFailure = detail::withWeakObject(weak, std::move(h.onFailure)),
        .onDisposed = detail::withWeakObject(weak, std::move(h.onDisposed))});
  }

  static Single<T> just(T element) { return Single<T>(rv::just(std::move(element))); }

  // Delivers the element and the completion on `scheduler`.
  static Single<T> just(T element, Ref<ImmediateSchedulerType> scheduler) {
    return Single<T>(rv::just(std::move(element), scheduler));
  }

  static Single<T> error(Error error) { return Single<T>(rv::error<T>(std::move(error))); }

  static Single<T> never() { return Single<T>(rv::never<T>()); }

  // Side effects around the outcome, the subscription and the disposal; a
  // throwing event handler turns into the sequence's error.
  Single<T> doOn(SingleDoHandlers<T> h) const {
    return Single<T>(rv::doOn(self(), DoHandlers<T>{.onNext = std::move(h.onSuccess),
                                                    .afterNext = std::move(h.afterSuccess),
                                                    .onError = std::move(h.onError),
                                                    .afterError = std::move(h.afterError),
                                                    .onSubscribe = std::move(h.onSubscribe),
                                                    .onSubscribed = std::move(h.onSubscribed),
                                                    .onDispose = std::move(h.onDispose)}));
  }

  // A rejected element leaves an empty completion.
  template <class Predicate>
  Maybe<T> filter(Predicate predicate) const {
    return Maybe<T>(self() | rv::filter(std::move(predicate)));
  }

  template <class F>
  auto map(F transform) const {
    auto mapped = self() | rv::map(std::move(transform));
    return Single<ElementOf<decltype(mapped)>>(std::move(mapped));
  }

  // An absent result leaves an empty completion.
  template <class F>
  auto compactMap(F transform) const {
    auto mapped = self() | rv::compactMap(std::move(transform));
    return Maybe<ElementOf<decltype(mapped)>>(std::move(mapped));
  }

  // Continues with the Single `selector(const T&)` returns.
  template <class Selector>
  auto flatMap(Selector selector) const {
    return flatMapTo<SingleTrait>(std::move(selector));
  }

  // Continues with the Maybe `selector(const T&)` returns.
  template <class Selector>
  auto flatMapMaybe(Selector selector) const {
    return flatMapTo<MaybeTrait>(std::move(selector));
  }

  // Continues with the Completable `selector(const T&)` returns.
  template <class Selector>
  CompletableFor<T> flatMapCompletable(Selector selector) const {
    return flatMapTo<CompletableTrait>(std::move(selector));
  }

  // Waits for every Single of `collection` and succeeds with
  // `resultSelector(const std::vector<T>&)` over their elements, in collection
  // order; the first failure, or a throw of the selector, is the error. With
  // no Single at all the selector runs on the empty array at each
  // subscription.
  template <SingleRange<T> Sources, class Selector>
  static auto zip(const Sources& collection, Selector resultSelector) {
    using R = std::decay_t<std::invoke_result_t<Selector&, const std::vector<T>&>>;
    if (std::ranges::begin(collection) == std::ranges::end(collection)) {
      return Single<R>::deferred([resultSelector = std::move(resultSelector)]() mutable {
        return Single<R>::just(resultSelector(std::vector<T>{}));
      });
    }
    return Single<R>(rv::zip(collection, std::move(resultSelector)));
  }

  // Succeeds with the elements of every Single of `collection`, in collection
  // order; an empty collection succeeds with the empty array.
  template <SingleRange<T> Sources>
  static Single<std::vector<T>> zip(const Sources& collection) {
    if (std::ranges::begin(collection) == std::ranges::end(collection)) {
      return Single<std::vector<T>>::just({});
    }
    return Single<std::vector<T>>(rv::zip(collection));
  }

  // On an error, succeeds with `element`.
  Single<T> catchAndReturn(T element) const {
    return Single<T>(self() | rv::catchAndReturn(std::move(element)));
  }

  // The same source as a Maybe.
  Maybe<T> asMaybe() const { return Maybe<T>(self()); }

  // Drops the element and keeps the outcome.
  CompletableFor<T> asCompletable() const {
    return CompletableFor<T>(self() | rv::ignoreElements());
  }

 private:
  const Ref<Observable<T>>& self() const noexcept {
    return static_cast<const Single<T>&>(*this).asObservable();
  }

  template <class Trait, class Selector>
  auto flatMapTo(Selector selector) const {
    using Result = std::decay_t<std::invoke_result_t<Selector&, const T&>>;
    static_assert(PrimitiveSequenceOf<Result, Trait>,
                  "the selector returns a sequence of another trait");
    return Result(self() | rv::flatMap(std::move(selector)));
  }
};

}  // namespace detail

static_assert(sizeof(Single<int>) == sizeof(Ref<Observable<int>>));

}  // namespace rv
