#pragma once

// Sequences whose shape of events is narrowed by their type: Single (one
// element or an error), Maybe (one element, nothing, or an error) and
// Completable (completion or an error). The wrapper is a value whose only
// member is the wrapped observable: wrapping and unwrapping are identities.
//
// Every operator unwraps, applies the observable operator of the same meaning
// and wraps the result again; nothing is subscribed until the result is. The
// shape rests on the creation functions and conversions, which make sources
// that keep it, and on each operator keeping the shape of its input:
//
//   Single<int>::just(2).map([](int x) { return x * 3; })
//       .subscribe({.onSuccess = f, .onFailure = g});
//
// This header holds the operators every trait offers; the trait headers
// (Single.h, Maybe.h, Completable.h) hold each trait's own, and
// PrimitiveSequenceZip.h the zip of Singles and of Maybes. Including any of
// them, or this header, gives them all.

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "RvStreams/Catch.h"
#include "RvStreams/Debug.h"
#include "RvStreams/Deferred.h"
#include "RvStreams/Delay.h"
#include "RvStreams/Observable.h"
#include "RvStreams/ObserveOn.h"
#include "RvStreams/RetryWhen.h"
#include "RvStreams/SubscribeOn.h"
#include "RvStreams/Timeout.h"
#include "RvStreams/Timer.h"
#include "RvStreams/Using.h"

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
class PrimitiveSequence;

template <class T>
using Single = PrimitiveSequence<SingleTrait, T>;
template <class T>
using Maybe = PrimitiveSequence<MaybeTrait, T>;
using Completable = PrimitiveSequence<CompletableTrait, Never>;

namespace detail {

// The operators of one trait, a base without state of the sequences of that
// trait. Each trait header specialises it.
template <class Trait, class T>
class PrimitiveSequenceOperators;

template <class S>
struct IsPrimitiveSequence : std::false_type {};
template <class Trait, class T>
struct IsPrimitiveSequence<PrimitiveSequence<Trait, T>> : std::true_type {};

// True when S is a primitive sequence of trait Trait, whatever its element.
template <class S, class Trait>
struct HasTrait : std::false_type {};
template <class Trait, class T>
struct HasTrait<PrimitiveSequence<Trait, T>, Trait> : std::true_type {};

// Completable, spelled so that it depends on T. The trait headers include one
// another in any order; a trait's operators name the other traits only in
// this dependent way, so nothing is instantiated before every trait is
// complete.
template <class T>
using CompletableFor =
    PrimitiveSequence<CompletableTrait, typename std::conditional<true, Never, T>::type>;

template <class S, class Trait>
concept PrimitiveSequenceOf = HasTrait<std::remove_cvref_t<S>, Trait>::value;

}  // namespace detail

template <class Trait, class T>
class PrimitiveSequence : public detail::PrimitiveSequenceOperators<Trait, T> {
 public:
  using TraitType = Trait;
  using Element = T;

  // Wraps `source` without checking its shape: the caller answers for it.
  // Arbitrary observables come in through asSingle() and asMaybe(), which
  // check it.
  explicit PrimitiveSequence(Ref<Observable<T>> source) : source_(std::move(source)) {}

  // The very observable the sequence was made from.
  const Ref<Observable<T>>& asObservable() const noexcept { return source_; }
  const PrimitiveSequence& primitiveSequence() const noexcept { return *this; }

  // Calls `factory()` on every subscription and subscribes to the sequence of
  // this trait it returns; an error the factory throws is the subscription's
  // error.
  template <class Factory>
  static PrimitiveSequence deferred(Factory factory) {
    static_assert(std::is_same_v<std::decay_t<std::invoke_result_t<Factory&>>, PrimitiveSequence>,
                  "the factory must return a sequence of the same trait and element");
    return PrimitiveSequence(rv::deferred(
        [factory = std::move(factory)]() mutable { return factory().asObservable(); }));
  }

  // Creates a resource with `resourceFactory()` (a Ref to a Disposable) for
  // each subscription and subscribes to `primitiveSequenceFactory(resource)`;
  // the resource is disposed with the subscription. Both may throw.
  template <class ResourceFactory, class SequenceFactory>
  static PrimitiveSequence usingResource(ResourceFactory resourceFactory,
                                         SequenceFactory primitiveSequenceFactory) {
    return PrimitiveSequence(rv::usingResource(
        std::move(resourceFactory),
        [factory = std::move(primitiveSequenceFactory)](auto& resource) mutable {
          static_assert(
              std::is_same_v<std::decay_t<decltype(factory(resource))>, PrimitiveSequence>,
              "the factory must return a sequence of the same trait and element");
          return factory(resource).asObservable();
        }));
  }

