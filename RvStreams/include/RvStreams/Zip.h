#pragma once

// zip: the n-th output element combines the n-th element of every source.
// Elements that arrive early wait in a first-in first-out queue per source.
//
//   rv::zip(a, b)                  tuples of the n-th elements (2 to 8 sources)
//   rv::zip(a, b, c, selector)     selector(const A&, const B&, const C&)
//   rv::zip(sources)               vectors of the n-th elements (any number of
//   rv::zip(sources, selector)     sources of one type); selector(const std::vector<T>&)
//
// Completion differs between the forms. Two to eight sources: the output
// completes when, and only when, every source has completed; until then the
// other sources' elements keep queueing without bound. A collection: the
// output also completes at an element that cannot complete a row while every
// other source has completed. Both fail at once with the first error of a
// source or of the selector; queued elements are dropped.
//
// Each subscription's sink owns one recursive lock, taken by every event of
// every source for the whole of its handling, downstream delivery included.
// The elements of a row leave their queues before the row's result is
// forwarded, so a source that sends again on the same thread from inside the
// downstream observer is handled at once, nested, on consistent queues.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ranges>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvStreams/Disposables.h"
#include "RvStreams/FixedArity.h"
#include "RvStreams/Lock.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Producer.h"
#include "RvStreams/Queue.h"

namespace rv {

namespace detail {

// How the observer of one source reports to its sink, with the sink's lock
// held.
class ZipSinkProtocol {
 public:
  virtual void next(int64_t index) noexcept = 0;
  virtual void fail(const Error& error) noexcept = 0;
  virtual void done(int64_t index) noexcept = 0;

 protected:
  ~ZipSinkProtocol() = default;
};

// The rules of zip over two to eight sources, whatever their types: when a
// row is complete, when to fail, when to complete. The typed sinks derive
// from it and hold the queues and the selector.
class ZipSink : public ZipSinkProtocol {
 public:
  explicit ZipSink(int64_t arity);

  // The lock of every event of every source of one subscription.
  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(lock_) { return lock_; }

  // Whether the queue of the source with 0-based `index` holds an element.
  // Any other index is a broken invariant and stops the process.
  virtual bool hasElements(int64_t index) const noexcept = 0;

  // ZipSinkProtocol (the source's element is already queued):
  void next(int64_t index) noexcept override KX_REQUIRES(lock_);
  void fail(const Error& error) noexcept override KX_REQUIRES(lock_);
  void done(int64_t index) noexcept override KX_REQUIRES(lock_);

 protected:
  ~ZipSink() = default;

  // Takes the oldest element out of every queue, runs the selector on them
  // and forwards its result; a failing selector forwards its error and ends
  // the sink.
  virtual void forwardResult() noexcept = 0;
  // Forward the stop event, then end the sink.
  virtual void forwardCompleted() noexcept = 0;
  virtual void forwardError(const Error& error) noexcept = 0;

 private:
  RecursiveLock lock_;
  const int64_t arity_;
  std::vector<bool> isDone_ KX_GUARDED_BY(lock_);
};

// The observer of one source: under the sink's lock, appends each element to
// the source's queue, then reports its index. A stop event first ends this
// source's own subscription. It keeps its sink to the end: a source that
// still sends after the sink has ended only fills its queue.
template <class E>
class ZipObserver final : public SynchronizedOnType<ZipObserver<E>, E> {
 public:
  // `values` is the sink's queue for this source; the observer keeps the
  // sink, and with it the queue, alive.
  ZipObserver(RecursiveLock& lock, Ref<ZipSinkProtocol> parent, int64_t index, Queue<E>* values,
              Ref<Disposable> thisDisposable)
      : lock_(lock),
        parent_(std::move(parent)),
        index_(index),
        values_(values),
        thisDisposable_(std::move(thisDisposable)) {}

  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(lock_) { return lock_; }

  void synchronized_on(const Event<E>& event) noexcept KX_REQUIRES(lock()) {
    if (const E* element = event.element()) {
      values_->enqueue(*element);
      parent_->next(index_);
    } else if (const Error* error = event.error()) {
      thisDisposable_->dispose();
      parent_->fail(*error);
    } else {
      thisDisposable_->dispose();
      parent_->done(index_);
    }
  }

