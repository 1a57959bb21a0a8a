#pragma once

// Converting any sequence to a Single or a Maybe with its shape checked:
//   asSingle(): the one element, delivered when the source completes; a
//     second element fails with the more-than-one-element error, an empty
//     completion with the no-elements error.
//   asMaybe(): the same, except that an empty completion stays a completion.
// The element is held back until the source completes. An error of the
// source passes unchanged, even after an element, which is then never
// delivered. (first() in ElementAt.h is the form that does not wait.)
// No lock: the source delivers serially.

#include <optional>
#include <utility>

#include "RvStreams/PrimitiveSequence.h"
#include "RvStreams/Producer.h"
#include "RvStreams/RvError.h"

namespace rv {

namespace detail {

struct AsSingleParams {
  // Whether an empty completion fails (Single) or passes (Maybe).
  bool requireElement;
};

template <class T, class R, class Params>
class AsSingleSink final : public Sink<T>, public ObserverType<T> {
 public:
  AsSingleSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, Params params)
      : Sink<T>(std::move(observer), std::move(cancel)), requireElement_(params.requireElement) {}

  void on(const Event<T>& event) noexcept override {
    if (event.isNext()) {
      if (element_) {
        this->forwardStop(Event<T>::error(std::make_exception_ptr(RvError::moreThanOneElement())));
      }
      // After a stop nothing more is forwarded, so what is kept no longer
      // matters.
      element_ = event;
    } else if (event.error() != nullptr) {
      this->forwardStop(event);
    } else if (element_) {
      this->forwardOn(*element_);
      this->forwardStop(event);
    } else if (requireElement_) {
      this->forwardStop(Event<T>::error(std::make_exception_ptr(RvError::noElements())));
    } else {
      this->forwardStop(event);
    }
  }

 private:
  const bool requireElement_;
  std::optional<Event<T>> element_;  // the last next event received
};

struct AsSingleOp : OperatorTag {
  template <class S>
  Single<ElementOf<S>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return Single<T>(makeSourceProducer<T, T, AsSingleSink>(source, AsSingleParams{true}));
  }
};

struct AsMaybeOp : OperatorTag {
  template <class S>
  Maybe<ElementOf<S>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return Maybe<T>(makeSourceProducer<T, T, AsSingleSink>(source, AsSingleParams{false}));
  }
};

}  // namespace detail

// The source as a Single, its shape checked; see the top of this header.
inline detail::AsSingleOp asSingle() { return {}; }

// The source as a Maybe, its shape checked; see the top of this header.
inline detail::AsMaybeOp asMaybe() { return {}; }

}  // namespace rv
