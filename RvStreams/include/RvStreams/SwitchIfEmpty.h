#pragma once

// `source | rv::ifEmptySwitchTo(other)`: mirrors the source, but when the
// source completes without having sent any element, continues with `other`
// instead of completing. An error of the source is passed on as it is, with
// or without elements before it. No lock: the source delivers one event at a
// time, and `other` is subscribed on the thread the source completes on.

#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Producer.h"

namespace rv {

namespace detail {

template <class T>
class SwitchIfEmptySink final : public Sink<T>,
                                public ObserverType<T>,
                                public std::enable_shared_from_this<SwitchIfEmptySink<T>> {
 public:
  SwitchIfEmptySink(Ref<Observable<T>> ifEmpty, Ref<ObserverType<T>> observer,
                    Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)), ifEmpty_(std::move(ifEmpty)) {}

  // Subscribes the source; the result ends both the source's and the
  // replacement's subscription.
  Ref<Disposable> run(const Ref<Observable<T>>& source) {
    Ref<Disposable> subscription = source->subscribe(this->shared_from_this());
    return Disposables::create(std::move(subscription), ifEmptySubscription_);
  }

  void on(const Event<T>& event) noexcept override {
    if (event.isNext()) {
      isEmpty_ = false;
      this->forwardOn(event);
    } else if (event.error() != nullptr) {
      this->forwardStop(event);
    } else if (isEmpty_) {
      ifEmptySubscription_->setDisposable(
          ifEmpty_->subscribe(std::make_shared<Iter>(this->shared_from_this())));
    } else {
      this->forwardStop(event);
    }
  }

 private:
  // The observer of the replacement sequence.
  class Iter final : public ObserverType<T> {
   public:
    explicit Iter(Ref<SwitchIfEmptySink> parent) : parent_(std::move(parent)) {}
    void on(const Event<T>& event) noexcept override {
      if (event.isNext()) {
        parent_->forwardOn(event);
      } else {
        parent_->forwardStop(event);
      }
    }

   private:
    Ref<SwitchIfEmptySink> parent_;
  };

  const Ref<Observable<T>> ifEmpty_;
  bool isEmpty_ = true;
  const Ref<SingleAssignmentDisposable> ifEmptySubscription_ = SingleAssignmentDisposable::create();
};

template <class T>
struct SwitchIfEmptyOp : SourceOperator<SwitchIfEmptyOp<T>> {
  template <class S>
  using Output = T;
  Ref<Observable<T>> other;
  template <class S>
  SinkAndSubscription run(const Ref<Observable<S>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    static_assert(std::is_same_v<S, T>, "replacement of another element type");
    return runSink(
        std::make_shared<SwitchIfEmptySink<T>>(other, std::move(observer), std::move(cancel)),
        source);
  }
};

}  // namespace detail

// Continues with `other` when the source completes without elements.
template <ObservableConvertible Other>
detail::SwitchIfEmptyOp<ElementOf<Other>> ifEmptySwitchTo(const Other& other) {
  return {{}, rv::asObservable(other)};
}

}  // namespace rv
