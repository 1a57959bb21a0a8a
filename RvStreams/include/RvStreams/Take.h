#pragma once

// Passing a leading or trailing part of the source, then completing.
//   take(n): the first n elements (take(0) completes at once without
//     subscribing);
//   takeLast(n): the last n elements, all sent when the source completes;
//   takeUntil(other): until `other` emits its first element. If `other`
//     completes without one, only `other` is let go and the source runs on.
//     `other` is subscribed first: if it emits during its own subscription,
//     the output completes before the source is subscribed.
//   takeUntil(predicate, behavior), takeWhile(predicate[, behavior]): until the
//     predicate holds / while it holds; `inclusive` also forwards the element
//     that ends the sequence.
// A negative count stops the process. Stop events pass and end the
// subscription. takeUntil(other) handles both inputs under one recursive
// lock, delivery included; the others take no lock and rely on the source
// delivering serially.

#include <cstdint>
#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Just.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"
#include "RvStreams/Queue.h"

namespace rv {

enum class TakeBehavior { inclusive, exclusive };

namespace detail {

struct CountParams {
  int64_t count;
};

template <class T, class R, class Params>
class TakeCountSink final : public Sink<T>, public ObserverType<T> {
 public:
  TakeCountSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, Params params)
      : Sink<T>(std::move(observer), std::move(cancel)), remaining_(params.count) {}

  void on(const Event<T>& event) noexcept override {
    if (event.isNext()) {
      if (remaining_ < 1) return;
      --remaining_;
      this->forwardOn(event);
      if (remaining_ == 0) this->forwardStop(Event<T>::completed());
    } else {
      this->forwardStop(event);
    }
  }

 private:
  int64_t remaining_;
};

// The up-front storage of takeLast's queue: count + 1 slots (one more than
// kept, between enqueue and dequeue), but no more than a small bound, so a
// huge count reserves nothing absurd before any element arrives. The queue
// grows as elements come.
constexpr int64_t kTakeLastInitialCapacityLimit = 1024;
inline int64_t takeLastInitialCapacity(int64_t count) {
  return count < kTakeLastInitialCapacityLimit ? count + 1 : kTakeLastInitialCapacityLimit;
}

template <class T, class R, class Params>
class TakeLastSink final : public Sink<T>, public ObserverType<T> {
 public:
  TakeLastSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, Params params)
      : Sink<T>(std::move(observer), std::move(cancel)),
        count_(params.count),
        elements_(takeLastInitialCapacity(params.count)) {}

  void on(const Event<T>& event) noexcept override {
    if (const T* element = event.element()) {
      elements_.enqueue(*element);
      if (elements_.count() > count_) elements_.dequeue();
    } else if (event.error() != nullptr) {
      this->forwardStop(event);  // the buffered elements are discarded
    } else {
      for (const T& kept : elements_) this->forwardOn(Event<T>::next(kept));
      this->forwardStop(event);
    }
  }

 private:
  int64_t count_;
  Queue<T> elements_;
};

template <class Predicate>
struct TakeUntilPredicateParams {
  Predicate predicate;  // true: stop at this element
  TakeBehavior behavior;
};

template <class T, class R, class Params>
class TakeUntilPredicateSink final : public Sink<T>, public ObserverType<T> {
 public:
  TakeUntilPredicateSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, Params params)
      : Sink<T>(std::move(observer), std::move(cancel)), params_(std::move(params)) {}

  void on(const Event<T>& event) noexcept override {
    if (const T* element = event.element()) {
      if (!running_) return;
      try {
        running_ = !params_.predicate(*element);
      } catch (...) {
        this->forwardStop(Event<T>::error(std::current_exception()));
        return;
      }
      if (running_) {
        this->forwardOn(event);
        return;
      }
      if (params_.behavior == TakeBehavior::inclusive) this->forwardOn(event);
      this->forwardStop(Event<T>::completed());
    } else {
      this->forwardStop(event);
    }
  }

 private:
  Params params_;
  bool running_ = true;
};

