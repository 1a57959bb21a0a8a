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

template <class F, class S, class R, class Selector>
class WithLatestFrom final : public Producer<R> {
 public:
  WithLatestFrom(Ref<Observable<F>> first, Ref<Observable<S>> second, Selector selector)
      : first_(std::move(first)), second_(std::move(second)), selector_(std::move(selector)) {}

 protected:
  typename Producer<R>::SinkAndSubscription run(Ref<ObserverType<R>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink = std::make_shared<WithLatestFromSink<F, S, R, Selector>>(
        std::move(observer), std::move(cancel), selector_);
    Ref<Disposable> subscription = sink->run(first_, second_);
    return {std::move(sink), std::move(subscription)};
  }

 private:
  Ref<Observable<F>> first_;
  Ref<Observable<S>> second_;
  Selector selector_;
};

template <class Second, class Selector>
struct WithLatestFromOp : OperatorTag {
  Second second;
  Selector selector;
  template <class Source>
  auto operator()(const Source& first) && {
    using F = ElementOf<Source>;
    using S = ElementOf<Second>;
    using R = std::decay_t<std::invoke_result_t<Selector&, const F&, const S&>>;
    return Ref<Observable<R>>(std::make_shared<WithLatestFrom<F, S, R, Selector>>(
        rv::asObservable(first), rv::asObservable(second), std::move(selector)));
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
detail::WithLatestFromOp<std::decay_t<Second>, std::decay_t<Selector>> withLatestFrom(
    Second&& second, Selector&& selector) {
  return {{}, std::forward<Second>(second), std::forward<Selector>(selector)};
}

// Emits the latest element of `second` for each element of the source.
template <ObservableConvertible Second>
detail::WithLatestFromOp<std::decay_t<Second>, detail::SecondOnly> withLatestFrom(Second&& second) {
  return {{}, std::forward<Second>(second), {}};
}

}  // namespace rv
