#pragma once

// The merge family: operators that subscribe to many inner sequences and
// interleave their elements into one output.
//   flatMap, flatMapFirst, merge(), merge over a collection: every inner
//     sequence is subscribed as soon as it is produced;
//   concatMap, concat(), merge(maxConcurrent): at most `maxConcurrent` inner
//     sequences at a time, the rest wait first in first out.
// Each subscription's sink owns one recursive lock under which every event of
// the outer and of every inner sequence is handled, so the downstream observer
// is never entered concurrently. An error from anywhere ends the output at
// once and disposes every subscription.

#include <cstdint>
#include <limits>
#include <optional>
#include <ranges>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvStreams/CompositeDisposable.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"
#include "RvStreams/Queue.h"

namespace rv {

namespace detail {

inline void incrementActive(int64_t& count) noexcept {
  if (count == std::numeric_limits<int64_t>::max()) fatalError("Arithmetic overflow");
  ++count;
}

inline void decrementActive(int64_t& count) noexcept {
  if (count == std::numeric_limits<int64_t>::min()) fatalError("Arithmetic overflow");
  --count;
}

// Maps an outer element that is itself a sequence to that sequence.
struct SequenceIsElement {
  template <class S>
  const S& operator()(const S& sequence) const noexcept {
    return sequence;
  }
};

// What both families share: the lock under which every event is handled,
// the group holding the outer and every inner subscription (what run returns),
// the count of active inner sequences and the outer's stopped flag.
template <class SourceElement, class Out, class Self>
class MergeSinkBase : public Sink<Out>,
                      public ObserverType<SourceElement>,
                      public std::enable_shared_from_this<Self> {
 public:
  MergeSinkBase(Ref<ObserverType<Out>> observer, Ref<Cancelable> cancel)
      : Sink<Out>(std::move(observer), std::move(cancel)) {}

  // Outer-sequence form: subscribes to the sequence of sequences.
  Ref<Disposable> run(const Ref<Observable<SourceElement>>& source) {
    group_->insert(sourceSubscription_);
    sourceSubscription_->setDisposable(source->subscribe(this->shared_from_this()));
    return group_;
  }

 protected:
  // Subscribes `Iter(self, key)` to `inner`, its subscription kept in the
  // group; nothing when the group is already disposed.
  template <class Iter>
  void subscribeInner(const Ref<Observable<Out>>& inner) {
    auto subscription = SingleAssignmentDisposable::create();
    auto key = group_->insert(subscription);
    if (!key) return;
    subscription->setDisposable(
        inner->subscribe(std::make_shared<Iter>(this->shared_from_this(), *key)));
  }

  RecursiveLock lock_;
  Ref<CompositeDisposable> group_ = CompositeDisposable::create();
  Ref<SingleAssignmentDisposable> sourceSubscription_ = SingleAssignmentDisposable::create();
  int64_t activeCount_ KX_GUARDED_BY(lock_) = 0;
  bool stopped_ KX_GUARDED_BY(lock_) = false;
};

// The unlimited family. `Mapper(const SourceElement&)` returns something
// convertible to an observable of Out and may throw. With `FirstOnly`
// (flatMapFirst), outer elements arriving while an inner sequence is active
// are dropped without calling the mapper.
template <class SourceElement, class Out, class Mapper, bool FirstOnly>
class MergeSink final
    : public MergeSinkBase<SourceElement, Out, MergeSink<SourceElement, Out, Mapper, FirstOnly>> {
  using Base = MergeSinkBase<SourceElement, Out, MergeSink>;

 public:
  MergeSink(Ref<ObserverType<Out>> observer, Ref<Cancelable> cancel, Mapper mapper)
      : Base(std::move(observer), std::move(cancel)), mapper_(std::move(mapper)) {}

  using Base::run;

  // Collection form: subscribes every source, then completes once they have
  // all completed (immediately for none). The final test is made under the
  // lock: inner sequences may complete on other threads meanwhile.
  Ref<Disposable> run(const std::vector<Ref<Observable<Out>>>& sources) {
    {
      LockGuard guard(this->lock_);
      for (std::size_t i = 0; i < sources.size(); ++i) incrementActive(this->activeCount_);
    }
    for (const auto& source : sources) this->template subscribeInner<Iter>(source);
    LockGuard guard(this->lock_);
    this->stopped_ = true;
    if (this->activeCount_ == 0) this->forwardStop(Event<Out>::completed());
    return this->group_;
  }

  void on(const Event<SourceElement>& event) noexcept override {
    if (const SourceElement* element = event.element()) {
      std::optional<Ref<Observable<Out>>> inner;
      {
        LockGuard guard(this->lock_);
        if (FirstOnly && this->activeCount_ != 0) return;
        try {
          inner = rv::asObservable(mapper_(*element));
        } catch (...) {
          this->forwardStop(Event<Out>::error(std::current_exception()));
          return;
        }
        incrementActive(this->activeCount_);
      }
      this->template subscribeInner<Iter>(*inner);
    } else if (const Error* error = event.error()) {
      LockGuard guard(this->lock_);
      this->forwardStop(Event<Out>::error(*error));
    } else {
      LockGuard guard(this->lock_);
      this->stopped_ = true;
      this->sourceSubscription_->dispose();
      if (this->activeCount_ == 0) this->forwardStop(Event<Out>::completed());
    }
  }

 private:
  // The observer of one inner sequence; takes the parent's lock.
  class Iter final : public ObserverType<Out> {
   public:
    Iter(Ref<MergeSink> parent, CompositeDisposable::DisposeKey key)
        : parent_(std::move(parent)), key_(key) {}

    void on(const Event<Out>& event) noexcept override {
      MergeSink& parent = *parent_;
      LockGuard guard(parent.lock_);
      if (event.isNext()) {
        parent.forwardOn(event);
      } else if (event.error() != nullptr) {
        parent.forwardStop(event);
      } else {
        parent.group_->remove(key_);
        decrementActive(parent.activeCount_);
        if (parent.stopped_ && parent.activeCount_ == 0) parent.forwardStop(event);
      }
    }

   private:
    Ref<MergeSink> parent_;
    CompositeDisposable::DisposeKey key_;
  };

  Mapper mapper_;
};

// The limited family: at most `maxConcurrent` inner sequences subscribed; the
// rest wait in a queue. A limit of 0 or less queues everything and completes
// when the outer completes.
template <class SourceElement, class Out, class Mapper>
class MergeLimitedSink final
    : public MergeSinkBase<SourceElement, Out, MergeLimitedSink<SourceElement, Out, Mapper>> {
  using Base = MergeSinkBase<SourceElement, Out, MergeLimitedSink>;

 public:
  MergeLimitedSink(Ref<ObserverType<Out>> observer, Ref<Cancelable> cancel, Mapper mapper,
                   int64_t maxConcurrent)
      : Base(std::move(observer), std::move(cancel)),
        mapper_(std::move(mapper)),
        maxConcurrent_(maxConcurrent) {}

  void on(const Event<SourceElement>& event) noexcept override {
    if (const SourceElement* element = event.element()) {
      std::optional<Ref<Observable<Out>>> subscribeNow;
      {
        LockGuard guard(this->lock_);
        const bool hasRoom = this->activeCount_ < maxConcurrent_;
        if (hasRoom) incrementActive(this->activeCount_);
        try {
          auto inner = rv::asObservable(mapper_(*element));
          if (hasRoom) {
            subscribeNow = std::move(inner);
          } else {
            queue_.enqueue(std::move(inner));
          }
        } catch (...) {
          this->forwardStop(Event<Out>::error(std::current_exception()));
          return;
        }
      }
      if (subscribeNow) this->template subscribeInner<Iter>(*subscribeNow);
    } else if (const Error* error = event.error()) {
      LockGuard guard(this->lock_);
      this->forwardStop(Event<Out>::error(*error));
    } else {
      LockGuard guard(this->lock_);
      if (this->activeCount_ == 0) {
        this->forwardStop(Event<Out>::completed());
      } else {
        this->sourceSubscription_->dispose();
      }
      this->stopped_ = true;
    }
  }

 private:
  // The observer of one inner sequence; its lock is the parent's.
  class Iter final : public SynchronizedOnType<Iter, Out> {
   public:
    Iter(Ref<MergeLimitedSink> parent, CompositeDisposable::DisposeKey key)
        : parent_(std::move(parent)), key_(key) {}

    RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(parent_->lock_) { return parent_->lock_; }

    void synchronized_on(const Event<Out>& event) noexcept KX_REQUIRES(lock()) {
      if (event.isNext()) {
        parent_->forwardOn(event);
      } else if (event.error() != nullptr) {
        parent_->forwardStop(event);
      } else {
        parent_->group_->remove(key_);
        // The finished sequence's slot passes to the oldest queued one.
        if (parent_->queue_.count() > parent_->pendingStarts_) {
          parent_->startQueued();
        } else {
          decrementActive(parent_->activeCount_);
          if (parent_->stopped_ && parent_->activeCount_ == 0) parent_->forwardStop(event);
        }
      }
    }

   private:
    Ref<MergeLimitedSink> parent_;
    CompositeDisposable::DisposeKey key_;
  };

  // Starts the oldest queued sequence, under the lock. A queued sequence that
  // completes while it is being subscribed hands its slot on from inside that
  // subscription; starting the next one there would nest one level deeper per
  // sequence, so a long backlog of synchronous sequences would exhaust the
  // stack. Instead the outermost start loops, and nested completions only
  // count the starts they owe.
  void startQueued() noexcept KX_REQUIRES(this->lock_) {
    ++pendingStarts_;
    if (draining_) return;
    draining_ = true;
    while (pendingStarts_ > 0) {
      --pendingStarts_;
      std::optional<Ref<Observable<Out>>> next = queue_.dequeue();
      if (next) this->template subscribeInner<Iter>(*next);
    }
    draining_ = false;
  }

  Mapper mapper_;
  int64_t maxConcurrent_;
  Queue<Ref<Observable<Out>>> queue_ KX_GUARDED_BY(this->lock_) = Queue<Ref<Observable<Out>>>(2);
  // Whether a start loop runs, and the queued sequences it still has to start.
  bool draining_ KX_GUARDED_BY(this->lock_) = false;
  int64_t pendingStarts_ KX_GUARDED_BY(this->lock_) = 0;
};

template <class SourceElement, class Out, class Mapper>
using FlatMapSink = MergeSink<SourceElement, Out, Mapper, false>;
template <class SourceElement, class Out, class Mapper>
using FlatMapFirstSink = MergeSink<SourceElement, Out, Mapper, true>;
template <class SourceElement, class Out>
using MergeBasicSink = MergeSink<SourceElement, Out, SequenceIsElement, false>;
template <class SourceElement, class Out, class Mapper>
using ConcatMapSink = MergeLimitedSink<SourceElement, Out, Mapper>;
template <class SourceElement, class Out>
using MergeLimitedBasicSink = MergeLimitedSink<SourceElement, Out, SequenceIsElement>;

template <class Mapper, template <class, class, class> class SinkT>
struct MapperOp : SourceOperator<MapperOp<Mapper, SinkT>> {
  template <class T>
  using Output = ElementOf<std::invoke_result_t<Mapper&, const T&>>;
  Mapper mapper;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<Output<T>>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(std::make_shared<SinkT<T, Output<T>, Mapper>>(std::move(observer),
                                                                 std::move(cancel), mapper),
                   source);
  }
};

template <class Mapper>
struct LimitedMapperOp : SourceOperator<LimitedMapperOp<Mapper>> {
  template <class T>
  using Output = ElementOf<std::invoke_result_t<Mapper&, const T&>>;
  Mapper mapper;
  int64_t maxConcurrent;
  template <class T>
  SinkAndSubscription run(const Ref<Observable<T>>& source, Ref<ObserverType<Output<T>>> observer,
                          Ref<Cancelable> cancel) {
    return runSink(std::make_shared<MergeLimitedSink<T, Output<T>, Mapper>>(
                       std::move(observer), std::move(cancel), mapper, maxConcurrent),
                   source);
  }
};

template <class T>
Ref<Observable<T>> mergeArray(std::vector<Ref<Observable<T>>> sources) {
  using SinkType = MergeSink<Ref<Observable<T>>, T, SequenceIsElement, false>;
  return makeProducer<T>(
      [sources = std::move(sources)](Ref<ObserverType<T>> observer, Ref<Cancelable> cancel) {
        return runSink(
            std::make_shared<SinkType>(std::move(observer), std::move(cancel), SequenceIsElement{}),
            sources);
      });
}

}  // namespace detail

