#pragma once

// A race: the first of two sequences to send any event (element, error or
// completion) wins, the other is unsubscribed at once, and from then on the
// output mirrors the winner exactly.
//
//   a | rv::amb(b)        a races b
//   rv::amb(sources)      every source of a range races; none never emits
//
// Until the race is decided every event of either side is handled under the
// sink's lock, so exactly one side wins even when both send at the same time
// on different threads. The winner's later events go straight downstream
// without the lock: the winner alone emits.

#include <ranges>
#include <type_traits>
#include <utility>

#include "RvStreams/Disposables.h"
#include "RvStreams/Just.h"
#include "RvStreams/Lock.h"
#include "RvStreams/Producer.h"

namespace rv {

// Which side of a race has won.
enum class AmbState { neither, left, right };

namespace detail {

template <class T>
class AmbSink;

// The observer of one side. Before its side wins, each event goes to the
// sink's decision step; once it has won, straight to the forwarding step.
// After passing on a stop event it disposes its own subscription, or both
// once it has won.
template <class T>
class AmbObserver final : public ObserverType<T> {
 public:
  AmbObserver(Ref<AmbSink<T>> parent, AmbState me, Ref<Disposable> mine, Ref<Disposable> other,
              Ref<Disposable> both)
      : parent_(std::move(parent)),
        me_(me),
        cancel_(std::move(mine)),
        other_(std::move(other)),
        both_(std::move(both)) {}

  void on(const Event<T>& event) noexcept override {
    // `won_` and `cancel_` change only inside this observer's own first
    // winning event, so the source's serial delivery orders every access.
    if (won_) {
      parent_->forward(event);
    } else {
      parent_->decide(*this, event);
    }
    if (event.isStopEvent()) cancel_->dispose();
  }

 private:
  friend class AmbSink<T>;

  Ref<AmbSink<T>> parent_;
  const AmbState me_;
  bool won_ = false;
  Ref<Disposable> cancel_;
  const Ref<Disposable> other_;
  const Ref<Disposable> both_;
};

template <class T>
class AmbSink final : public Sink<T>, public std::enable_shared_from_this<AmbSink<T>> {
 public:
  AmbSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)) {}

  // Subscribes the left side, then the right; returns the disposable of both.
  Ref<Disposable> run(const Ref<Observable<T>>& left, const Ref<Observable<T>>& right) {
    auto leftSubscription = SingleAssignmentDisposable::create();
    auto rightSubscription = SingleAssignmentDisposable::create();
    Ref<Disposable> both = Disposables::create(leftSubscription, rightSubscription);
    auto self = this->shared_from_this();
    auto leftObserver = std::make_shared<AmbObserver<T>>(self, AmbState::left, leftSubscription,
                                                         rightSubscription, both);
    auto rightObserver = std::make_shared<AmbObserver<T>>(self, AmbState::right, rightSubscription,
                                                          leftSubscription, both);
    leftSubscription->setDisposable(left->subscribe(std::move(leftObserver)));
    rightSubscription->setDisposable(right->subscribe(std::move(rightObserver)));
    return both;
  }

 private:
  friend class AmbObserver<T>;

  // The forwarding step: the stop event ends the sink.
  void forward(const Event<T>& event) noexcept {
    if (event.isNext()) {
      this->forwardOn(event);
    } else {
      this->forwardStop(event);
    }
  }

  // The decision step: the first event of either side decides the race; the
  // losing side's events are ignored.
  void decide(AmbObserver<T>& observer, const Event<T>& event) noexcept {
    LockGuard guard(lock_);
    if (choice_ == AmbState::neither) {
      choice_ = observer.me_;
      observer.won_ = true;
      observer.cancel_ = observer.both_;
      observer.other_->dispose();
    }
    if (choice_ == observer.me_) forward(event);
  }

  RecursiveLock lock_;
  AmbState choice_ KX_GUARDED_BY(lock_) = AmbState::neither;
};

template <class T>
struct AmbOp : SourceOperator<AmbOp<T>> {
  template <class L>
  using Output = T;
  Ref<Observable<T>> right;
  template <class L>
  SinkAndSubscription run(const Ref<Observable<L>>& left, Ref<ObserverType<T>> observer,
                          Ref<Cancelable> cancel) {
    static_assert(std::is_same_v<L, T>, "amb of another element type");
    return runSink(std::make_shared<AmbSink<T>>(std::move(observer), std::move(cancel)), left,
                   right);
  }
};

}  // namespace detail

// The source races `right`.
template <ObservableConvertible Right>
detail::AmbOp<ElementOf<Right>> amb(const Right& right) {
  return {{}, rv::asObservable(right)};
}

// Every source of the range races the others, folded pairwise from the left
// onto a sequence that never emits: no source never emits, one source behaves
// as itself.
template <std::ranges::input_range Sources>
requires ObservableConvertible<std::ranges::range_value_t<Sources>>
auto amb(const Sources& sources) {
  using T = ElementOf<std::ranges::range_value_t<Sources>>;
  Ref<Observable<T>> result = rv::never<T>();
  for (const auto& source : sources) {
    result = result | amb(source);
  }
  return result;
}

}  // namespace rv
