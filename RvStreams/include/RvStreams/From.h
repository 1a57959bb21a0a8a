#pragma once

// Finite sequences from values in memory: `from` over any multi-pass range
// (an array, a list, ...), `of` over listed elements, and `fromOptional` with
// at most one element. The range forms emit one element per scheduled action
// (recursive scheduling); every subscription starts from the first element.
// `fromOptional` without a scheduler delivers inside subscribe, with no sink.

#include <initializer_list>
#include <iterator>
#include <optional>
#include <ranges>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvStreams/Disposables.h"
#include "RvStreams/Producer.h"
#include "RvStreams/RecursiveScheduler.h"
#include "RvStreams/Scheduler.h"

namespace rv {

namespace detail {

template <class Sequence>
class ObservableSequence;

// The position in the range lives only in the recursion state; the sink
// holds the producer, which owns the range the position points into.
template <class Sequence>
class ObservableSequenceSink final
    : public Sink<std::ranges::range_value_t<Sequence>>,
      public std::enable_shared_from_this<ObservableSequenceSink<Sequence>> {
  using T = std::ranges::range_value_t<Sequence>;
  using Iterator = std::ranges::iterator_t<const Sequence>;
  using Recurse = typename RecursiveImmediateScheduler<Iterator>::Recurse;

 public:
  ObservableSequenceSink(Ref<ObservableSequence<Sequence>> parent, Ref<ObserverType<T>> observer,
                         Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)), parent_(std::move(parent)) {}

  Ref<Disposable> run() {
    return parent_->scheduler()->scheduleRecursive(
        std::ranges::begin(parent_->elements()),
        [self = this->shared_from_this()](Iterator it, const Recurse& recurse) {
          if (it != std::ranges::end(self->parent_->elements())) {
            self->forwardOn(Event<T>::next(*it));
            recurse(std::next(it));
          } else {
            self->forwardStop(Event<T>::completed());
          }
        });
  }

 private:
  const Ref<ObservableSequence<Sequence>> parent_;
};

template <class Sequence>
class ObservableSequence final : public Producer<std::ranges::range_value_t<Sequence>> {
  using T = std::ranges::range_value_t<Sequence>;

 public:
  ObservableSequence(Sequence elements, Ref<ImmediateSchedulerType> scheduler)
      : elements_(std::move(elements)), scheduler_(std::move(scheduler)) {}

  const Sequence& elements() const noexcept { return elements_; }
  const Ref<ImmediateSchedulerType>& scheduler() const noexcept { return scheduler_; }

 protected:
  typename Producer<T>::SinkAndSubscription run(Ref<ObserverType<T>> observer,
                                                Ref<Cancelable> cancel) override {
    auto self = std::static_pointer_cast<ObservableSequence>(this->shared_from_this());
    auto sink = std::make_shared<ObservableSequenceSink<Sequence>>(
        std::move(self), std::move(observer), std::move(cancel));
    Ref<Disposable> subscription = sink->run();
    return {std::move(sink), std::move(subscription)};
  }

 private:
  const Sequence elements_;
  const Ref<ImmediateSchedulerType> scheduler_;
};

template <class T>
class ObservableOptional final : public Observable<T> {
 public:
  explicit ObservableOptional(std::optional<T> optional) : optional_(std::move(optional)) {}

  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) override {
    if (optional_) observer->on(Event<T>::next(*optional_));
    observer->on(Event<T>::completed());
    return Disposables::create();
  }

 private:
  const std::optional<T> optional_;
};

// A value and the completion are two scheduled actions, the second scheduled
// from the first; without a value only the completion is scheduled.
template <class T>
class ObservableOptionalScheduledSink final
    : public Sink<T>,
      public std::enable_shared_from_this<ObservableOptionalScheduledSink<T>> {
 public:
  ObservableOptionalScheduledSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel)
      : Sink<T>(std::move(observer), std::move(cancel)) {}

  Ref<Disposable> run(const Ref<ImmediateSchedulerType>& scheduler, std::optional<T> optional) {
    return scheduler->schedule(
        std::move(optional),
        [self = this->shared_from_this(), scheduler](std::optional<T> value) -> Ref<Disposable> {
          if (!value) {
            self->forwardStop(Event<T>::completed());
            return Disposables::create();
          }
          self->forwardOn(Event<T>::next(std::move(*value)));
          return scheduler->schedule(Unit{}, [self](Unit) {
            self->forwardStop(Event<T>::completed());
            return Disposables::create();
          });
        });
  }
};

}  // namespace detail

// Emits the elements of `elements` (copied in) in order on `scheduler`, one
// per action, then completes.
template <std::ranges::forward_range Sequence>
Ref<Observable<std::ranges::range_value_t<std::decay_t<Sequence>>>> from(
    Sequence&& elements, Ref<ImmediateSchedulerType> scheduler) {
  return std::make_shared<detail::ObservableSequence<std::decay_t<Sequence>>>(
      std::forward<Sequence>(elements), std::move(scheduler));
}

// Emits the listed elements in order on `scheduler`, then completes.
template <class T>
Ref<Observable<T>> of(std::initializer_list<T> elements, Ref<ImmediateSchedulerType> scheduler) {
  return rv::from(std::vector<T>(elements), std::move(scheduler));
}

// Emits the value if there is one, then completes, inside subscribe.
template <class T>
Ref<Observable<T>> fromOptional(std::optional<T> optional) {
  return std::make_shared<detail::ObservableOptional<T>>(std::move(optional));
}

// Emits the value if there is one, then completes, each as its own action on
// `scheduler`.
template <class T>
Ref<Observable<T>> fromOptional(std::optional<T> optional, Ref<ImmediateSchedulerType> scheduler) {
  return detail::makeProducer<T>([optional = std::move(optional), scheduler = std::move(scheduler)](
                                     Ref<ObserverType<T>> observer, Ref<Cancelable> cancel) {
    return detail::runSink(std::make_shared<detail::ObservableOptionalScheduledSink<T>>(
                               std::move(observer), std::move(cancel)),
                           scheduler, optional);
  });
}

}  // namespace rv
