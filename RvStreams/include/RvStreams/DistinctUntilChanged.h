#pragma once

// distinctUntilChanged: passes an element only when its key differs from the
// key of the last element passed on, so runs of equal consecutive elements
// collapse into their first. The first element of a subscription always
// passes. Forms:
//   distinctUntilChanged()                  elements compared with ==
//   distinctUntilChanged(keySelector)       keys (const T&) -> K compared with ==
//   distinctUntilChanged(comparer)          (const T&, const T&) -> bool, true when equal
//   distinctUntilChanged(keySelector, comparer)
//   distinctUntilChanged(&T::member)        a member compared with ==
// A throwing selector or comparer ends the output with its error. No lock: the
// source delivers serially.

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

#include "RvStreams/Producer.h"

namespace rv {

namespace detail {

template <class Selector, class Comparer>
struct DistinctParams {
  Selector selector;
  Comparer comparer;
};

template <class T, class R, class Params>
class DistinctUntilChangedSink final : public Sink<T>, public ObserverType<T> {
  using Key =
      std::decay_t<std::invoke_result_t<decltype(std::declval<Params&>().selector)&, const T&>>;

 public:
  DistinctUntilChangedSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, Params params)
      : Sink<T>(std::move(observer), std::move(cancel)), params_(std::move(params)) {}

  void on(const Event<T>& event) noexcept override {
    if (const T* element = event.element()) {
      try {
        Key key = params_.selector(*element);
        // The stored key first, the new one second.
        if (currentKey_ && params_.comparer(std::as_const(*currentKey_), std::as_const(key))) {
          return;
        }
        currentKey_ = std::move(key);
      } catch (...) {
        this->forwardStop(Event<T>::error(std::current_exception()));
        return;
      }
      this->forwardOn(event);
    } else {
      this->forwardStop(event);
    }
  }

 private:
  Params params_;
  std::optional<Key> currentKey_;
};

struct ElementIsKey {
  template <class T>
  const T& operator()(const T& element) const noexcept {
    return element;
  }
};

struct EqualKeys {
  template <class K>
  bool operator()(const K& a, const K& b) const {
    return a == b;
  }
};

template <class Selector, class Comparer>
struct DistinctUntilChangedOp : OperatorTag {
  DistinctParams<Selector, Comparer> params;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return makeSourceProducer<T, T, DistinctUntilChangedSink>(source, std::move(params));
  }
};

// One callable: a comparer when it takes two elements, else a key selector.
template <class F>
struct DistinctByOneCallableOp : OperatorTag {
  F callable;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    if constexpr (std::is_invocable_r_v<bool, F&, const T&, const T&>) {
      return DistinctUntilChangedOp<ElementIsKey, F>{{}, {{}, std::move(callable)}}(source);
    } else {
      return DistinctUntilChangedOp<F, EqualKeys>{{}, {std::move(callable), {}}}(source);
    }
  }
};

template <class M>
struct MemberEqual {
  M member;
  template <class T>
  bool operator()(const T& a, const T& b) const {
    return std::invoke(member, a) == std::invoke(member, b);
  }
};

}  // namespace detail

inline detail::DistinctUntilChangedOp<detail::ElementIsKey, detail::EqualKeys>
distinctUntilChanged() {
  return {};
}

// `f` is a key selector (const T&) -> K or a comparer (const T&, const T&) ->
// bool.
template <class F>
requires(!std::is_member_object_pointer_v<std::decay_t<F>>)
    detail::DistinctByOneCallableOp<std::decay_t<F>> distinctUntilChanged(F&& f) {
  return {{}, std::forward<F>(f)};
}

template <class Selector, class Comparer>
detail::DistinctUntilChangedOp<std::decay_t<Selector>, std::decay_t<Comparer>> distinctUntilChanged(
    Selector&& keySelector, Comparer&& comparer) {
  return {{}, {std::forward<Selector>(keySelector), std::forward<Comparer>(comparer)}};
}

// Compares the elements' `member` with ==.
template <class M, class C>
requires(!std::is_function_v<M>) detail::DistinctUntilChangedOp<
    detail::ElementIsKey, detail::MemberEqual<M C::*>> distinctUntilChanged(M C::*member) {
  return {{}, {{}, {member}}};
}

}  // namespace rv
