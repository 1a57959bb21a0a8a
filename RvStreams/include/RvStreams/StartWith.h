#pragma once

// `source | rv::startWith(1, 2)`: sends the given elements, in order, and then
// everything of the source. The elements go straight to the subscriber on the
// subscribing thread, during subscription and before the source is
// subscribed; the operator has no sink and takes no lock.

#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvStreams/Disposables.h"
#include "RvStreams/Producer.h"

namespace rv {

namespace detail {

template <class T>
struct StartWithArray {
  std::vector<T> elements;
  template <class>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable>) {
    for (const T& element : elements) observer->on(Event<T>::next(element));
    Ref<Disposable> subscription = source->subscribe(std::move(observer));
    return {Disposables::create(), std::move(subscription)};
  }
};

template <class... Elements>
struct StartWithOp : OperatorTag {
  std::tuple<Elements...> elements;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    std::vector<T> array;
    array.reserve(sizeof...(Elements));
    std::apply([&](Elements&... e) { (array.emplace_back(std::move(e)), ...); }, elements);
    return bindOperator(rv::asObservable(source), StartWithArray<T>{std::move(array)});
  }
};

}  // namespace detail

// Sends `elements` before the source's events; each must convert to the
// source's element type.
template <class... Elements>
detail::StartWithOp<std::decay_t<Elements>...> startWith(Elements&&... elements) {
  return {{}, {std::forward<Elements>(elements)...}};
}

}  // namespace rv
