#pragma once

// What the operators over several sources share: telling the sources of a
// call apart from its selector (combineLatest and zip of two to eight
// sources), the selectors of their tuple and vector forms, and the
// collection forms' gathering of sources.

#include <cstddef>
#include <ranges>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvStreams/Observable.h"

namespace rv {
namespace detail {

// The selector of the tuple forms.
struct TupleOfElements {
  template <class... Es>
  std::tuple<Es...> operator()(const Es&... elements) const {
    return std::tuple<Es...>(elements...);
  }
};

// Splits `args` into the sources and the selector (the last argument when it
// is not a sequence) and builds `Producer<R, Selector, Es...>`.
template <template <class, class, class...> class ProducerT, class... Args>
auto makeFixedArity(const Args&... args) {
  constexpr std::size_t kCount = sizeof...(Args);
  auto all = std::forward_as_tuple(args...);
  using Last = std::remove_cvref_t<std::tuple_element_t<kCount - 1, std::tuple<Args...>>>;
  auto build = [&]<std::size_t... Is>(auto selector, std::index_sequence<Is...>) {
    using Selector = decltype(selector);
    using R = std::decay_t<std::invoke_result_t<
        Selector&, const ElementOf<std::tuple_element_t<Is, std::tuple<Args...>>>&...>>;
    using P = ProducerT<R, Selector, ElementOf<std::tuple_element_t<Is, std::tuple<Args...>>>...>;
    return Ref<Observable<R>>(
        std::make_shared<P>(rv::asObservable(std::get<Is>(all))..., std::move(selector)));
  };
  if constexpr (ObservableConvertible<Last>) {
    return build(TupleOfElements{}, std::make_index_sequence<kCount>{});
  } else {
    return build(std::get<kCount - 1>(all), std::make_index_sequence<kCount - 1>{});
  }
}

// Whether `Args` are two to eight sources, optionally followed by a selector.
template <class... Args>
constexpr bool isFixedArityCall() {
  if constexpr (sizeof...(Args) < 2) {
    return false;
  } else {
    using All = std::tuple<Args...>;
    using Last = std::remove_cvref_t<std::tuple_element_t<sizeof...(Args) - 1, All>>;
    constexpr std::size_t kSources =
        ObservableConvertible<Last> ? sizeof...(Args) : sizeof...(Args) - 1;
    if constexpr (kSources < 2 || kSources > 8) {
      return false;
    } else {
      return []<std::size_t... Is>(std::index_sequence<Is...>) {
        return (ObservableConvertible<std::tuple_element_t<Is, All>> && ...);
      }
      (std::make_index_sequence<kSources>{});
    }
  }
}

// Whether `Args` are a fixed-arity call whose sources all satisfy
// `IsSource<source type>::value`: the wrappers (Single, Maybe, Infallible)
// offer the operators over their own kind only.
template <template <class> class IsSource, class... Args>
constexpr bool isFixedArityCallOf() {
  if constexpr (!isFixedArityCall<Args...>()) {
    return false;
  } else {
    using All = std::tuple<Args...>;
    using Last = std::remove_cvref_t<std::tuple_element_t<sizeof...(Args) - 1, All>>;
    constexpr std::size_t kSources =
        ObservableConvertible<Last> ? sizeof...(Args) : sizeof...(Args) - 1;
    return []<std::size_t... Is>(std::index_sequence<Is...>) {
      return (IsSource<std::remove_cvref_t<std::tuple_element_t<Is, All>>>::value && ...);
    }
    (std::make_index_sequence<kSources>{});
  }
}

// Whether a fixed-arity call ends with a selector rather than a source.
template <class... Args>
constexpr bool endsWithSelector() {
  using Last = std::remove_cvref_t<std::tuple_element_t<sizeof...(Args) - 1, std::tuple<Args...>>>;
  return !ObservableConvertible<Last>;
}

// The selector of the collection forms' identity versions.
struct AllElements {
  template <class T>
  std::vector<T> operator()(const std::vector<T>& elements) const {
    return elements;
  }
};

template <class Sources>
concept SourceCollection = std::ranges::input_range<const Sources> &&
    ObservableConvertible<std::ranges::range_value_t<const Sources>>;

template <class Sources>
auto collectSources(const Sources& sources) {
  using T = ElementOf<std::ranges::range_value_t<const Sources>>;
  std::vector<Ref<Observable<T>>> array;
  for (const auto& source : sources) array.push_back(rv::asObservable(source));
  return array;
}

}  // namespace detail
}  // namespace rv
