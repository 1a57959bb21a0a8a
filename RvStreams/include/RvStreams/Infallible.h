#pragma once

// A sequence whose type promises it never fails: elements and possibly one
// completion, no error. A value whose only member is the wrapped observable.

#include <utility>

#include "RvStreams/Catch.h"
#include "RvStreams/Just.h"
#include "RvStreams/Observable.h"

namespace rv {

template <class T>
class Infallible {
 public:
  using Element = T;

  // Wraps `source` without checking anything: the caller answers for the
  // promise.
  explicit Infallible(Ref<Observable<T>> source) : source_(std::move(source)) {}

  // Completes at once.
  static Infallible empty() { return Infallible(rv::empty<T>()); }

  // The very observable the sequence was made from.
  const Ref<Observable<T>>& asObservable() const noexcept { return source_; }

 private:
  Ref<Observable<T>> source_;
};

static_assert(sizeof(Infallible<int>) == sizeof(Ref<Observable<int>>));

namespace detail {
template <class T>
struct AsInfallibleFallbackOp : OperatorTag {
  Infallible<T> fallback;
  template <class S>
  Infallible<T> operator()(const S& source) && {
    static_assert(std::is_same_v<ElementOf<S>, T>, "fallback of another element type");
    return Infallible<T>(rv::asObservable(source) |
                         rv::catchError([fallback = std::move(fallback)](const Error&) {
                           return fallback.asObservable();
                         }));
  }
};
}  // namespace detail

// Converts any sequence to an Infallible that continues with `fallback`
// instead of failing.
template <class T>
detail::AsInfallibleFallbackOp<T> asInfallible(Infallible<T> onErrorFallbackTo) {
  return {{}, std::move(onErrorFallbackTo)};
}

}  // namespace rv
