#pragma once

// The running accumulation: each subscription starts from the seed, folds
// each element into the accumulated value and emits every new value. Nothing
// is emitted on completion. No lock: the source delivers serially.

#include <type_traits>
#include <utility>

#include "RvStreams/Map.h"

namespace rv {

namespace detail {

// The step of scan. Every subscription works on its own copy, so
// `accumulated` starts from the seed afresh.
template <class A, class Accumulator>
struct ScanStep {
  A accumulated;
  Accumulator accumulator;  // void(A& accumulated, const T& element)

  template <class T, class Forward>
  void operator()(const T& element, Forward& forward) {
    accumulator(accumulated, element);
    forward.next(accumulated);
  }
};

template <class A, class Accumulator>
struct ScanOp : OperatorTag {
  ScanStep<A, Accumulator> step;
  template <class S>
  Ref<Observable<A>> operator()(const S& source) && {
    return elementWise<ElementOf<S>, A>(source, std::move(step));
  }
};

}  // namespace detail

// `accumulator(A& accumulated, const T& element)` changes the value in place.
template <class A, class F>
detail::ScanOp<A, std::decay_t<F>> scanInto(A seed, F&& accumulator) {
  return {{}, {std::move(seed), std::forward<F>(accumulator)}};
}

// `accumulator(const A& accumulated, const T& element) -> A` returns the next
// value; when it throws, the accumulated value stays as it was.
template <class A, class F>
auto scan(A seed, F&& accumulator) {
  auto inPlace = [f = std::forward<F>(accumulator)](A& accumulated, const auto& element) {
    A next = f(std::as_const(accumulated), element);
    accumulated = std::move(next);
  };
  return detail::ScanOp<A, decltype(inPlace)>{{}, {std::move(seed), std::move(inPlace)}};
}

}  // namespace rv
