#pragma once

// zip over two to eight Singles, or two to eight Maybes, giving a sequence of
// the same trait. All the work is zip's over the sources' observables; this
// only unwraps the sources and wraps the result:
//
//   Single<int> sum = rv::zip(a, b, [](int x, int y) { return x + y; });
//   Single<std::tuple<int, std::string>> pair = rv::zip(a, s);
//
// For one-shot sources that comes to: every source succeeds, one element then
// completion; a source or the selector fails, that error; Maybes of which one
// completes empty, an empty completion once all have finished. Sources of
// mixed traits get the observable zip. (The zip over a collection of Singles
// is Single<T>::zip.)

#include <type_traits>
#include <utility>

#include "RvStreams/FixedArity.h"
#include "RvStreams/PrimitiveSequence.h"
#include "RvStreams/Zip.h"

namespace rv {

namespace detail {

template <class Trait>
struct HasTraitOf {
  template <class S>
  using Check = HasTrait<S, Trait>;
};

template <class Trait>
inline constexpr bool kZipsByTrait =
    std::is_same_v<Trait, SingleTrait> || std::is_same_v<Trait, MaybeTrait>;

// Single or Maybe sources of one trait, then optionally a selector.
template <class Trait, class... Args>
concept TraitZipCall = kZipsByTrait<Trait> &&
    isFixedArityCallOf<HasTraitOf<Trait>::template Check, Args...>();

}  // namespace detail

// `source1` and the rest: sources of the same trait (Single or Maybe), then
// optionally a selector taking one `const E&` per source, which may throw.
// Without a selector the element is the tuple of the sources' elements.
template <class Trait, class E1, class... Args>
requires detail::TraitZipCall<Trait, PrimitiveSequence<Trait, E1>, Args...>
auto zip(const PrimitiveSequence<Trait, E1>& source1, const Args&... rest) {
  auto zipped = detail::makeFixedArity<detail::Zip>(source1, rest...);
  return PrimitiveSequence<Trait, ElementOf<decltype(zipped)>>(std::move(zipped));
}

}  // namespace rv
