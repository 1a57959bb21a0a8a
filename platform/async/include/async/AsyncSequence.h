#pragma once

// What makes a type an asynchronous sequence: `makeAsyncIterator()` gives an
// iterator whose `next()` is awaited for `std::optional<Element>` (nullopt at
// the end) and may throw.

#include <concepts>
#include <optional>
#include <type_traits>
#include <utility>

namespace async {

namespace detail {
template <class A>
struct AwaitResultOf {
  using type = decltype(std::declval<A&>().await_resume());
};
template <class A>
requires requires(A&& a) { std::forward<A>(a).operator co_await(); }
struct AwaitResultOf<A> {
  using type = decltype(std::declval<A>().operator co_await().await_resume());
};

// What `co_await` of an A gives.
template <class A>
using AwaitResult = typename AwaitResultOf<A>::type;

template <class T>
struct OptionalValue {};
template <class T>
struct OptionalValue<std::optional<T>> {
  using type = T;
};
}  // namespace detail

template <class S>
concept AsyncSequence = requires(const S& sequence) {
  sequence.makeAsyncIterator();
  typename detail::OptionalValue<std::remove_cvref_t<
      detail::AwaitResult<decltype(sequence.makeAsyncIterator().next())>>>::type;
};

// The element type of an asynchronous sequence.
template <AsyncSequence S>
using AsyncElementOf = typename detail::OptionalValue<std::remove_cvref_t<
    detail::AwaitResult<decltype(std::declval<const S&>().makeAsyncIterator().next())>>>::type;

}  // namespace async
