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

// What a producer's run returns: the sink and its upstream subscription,
// both owned by the subscription's SinkDisposer from then on.
struct SinkAndSubscription {
  Ref<Disposable> sink;
  Ref<Disposable> subscription;
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
  using SinkAndSubscription = rv::SinkAndSubscription;

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

// The producer of the sources: each subscription calls `run(observer,
// cancel)`, which makes the sink, starts it and returns both. `Run` holds the
// source's parameters.
template <class Out, class Run>
class RunProducer final : public Producer<Out> {
 public:
  explicit RunProducer(Run run) : run_(std::move(run)) {}

 protected:
  SinkAndSubscription run(Ref<ObserverType<Out>> observer, Ref<Cancelable> cancel) override {
    return run_(std::move(observer), std::move(cancel));
  }

 private:
  Run run_;
};

template <class Out, class Run>
Ref<Observable<Out>> makeProducer(Run run) {
  return std::make_shared<RunProducer<Out, Run>>(std::move(run));
}

template <class Op, class T>
struct OperatorOutputOf {
  using type = T;
};
template <class Op, class T>
requires requires { typename Op::template Output<T>; }
struct OperatorOutputOf<Op, T> {
  using type = typename Op::template Output<T>;
};

// The element type of operator `Op` on a source of T: T, unless the operator
// declares `template <class T> using Output = ...`.
template <class Op, class T>
using OperatorOutput = typename OperatorOutputOf<Op, T>::type;

// The producer of the single-source operators: holds the source and the
// operator value, whose members are the operator's parameters; each
// subscription calls `op.run<T>(source, observer, cancel)`.
template <class T, class Op>
class OperatorProducer final : public Producer<OperatorOutput<Op, T>> {
  using Out = OperatorOutput<Op, T>;

 public:
  OperatorProducer(Ref<Observable<T>> source, Op op)
      : source_(std::move(source)), op_(std::move(op)) {}

 protected:
  SinkAndSubscription run(Ref<ObserverType<Out>> observer, Ref<Cancelable> cancel) override {
    return op_.template run<T>(source_, std::move(observer), std::move(cancel));
  }

 private:
  const Ref<Observable<T>> source_;
  Op op_;
};

template <class Op, class T>
Ref<Observable<OperatorOutput<Op, T>>> bindOperator(Ref<Observable<T>> source, Op op) {
  return std::make_shared<OperatorProducer<T, Op>>(std::move(source), std::move(op));
}

// The base of a single-source operator `Op`: `source | op` makes the
// OperatorProducer of the source and the operator value.
template <class Op>
struct SourceOperator : OperatorTag {
  template <class S>
  Ref<Observable<OperatorOutput<Op, ElementOf<S>>>> operator()(const S& source) && {
    return bindOperator(rv::asObservable(source), static_cast<Op&&>(*this));
  }
};

// Returns `sink` with the subscription its `run(args...)` returns.
template <class SinkT, class... Args>
SinkAndSubscription runSink(Ref<SinkT> sink, Args&&... args) {
  Ref<Disposable> subscription = sink->run(std::forward<Args>(args)...);
  return {std::move(sink), std::move(subscription)};
}

// Returns `sink` with its subscription to `source`.
template <class SinkT, class T>
SinkAndSubscription subscribeSink(Ref<SinkT> sink, const Ref<Observable<T>>& source) {
  Ref<Disposable> subscription = source->subscribe(sink);
  return {std::move(sink), std::move(subscription)};
}

// The operator value of the sinks made as `SinkT<T, R, Params>(observer,
// cancel, params)` and subscribed to the source.
template <class R, template <class, class, class> class SinkT, class Params>
struct SubscribedSinkOp {
  template <class T>
  using Output = R;
  Params params;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<R>> observer,
                          Ref<Cancelable> cancel) {
    return subscribeSink(
        std::make_shared<SinkT<T, R, Params>>(std::move(observer), std::move(cancel), params),
        source);
  }
};

template <class T, class R, template <class, class, class> class SinkT, class S, class Params>
Ref<Observable<R>> makeSourceProducer(const S& source, Params params) {
  return bindOperator(Ref<Observable<T>>(rv::asObservable(source)),
                      SubscribedSinkOp<R, SinkT, Params>{std::move(params)});
}

}  // namespace detail

}  // namespace rv
