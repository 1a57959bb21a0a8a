#pragma once

// Dropping a leading part of the source and passing the rest unchanged.
//   skip(n): the first n elements (0 or a negative count drops nothing);
//   skipWhile(predicate): while the predicate holds; once it fails it is never
//     called again;
//   skipUntil(other): until `other` emits its first element. If `other`
//     completes without one, the gate stays closed for good: no element and
//     not even the source's completion is forwarded (a source error still
//     is). The source is subscribed before `other`, so a source that emits
//     during subscribe has all of it dropped.
// Stop events pass (subject to skipUntil's gate) and end the subscription.
// skipUntil handles both inputs under one recursive lock, delivery included;
// the others take no lock and rely on the source delivering serially.

#include <cstdint>
#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"

namespace rv {

namespace detail {

struct SkipCountParams {
  int64_t count;
};

template <class T, class R, class Params>
class SkipCountSink final : public Sink<T>, public ObserverType<T> {
 public:
  SkipCountSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, Params params)
      : Sink<T>(std::move(observer), std::move(cancel)), remaining_(params.count) {}

  void on(const Event<T>& event) noexcept override {
    if (event.isNext()) {
      if (remaining_ <= 0) {
        this->forwardOn(event);
      } else {
        --remaining_;
      }
    } else {
      this->forwardStop(event);
    }
  }

 private:
  int64_t remaining_;
};

template <class T, class R, class Predicate>
class SkipWhileSink final : public Sink<T>, public ObserverType<T> {
 public:
  SkipWhileSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, Predicate predicate)
      : Sink<T>(std::move(observer), std::move(cancel)), predicate_(std::move(predicate)) {}

  void on(const Event<T>& event) noexcept override {
    if (const T* element = event.element()) {
      if (!running_) {
        try {
          running_ = !predicate_(*element);
        } catch (...) {
          this->forwardStop(Event<T>::error(std::current_exception()));
          return;
        }
      }
      if (running_) this->forwardOn(event);
    } else {
      this->forwardStop(event);
    }
  }

 private:
  Predicate predicate_;
  bool running_ = false;
};

template <class T, class O>
class SkipUntilSink final : public Sink<T>,
                            public SynchronizedOnType<SkipUntilSink<T, O>, T>,
                            public std::enable_shared_from_this<SkipUntilSink<T, O>> {
 public:
  using Sink<T>::Sink;

  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(lock_) { return lock_; }

  Ref<Disposable> run(const Ref<Observable<T>>& source, const Ref<Observable<O>>& other) {
    Ref<Disposable> sourceSubscription = source->subscribe(this->shared_from_this());
    auto otherObserver = std::make_shared<Other>(this->shared_from_this());
    Ref<Disposable> otherSubscription = other->subscribe(otherObserver);
    sourceSubscription_->setDisposable(std::move(sourceSubscription));
    otherObserver->subscription_->setDisposable(std::move(otherSubscription));
    return Disposables::create(sourceSubscription_, otherObserver->subscription_);
  }

  void synchronized_on(const Event<T>& event) noexcept KX_REQUIRES(lock()) {
    if (event.isNext()) {
      if (forwardElements_) this->forwardOn(event);
    } else if (event.error() != nullptr) {
      this->forwardStop(event);
    } else {
      // A source that completes while still skipping ends without any event.
      if (forwardElements_) this->forwardOn(event);
      this->dispose();
    }
  }

 private:
  // The observer of `other`; its lock is the parent's.
  class Other final : public SynchronizedOnType<Other, O> {
   public:
    explicit Other(Ref<SkipUntilSink> parent) : parent_(std::move(parent)) {}

    RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(parent_->lock_) { return parent_->lock_; }

    void synchronized_on(const Event<O>& event) noexcept KX_REQUIRES(lock()) {
      if (event.isNext()) {
        parent_->forwardElements_ = true;  // open for good
        subscription_->dispose();
      } else if (const Error* error = event.error()) {
        parent_->forwardStop(Event<T>::error(*error));
      } else {
        subscription_->dispose();  // closed for good
      }
    }

    Ref<SingleAssignmentDisposable> subscription_ = SingleAssignmentDisposable::create();

   private:
    Ref<SkipUntilSink> parent_;
  };

  RecursiveLock lock_;
  bool forwardElements_ KX_GUARDED_BY(lock_) = false;
  Ref<SingleAssignmentDisposable> sourceSubscription_ = SingleAssignmentDisposable::create();
};

struct SkipCountOp : OperatorTag {
  int64_t count;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return makeSourceProducer<T, T, SkipCountSink>(source, SkipCountParams{count});
  }
};

template <class Predicate>
struct SkipWhileOp : OperatorTag {
  Predicate predicate;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return makeSourceProducer<T, T, SkipWhileSink>(source, std::move(predicate));
  }
};

template <class O>
struct SkipUntilOp : SourceOperator<SkipUntilOp<O>> {
  Ref<Observable<O>> other;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(std::make_shared<SkipUntilSink<T, O>>(std::move(observer), std::move(cancel)),
                   source, other);
  }
};

}  // namespace detail

// Drops the first `count` elements; 0 or a negative count drops nothing.
inline detail::SkipCountOp skip(int64_t count) { return {{}, count}; }

// Drops elements while `predicate(const T&)` holds.
template <class Predicate>
detail::SkipWhileOp<std::decay_t<Predicate>> skipWhile(Predicate&& predicate) {
  return {{}, std::forward<Predicate>(predicate)};
}

// Drops elements until `other` emits.
template <ObservableConvertible Other>
detail::SkipUntilOp<ElementOf<Other>> skipUntil(const Other& other) {
  return {{}, rv::asObservable(other)};
}

}  // namespace rv