template <class T, class O>
class TakeUntilSink final : public Sink<T>,
                            public SynchronizedOnType<TakeUntilSink<T, O>, T>,
                            public std::enable_shared_from_this<TakeUntilSink<T, O>> {
 public:
  using Sink<T>::Sink;

  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(lock_) { return lock_; }

  Ref<Disposable> run(const Ref<Observable<T>>& source, const Ref<Observable<O>>& other) {
    auto otherObserver = std::make_shared<Other>(this->shared_from_this());
    otherObserver->subscription_->setDisposable(other->subscribe(otherObserver));
    Ref<Disposable> sourceSubscription = source->subscribe(this->shared_from_this());
    return Disposables::create(std::move(sourceSubscription), otherObserver->subscription_);
  }

  void synchronized_on(const Event<T>& event) noexcept KX_REQUIRES(lock()) {
    if (event.isNext()) {
      this->forwardOn(event);
    } else {
      this->forwardStop(event);
    }
  }

 private:
  // The observer of `other`; its lock is the parent's.
  class Other final : public SynchronizedOnType<Other, O> {
   public:
    explicit Other(Ref<TakeUntilSink> parent) : parent_(std::move(parent)) {}

    RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(parent_->lock_) { return parent_->lock_; }

    void synchronized_on(const Event<O>& event) noexcept KX_REQUIRES(lock()) {
      if (event.isNext()) {
        parent_->forwardStop(Event<T>::completed());
      } else if (const Error* error = event.error()) {
        parent_->forwardStop(Event<T>::error(*error));
      } else {
        subscription_->dispose();  // the source goes on alone
      }
    }

    Ref<SingleAssignmentDisposable> subscription_ = SingleAssignmentDisposable::create();

   private:
    Ref<TakeUntilSink> parent_;
  };

  RecursiveLock lock_;
};

struct TakeCountOp : OperatorTag {
  int64_t count;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    if (count == 0) return rv::empty<T>();
    return makeSourceProducer<T, T, TakeCountSink>(source, CountParams{count});
  }
};

struct TakeLastOp : OperatorTag {
  int64_t count;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return makeSourceProducer<T, T, TakeLastSink>(source, CountParams{count});
  }
};

template <class Predicate>
struct TakeUntilPredicateOp : OperatorTag {
  TakeUntilPredicateParams<Predicate> params;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return makeSourceProducer<T, T, TakeUntilPredicateSink>(source, std::move(params));
  }
};

template <class O>
struct TakeUntilOp : SourceOperator<TakeUntilOp<O>> {
  Ref<Observable<O>> other;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(std::make_shared<TakeUntilSink<T, O>>(std::move(observer), std::move(cancel)),
                   source, other);
  }
};

// The negation of a while-predicate; a throwing predicate still throws.
template <class Predicate>
struct Negated {
  Predicate predicate;
  template <class T>
  bool operator()(const T& element) {
    return !predicate(element);
  }
};

}  // namespace detail

// The first `count` elements, then completion. A negative count stops the
// process.
inline detail::TakeCountOp take(int64_t count) {
  if (count < 0) fatalError("count can't be negative");
  return {{}, count};
}

// The last `count` elements, sent when the source completes. A negative count
// stops the process.
inline detail::TakeLastOp takeLast(int64_t count) {
  if (count < 0) fatalError("count can't be negative");
  return {{}, count};
}

// Elements until `other` emits, then completion.
template <ObservableConvertible Other>
detail::TakeUntilOp<ElementOf<Other>> takeUntil(const Other& other) {
  return {{}, rv::asObservable(other)};
}

// Elements until `predicate(const T&)` holds, then completion.
template <class Predicate>
requires(!ObservableConvertible<Predicate>)
    detail::TakeUntilPredicateOp<std::decay_t<Predicate>> takeUntil(Predicate&& predicate,
                                                                    TakeBehavior behavior) {
  return {{}, {std::forward<Predicate>(predicate), behavior}};
}

// The same with the behaviour first.
template <class Predicate>
detail::TakeUntilPredicateOp<std::decay_t<Predicate>> takeUntil(TakeBehavior behavior,
                                                                Predicate&& predicate) {
  return takeUntil(std::forward<Predicate>(predicate), behavior);
}

// Elements while `predicate(const T&)` holds, then completion.
template <class Predicate>
detail::TakeUntilPredicateOp<detail::Negated<std::decay_t<Predicate>>> takeWhile(
    Predicate&& predicate, TakeBehavior behavior = TakeBehavior::exclusive) {
  return {{}, {{std::forward<Predicate>(predicate)}, behavior}};
}

}  // namespace rv
