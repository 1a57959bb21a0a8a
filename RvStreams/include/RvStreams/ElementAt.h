#pragma once

// Picking one element.
//   elementAt(i): only the element at position i, then completion; a source
//     that ends sooner fails with the argument-out-of-range error.
//   first(): a single-element sequence of the first element as a present
//     optional, or of the empty optional when the source completes empty.
//   single(), single(predicate): exactly one (matching) element: it is
//     forwarded at once, a second one fails with the more-than-one-element
//     error, none fails with the no-elements error.
// A source error passes unchanged. No lock: the source delivers serially.

#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "RvStreams/PrimitiveSequence.h"
#include "RvStreams/Producer.h"
#include "RvStreams/RvError.h"

namespace rv {

namespace detail {

inline Error libraryError(RvError error) { return std::make_exception_ptr(std::move(error)); }

struct ElementAtParams {
  int64_t index;
  bool throwOnEmpty;
};

template <class T, class R, class Params>
class ElementAtSink final : public Sink<T>, public ObserverType<T> {
 public:
  ElementAtSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, Params params)
      : Sink<T>(std::move(observer), std::move(cancel)),
        i_(params.index),
        throwOnEmpty_(params.throwOnEmpty) {}

  void on(const Event<T>& event) noexcept override {
    if (event.isNext()) {
      if (i_ == 0) {
        this->forwardOn(event);
        this->forwardStop(Event<T>::completed());
      }
      if (i_ == std::numeric_limits<int64_t>::min()) {
        this->forwardStop(Event<T>::error(libraryError(RvError::overflow())));
        return;
      }
      --i_;
    } else if (event.error() != nullptr) {
      this->forwardStop(event);
    } else if (throwOnEmpty_) {
      this->forwardStop(Event<T>::error(libraryError(RvError::argumentOutOfRange())));
    } else {
      this->forwardStop(event);
    }
  }

 private:
  int64_t i_;  // countdown to the wanted element
  bool throwOnEmpty_;
};

template <class T, class R, class Params>
class FirstSink final : public Sink<std::optional<T>>, public ObserverType<T> {
  using Out = std::optional<T>;

 public:
  FirstSink(Ref<ObserverType<Out>> observer, Ref<Cancelable> cancel, Params)
      : Sink<Out>(std::move(observer), std::move(cancel)) {}

  void on(const Event<T>& event) noexcept override {
    if (const T* element = event.element()) {
      this->forwardOn(Event<Out>::next(Out(*element)));
      this->forwardStop(Event<Out>::completed());
    } else if (const Error* error = event.error()) {
      this->forwardStop(Event<Out>::error(*error));
    } else {
      this->forwardOn(Event<Out>::next(Out()));
      this->forwardStop(Event<Out>::completed());
    }
  }
};

// `Predicate` is a callable (const T&) -> bool, or std::nullptr_t for none.
template <class T, class R, class Predicate>
class SingleAsyncSink final : public Sink<T>, public ObserverType<T> {
 public:
  SingleAsyncSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, Predicate predicate)
      : Sink<T>(std::move(observer), std::move(cancel)), predicate_(std::move(predicate)) {}

  void on(const Event<T>& event) noexcept override {
    if (const T* element = event.element()) {
      if constexpr (!std::is_same_v<Predicate, std::nullptr_t>) {
        bool matches = false;
        try {
          matches = predicate_(*element);
        } catch (...) {
          this->forwardStop(Event<T>::error(std::current_exception()));
          return;
        }
        if (!matches) return;
      }
      if (seenValue_) {
        this->forwardStop(Event<T>::error(libraryError(RvError::moreThanOneElement())));
        return;
      }
      seenValue_ = true;
      this->forwardOn(event);
    } else if (event.error() != nullptr) {
      this->forwardStop(event);
    } else if (seenValue_) {
      this->forwardStop(event);
    } else {
      this->forwardStop(Event<T>::error(libraryError(RvError::noElements())));
    }
  }

 private:
  [[no_unique_address]] Predicate predicate_;
  bool seenValue_ = false;
};

struct ElementAtOp : OperatorTag {
  ElementAtParams params;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return makeSourceProducer<T, T, ElementAtSink>(source, params);
  }
};

struct FirstParams {};

struct FirstOp : OperatorTag {
  template <class S>
  Single<std::optional<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return Single<std::optional<T>>(
        makeSourceProducer<T, std::optional<T>, FirstSink>(source, FirstParams{}));
  }
};

template <class Predicate>
struct SingleOp : OperatorTag {
  Predicate predicate;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return makeSourceProducer<T, T, SingleAsyncSink>(source, std::move(predicate));
  }
};

}  // namespace detail

// Only the element at `index`, then completion. A negative index stops the
// process.
inline detail::ElementAtOp elementAt(int64_t index) {
  if (index < 0) fatalError("index can't be negative");
  return {{}, {index, true}};
}

// The first element as a present optional, or the empty optional.
inline detail::FirstOp first() { return {}; }

// Exactly one element.
inline detail::SingleOp<std::nullptr_t> single() { return {{}, nullptr}; }

// Exactly one element for which `predicate(const T&)` holds.
template <class Predicate>
detail::SingleOp<std::decay_t<Predicate>> single(Predicate&& predicate) {
  return {{}, std::forward<Predicate>(predicate)};
}

}  // namespace rv
