#pragma once

// Following only the most recent inner sequence.
//   switchLatest(): on a sequence of sequences;
//   flatMapLatest(selector): maps each element to a sequence first.
// A new inner sequence replaces the previous one, whose subscription is
// disposed and whose later events are ignored. The output completes once the
// outer sequence and the latest inner one have both completed; an error of
// the outer or of the latest inner ends it at once. All state changes and all
// forwarding happen under the sink's recursive lock, shared by the inner
// observers; subscribing to an inner sequence happens outside it.

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Merge.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"
#include "RvStreams/SerialDisposable.h"

namespace rv {

// Declared only: Infallible.h offers flatMapLatest and includes this header.
template <class T>
class Infallible;

namespace detail {

template <class S>
struct IsInfallible : std::false_type {};
template <class T>
struct IsInfallible<Infallible<T>> : std::true_type {};

// `Mapper(const SourceElement&)` returns something convertible to an
// observable of Out and may throw.
template <class SourceElement, class Out, class Mapper>
class SwitchSink final
    : public Sink<Out>,
      public ObserverType<SourceElement>,
      public std::enable_shared_from_this<SwitchSink<SourceElement, Out, Mapper>> {
 public:
  SwitchSink(Ref<ObserverType<Out>> observer, Ref<Cancelable> cancel, Mapper mapper)
      : Sink<Out>(std::move(observer), std::move(cancel)), mapper_(std::move(mapper)) {}

  Ref<Disposable> run(const Ref<Observable<SourceElement>>& source) {
    subscriptions_->setDisposable(source->subscribe(this->shared_from_this()));
    return Disposables::create(subscriptions_, innerSubscription_);
  }

  void on(const Event<SourceElement>& event) noexcept override {
    if (const SourceElement* element = event.element()) {
      std::optional<Ref<Observable<Out>>> inner;
      uint64_t id = 0;
      {
        LockGuard guard(lock_);
        try {
          inner = rv::asObservable(mapper_(*element));
        } catch (...) {
          this->forwardStop(Event<Out>::error(std::current_exception()));
          return;
        }
        hasLatest_ = true;
        id = ++latest_;  // wraps
      }
      auto disposable = SingleAssignmentDisposable::create();
      innerSubscription_->setDisposable(disposable);  // ends the previous inner subscription
      disposable->setDisposable(
          (*inner)->subscribe(std::make_shared<Iter>(this->shared_from_this(), id, disposable)));
    } else if (const Error* error = event.error()) {
      LockGuard guard(lock_);
      this->forwardStop(Event<Out>::error(*error));
    } else {
      LockGuard guard(lock_);
      stopped_ = true;
      subscriptions_->dispose();
      if (!hasLatest_) this->forwardStop(Event<Out>::completed());
    }
  }

 private:
  // The observer of one inner sequence; its lock is the parent's. Events of a
  // replaced inner sequence are dropped.
  class Iter final : public SynchronizedOnType<Iter, Out> {
   public:
    Iter(Ref<SwitchSink> parent, uint64_t id, Ref<SingleAssignmentDisposable> thisDisposable)
        : parent_(std::move(parent)), id_(id), thisDisposable_(std::move(thisDisposable)) {}

    RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(parent_->lock_) { return parent_->lock_; }

    void synchronized_on(const Event<Out>& event) noexcept KX_REQUIRES(lock()) {
      if (event.isStopEvent()) thisDisposable_->dispose();
      if (parent_->latest_ != id_) return;
      if (event.isNext()) {
        parent_->forwardOn(event);
      } else if (event.error() != nullptr) {
        parent_->forwardStop(event);
      } else {
        parent_->hasLatest_ = false;
        if (parent_->stopped_) parent_->forwardStop(event);
      }
    }

   private:
    Ref<SwitchSink> parent_;
    uint64_t id_;
    Ref<SingleAssignmentDisposable> thisDisposable_;
  };

  Mapper mapper_;
  Ref<SingleAssignmentDisposable> subscriptions_ = SingleAssignmentDisposable::create();
  Ref<SerialDisposable> innerSubscription_ = SerialDisposable::create();
  RecursiveLock lock_;
  bool stopped_ KX_GUARDED_BY(lock_) = false;
  uint64_t latest_ KX_GUARDED_BY(lock_) = 0;  // id of the most recent inner sequence
  bool hasLatest_ KX_GUARDED_BY(lock_) = false;
};

template <class Mapper>
struct FlatMapLatestOp : OperatorTag {
  Mapper mapper;
  template <class S>
  auto operator()(const S& source) && {
    using T = ElementOf<S>;
    using Result = std::decay_t<std::invoke_result_t<Mapper&, const T&>>;
    using Out = ElementOf<Result>;
    Ref<Observable<Out>> observable = MapperOp<Mapper, SwitchSink>{{}, std::move(mapper)}(source);
    if constexpr (IsInfallible<S>::value && IsInfallible<Result>::value) {
      // Infallible in, infallible inner sequences: the result cannot fail.
      return Infallible<Out>(std::move(observable));
    } else {
      return observable;
    }
  }
};

}  // namespace detail

// For each element, follows the sequence `selector(const T&)` returns, until
// the next element replaces it. On an Infallible whose selector returns
// Infallibles, the result is an Infallible.
template <class Selector>
detail::FlatMapLatestOp<std::decay_t<Selector>> flatMapLatest(Selector&& selector) {
  return {{}, std::forward<Selector>(selector)};
}

// On a sequence of sequences: follows the latest inner sequence.
inline detail::FlatMapLatestOp<detail::SequenceIsElement> switchLatest() { return {}; }

}  // namespace rv
