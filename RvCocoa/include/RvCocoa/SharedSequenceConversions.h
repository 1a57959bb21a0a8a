#pragma once

// The ways any sequence becomes a Driver or a Signal. Each moves delivery
// onto the strategy's scheduler (read once, when converting), removes the
// error path with the fallback the caller chose, and shares the result:
//
//   source | rv::asDriverOnErrorJustReturn(0)        // error: 0, completed
//   source | rv::asDriver(Driver<int>::empty())      // error: continue with it
//   source | rv::asSignalOnErrorRecover([](const Error& e) { return ...; })
//   infallible | rv::asDriver()     relay | rv::asSignal()
//
// The error passes the scheduler before it is replaced, so the fallback
// starts on the scheduler's thread (the main thread by default), once per
// failure of a connection, whatever the number of subscribers.

#include <type_traits>
#include <utility>

#include "RvCocoa/SharedSequence.h"
#include "RvRelay/PublishRelay.h"
#include "RvStreams/Catch.h"
#include "RvStreams/Infallible.h"
#include "RvStreams/ObserveOn.h"

namespace rv {

namespace detail {

// The source's observable, delivered on `Strategy`'s scheduler.
template <class Strategy, class S>
Ref<Observable<ElementOf<S>>> observedOnSharingScheduler(const S& source) {
  return rv::asObservable(source) |
         rv::observeOn(Ref<ImmediateSchedulerType>(Strategy::scheduler()));
}

template <class Strategy, class E>
struct AsSharedSequenceJustReturnOp : OperatorTag {
  E element;
  template <class S>
  SharedSequence<Strategy, ElementOf<S>> operator()(const S& source) && {
    using T = ElementOf<S>;
    return SharedSequence<Strategy, T>(observedOnSharingScheduler<Strategy>(source) |
                                       rv::catchAndReturn(T(std::move(element))));
  }
};

template <class Strategy, class T>
struct AsSharedSequenceFallbackOp : OperatorTag {
  SharedSequence<Strategy, T> fallback;
  template <class S>
  SharedSequence<Strategy, T> operator()(const S& source) && {
    static_assert(std::is_same_v<ElementOf<S>, T>, "fallback of another element type");
    return SharedSequence<Strategy, T>(
        observedOnSharingScheduler<Strategy>(source) |
        rv::catchError(
            [fallback = std::move(fallback)](const Error&) { return fallback.asObservable(); }));
  }
};

template <class Strategy, class Recover>
struct AsSharedSequenceRecoverOp : OperatorTag {
  Recover recover;
  template <class S>
  SharedSequence<Strategy, ElementOf<S>> operator()(const S& source) && {
    using T = ElementOf<S>;
    static_assert(std::is_same_v<std::decay_t<std::invoke_result_t<Recover&, const Error&>>,
                                 SharedSequence<Strategy, T>>,
                  "the recovery must return a shared sequence of the same strategy and element");
    return SharedSequence<Strategy, T>(
        observedOnSharingScheduler<Strategy>(source) |
        rv::catchError([recover = std::move(recover)](const Error& error) mutable {
          return recover(error).asObservable();
        }));
  }
};

template <class S, class Strategy>
concept SharedSequenceOf = detail::IsSharedSequence<std::remove_cvref_t<S>>::value &&
    std::is_same_v<typename std::remove_cvref_t<S>::SharingStrategy, Strategy>;

// asDriver() without a fallback: an Infallible cannot fail, so it only needs
// the scheduler and the sharing; a Driver is already one.
struct AsDriverOp : OperatorTag {
  template <class T>
  Driver<T> operator()(const Infallible<T>& source) && {
    return Driver<T>(observedOnSharingScheduler<DriverSharingStrategy>(source));
  }
  template <SharedSequenceOf<DriverSharingStrategy> S>
  auto operator()(const S& source) && {
    return source.asDriver();
  }
};

// asSignal() without a fallback: a publish relay cannot fail; a Signal is
// already one.
struct AsSignalOp : OperatorTag {
  template <class T>
  Signal<T> operator()(const Ref<PublishRelay<T>>& relay) && {
    return Signal<T>(observedOnSharingScheduler<SignalSharingStrategy>(relay));
  }
  template <SharedSequenceOf<SignalSharingStrategy> S>
  auto operator()(const S& source) && {
    return source.asSignal();
  }
};

}  // namespace detail

// --- any strategy ---

// On error: `element`, then completion.
template <SharingStrategyProtocol Strategy, class E>
detail::AsSharedSequenceJustReturnOp<Strategy, std::decay_t<E>> asSharedSequenceOnErrorJustReturn(
    E&& element) {
  return {{}, std::forward<E>(element)};
}

// On error: continue with `onErrorDriveWith`.
template <SharingStrategyProtocol Strategy, class T>
detail::AsSharedSequenceFallbackOp<Strategy, T> asSharedSequence(
    SharedSequence<Strategy, T> onErrorDriveWith) {
  return {{}, std::move(onErrorDriveWith)};
}

// On error: continue with what `recover(const Error&)` returns, a shared
// sequence of `Strategy`. It runs on the scheduler's thread.
template <SharingStrategyProtocol Strategy, class Recover>
detail::AsSharedSequenceRecoverOp<Strategy, std::decay_t<Recover>> asSharedSequenceOnErrorRecover(
    Recover&& recover) {
  return {{}, std::forward<Recover>(recover)};
}

// --- Driver ---

template <class E>
auto asDriverOnErrorJustReturn(E&& element) {
  return asSharedSequenceOnErrorJustReturn<DriverSharingStrategy>(std::forward<E>(element));
}
template <class T>
auto asDriver(Driver<T> onErrorDriveWith) {
  return asSharedSequence(std::move(onErrorDriveWith));
}
template <class Recover>
auto asDriverOnErrorRecover(Recover&& recover) {
  return asSharedSequenceOnErrorRecover<DriverSharingStrategy>(std::forward<Recover>(recover));
}
// An Infallible as a Driver; a Driver as itself.
inline detail::AsDriverOp asDriver() { return {}; }

// --- Signal ---

template <class E>
auto asSignalOnErrorJustReturn(E&& element) {
  return asSharedSequenceOnErrorJustReturn<SignalSharingStrategy>(std::forward<E>(element));
}
template <class T>
auto asSignal(Signal<T> onErrorSignalWith) {
  return asSharedSequence(std::move(onErrorSignalWith));
}
template <class Recover>
auto asSignalOnErrorRecover(Recover&& recover) {
  return asSharedSequenceOnErrorRecover<SignalSharingStrategy>(std::forward<Recover>(recover));
}
// A publish relay as a Signal; a Signal as itself.
inline detail::AsSignalOp asSignal() { return {}; }

}  // namespace rv