// For each element, subscribes the sequence `selector(const T&)` returns and
// forwards its elements; completes when the source and every inner sequence
// have completed.
template <class Selector>
auto flatMap(Selector&& selector) {
  return detail::MapperOp<std::decay_t<Selector>, detail::FlatMapSink>{
      {}, std::forward<Selector>(selector)};
}

// As flatMap, but elements arriving while an inner sequence is active are
// dropped without calling the selector.
template <class Selector>
auto flatMapFirst(Selector&& selector) {
  return detail::MapperOp<std::decay_t<Selector>, detail::FlatMapFirstSink>{
      {}, std::forward<Selector>(selector)};
}

// As flatMap, but inner sequences are subscribed one after another, in order.
template <class Selector>
auto concatMap(Selector&& selector) {
  return detail::LimitedMapperOp<std::decay_t<Selector>>{{}, std::forward<Selector>(selector), 1};
}

// On a sequence of sequences: merges every inner sequence.
inline auto merge() { return detail::MapperOp<detail::SequenceIsElement, detail::FlatMapSink>{}; }

// On a sequence of sequences: at most `maxConcurrent` inner sequences at a
// time. No range test: a limit of 0 or less queues every inner sequence and
// completes when the outer completes.
inline auto merge(int64_t maxConcurrent) {
  return detail::LimitedMapperOp<detail::SequenceIsElement>{{}, {}, maxConcurrent};
}

// On a sequence of sequences: one inner sequence after another.
inline auto concat() { return merge(int64_t{1}); }

// Merges a collection of sequences of one element type.
template <std::ranges::input_range Sources>
requires ObservableConvertible<std::ranges::range_value_t<Sources>>
auto merge(const Sources& sources) {
  using T = ElementOf<std::ranges::range_value_t<Sources>>;
  std::vector<Ref<Observable<T>>> array;
  for (const auto& source : sources) array.push_back(rv::asObservable(source));
  return detail::mergeArray<T>(std::move(array));
}

// Merges the given sequences.
template <ObservableConvertible First, ObservableConvertible... Rest>
auto merge(const First& first, const Rest&... rest) {
  using T = ElementOf<First>;
  return merge(std::vector<Ref<Observable<T>>>{rv::asObservable(first), rv::asObservable(rest)...});
}

}  // namespace rv
