#pragma once

// Samples a second sequence whenever the first emits: each element of the
// first is combined with the latest element of the second; only the first
// drives the output. Both inputs are handled under the sink's recursive lock,
// downstream delivery included, so a synchronous re-entry on the same thread
// does not block.

#include <optional>
#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"

namespace rv {

namespace detail {

template <class F, class S, class R, class Selector>
class WithLatestFromSink;

// The observer of the second sequence; its lock is the parent sink's.
template <class F, class S, class R, class Selector>
class WithLatestFromSecond final
    : public SynchronizedOnType<WithLatestFromSecond<F, S, R, Selector>, S> {
 public:
  using Parent = WithLatestFromSink<F, S, R, Selector>;
  WithLatestFromSecond(Ref<Parent> parent, Ref<SingleAssignmentDisposable> disposable)
      : parent_(std::move(parent)), disposable_(std::move(disposable)) {}

  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(parent_->lock()) { return parent_->lock(); }

  void synchronized_on(const Event<S>& event) noexcept KX_REQUIRES(lock()) {
    if (const S* element = event.element()) {
      parent_->latest_ = *element;
    } else if (const Error* error = event.error()) {
      parent_->forwardStop(Event<R>::error(*error));
    } else {
      disposable_->dispose();
    }
  }

 private:
  Ref<Parent> parent_;
  Ref<SingleAssignmentDisposable> disposable_;
};

template <class F, class S, class R, class Selector>
class WithLatestFromSink final
    : public Sink<R>,
      public SynchronizedOnType<WithLatestFromSink<F, S, R, Selector>, F>,
      public std::enable_shared_from_this<WithLatestFromSink<F, S, R, Selector>> {
 public:
  WithLatestFromSink(Ref<ObserverType<R>> observer, Ref<Cancelable> cancel, Selector selector)
      : Sink<R>(std::move(observer), std::move(cancel)), selector_(std::move(selector)) {}

  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(lock_) { return lock_; }

  // Subscribes the second sequence before the first, so a second that emits
  // on subscription has its value in place for the first's first element.
  Ref<Disposable> run(const Ref<Observable<F>>& first, const Ref<Observable<S>>& second) {
    auto secondSubscription = SingleAssignmentDisposable::create();
    auto secondObserver = std::make_shared<WithLatestFromSecond<F, S, R, Selector>>(
        this->shared_from_this(), secondSubscription);
    secondSubscription->setDisposable(second->subscribe(std::move(secondObserver)));
    Ref<Disposable> firstSubscription = first->subscribe(this->shared_from_this());
    return Disposables::create(std::move(firstSubscription), std::move(secondSubscription));
  }

  void synchronized_on(const Event<F>& event) noexcept KX_REQUIRES(lock()) {
    if (const F* element = event.element()) {
      if (!latest_) return;
      try {
        this->forwardOn(Event<R>::next(selector_(*element, *latest_)));
      } catch (...) {
        this->forwardStop(Event<R>::error(std::current_exception()));
      }
    } else {
      this->forwardStopFrom(event);
    }
  }

 private:
  friend class WithLatestFromSecond<F, S, R, Selector>;

  Selector selector_;
  RecursiveLock lock_;
  std::optional<S> latest_ KX_GUARDED_BY(lock_);
};

template <class S, class Selector>
struct WithLatestFromOp : SourceOperator<WithLatestFromOp<S, Selector>> {
  template <class F>
  using Output = std::decay_t<std::invoke_result_t<Selector&, const F&, const S&>>;
  Ref<Observable<S>> second;
  Selector selector;
  template <class F>
  SinkAndSubscription run(const Ref<Observable<F>>& first, Ref<ObserverType<Output<F>>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(std::make_shared<WithLatestFromSink<F, S, Output<F>, Selector>>(
                       std::move(observer), std::move(cancel), selector),
                   first, second);
  }
};

struct SecondOnly {
  template <class F, class S>
  const S& operator()(const F&, const S& second) const noexcept {
    return second;
  }
};

}  // namespace detail

// Combines each element of the source with the latest of `second` through
// `selector(const F&, const S&) -> R`.
template <ObservableConvertible Second, class Selector>
detail::WithLatestFromOp<ElementOf<Second>, std::decay_t<Selector>> withLatestFrom(
    const Second& second, Selector&& selector) {
  return {{}, rv::asObservable(second), std::forward<Selector>(selector)};
}

// Emits the latest element of `second` for each element of the source.
template <ObservableConvertible Second>
detail::WithLatestFromOp<ElementOf<Second>, detail::SecondOnly> withLatestFrom(
    const Second& second) {
  return {{}, rv::asObservable(second), {}};
}

}  // namespace rv