 private:
  RecursiveLock& lock_;
  const Ref<ZipSinkProtocol> parent_;
  const int64_t index_;
  Queue<E>* const values_ KX_PT_GUARDED_BY(lock_);
  const Ref<Disposable> thisDisposable_;
};

template <class R, class Selector, class... Es>
class Zip;

// The sink of one subscription to two to eight sources.
template <class R, class Selector, class... Es>
class ZipSinkN final : public Sink<R>,
                       public ZipSink,
                       public std::enable_shared_from_this<ZipSinkN<R, Selector, Es...>> {
  static constexpr std::size_t kArity = sizeof...(Es);
  using Parent = Zip<R, Selector, Es...>;

 public:
  ZipSinkN(Ref<Parent> parent, Ref<ObserverType<R>> observer, Ref<Cancelable> cancel)
      : Sink<R>(std::move(observer), std::move(cancel)),
        ZipSink(static_cast<int64_t>(kArity)),
        parent_(std::move(parent)),
        values_{Queue<Es>(2)...} {}

  // Subscribes the sources in order, every observer made first; returns the
  // disposable of all the source subscriptions. Takes no lock.
  Ref<Disposable> run() { return run(std::index_sequence_for<Es...>{}); }

  bool hasElements(int64_t index) const noexcept override {
    return hasElements(index, std::index_sequence_for<Es...>{});
  }

  // A row is complete when no queue is empty.
  void next(int64_t) noexcept override KX_REQUIRES(lock()) {
    if (rowComplete(std::index_sequence_for<Es...>{})) forwardResult();
  }

 protected:
  void forwardResult() noexcept override {
    try {
      this->forwardOn(Event<R>::next(getResult(std::index_sequence_for<Es...>{})));
    } catch (...) {
      this->forwardStop(Event<R>::error(std::current_exception()));
    }
  }
  void forwardCompleted() noexcept override { this->forwardStop(Event<R>::completed()); }
  void forwardError(const Error& error) noexcept override {
    this->forwardStop(Event<R>::error(error));
  }

 private:
  template <std::size_t... Is>
  Ref<Disposable> run(std::index_sequence<Is...>) {
    std::array<Ref<SingleAssignmentDisposable>, kArity> subscriptions{
        (static_cast<void>(Is), SingleAssignmentDisposable::create())...};
    auto self = this->shared_from_this();
    std::tuple<Ref<ZipObserver<Es>>...> observers{std::make_shared<ZipObserver<Es>>(
        lock(), self, static_cast<int64_t>(Is), &std::get<Is>(values_), subscriptions[Is])...};
    (subscriptions[Is]->setDisposable(
         std::get<Is>(parent_->sources_)->subscribe(std::move(std::get<Is>(observers)))),
     ...);
    return Disposables::create(
        std::vector<Ref<Disposable>>(subscriptions.begin(), subscriptions.end()));
  }

  template <std::size_t... Is>
  bool rowComplete(std::index_sequence<Is...>) const noexcept {
    return (!std::get<Is>(values_).isEmpty() && ...);
  }

  template <std::size_t... Is>
  bool hasElements(int64_t index, std::index_sequence<Is...>) const noexcept {
    bool result = false;
    const bool known =
        ((index == static_cast<int64_t>(Is) && (result = !std::get<Is>(values_).isEmpty(), true)) ||
         ...);
    if (!known) fatalError("Unhandled case (Function)");
    return result;
  }

  // Every element of the row leaves its queue before the selector runs; they
  // are gone whether it succeeds or throws.
  template <std::size_t... Is>
  R getResult(std::index_sequence<Is...>) {
    std::tuple<std::optional<Es>...> row{std::get<Is>(values_).dequeue()...};
    if (!(std::get<Is>(row).has_value() && ...)) fatalError("Zip row taken from an empty queue");
    return parent_->resultSelector_(*std::get<Is>(row)...);
  }

  const Ref<Parent> parent_;
  std::tuple<Queue<Es>...> values_;
};

// The producer of zip over two to eight sources, each of its own element
// type; `Selector` takes one `const E&` of each, in source order, and returns
// R. It may throw: the output then fails with what it threw. Every
// subscription calls the producer's one selector, each under its own lock.
template <class R, class Selector, class... Es>
class Zip final : public Producer<R> {
  static_assert(sizeof...(Es) >= 2 && sizeof...(Es) <= 8, "zip takes 2 to 8 sources");

