#pragma once

// The aggregating operators: they swallow every element and emit one value
// when the source completes.
//   reduce(seed, accumulator[, mapResult]): folds the elements into an
//     accumulator started from the seed for each subscription;
//   toArray(): collects the elements, as a single-element sequence of the
//     array.
// A source error passes unchanged and discards what was gathered; a throwing
// callable ends the output with its error. No lock: the source delivers
// serially.

#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvStreams/PrimitiveSequence.h"
#include "RvStreams/Producer.h"

namespace rv {

namespace detail {

template <class A, class Accumulator, class MapResult>
struct ReduceParams {
  A seed;
  Accumulator accumulator;  // (const A&, const T&) -> A
  MapResult mapResult;      // (A) -> R
};

template <class T, class R, class Params>
class ReduceSink final : public Sink<R>, public ObserverType<T> {
 public:
  ReduceSink(Ref<ObserverType<R>> observer, Ref<Cancelable> cancel, Params params)
      : Sink<R>(std::move(observer), std::move(cancel)),
        accumulation_(std::move(params.seed)),
        accumulator_(std::move(params.accumulator)),
        mapResult_(std::move(params.mapResult)) {}

  void on(const Event<T>& event) noexcept override {
    if (const T* element = event.element()) {
      try {
        auto next = accumulator_(std::as_const(accumulation_), *element);
        accumulation_ = std::move(next);
      } catch (...) {
        this->forwardStop(Event<R>::error(std::current_exception()));
      }
    } else if (const Error* error = event.error()) {
      this->forwardStop(Event<R>::error(*error));
    } else {
      std::optional<R> result;
      try {
        result.emplace(mapResult_(std::move(accumulation_)));
      } catch (...) {
        this->forwardStop(Event<R>::error(std::current_exception()));
        return;
      }
      this->forwardOn(Event<R>::next(std::move(*result)));
      this->forwardStop(Event<R>::completed());
    }
  }

 private:
  using A = decltype(std::declval<Params&>().seed);
  A accumulation_;
  decltype(std::declval<Params&>().accumulator) accumulator_;
  decltype(std::declval<Params&>().mapResult) mapResult_;
};

template <class T, class R, class Params>
class ToArraySink final : public Sink<std::vector<T>>, public ObserverType<T> {
 public:
  ToArraySink(Ref<ObserverType<std::vector<T>>> observer, Ref<Cancelable> cancel, Params)
      : Sink<std::vector<T>>(std::move(observer), std::move(cancel)) {}

  void on(const Event<T>& event) noexcept override {
    if (const T* element = event.element()) {
      list_.push_back(*element);
    } else if (const Error* error = event.error()) {
      this->forwardStop(Event<std::vector<T>>::error(*error));
    } else {
      this->forwardOn(Event<std::vector<T>>::next(std::move(list_)));
      this->forwardStop(Event<std::vector<T>>::completed());
    }
  }

 private:
  std::vector<T> list_;
};

struct Identity {
  template <class A>
  A operator()(A&& value) const {
    return std::forward<A>(value);
  }
};

template <class A, class Accumulator, class MapResult>
struct ReduceOp : OperatorTag {
  ReduceParams<A, Accumulator, MapResult> params;
  template <class S>
  auto operator()(const S& source) && {
    using T = ElementOf<S>;
    using R = std::decay_t<std::invoke_result_t<MapResult&, A&&>>;
    return makeSourceProducer<T, R, ReduceSink>(source, std::move(params));
  }
};

struct NoParams {};

struct ToArrayOp : OperatorTag {
  template <class S>
  Single<std::vector<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return Single<std::vector<T>>(
        makeSourceProducer<T, std::vector<T>, ToArraySink>(source, NoParams{}));
  }
};

}  // namespace detail

// Folds the elements with `accumulator(const A&, const T&) -> A` starting
// from `seed`, and emits `mapResult(A)` when the source completes.
template <class A, class Accumulator, class MapResult>
detail::ReduceOp<A, std::decay_t<Accumulator>, std::decay_t<MapResult>> reduce(
    A seed, Accumulator&& accumulator, MapResult&& mapResult) {
  return {{},
          {std::move(seed), std::forward<Accumulator>(accumulator),
           std::forward<MapResult>(mapResult)}};
}

// Folds the elements and emits the accumulated value when the source
// completes (the seed for an empty source).
template <class A, class Accumulator>
detail::ReduceOp<A, std::decay_t<Accumulator>, detail::Identity> reduce(A seed,
                                                                        Accumulator&& accumulator) {
  return {{}, {std::move(seed), std::forward<Accumulator>(accumulator), {}}};
}

// Collects every element; a single-element sequence of the array.
inline detail::ToArrayOp toArray() { return {}; }

}  // namespace rv
