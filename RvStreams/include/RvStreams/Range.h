#pragma once

// `range` emits `count` consecutive integers from `start`, one per scheduled
// action (recursive scheduling), then completes.

#include <concepts>
#include <type_traits>
#include <utility>

#include "RvStreams/Producer.h"
#include "RvStreams/RecursiveScheduler.h"
#include "RvStreams/Scheduler.h"

namespace rv {

namespace detail {

template <class T>
class RangeSink final : public Sink<T>, public std::enable_shared_from_this<RangeSink<T>> {
  using Recurse = typename RecursiveImmediateScheduler<T>::Recurse;

 public:
  RangeSink(Ref<ObserverType<T>> observer, Ref<Cancelable> cancel, T start, T count)
      : Sink<T>(std::move(observer), std::move(cancel)), start_(start), count_(count) {}

  // The recursion state is the index of the next element. The arguments were
  // checked, so neither start + i nor i + 1 can overflow.
  Ref<Disposable> run(const Ref<ImmediateSchedulerType>& scheduler) {
    return scheduler->scheduleRecursive(
        T{0}, [self = this->shared_from_this()](T i, const Recurse& recurse) {
          if (i < self->count_) {
            self->forwardOn(Event<T>::next(static_cast<T>(self->start_ + i)));
            recurse(static_cast<T>(i + 1));
          } else {
            self->forwardStop(Event<T>::completed());
          }
        });
  }

 private:
  const T start_;
  const T count_;
};

}  // namespace detail

// Emits start, start + 1, ..., start + count - 1 on `scheduler`, then
// completes. Stops the process when `count` is negative ("count can't be
// negative") or when the last element would overflow `T` ("overflow of
// count"), at the call, whether or not anyone subscribes.
template <std::integral T>
requires(!std::same_as<T, bool>) Ref<Observable<T>> range(T start, T count,
                                                          Ref<ImmediateSchedulerType> scheduler) {
  if (count < 0) fatalError("count can't be negative");
  if (count > 0) {
    using U = std::make_unsigned_t<T>;
    const T last = static_cast<T>(static_cast<U>(start) + static_cast<U>(count - 1));  // wraps
    if (last < start) fatalError("overflow of count");
  }
  return detail::makeProducer<T>([start, count, scheduler = std::move(scheduler)](
                                     Ref<ObserverType<T>> observer, Ref<Cancelable> cancel) {
    return detail::runSink(std::make_shared<detail::RangeSink<T>>(std::move(observer),
                                                                  std::move(cancel), start, count),
                           scheduler);
  });
}

}  // namespace rv
