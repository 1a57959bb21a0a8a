#pragma once

// combineLatest: once every source has sent at least one element, each
// element of any source produces one output element, computed from the latest
// element of every source in source order.
//
//   rv::combineLatest(a, b)                  tuples of the latest elements (2 to 8 sources)
//   rv::combineLatest(a, b, c, selector)     selector(const A&, const B&, const C&)
//   rv::combineLatest(sources)               vectors of the latest elements (any number
//   rv::combineLatest(sources, selector)     of sources of one type); selector(const
//                                            std::vector<T>&)
//
// The output completes when every source has completed, or earlier, at the
// next element of the last live source, when some source completed without
// ever sending an element (no combination can ever be made then). It fails at
// once with the first error of a source or of the selector.
//
// Each subscription's sink owns one recursive lock, taken by every event of
// every source: the latest-value stores, the bookkeeping, the selector and the
// delivery downstream run one event at a time, and a source that sends again
// on the same thread from inside the downstream observer is handled at once,
// nested.

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

namespace rv {

namespace detail {

// How the observer of one source reports to its sink, with the sink's lock
// held.
class CombineLatestProtocol {
 public:
  virtual void next(int64_t index) noexcept = 0;
  virtual void fail(const Error& error) noexcept = 0;
  virtual void done(int64_t index) noexcept = 0;

 protected:
  ~CombineLatestProtocol() = default;
};

// Every decision of combineLatest, whatever the number and the types of the
// sources: when to combine, when to complete, when to fail. The typed sinks
// derive from it and only store the latest elements, wire the sources up and
// run the selector.
class CombineLatestSink : public CombineLatestProtocol {
 public:
  explicit CombineLatestSink(int64_t arity);

  // The lock of every event of every source of one subscription.
  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(lock_) { return lock_; }

  // CombineLatestProtocol (the source's latest element is already stored):
  void next(int64_t index) noexcept override KX_REQUIRES(lock_);
  void fail(const Error& error) noexcept override KX_REQUIRES(lock_);
  void done(int64_t index) noexcept override KX_REQUIRES(lock_);

 protected:
  ~CombineLatestSink() = default;

  // Whether every source has sent an element: from then on each element is
  // one combination.
  bool combining() const noexcept KX_REQUIRES(lock_) { return numberOfValues_ == arity_; }

  // Runs the selector on the latest elements and forwards its result; a
  // failing selector forwards its error and ends the sink.
  virtual void forwardResult() noexcept = 0;
  // Forward the stop event, then end the sink.
  virtual void forwardCompleted() noexcept = 0;
  virtual void forwardError(const Error& error) noexcept = 0;

 private:
  RecursiveLock lock_;
  const int64_t arity_;
  int64_t numberOfValues_ KX_GUARDED_BY(lock_) = 0;
  int64_t numberOfDone_ KX_GUARDED_BY(lock_) = 0;
  std::vector<bool> hasValue_ KX_GUARDED_BY(lock_);
  std::vector<bool> isDone_ KX_GUARDED_BY(lock_);
};

// The observer of one source: under the sink's lock, stores each element as
// the source's latest, then reports its index. A stop event first ends this
// source's own subscription.
template <class E>
class CombineLatestObserver final : public SynchronizedOnType<CombineLatestObserver<E>, E> {
 public:
  // `latestValue` is the sink's field for this source's latest element; the
  // observer keeps the sink, and with it the field, alive.
  CombineLatestObserver(RecursiveLock& lock, Ref<CombineLatestProtocol> parent, int64_t index,
                        std::optional<E>* latestValue, Ref<Disposable> thisDisposable)
      : lock_(lock),
        parent_(std::move(parent)),
        index_(index),
        latestValue_(latestValue),
        thisDisposable_(std::move(thisDisposable)) {}

  RecursiveLock& lock() noexcept KX_RETURN_CAPABILITY(lock_) { return lock_; }