  // Emits 0 once `dueTime` after the subscription, then completes: a shape
  // both Single and Maybe allow.
  static PrimitiveSequence timer(DispatchTimeInterval dueTime,
                                 Ref<SchedulerType> scheduler) requires TimerElement<T> {
    return PrimitiveSequence(rv::timer<T>(dueTime, std::nullopt, std::move(scheduler)));
  }

  // Shifts the events `dueTime` later on `scheduler`.
  PrimitiveSequence delay(DispatchTimeInterval dueTime, Ref<SchedulerType> scheduler) const {
    return PrimitiveSequence(source_ | rv::delay(dueTime, std::move(scheduler)));
  }

  // Subscribes to the source only `dueTime` after the subscription.
  PrimitiveSequence delaySubscription(DispatchTimeInterval dueTime,
                                      Ref<SchedulerType> scheduler) const {
    return PrimitiveSequence(source_ | rv::delaySubscription(dueTime, std::move(scheduler)));
  }

  // Delivers the events on `scheduler`.
  PrimitiveSequence observeOn(Ref<ImmediateSchedulerType> scheduler) const {
    return PrimitiveSequence(source_ | rv::observeOn(std::move(scheduler)));
  }

  // Subscribes to the source, and disposes that subscription, on `scheduler`.
  PrimitiveSequence subscribeOn(Ref<ImmediateSchedulerType> scheduler) const {
    return PrimitiveSequence(source_ | rv::subscribeOn(std::move(scheduler)));
  }

  // On an error, continues with the sequence of this trait that
  // `handler(const Error&)` returns; the handler may throw.
  template <class Handler>
  PrimitiveSequence catchError(Handler handler) const {
    static_assert(std::is_same_v<std::decay_t<std::invoke_result_t<Handler&, const Error&>>,
                                 PrimitiveSequence>,
                  "the handler must return a sequence of the same trait and element");
    return PrimitiveSequence(
        source_ | rv::catchError([handler = std::move(handler)](const Error& error) mutable {
          return handler(error).asObservable();
        }));
  }

  // Subscribes at most `maxAttemptCount` times in all, the first included.
  PrimitiveSequence retry(int64_t maxAttemptCount) const {
    return PrimitiveSequence(source_ | rv::retry(maxAttemptCount));
  }

  // Resubscribes after an error when the trigger that
  // `notificationHandler(Ref<Observable<E>> errors)` returns emits. With an
  // exception type E, only errors of that type are retried.
  template <class E = Error, class Handler>
  PrimitiveSequence retryWhen(Handler notificationHandler) const {
    return PrimitiveSequence(source_ | rv::retryWhen<E>(std::move(notificationHandler)));
  }

  // Traces subscription, events and disposal on standard output.
  PrimitiveSequence debug(std::optional<std::string> identifier = std::nullopt,
                          bool trimOutput = false, const char* file = __builtin_FILE(),
                          int line = __builtin_LINE(),
                          const char* function = __builtin_FUNCTION()) const {
    return PrimitiveSequence(source_ |
                             rv::debug(std::move(identifier), trimOutput, file, line, function));
  }

  // Fails with the library's timeout error when no event arrives within
  // `dueTime`.
  PrimitiveSequence timeout(DispatchTimeInterval dueTime, Ref<SchedulerType> scheduler) const {
    return PrimitiveSequence(source_ | rv::timeout(dueTime, std::move(scheduler)));
  }

  // Switches over to `other` when no event arrives within `dueTime`.
  PrimitiveSequence timeout(DispatchTimeInterval dueTime, const PrimitiveSequence& other,
                            Ref<SchedulerType> scheduler) const {
    return PrimitiveSequence(source_ |
                             rv::timeout(dueTime, other.asObservable(), std::move(scheduler)));
  }

 private:
  Ref<Observable<T>> source_;
};

}  // namespace rv

#include "RvStreams/Completable.h"
#include "RvStreams/Maybe.h"
#include "RvStreams/PrimitiveSequenceZip.h"
#include "RvStreams/Single.h"
