#pragma once

// Recovers from an error of the source: `catchError(handler)` hands the error
// to `handler(const Error&)`, which returns the sequence to continue with. An
// error of that continuation is delivered, not caught again; a throwing
// handler delivers its own error. No lock: the source delivers serially.

#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Producer.h"
#include "RvStreams/SerialDisposable.h"

namespace rv {

namespace detail {

template <class T, class Handler>
class CatchSink final : public Sink<T>,
                        public ObserverType<T>,
                        public std::enable_shared_from_this<CatchSink<T, Handler>> {
 public:
  CatchSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, Handler handler)
      : Sink<T>(std::move(observer), std::move(cancel)), handler_(std::move(handler)) {}

  Ref<Disposable> run(const Ref<Observable<T>>& source) {
    auto first = SingleAssignmentDisposable::create();
    subscription_->setDisposable(first);
    first->setDisposable(source->subscribe(this->shared_from_this()));
    return subscription_;
  }

  void on(const Event<T>& event) noexcept override {
    const Error* error = event.error();
    if (error == nullptr) {
      if (event.isNext()) {
        this->forwardOn(event);
      } else {
        this->forwardStop(event);
      }
      return;
    }
    Ref<Observable<T>> continuation;
    try {
      continuation = rv::asObservable(handler_(*error));
    } catch (...) {
      this->forwardStop(Event<T>::error(std::current_exception()));
      return;
    }
    // Replacing the inner subscription disposes the one to the failed source.
    subscription_->setDisposable(
        continuation->subscribe(std::make_shared<Proxy>(this->shared_from_this())));
  }

 private:
  // Forwards the continuation's events through the sink.
  class Proxy final : public ObserverType<T> {
   public:
    explicit Proxy(Ref<CatchSink> parent) : parent_(std::move(parent)) {}
    void on(const Event<T>& event) noexcept override {
      if (event.isNext()) {
        parent_->forwardOn(event);
      } else {
        parent_->forwardStop(event);
      }
    }

   private:
    Ref<CatchSink> parent_;
  };

  Handler handler_;
  Ref<SerialDisposable> subscription_ = SerialDisposable::create();
};

template <class T, class Handler>
class Catch final : public Producer<T> {
 public:
  Catch(Ref<Observable<T>> source, Handler handler)
      : source_(std::move(source)), handler_(std::move(handler)) {}

 protected:
  typename Producer<T>::SinkAndSubscription run(Ref<ObserverType<T>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink =
        std::make_shared<CatchSink<T, Handler>>(std::move(observer), std::move(cancel), handler_);
    Ref<Disposable> subscription = sink->run(source_);
    return {std::move(sink), std::move(subscription)};
  }

 private:
  Ref<Observable<T>> source_;
  Handler handler_;
};

template <class Handler>
struct CatchOp : OperatorTag {
  Handler handler;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return std::make_shared<Catch<T, Handler>>(rv::asObservable(source), std::move(handler));
  }
};

}  // namespace detail

// Continues a failed source with the sequence `handler(const Error&)`
// returns.
template <class Handler>
detail::CatchOp<std::decay_t<Handler>> catchError(Handler&& handler) {
  return {{}, std::forward<Handler>(handler)};
}

}  // namespace rv