  void synchronized_on(const Event<E>& event) noexcept KX_REQUIRES(lock()) {
    if (const E* element = event.element()) {
      *latestValue_ = *element;
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
  const Ref<CombineLatestProtocol> parent_;
  const int64_t index_;
  std::optional<E>* const latestValue_ KX_PT_GUARDED_BY(lock_);
  const Ref<Disposable> thisDisposable_;
};

template <class R, class Selector, class... Es>
class CombineLatest;

// The sink of one subscription to two to eight sources.
template <class R, class Selector, class... Es>
class CombineLatestSinkN final
    : public Sink<R>,
      public CombineLatestSink,
      public std::enable_shared_from_this<CombineLatestSinkN<R, Selector, Es...>> {
  static constexpr std::size_t kArity = sizeof...(Es);
  using Parent = CombineLatest<R, Selector, Es...>;

 public:
  CombineLatestSinkN(Ref<Parent> parent, Ref<ObserverType<R>> observer, Ref<Cancelable> cancel)
      : Sink<R>(std::move(observer), std::move(cancel)),
        CombineLatestSink(static_cast<int64_t>(kArity)),
        parent_(std::move(parent)) {}

  // Subscribes the sources in order, every observer made first; returns the
  // disposable of all the source subscriptions. Takes no lock: a source that
  // sends while being subscribed enters the lock like any other.
  Ref<Disposable> run() { return run(std::index_sequence_for<Es...>{}); }

  // Once combining, an element goes straight to the selector.
  void next(int64_t index) noexcept override KX_REQUIRES(lock()) {
    if (combining()) {
      forwardResult();
    } else {
      CombineLatestSink::next(index);
    }
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
    std::tuple<Ref<CombineLatestObserver<Es>>...> observers{
        std::make_shared<CombineLatestObserver<Es>>(lock(), self, static_cast<int64_t>(Is),
                                                    &std::get<Is>(latestElements_),
                                                    subscriptions[Is])...};
    (subscriptions[Is]->setDisposable(
         std::get<Is>(parent_->sources_)->subscribe(std::move(std::get<Is>(observers)))),
     ...);
    return Disposables::create(
        std::vector<Ref<Disposable>>(subscriptions.begin(), subscriptions.end()));
  }

  // Every latest element is present once every source has sent one; they are
  // read in place, not consumed.
  template <std::size_t... Is>
  R getResult(std::index_sequence<Is...>) {
    return parent_->resultSelector_(*std::get<Is>(latestElements_)...);
  }

  const Ref<Parent> parent_;
  std::tuple<std::optional<Es>...> latestElements_;
};

// The producer of combineLatest over two to eight sources, each of its own
// element type; `Selector` takes one `const E&` of each, in source order, and
// returns R. It may throw: the output then fails with what it threw. Every
// subscription calls the producer's one selector, each under its own lock.
template <class R, class Selector, class... Es>
class CombineLatest final : public Producer<R> {
  static_assert(sizeof...(Es) >= 2 && sizeof...(Es) <= 8, "combineLatest takes 2 to 8 sources");

 public:
  CombineLatest(Ref<Observable<Es>>... sources, Selector resultSelector)
      : sources_(std::move(sources)...), resultSelector_(std::move(resultSelector)) {}

 protected:
  typename Producer<R>::SinkAndSubscription run(Ref<ObserverType<R>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink = std::make_shared<CombineLatestSinkN<R, Selector, Es...>>(
        std::static_pointer_cast<CombineLatest>(this->shared_from_this()), std::move(observer),
        std::move(cancel));
    Ref<Disposable> subscription = sink->run();
    return {std::move(sink), std::move(subscription)};
  }

 private:
  friend class CombineLatestSinkN<R, Selector, Es...>;

  const std::tuple<Ref<Observable<Es>>...> sources_;
  Selector resultSelector_;
};

// The sink of combineLatest over a collection sized at run time.
template <class T, class R, class Selector>
class CombineLatestCollectionTypeSink;

template <class T, class R, class Selector>
class CombineLatestCollectionType final : public Producer<R> {
 public:
  CombineLatestCollectionType(std::vector<Ref<Observable<T>>> sources, Selector resultSelector)
      : sources_(std::move(sources)),
        resultSelector_(std::move(resultSelector)),
        count_(static_cast<int64_t>(sources_.size())) {}

 protected:
  typename Producer<R>::SinkAndSubscription run(Ref<ObserverType<R>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink = std::make_shared<CombineLatestCollectionTypeSink<T, R, Selector>>(
        std::static_pointer_cast<CombineLatestCollectionType>(this->shared_from_this()),
        std::move(observer), std::move(cancel));
    Ref<Disposable> subscription = sink->run();
    return {std::move(sink), std::move(subscription)};
  }

 private:
  friend class CombineLatestCollectionTypeSink<T, R, Selector>;

  const std::vector<Ref<Observable<T>>> sources_;
  Selector resultSelector_;
  const int64_t count_;
};

template <class T, class R, class Selector>
class CombineLatestCollectionTypeSink final
    : public Sink<R>,
      public CombineLatestSink,
      public std::enable_shared_from_this<CombineLatestCollectionTypeSink<T, R, Selector>> {
  using Parent = CombineLatestCollectionType<T, R, Selector>;

 public:
  CombineLatestCollectionTypeSink(Ref<Parent> parent, Ref<ObserverType<R>> observer,
                                  Ref<Cancelable> cancel)
      : Sink<R>(std::move(observer), std::move(cancel)),
        CombineLatestSink(parent->count_),
        parent_(std::move(parent)),
        values_(static_cast<std::size_t>(parent_->count_)),
        subscriptions_(static_cast<std::size_t>(parent_->count_)) {
    for (auto& subscription : subscriptions_) subscription = SingleAssignmentDisposable::create();
    arguments_.reserve(values_.size());
  }

  // Subscribes the sources in collection order, without the lock. With no
  // source at all, the selector's result for no elements is the only element.
  Ref<Disposable> run() {
    auto self = this->shared_from_this();
    for (std::size_t j = 0; j < subscriptions_.size(); ++j) {
      subscriptions_[j]->setDisposable(
          parent_->sources_[j]->subscribe(std::make_shared<CombineLatestObserver<T>>(
              lock(), self, static_cast<int64_t>(j), &values_[j], subscriptions_[j])));
    }
    if (subscriptions_.empty()) {
      forwardResult();
      this->forwardStop(Event<R>::completed());
    }
    return Disposables::create(
        std::vector<Ref<Disposable>>(subscriptions_.begin(), subscriptions_.end()));
  }

 protected:
  // The selector sees the latest elements through one buffer kept by the
  // sink, so combining allocates nothing once the buffer has its size.
  void forwardResult() noexcept override {
    try {
      arguments_.clear();
      for (const std::optional<T>& value : values_) arguments_.push_back(*value);
      this->forwardOn(Event<R>::next(parent_->resultSelector_(std::as_const(arguments_))));
    } catch (...) {
      this->forwardStop(Event<R>::error(std::current_exception()));
    }
  }
  void forwardCompleted() noexcept override { this->forwardStop(Event<R>::completed()); }
  void forwardError(const Error& error) noexcept override {
    this->forwardStop(Event<R>::error(error));
  }

 private:
  const Ref<Parent> parent_;
  std::vector<std::optional<T>> values_;
  std::vector<Ref<SingleAssignmentDisposable>> subscriptions_;
  std::vector<T> arguments_;
};

}  // namespace detail

// The producers of the fixed arities, under the names of their arity:
// `CombineLatest3<A, B, C, R, Selector>(a, b, c, selector)`.
template <class E1, class E2, class R, class Selector>
using CombineLatest2 = detail::CombineLatest<R, Selector, E1, E2>;
template <class E1, class E2, class E3, class R, class Selector>
using CombineLatest3 = detail::CombineLatest<R, Selector, E1, E2, E3>;
template <class E1, class E2, class E3, class E4, class R, class Selector>
using CombineLatest4 = detail::CombineLatest<R, Selector, E1, E2, E3, E4>;
template <class E1, class E2, class E3, class E4, class E5, class R, class Selector>
using CombineLatest5 = detail::CombineLatest<R, Selector, E1, E2, E3, E4, E5>;
template <class E1, class E2, class E3, class E4, class E5, class E6, class R, class Selector>
using CombineLatest6 = detail::CombineLatest<R, Selector, E1, E2, E3, E4, E5, E6>;
template <class E1, class E2, class E3, class E4, class E5, class E6, class E7, class R,
          class Selector>
using CombineLatest7 = detail::CombineLatest<R, Selector, E1, E2, E3, E4, E5, E6, E7>;
template <class E1, class E2, class E3, class E4, class E5, class E6, class E7, class E8, class R,
          class Selector>
using CombineLatest8 = detail::CombineLatest<R, Selector, E1, E2, E3, E4, E5, E6, E7, E8>;

// The producer of the collection forms, built directly by layers that wrap
// it: `CombineLatestCollectionType<T, R, Selector>(sources, selector)`.
template <class T, class R, class Selector>
using CombineLatestCollectionType = detail::CombineLatestCollectionType<T, R, Selector>;

// combineLatest of two to eight sources of any element types. The last
// argument is either a source (the output is the tuple of the latest
// elements, in source order) or a selector taking one `const E&` per source.
template <class... Args>
requires(detail::isFixedArityCall<Args...>()) auto combineLatest(const Args&... args) {
  return detail::makeFixedArity<detail::CombineLatest>(args...);
}

// combineLatest of a collection of sources of one element type, sized when
// called; `resultSelector(const std::vector<T>&)` gets the latest element of
// every source in collection order. No source: the selector's result for no
// elements, then completed, on subscription.
template <class Sources, class Selector>
requires detail::SourceCollection<Sources>
auto combineLatest(const Sources& sources, Selector resultSelector) {
  using T = ElementOf<std::ranges::range_value_t<const Sources>>;
  using R = std::decay_t<std::invoke_result_t<Selector&, const std::vector<T>&>>;
  return Ref<Observable<R>>(std::make_shared<detail::CombineLatestCollectionType<T, R, Selector>>(
      detail::collectSources(sources), std::move(resultSelector)));
}

// The same, each output element the vector of the latest elements.
template <class Sources>
requires detail::SourceCollection<Sources>
auto combineLatest(const Sources& sources) { return combineLatest(sources, detail::AllElements{}); }

}  // namespace rv
