#pragma once

// Sequences whose shape of events is narrowed by their type: Single (one
// element or an error), Maybe (one element, nothing, or an error) and
// Completable (completion or an error). The wrapper is a value whose only
// member is the wrapped observable: wrapping and unwrapping are identities.

#include <utility>

#include "RvStreams/Observable.h"

namespace rv {

// Trait markers: never instantiated.
struct SingleTrait {
  SingleTrait() = delete;
};
struct MaybeTrait {
  MaybeTrait() = delete;
};
struct CompletableTrait {
  CompletableTrait() = delete;
};

template <class Trait, class T>
class PrimitiveSequence {
 public:
  using TraitType = Trait;
  using Element = T;

  // Wraps `source` without checking its shape: the caller answers for it.
  explicit PrimitiveSequence(Ref<Observable<T>> source) : source_(std::move(source)) {}

  // The very observable the sequence was made from.
  const Ref<Observable<T>>& asObservable() const noexcept { return source_; }
  const PrimitiveSequence& primitiveSequence() const noexcept { return *this; }

 private:
  Ref<Observable<T>> source_;
};

template <class T>
using Single = PrimitiveSequence<SingleTrait, T>;
template <class T>
using Maybe = PrimitiveSequence<MaybeTrait, T>;
using Completable = PrimitiveSequence<CompletableTrait, Never>;

static_assert(sizeof(Single<int>) == sizeof(Ref<Observable<int>>));
static_assert(sizeof(Completable) == sizeof(Ref<Observable<Never>>));

}  // namespace rv
