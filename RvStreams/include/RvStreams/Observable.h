#pragma once

// The sending side of every stream, and the glue that lets operators apply to
// anything that converts to an observable (`source | rv::map(f)`).

#include <concepts>
#include <memory>
#include <type_traits>
#include <utility>

#include "RvStreams/Base.h"
#include "RvStreams/Disposable.h"
#include "RvStreams/ObserverType.h"

namespace rv {

// The abstract base of every sequence. Subscribing hands the sequence an
// observer and returns the disposable that ends the subscription; a sequence
// may deliver events, its stop event included, before subscribe returns.
template <class T>
class Observable : public std::enable_shared_from_this<Observable<T>> {
 public:
  using Element = T;

  virtual Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) = 0;
  virtual ~Observable() = default;

  // An observable is its own observable.
  Ref<Observable<T>> asObservable() { return this->shared_from_this(); }
};

namespace detail {
template <class T>
struct IsRef : std::false_type {};
template <class T>
struct IsRef<std::shared_ptr<T>> : std::true_type {};

template <class T>
struct IsObservableRef : std::false_type {};
template <class T>
struct IsObservableRef<std::shared_ptr<Observable<T>>> : std::true_type {};
}  // namespace detail

// The observable of anything convertible: a reference to an observable,
// subject or relay (through its `asObservable()`), or a wrapper value (trait
// sequences) with an `asObservable()` of its own.
template <class S>
requires detail::IsRef<S>::value && requires(const S& s) { s->asObservable(); }
auto asObservable(const S& source) { return source->asObservable(); }
template <class S>
requires(!detail::IsRef<S>::value) && requires(const S& s) { s.asObservable(); }
auto asObservable(const S& source) { return source.asObservable(); }

template <class S>
concept ObservableConvertible = requires(const std::remove_cvref_t<S>& s) {
  {rv::asObservable(s)};
  requires detail::IsObservableRef<decltype(rv::asObservable(s))>::value;
};

// The element type of a convertible sequence.
template <class S>
using ElementOf = typename decltype(rv::asObservable(
    std::declval<const std::remove_cvref_t<S>&>()))::element_type::Element;

// Operators are adaptor values deriving from OperatorTag; `source | op`
// applies them to the source.
struct OperatorTag {};

template <class Op>
concept Operator = std::derived_from<std::remove_cvref_t<Op>, OperatorTag>;

template <class S, class Op>
requires ObservableConvertible<S> && Operator<Op>
auto operator|(S&& source, Op&& op) { return std::forward<Op>(op)(std::forward<S>(source)); }

}  // namespace rv
