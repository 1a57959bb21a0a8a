#pragma once

// `ifEmptyDefault` mirrors its source; a source that completes without any
// element gets the default element emitted just before the completion. No
// lock: the source delivers serially.

#include <type_traits>
#include <utility>

#include "RvStreams/Producer.h"

namespace rv {

namespace detail {

template <class T>
class DefaultIfEmptySink final : public Sink<T>, public ObserverType<T> {
 public:
  DefaultIfEmptySink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, T defaultValue)
      : Sink<T>(std::move(observer), std::move(cancel)), defaultValue_(std::move(defaultValue)) {}

  void on(const Event<T>& event) noexcept override {
    if (event.isNext()) {
      isEmpty_ = false;
      this->forwardOn(event);
    } else if (event.error() != nullptr) {
      this->forwardStop(event);
    } else {
      if (isEmpty_) this->forwardOn(Event<T>::next(defaultValue_));
      this->forwardStop(event);
    }
  }

 private:
  const T defaultValue_;
  bool isEmpty_ = true;
};

// Applied, the operator binds its form with the default value converted to
// the source's element type to the producer.
template <class V>
struct DefaultIfEmptyOp : OperatorTag {
  V defaultValue;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return bindOperator(rv::asObservable(source),
                        DefaultIfEmptyOp<T>{{}, T(std::move(defaultValue))});
  }
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    return subscribeSink(std::make_shared<DefaultIfEmptySink<T>>(std::move(observer),
                                                                 std::move(cancel), defaultValue),
                         source);
  }
};

}  // namespace detail

// Emits `defaultValue` before the completion of a source that had no element.
template <class V>
detail::DefaultIfEmptyOp<std::decay_t<V>> ifEmptyDefault(V&& defaultValue) {
  return {{}, std::forward<V>(defaultValue)};
}

}  // namespace rv
