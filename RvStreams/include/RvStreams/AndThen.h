#pragma once

// The producer behind Completable::andThen: runs a completable and, once it
// has completed, subscribes to a second sequence whose events become the
// output's. An error of the completable ends the output without ever
// subscribing to the second sequence.
//
// No lock of its own: the serial disposable takes its lock when the inner
// subscription is replaced or disposed, so a completion racing with disposal
// ends with the second subscription disposed at once; the sink's disposed
// flag drops whatever arrives after disposal.

#include <memory>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Producer.h"
#include "RvStreams/SerialDisposable.h"

namespace rv {

namespace detail {

template <class T>
class ConcatCompletable;

template <class T>
class ConcatCompletableSink final : public Sink<T>,
                                    public ObserverType<Never>,
                                    public std::enable_shared_from_this<ConcatCompletableSink<T>> {
 public:
  ConcatCompletableSink(Ref<const ConcatCompletable<T>> parent, Ref<ObserverType<T>> observer,
                        Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)), parent_(std::move(parent)) {}

  // Subscribes to the completable; the returned serial disposable holds
  // whichever subscription is current.
  Ref<Disposable> run() {
    auto first = SingleAssignmentDisposable::create();
    subscription_->setDisposable(first);
    first->setDisposable(parent_->completable()->subscribe(this->shared_from_this()));
    return subscription_;
  }

  // The completable's events.
  void on(const Event<Never>& event) noexcept override {
    if (const Error* error = event.error()) {
      this->forwardOn(Event<T>::error(*error));
      this->dispose();
    } else if (event.isCompleted()) {
      // Replacing the inner disposable disposes the finished subscription, or
      // the new one at once when the sink was disposed meanwhile.
      subscription_->setDisposable(
          parent_->second()->subscribe(std::make_shared<Other>(this->shared_from_this())));
    }
    // A next event cannot be formed: Never has no values.
  }

 private:
  // The second sequence's events, forwarded through the sink.
  class Other final : public ObserverType<T> {
   public:
    explicit Other(Ref<ConcatCompletableSink> parent) : parent_(std::move(parent)) {}
    void on(const Event<T>& event) noexcept override {
      parent_->forwardOn(event);
      if (event.isStopEvent()) parent_->dispose();
    }

   private:
    Ref<ConcatCompletableSink> parent_;
  };

  Ref<const ConcatCompletable<T>> parent_;
  Ref<SerialDisposable> subscription_ = SerialDisposable::create();
};

template <class T>
class ConcatCompletable final : public Producer<T> {
 public:
  ConcatCompletable(Ref<Observable<Never>> completable, Ref<Observable<T>> second)
      : completable_(std::move(completable)), second_(std::move(second)) {}

  const Ref<Observable<Never>>& completable() const noexcept { return completable_; }
  const Ref<Observable<T>>& second() const noexcept { return second_; }

 protected:
  typename Producer<T>::SinkAndSubscription run(Ref<ObserverType<T>> observer,
                                                Ref<Cancelable> cancel) override {
    auto self = std::static_pointer_cast<const ConcatCompletable>(this->shared_from_this());
    auto sink = std::make_shared<ConcatCompletableSink<T>>(std::move(self), std::move(observer),
                                                           std::move(cancel));
    Ref<Disposable> subscription = sink->run();
    return {std::move(sink), std::move(subscription)};
  }

 private:
  const Ref<Observable<Never>> completable_;
  const Ref<Observable<T>> second_;
};

template <class T>
Ref<Observable<T>> makeConcatCompletable(Ref<Observable<Never>> completable,
                                         Ref<Observable<T>> second) {
  return std::make_shared<ConcatCompletable<T>>(std::move(completable), std::move(second));
}

}  // namespace detail

}  // namespace rv
