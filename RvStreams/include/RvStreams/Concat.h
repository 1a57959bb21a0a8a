#pragma once

// Concatenation of a series of sequences: all elements of the first, then,
// once it completes, all elements of the second, and so on; the output
// completes after the last one and fails with the first error. Exactly one
// source is subscribed at a time.
//
//   rv::concat(std::vector{a, b, c})   a collection: exactly size() sources
//   rv::concat(view)                   a lazy range without a size: until it ends
//   rv::concat(a, b, c)                two or more sources given directly
//   a | rv::concat(b)                  a, then b
//
// It runs on the tail-recursive sink: moving on to the next source is a step
// queued on the sink's gate, so a long run of sources that complete while
// being subscribed keeps the call stack flat. A concatenation found among the
// sources of another is not subscribed as an operator of its own: its sources
// are drained in place on the same stack, so a chain of them may be nested a
// million deep.
//
// Letting go of a chain runs each level's destructor inside the one that let it go, at any depth.
// (detail/FlatDeletion.h says on which stack. Concatenating a sequence of
// sequences as they arrive, `concat()`, is the merge family's.)

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ranges>
#include <type_traits>
#include <utility>
#include <vector>

#include "RvStreams/Producer.h"
#include "RvStreams/TailRecursiveSink.h"
#include "RvStreams/UniqueFunction.h"
#include "RvStreams/detail/FlatDeletion.h"

namespace rv {

namespace detail {

// Walks the sources of one concatenation. One type per element type, whatever
// container the sources came from, so that nested concatenations of any kind
// share the sink's stack.
template <class T>
class ConcatIterator {
 public:
  using Next = UniqueFunction<std::optional<Ref<Observable<T>>>()>;
  explicit ConcatIterator(Next next) : next_(std::move(next)) {}

  // The next source; none once the sources are exhausted.
  std::optional<Ref<Observable<T>>> next() { return next_(); }

 private:
  Next next_;
};

// The sources of a concatenation, shared by every subscription (each walks a
// fresh iterator) and by the iterators themselves.
template <class T>
class ConcatSources {
 public:
  virtual ~ConcatSources() = default;
  virtual ConcatIterator<T> makeIterator() const = 0;
};

// Sources held in a range of anything convertible to an observable of T; each
// is converted when it is reached.
template <class T, class R>
class RangeConcatSources final : public ConcatSources<T>,
                                 public std::enable_shared_from_this<RangeConcatSources<T, R>> {
 public:
  explicit RangeConcatSources(R range) : range_(std::move(range)) {}

  ConcatIterator<T> makeIterator() const override {
    auto self = this->shared_from_this();
    return ConcatIterator<T>(
        [self,
         it = std::ranges::begin(self->range_)]() mutable -> std::optional<Ref<Observable<T>>> {
          if (it == std::ranges::end(self->range_)) return std::nullopt;
          Ref<Observable<T>> source = rv::asObservable(*it);
          ++it;
          return source;
        });
  }

 private:
  const R range_;
};

template <class T>
class Concat;

template <class T>
class ConcatSink final : public TailRecursiveSink<T, ConcatIterator<T>>, public ObserverType<T> {
  using Base = TailRecursiveSink<T, ConcatIterator<T>>;

 public:
  using Base::Base;

  // Observer of the current source. Its completion is never forwarded: it
  // only moves on to the next source.
  void on(const Event<T>& event) noexcept override {
    if (event.isNext()) {
      this->forwardOn(event);
    } else if (event.error() != nullptr) {
      this->forwardStop(event);
    } else {
      this->schedule(TailRecursiveSinkCommand::moveNext);
    }
  }

 protected:
  std::optional<typename Base::SequenceGenerator> extract(
      const Ref<Observable<T>>& candidate) override {
    if (auto nested = std::dynamic_pointer_cast<Concat<T>>(candidate)) {
      return typename Base::SequenceGenerator{nested->sources().makeIterator(), nested->count()};
    }
    return std::nullopt;
  }

  Ref<Disposable> subscribeToNext(const Ref<Observable<T>>& source) override {
    return source->subscribe(std::static_pointer_cast<ConcatSink>(this->shared_from_this()));
  }
};

template <class T>
class Concat final : public Producer<T>, public FlatDeletion {
 public:
  // `count`: how many sources to take when the caller knows it; a count caps
  // what the iterator is asked for.
  Concat(Ref<const ConcatSources<T>> sources, std::optional<int64_t> count)
      : sources_(std::move(sources)), count_(count) {}

  const ConcatSources<T>& sources() const noexcept { return *sources_; }
  std::optional<int64_t> count() const noexcept { return count_; }

 protected:
  typename Producer<T>::SinkAndSubscription run(Ref<ObserverType<T>> observer,
                                                Ref<Cancelable> cancel) override {
    auto sink = std::make_shared<ConcatSink<T>>(std::move(observer), std::move(cancel));
    Ref<Disposable> subscription = sink->run({sources_->makeIterator(), count_});
    return {std::move(sink), std::move(subscription)};
  }

 private:
  Ref<const ConcatSources<T>> sources_;
  std::optional<int64_t> count_;
};

template <class T, class R>
Ref<Observable<T>> makeConcat(R range, std::optional<int64_t> count) {
  Ref<const ConcatSources<T>> sources =
      std::make_shared<RangeConcatSources<T, R>>(std::move(range));
  return makeFlatDeleted<Concat<T>>(std::move(sources), count);
}

template <class Second>
struct ConcatWithOp : OperatorTag {
  Second second;
  template <class S>
  Ref<Observable<ElementOf<S>>> operator()(const S& first) && {
    using T = ElementOf<S>;
    static_assert(std::is_same_v<ElementOf<Second>, T>, "concat of another element type");
    return makeConcat<T>(
        std::vector<Ref<Observable<T>>>{rv::asObservable(first), rv::asObservable(second)}, 2);
  }
};

template <class R>
concept ConcatRange = std::ranges::forward_range<const R> &&
    ObservableConvertible<std::ranges::range_value_t<const R>>;

}  // namespace detail

// Concatenates the sources of a range, walked afresh by each subscription. A
// range that knows its size (a collection) yields exactly that many sources;
// one that does not is walked until it ends. The range is copied: a view must
// not refer to anything that dies before the last subscription.
template <class Sources>
requires detail::ConcatRange<std::remove_cvref_t<Sources>>
auto concat(Sources&& sources) {
  using R = std::remove_cvref_t<Sources>;
  using T = ElementOf<std::ranges::range_value_t<const R>>;
  std::optional<int64_t> count;
  if constexpr (std::ranges::sized_range<const R>) {
    count = static_cast<int64_t>(std::ranges::size(sources));
  }
  return detail::makeConcat<T>(R(std::forward<Sources>(sources)), count);
}

// Concatenates the given sources, in argument order.
template <ObservableConvertible First, ObservableConvertible Second, ObservableConvertible... Rest>
auto concat(const First& first, const Second& second, const Rest&... rest) {
  using T = ElementOf<First>;
  static_assert((std::is_same_v<ElementOf<Second>, T> && ... && std::is_same_v<ElementOf<Rest>, T>),
                "concat of another element type");
  std::vector<Ref<Observable<T>>> sources{rv::asObservable(first), rv::asObservable(second),
                                          rv::asObservable(rest)...};
  const auto count = static_cast<int64_t>(sources.size());
  return detail::makeConcat<T>(std::move(sources), count);
}

// The source, then `second`.
template <ObservableConvertible Second>
detail::ConcatWithOp<std::decay_t<Second>> concat(Second&& second) {
  return {{}, std::forward<Second>(second)};
}

}  // namespace rv
