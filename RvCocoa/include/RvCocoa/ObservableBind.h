#pragma once

// Binding a sequence to what displays or stores its values. Unlike drive,
// binding neither checks nor changes the thread: events arrive where the
// source emits them. Each form makes one subscription (or none, for the
// binder functions) and adds no sharing.
//
//   source | rv::bindTo(label.text(), counter)     // observers, in order
//   source | rv::bindTo([](const auto& s) { ... })  // a binder function
//   source | rv::bind([](const int& x) { ... })     // an element handler
//   source | rv::bind(owner, [](const Ref<Owner>& o, const int& x) { ... })
//   infallible | rv::bindTo(relay1, relay2)         // relays: Infallible only
//
// On any sequence an error goes to the observers like any other event; the
// element handlers report it as one "Binding error: " line on standard
// output and the subscription ends. An Infallible has no error path: should
// one reach it all the same, its subscription handles it.

#include <functional>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "RvCocoa/BindingTargets.h"
#include "RvCocoa/RvCocoaError.h"
#include "RvStreams/Binder.h"
#include "RvStreams/Infallible.h"
#include "RvStreams/Observable.h"
#include "RvStreams/Subscribe.h"

namespace rv {

namespace detail {

template <class... Targets>
struct BindToOp : OperatorTag {
  std::tuple<Targets...> targets;

  template <class S>
  decltype(auto) operator()(const S& source) && {
    using T = ElementOf<S>;
    constexpr bool kInfallible = IsInfallibleValue<std::remove_cvref_t<S>>::value;
    if constexpr (ObserversOf<T, Targets...>) {
      return std::apply(
          [&](const auto&... observers) {
            return subscribeEvents(source, forwardingToObservers<T>(observers...));
          },
          targets);
    } else if constexpr (OptionalObserversOf<T, Targets...>) {
      auto optionals = [&] {
        if constexpr (kInfallible) {
          return source.map([](const T& element) { return std::optional<T>(element); });
        } else {
          return asPresentOptionals(source);
        }
      }();
      return std::apply(
          [&](const auto&... observers) {
            return subscribeEvents(optionals,
                                   forwardingToObservers<std::optional<T>>(observers...));
          },
          targets);
    } else if constexpr (kInfallible && (RelaysOf<PublishRelay, T, Targets...> ||
                                         RelaysOf<BehaviorRelay, T, Targets...> ||
                                         RelaysOf<ReplayRelay, T, Targets...>)) {
      // Completion is not passed on: a relay never terminates.
      return std::apply(
          [&](const auto&... relays) {
            return source.subscribe(
                InfallibleSubscribeHandlers<T>{.onNext = acceptingInto<T>(relays...)});
          },
          targets);
    } else if constexpr (sizeof...(Targets) == 1) {
      using Function = std::tuple_element_t<0, std::tuple<Targets...>>;
      static_assert(std::is_invocable_v<Function&, const S&>,
                    "bindTo takes observers of the element (or of its optional), relays (on an "
                    "Infallible), or a binder function taking the sequence itself");
      return std::invoke(std::get<0>(targets), source);
    } else {
      static_assert(sizeof...(Targets) == 2, "bindTo: targets of one kind, or one function");
      using Function = std::tuple_element_t<0, std::tuple<Targets...>>;
      static_assert(std::is_invocable_v<Function&, const S&>,
                    "bindTo: the first of two arguments must be a binder function");
      auto bound = std::invoke(std::get<0>(targets), source);
      return std::invoke(std::move(bound), std::move(std::get<1>(targets)));
    }
  }

  // One subscription with one event handler; an Infallible converts its
  // events first (an error never reaches the handler there).
  template <class S, class Handler>
  static Ref<Disposable> subscribeEvents(const S& source, Handler handler) {
    if constexpr (IsInfallibleValue<std::remove_cvref_t<S>>::value) {
      using T = ElementOf<S>;
      return source.subscribe(
          [handler = std::move(handler)](InfallibleEvent<T> event) { handler(event.event()); });
    } else {
      return rv::subscribe(source, std::move(handler));
    }
  }
};

template <class OnNext>
struct BindOnNextOp : OperatorTag {
  OnNext onNext;

  template <class S>
  Ref<Disposable> operator()(const S& source) && {
    using T = ElementOf<S>;
    if constexpr (IsInfallibleValue<std::remove_cvref_t<S>>::value) {
      return source.subscribe(InfallibleSubscribeHandlers<T>{.onNext = std::move(onNext)});
    } else {
      return rv::subscribe(
          source, SubscribeHandlers<T>{.onNext = std::move(onNext), .onError = reportError});
    }
  }

  static void reportError(const Error& error) { printBindingError(error, __FILE__, __LINE__); }
};

template <class Strong, class OnNext>
struct BindWithOp : OperatorTag {
  typename WeakReferenceTraits<Strong>::Weak object;
  OnNext onNext;

  template <class S>
  Ref<Disposable> operator()(const S& source) && {
    using T = ElementOf<S>;
    using Traits = WeakReferenceTraits<Strong>;
    // Once the object is gone elements are dropped; the subscription lives
    // on until it is disposed or the source ends.
    return rv::subscribe(
        source,
        SubscribeHandlers<T>{
            .onNext =
                [object = std::move(object), onNext = std::move(onNext)](const T& element) {
                  if (auto strong = Traits::load(object)) onNext(strong, element);
                },
            .onError = [](const Error& error) { printBindingError(error, __FILE__, __LINE__); }});
  }
};

}  // namespace detail

// Binds to observers (of the element, or of its optional, which then get
// present optionals), served in the order given; on an Infallible also to
// relays of one kind (publish, behavior or replay; of the element or its
// optional). Or calls a binder function with the sequence itself and returns
// its result; with a second argument, calls what the function returns with
// it and returns that.
template <class... Targets>
detail::BindToOp<std::decay_t<Targets>...> bindTo(Targets&&... targets) {
  return {{}, {std::forward<Targets>(targets)...}};
}

// Calls `onNext(const T&)` for every element. An error is reported and ends
// the subscription.
template <class OnNext>
requires(!detail::IsRef<std::decay_t<OnNext>>::value)
    detail::BindOnNextOp<std::decay_t<OnNext>> bind(OnNext&& onNext) {
  return {{}, std::forward<OnNext>(onNext)};
}

// Calls `onNext(strong object, const T&)` for every element while `object`,
// held weakly, is alive. An error is reported and ends the subscription.
template <class Strong, class OnNext>
requires(!detail::IsRef<std::decay_t<OnNext>>::value)
    detail::BindWithOp<Strong, std::decay_t<OnNext>> bind(const Strong& object, OnNext&& onNext) {
  return {{}, WeakReferenceTraits<Strong>::weaken(object), std::forward<OnNext>(onNext)};
}

}  // namespace rv
