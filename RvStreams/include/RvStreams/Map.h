#pragma once

// The element-wise operators: `map` transforms each element, `compactMap`
// transforms and drops absent results, `filter` keeps the elements a
// predicate accepts, `ignoreElements` keeps only termination. A throwing
// callable ends the output with its error and disposes the subscription.
// The sinks take no lock: they rely on their source delivering serially.

#include <optional>
#include <type_traits>
#include <utility>

#include "RvStreams/Just.h"
#include "RvStreams/Merge.h"
#include "RvStreams/Producer.h"

namespace rv {

namespace detail {

// What an element-wise step may do with one element.
template <class T, class R>
class ElementForward {
 public:
  ElementForward(Sink<R>& sink, const Event<T>& event) : sink_(sink), event_(event) {}
  // Forwards `value` downstream.
  void next(R value) { sink_.forwardNextFromStep(Event<R>::next(std::move(value))); }
  // Forwards the incoming element itself, without copying it.
  void same() requires std::is_same_v<T, R> { sink_.forwardNextFromStep(event_); }

 private:
  Sink<R>& sink_;
  const Event<T>& event_;
};

// The sink of every element-wise operator. `Step(const T&, ElementForward&)`
// decides what to forward for each element and may throw. Each subscription
// works on its own copy of the step, so a step may keep state (scan does).
template <class T, class R, class Step>
class ElementWiseSink final : public Sink<R>, public ObserverType<T> {
 public:
  ElementWiseSink(Ref<ObserverType<R>> observer, Ref<Cancelable> cancel, Step step)
      : Sink<R>(std::move(observer), std::move(cancel)), step_(std::move(step)) {}

  void on(const Event<T>& event) noexcept override {
    if (const T* element = event.element()) {
      try {
        ElementForward<T, R> forward(*this, event);
        step_(*element, forward);
      } catch (...) {
        this->forwardStop(Event<R>::error(std::current_exception()));
      }
    } else {
      this->forwardStopFrom(event);
    }
  }

 private:
  Step step_;
};

template <class T, class R, class Step, class S>
Ref<Observable<R>> elementWise(const S& source, Step step) {
  return makeSourceProducer<T, R, ElementWiseSink>(source, std::move(step));
}

template <class F>
struct MapOp : OperatorTag {
  F transform;
  template <class S>
  auto operator()(const S& source) && {
    using T = ElementOf<S>;
    using R = std::decay_t<std::invoke_result_t<F&, const T&>>;
    return elementWise<T, R>(source, [f = std::move(transform)](const T& x, auto& forward) mutable {
      forward.next(f(x));
    });
  }
};

template <class F>
struct CompactMapOp : OperatorTag {
  F transform;
  template <class S>
  auto operator()(const S& source) && {
    using T = ElementOf<S>;
    using R = typename std::decay_t<std::invoke_result_t<F&, const T&>>::value_type;
    return elementWise<T, R>(source, [f = std::move(transform)](const T& x, auto& forward) mutable {
      auto result = f(x);
      if (result) forward.next(std::move(*result));
    });
  }
};

template <class F>
struct FilterOp : OperatorTag {
  F predicate;
  template <class S>
  auto operator()(const S& source) && {
    using T = ElementOf<S>;
    return elementWise<T, T>(source, [p = std::move(predicate)](const T& x, auto& forward) mutable {
      if (p(x)) forward.same();
    });
  }
};

struct IgnoreElementsOp : OperatorTag {
  template <class S>
  Ref<Observable<Never>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return rv::asObservable(source) | rv::flatMap([](const T&) { return rv::empty<Never>(); });
  }
};

}  // namespace detail

// Transforms each element with `transform(const T&) -> R`.
template <class F>
detail::MapOp<std::decay_t<F>> map(F&& transform) {
  return {{}, std::forward<F>(transform)};
}

// Transforms each element with `transform(const T&) -> std::optional<R>`
// and emits only the present results.
template <class F>
detail::CompactMapOp<std::decay_t<F>> compactMap(F&& transform) {
  return {{}, std::forward<F>(transform)};
}

// Keeps the elements for which `predicate(const T&)` is true.
template <class F>
detail::FilterOp<std::decay_t<F>> filter(F&& predicate) {
  return {{}, std::forward<F>(predicate)};
}

// Drops every element; completion and error pass as the source ends.
inline detail::IgnoreElementsOp ignoreElements() { return {}; }

}  // namespace rv
