#pragma once

// Recovering from an error of the source.
//   catchError(handler): hands the error to `handler(const Error&)`, which
//     returns the sequence to continue with. An error of that continuation is
//     delivered, not caught again; a throwing handler delivers its own error.
//   catchAndReturn(x): continues with x and completion.
//   catchError(sources): tries the sources in order until one completes; when
//     all fail, delivers the error of the last one tried.
//   retry(), retry(n): the same over the source repeated without end or n
//     times in all.
// No lock: the source delivers serially, and moving from one source to the
// next goes through the tail-recursive sink's gate.

#include <cstdint>
#include <optional>
#include <ranges>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvStreams/AsyncLock.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Just.h"
#include "RvStreams/Producer.h"
#include "RvStreams/SerialDisposable.h"
#include "RvStreams/TailRecursiveSink.h"
#include "RvStreams/detail/FlatDeletion.h"

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

template <class Handler>
struct CatchOp : SourceOperator<CatchOp<Handler>> {
  Handler handler;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(
        std::make_shared<CatchSink<T, Handler>>(std::move(observer), std::move(cancel), handler),
        source);
  }
};

// The handler of catchAndReturn.
template <class T>
struct ReturnElement {
  T element;
  Ref<Observable<T>> operator()(const Error&) const { return rv::just(element); }
};

template <class T, class Sequence>
class CatchSequence;

// Subscribes to one source after another; an error moves on to the next
// source, a completion ends the output.
template <class T, class Sequence>
class CatchSequenceSink final : public TailRecursiveSink<T, typename Sequence::Iterator>,
                                public ObserverType<T> {
  using Base = TailRecursiveSink<T, typename Sequence::Iterator>;

 public:
  using Base::Base;

  void on(const Event<T>& event) noexcept override {
    if (const Error* error = event.error()) {
      lastError_ = *error;  // earlier errors are dropped
      this->schedule(TailRecursiveSinkCommand::moveNext);
    } else if (event.isNext()) {
      this->forwardOn(event);
    } else {
      this->forwardStop(event);
    }
  }

 protected:
  // Every source failed (or there was none): the last error, else completed.
  void done() noexcept override {
    if (lastError_) {
      this->forwardStop(Event<T>::error(*lastError_));
    } else {
      this->forwardStop(Event<T>::completed());
    }
  }

  std::optional<typename Base::SequenceGenerator> extract(
      const Ref<Observable<T>>& candidate) override {
    if (auto nested = std::dynamic_pointer_cast<CatchSequence<T, Sequence>>(candidate)) {
      return typename Base::SequenceGenerator{nested->sources().makeIterator(), std::nullopt};
    }
    return std::nullopt;
  }

  Ref<Disposable> subscribeToNext(const Ref<Observable<T>>& source) override {
    return source->subscribe(std::static_pointer_cast<CatchSequenceSink>(this->shared_from_this()));
  }

 private:
  std::optional<Error> lastError_;
};

// `Sequence` has `makeIterator()`; each subscription walks a fresh iterator.
// Subscribing drains nested ones in place, so a chain of them can be deeper
// than destructors inside destructors could take.
// Letting go of a chain runs each level's destructor inside the one that let it go, at any depth.
template <class T, class Sequence>
class CatchSequence final : public Producer<T>, public FlatDeletion {
 public:
  explicit CatchSequence(Sequence sources) : sources_(std::move(sources)) {}
  const Sequence& sources() const noexcept { return sources_; }

 protected:
  typename Producer<T>::SinkAndSubscription run(Ref<ObserverType<T>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink =
        std::make_shared<CatchSequenceSink<T, Sequence>>(std::move(observer), std::move(cancel));
    Ref<Disposable> subscription = sink->run({sources_.makeIterator(), std::nullopt});
    return {std::move(sink), std::move(subscription)};
  }

 private:
  Sequence sources_;
};

template <class E>
struct CatchAndReturnOp : OperatorTag {
  E element;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return bindOperator(rv::asObservable(source),
                        CatchOp<ReturnElement<T>>{{}, {T(std::move(element))}});
  }
};

struct RetryOp : OperatorTag {
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    using Sequence = InfiniteSequence<Ref<Observable<T>>>;
    return makeFlatDeleted<CatchSequence<T, Sequence>>(Sequence(rv::asObservable(source)));
  }
};

struct RetryCountOp : OperatorTag {
  int64_t maxAttemptCount;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    using Sequence = RepeatedObservable<T>;
    return makeFlatDeleted<CatchSequence<T, Sequence>>(
        Sequence(rv::asObservable(source), maxAttemptCount));
  }
};

}  // namespace detail

// Continues a failed source with the sequence `handler(const Error&)`
// returns.
template <class Handler>
requires std::is_invocable_v < std::decay_t<Handler>
&, const Error& > detail::CatchOp<std::decay_t<Handler>> catchError(Handler&& handler) {
  return {{}, std::forward<Handler>(handler)};
}

// Continues a failed source with `element` and completion.
template <class E>
detail::CatchAndReturnOp<std::decay_t<E>> catchAndReturn(E&& element) {
  return {{}, std::forward<E>(element)};
}

// Subscribes to `sources` one after another until one completes; an error
// moves on to the next. When every source fails, the output fails with the
// last error; with no sources it completes at once.
template <std::ranges::input_range Sources>
requires ObservableConvertible<std::ranges::range_value_t<Sources>>
auto catchError(const Sources& sources) {
  using T = ElementOf<std::ranges::range_value_t<Sources>>;
  std::vector<Ref<Observable<T>>> array;
  for (const auto& source : sources) array.push_back(rv::asObservable(source));
  return Ref<Observable<T>>(
      detail::makeFlatDeleted<detail::CatchSequence<T, detail::ObservableArray<T>>>(
          detail::ObservableArray<T>(std::move(array))));
}

// Resubscribes to the source after every error, without end.
inline detail::RetryOp retry() { return {}; }

// Subscribes to the source at most `maxAttemptCount` times in all, then
// delivers the last error; 0 completes at once without subscribing. A
// negative count stops the process.
inline detail::RetryCountOp retry(int64_t maxAttemptCount) {
  if (maxAttemptCount < 0) fatalError("count can't be negative");
  return {{}, maxAttemptCount};
}

}  // namespace rv