 public:
  Zip(Ref<Observable<Es>>... sources, Selector resultSelector)
      : sources_(std::move(sources)...), resultSelector_(std::move(resultSelector)) {}

 protected:
  typename Producer<R>::SinkAndSubscription run(Ref<ObserverType<R>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink = std::make_shared<ZipSinkN<R, Selector, Es...>>(
        std::static_pointer_cast<Zip>(this->shared_from_this()), std::move(observer),
        std::move(cancel));
    Ref<Disposable> subscription = sink->run();
    return {std::move(sink), std::move(subscription)};
  }

 private:
  friend class ZipSinkN<R, Selector, Es...>;

  const std::tuple<Ref<Observable<Es>>...> sources_;
  Selector resultSelector_;
};

template <class T, class R, class Selector>
class ZipCollectionTypeSink;

template <class T, class R, class Selector>
class ZipCollectionType final : public Producer<R> {
 public:
  ZipCollectionType(std::vector<Ref<Observable<T>>> sources, Selector resultSelector)
      : sources_(std::move(sources)),
        resultSelector_(std::move(resultSelector)),
        count_(static_cast<int64_t>(sources_.size())) {}

 protected:
  typename Producer<R>::SinkAndSubscription run(Ref<ObserverType<R>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink = std::make_shared<ZipCollectionTypeSink<T, R, Selector>>(
        std::static_pointer_cast<ZipCollectionType>(this->shared_from_this()), std::move(observer),
        std::move(cancel));
    Ref<Disposable> subscription = sink->run();
    return {std::move(sink), std::move(subscription)};
  }

 private:
  friend class ZipCollectionTypeSink<T, R, Selector>;

