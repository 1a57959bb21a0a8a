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

template <class T>
class DefaultIfEmpty final : public Producer<T> {
 public:
  DefaultIfEmpty(Ref<Observable<T>> source, T defaultValue)
      : source_(std::move(source)), defaultValue_(std::move(defaultValue)) {}

 protected:
  typename Producer<T>::SinkAndSubscription run(Ref<ObserverType<T>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink = std::make_shared<DefaultIfEmptySink<T>>(std::move(observer), std::move(cancel),
                                                        defaultValue_);
    Ref<Disposable> subscription = source_->subscribe(sink);
    return {std::move(sink), std::move(subscription)};
  }

 private:
  const Ref<Observable<T>> source_;
  const T defaultValue_;
};

template <class V>
struct DefaultIfEmptyOp : OperatorTag {
  V defaultValue;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return std::make_shared<DefaultIfEmpty<T>>(rv::asObservable(source),
                                               T(std::move(defaultValue)));
  }
};

}  // namespace detail

// Emits `defaultValue` before the completion of a source that had no element.
template <class V>
detail::DefaultIfEmptyOp<std::decay_t<V>> ifEmptyDefault(V&& defaultValue) {
  return {{}, std::forward<V>(defaultValue)};
}

}  // namespace rv
