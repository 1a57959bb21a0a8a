#pragma once

// The machinery every operator stands on. An operator is a Producer holding
// its parameters and source; each subscription runs the producer, which makes
// one Sink (the per-subscription state and observer) and subscribes it
// upstream. The returned SinkDisposer owns sink and upstream subscription and
// disposes the sink first, then the subscription.
//
// Lifetime: the sink holds its SinkDisposer and the disposer holds the sink;
// that cycle keeps a subscription alive and is broken by disposal or by a stop
// event, never by a destructor.

#include <utility>

#include "RvStreams/AtomicInt.h"
#include "RvStreams/CurrentThreadScheduler.h"
#include "RvStreams/Disposable.h"
#include "RvStreams/Observable.h"
#include "RvStreams/ObserverType.h"

namespace rv {

// Owns one subscription's sink and upstream subscription. State bits: 1
// disposed, 2 sink and subscription set. Whichever of set and dispose comes
// second disposes both, exactly once.
class SinkDisposer final : public Cancelable {
 public:
  void setSinkAndSubscription(Ref<Disposable> sink, Ref<Disposable> subscription) noexcept {
    sink_ = std::move(sink);
    subscription_ = std::move(subscription);
    const int32_t previous = state_.fetchOr(2);
    if ((previous & 2) != 0) fatalError("Sink and subscription were already set");
    if ((previous & 1) != 0) disposeParts();
  }

  void dispose() noexcept override {
    const int32_t previous = state_.fetchOr(1);
    if ((previous & 3) != 2) return;
    if (!sink_) fatalError("Sink not set");
    if (!subscription_) fatalError("Subscription not set");
    disposeParts();
  }

  bool isDisposed() const noexcept override { return state_.testBits(1); }

 private:
  void disposeParts() noexcept {
    Ref<Disposable> sink = std::move(sink_);
    Ref<Disposable> subscription = std::move(subscription_);
    sink_.reset();
    subscription_.reset();
    if (sink) sink->dispose();
    if (subscription) subscription->dispose();
  }

  AtomicInt state_;
  Ref<Disposable> sink_;
  Ref<Disposable> subscription_;
};

template <class T>
class Producer : public Observable<T> {
 public:
  // Runs the producer through the current-thread trampoline: on a thread with
  // no active trampoline, returns only after everything the run scheduled on
  // the trampoline has run.
  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) final {
    return CurrentThreadScheduler::runOrJoin([&]() -> Ref<Disposable> {
      auto disposer = std::make_shared<SinkDisposer>();
      SinkAndSubscription pair = run(std::move(observer), disposer);
      disposer->setSinkAndSubscription(std::move(pair.sink), std::move(pair.subscription));
      return disposer;
    });
  }

 protected:
  struct SinkAndSubscription {
    Ref<Disposable> sink;
    Ref<Disposable> subscription;
  };

  // Creates the sink with `observer` and `cancel`, subscribes it upstream and
  // returns both.
  virtual SinkAndSubscription run(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel) = 0;
};

// The per-subscription state of an operator. A sink forwards with forwardOn,
// which drops everything once the sink is disposed; on a stop event (or a
// failing callable) it forwards the stop event and then disposes itself.
template <class Out>
class Sink : public Disposable {
 public:
  Sink(Ref<ObserverType<Out>> observer, Ref<Cancelable> cancel)
      : observer_(std::move(observer)), cancel_(std::move(cancel)) {}

  // Marks the sink disposed, then disposes the subscription's disposer (every
  // time; the disposer makes repeats harmless).
  void dispose() noexcept override {
    disposed_.fetchOr(1);
    cancel_->dispose();
  }

  bool isDisposed() const noexcept { return disposed_.testBits(1); }

  // forwardOn for the element-wise steps, which reach the sink through a
  // helper object.
  void forwardNextFromStep(const Event<Out>& event) noexcept { forwardOn(event); }

  // An observer forwarding straight into this sink's observer (see
  // SinkForward), for inner sequences that must bypass the disposed check.
  Ref<ObserverType<Out>> forwarder() const;

 protected:
  void forwardOn(const Event<Out>& event) noexcept {
    if (!disposed_.testBits(1)) observer_->on(event);
  }

  // Forwards the stop event, then disposes the sink.
  void forwardStop(const Event<Out>& event) noexcept {
    forwardOn(event);
    dispose();
  }

  // Forwards the stop event `event` of another element type, then disposes.
  template <class In>
  void forwardStopFrom(const Event<In>& event) noexcept {
    if (const Error* error = event.error()) {
      forwardStop(Event<Out>::error(*error));
    } else {
      forwardStop(Event<Out>::completed());
    }
  }

  const Ref<ObserverType<Out>>& observer() const noexcept { return observer_; }
  const Ref<Cancelable>& cancel() const noexcept { return cancel_; }

 private:
  Ref<ObserverType<Out>> observer_;
  Ref<Cancelable> cancel_;
  AtomicInt disposed_;
};

// An observer that forwards straight into a sink's observer, bypassing the
// disposed check; a stop event also disposes the sink's disposer.
template <class Out>
class SinkForward final : public ObserverType<Out> {
 public:
  SinkForward(Ref<ObserverType<Out>> observer, Ref<Cancelable> cancel)
      : observer_(std::move(observer)), cancel_(std::move(cancel)) {}

  void on(const Event<Out>& event) noexcept override {
    observer_->on(event);
    if (event.isStopEvent()) cancel_->dispose();
  }

 private:
  Ref<ObserverType<Out>> observer_;
  Ref<Cancelable> cancel_;
};

template <class Out>
Ref<ObserverType<Out>> Sink<Out>::forwarder() const {
  return std::make_shared<SinkForward<Out>>(observer_, cancel_);
}

namespace detail {

// The producer of the single-source operators: holds the source and the
// operator's parameters; each run makes `SinkT<T, R, Params>` with a copy of
// the parameters and subscribes it to the source.
template <class T, class R, template <class, class, class> class SinkT, class Params>
class SourceProducer final : public Producer<R> {
 public:
  SourceProducer(Ref<Observable<T>> source, Params params)
      : source_(std::move(source)), params_(std::move(params)) {}

 protected:
  typename Producer<R>::SinkAndSubscription run(Ref<ObserverType<R>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink =
        std::make_shared<SinkT<T, R, Params>>(std::move(observer), std::move(cancel), params_);
    Ref<Disposable> subscription = source_->subscribe(sink);
    return {std::move(sink), std::move(subscription)};
  }

 private:
  Ref<Observable<T>> source_;
  Params params_;
};

template <class T, class R, template <class, class, class> class SinkT, class S, class Params>
Ref<Observable<R>> makeSourceProducer(const S& source, Params params) {
  return std::make_shared<SourceProducer<T, R, SinkT, Params>>(rv::asObservable(source),
                                                               std::move(params));
}

}  // namespace detail

}  // namespace rv