  const std::vector<Ref<Observable<T>>> sources_;
  Selector resultSelector_;
  const int64_t count_;
};

// The sink of zip over a collection sized at run time. Its lock guards every
// field; `numberOfValues` counts the sources whose queue holds an element.
template <class T, class R, class Selector>
class ZipCollectionTypeSink final
    : public Sink<R>,
      public ZipSinkProtocol,
      public std::enable_shared_from_this<ZipCollectionTypeSink<T, R, Selector>> {
  using Parent = ZipCollectionType<T, R, Selector>;

 public:
  ZipCollectionTypeSink(Ref<Parent> parent, Ref<ObserverType<R>> observer, Ref<Cancelable> cancel)
      : Sink<R>(std::move(observer), std::move(cancel)),
        parent_(std::move(parent)),
        count_(parent_->count_),
        values_(static_cast<std::size_t>(count_), Queue<T>(4)),
        isDone_(static_cast<std::size_t>(count_), false),
        subscriptions_(static_cast<std::size_t>(count_)) {
    for (auto& subscription : subscriptions_) subscription = SingleAssignmentDisposable::create();
    arguments_.reserve(values_.size());
  }

  // Subscribes the sources in collection order, without the lock. No source
  // at all completes at once.
  Ref<Disposable> run() {
    auto self = this->shared_from_this();
    for (std::size_t j = 0; j < subscriptions_.size(); ++j) {
      subscriptions_[j]->setDisposable(
          parent_->sources_[j]->subscribe(std::make_shared<ZipObserver<T>>(
              lock_, self, static_cast<int64_t>(j), &values_[j], subscriptions_[j])));
    }
    if (subscriptions_.empty()) this->forwardStop(Event<R>::completed());
    return Disposables::create(
        std::vector<Ref<Disposable>>(subscriptions_.begin(), subscriptions_.end()));
  }

  // ZipSinkProtocol:
  void next(int64_t index) noexcept override {
    if (values_[static_cast<std::size_t>(index)].count() == 1) ++numberOfValues_;
    if (numberOfValues_ < count_) {
      // Every other source has completed: the row this element waits for can
      // never be made.
      if (numberOfDone_ == count_ - 1) this->forwardStop(Event<R>::completed());
      return;
    }
    // The selector sees the row through one buffer kept by the sink, so a
    // row allocates nothing once the buffer has its size.
    arguments_.clear();
    numberOfValues_ = 0;
    for (Queue<T>& queue : values_) {
      arguments_.push_back(std::move(*queue.dequeue()));
      if (!queue.isEmpty()) ++numberOfValues_;
    }
    try {
      this->forwardOn(Event<R>::next(parent_->resultSelector_(std::as_const(arguments_))));
    } catch (...) {
      this->forwardStop(Event<R>::error(std::current_exception()));
    }
  }
  void fail(const Error& error) noexcept override { this->forwardStop(Event<R>::error(error)); }
  void done(int64_t index) noexcept override {
    const auto i = static_cast<std::size_t>(index);
    if (isDone_[i]) return;
    isDone_[i] = true;
    ++numberOfDone_;
    if (numberOfDone_ == count_) this->forwardStop(Event<R>::completed());
  }

 private:
  const Ref<Parent> parent_;
  const int64_t count_;
  RecursiveLock lock_;
  int64_t numberOfValues_ = 0;
  std::vector<Queue<T>> values_;
  std::vector<bool> isDone_;
  int64_t numberOfDone_ = 0;
  std::vector<Ref<SingleAssignmentDisposable>> subscriptions_;
  std::vector<T> arguments_;
};

}  // namespace detail

// The producers of the fixed arities, under the names of their arity:
// `Zip3<A, B, C, R, Selector>(a, b, c, selector)`.
template <class E1, class E2, class R, class Selector>
using Zip2 = detail::Zip<R, Selector, E1, E2>;
template <class E1, class E2, class E3, class R, class Selector>
using Zip3 = detail::Zip<R, Selector, E1, E2, E3>;
template <class E1, class E2, class E3, class E4, class R, class Selector>
using Zip4 = detail::Zip<R, Selector, E1, E2, E3, E4>;
template <class E1, class E2, class E3, class E4, class E5, class R, class Selector>
using Zip5 = detail::Zip<R, Selector, E1, E2, E3, E4, E5>;
template <class E1, class E2, class E3, class E4, class E5, class E6, class R, class Selector>
using Zip6 = detail::Zip<R, Selector, E1, E2, E3, E4, E5, E6>;
template <class E1, class E2, class E3, class E4, class E5, class E6, class E7, class R,
          class Selector>
using Zip7 = detail::Zip<R, Selector, E1, E2, E3, E4, E5, E6, E7>;
template <class E1, class E2, class E3, class E4, class E5, class E6, class E7, class E8, class R,
          class Selector>
using Zip8 = detail::Zip<R, Selector, E1, E2, E3, E4, E5, E6, E7, E8>;

// The producer of the collection forms, built directly by layers that wrap
// it: `ZipCollectionType<T, R, Selector>(sources, selector)`.
template <class T, class R, class Selector>
using ZipCollectionType = detail::ZipCollectionType<T, R, Selector>;

// zip of two to eight sources of any element types. The last argument is
// either a source (the output is the tuple of the n-th elements, in source
// order) or a selector taking one `const E&` per source.
template <class... Args>
requires(detail::isFixedArityCall<Args...>()) auto zip(const Args&... args) {
  return detail::makeFixedArity<detail::Zip>(args...);
}

// zip of a collection of sources of one element type, sized when called;
// `resultSelector(const std::vector<T>&)` gets the n-th element of every
// source in collection order. No source: completed on subscription.
template <class Sources, class Selector>
requires detail::SourceCollection<Sources>
auto zip(const Sources& sources, Selector resultSelector) {
  using T = ElementOf<std::ranges::range_value_t<const Sources>>;
  using R = std::decay_t<std::invoke_result_t<Selector&, const std::vector<T>&>>;
  return Ref<Observable<R>>(std::make_shared<detail::ZipCollectionType<T, R, Selector>>(
      detail::collectSources(sources), std::move(resultSelector)));
}

// The same, each output element the vector of the n-th elements.
template <class Sources>
requires detail::SourceCollection<Sources>
auto zip(const Sources& sources) { return zip(sources, detail::AllElements{}); }

}  // namespace rv
