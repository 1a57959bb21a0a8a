#pragma once

// What the binding operations (`bindTo`, `Driver::drive`, `Signal::emit`)
// accept as targets, and how one subscription feeds several of them.
//
// An observer is given either as a reference (`Ref<X>` with X an
// `ObserverType<T>`) or as an observer value (`AnyObserver<T>`, `Binder<T>`),
// which is copied. A relay is given as a reference to a publish, behavior or
// replay relay. Targets of `std::optional<T>` receive every element as a
// present optional. Several targets are served one after the other inside
// each event, in the order given.

#include <concepts>
#include <memory>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvRelay/BehaviorRelay.h"
#include "RvRelay/PublishRelay.h"
#include "RvRelay/ReplayRelay.h"
#include "RvStreams/Event.h"
#include "RvStreams/Map.h"
#include "RvStreams/Observable.h"
#include "RvStreams/ObserverType.h"

namespace rv::detail {

template <class O, class T>
concept ObserverRefOf = IsRef<O>::value && std::convertible_to<const O&, Ref<ObserverType<T>>>;

template <class O, class T>
concept ObserverValueOf = std::derived_from<O, ObserverType<T>> && std::copy_constructible<O>;

template <class O, class T>
concept ObserverOf = ObserverRefOf<O, T> || ObserverValueOf<O, T>;

// The observer as a reference; an observer value is copied.
template <class T, class O>
Ref<ObserverType<T>> observerRef(const O& observer) {
  if constexpr (ObserverRefOf<O, T>) {
    return observer;
  } else {
    return std::make_shared<O>(observer);
  }
}

// All of `Os` observe T: the plain observer forms. An empty list counts.
template <class T, class... Os>
concept ObserversOf = (ObserverOf<Os, T> && ...);

// All of `Os` observe std::optional<T> (and not T itself, which the plain
// forms take).
template <class T, class... Os>
concept OptionalObserversOf = (sizeof...(Os) > 0) && (ObserverOf<Os, std::optional<T>> && ...) &&
                              !ObserversOf<T, Os...>;

// `R` is a reference to a relay of kind `Kind` whose element is T or
// std::optional<T>.
template <class R, template <class> class Kind, class T>
concept RelayOf = std::same_as<R, Ref<Kind<T>>> || std::same_as<R, Ref<Kind<std::optional<T>>>>;

// One or more relays, all of kind `Kind`.
template <template <class> class Kind, class T, class... Rs>
concept RelaysOf = (sizeof...(Rs) > 0) && (RelayOf<Rs, Kind, T> && ...);

// An event handler that passes each event to every observer, in order.
template <class T, class... Os>
auto forwardingToObservers(const Os&... observers) {
  std::vector<Ref<ObserverType<T>>> array{observerRef<T>(observers)...};
  return [array = std::move(array)](const Event<T>& event) {
    for (const Ref<ObserverType<T>>& observer : array) observer->on(event);
  };
}

// An element handler that has every relay accept the element, in order; a
// relay of optionals accepts it as a present optional.
template <class T, class... Rs>
auto acceptingInto(const Rs&... relays) {
  return [relays = std::tuple<Rs...>(relays...)](const T& element) {
    std::apply([&](const auto&... relay) { (relay->accept(element), ...); }, relays);
  };
}

// The source with every element wrapped as a present optional; errors and
// completion pass unchanged.
template <class S>
auto asPresentOptionals(const S& source) {
  using T = ElementOf<S>;
  return rv::asObservable(source) |
         rv::map([](const T& element) { return std::optional<T>(element); });
}

template <class...>
inline constexpr bool kAlwaysFalse = false;

}  // namespace rv::detail
