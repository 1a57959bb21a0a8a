#pragma once

// What happens to a control (a click, a change) as a sequence:
//
//   ControlEvent<Unit> taps = rv::tap(rv::rv(button));
//   auto d = rv::subscribe(taps, {.onNext = [](const Unit&) { ... }});
//   Driver<Unit> driver = taps.asDriver();
//
// A value whose only member is the wrapped sequence. Its one job is to move
// the subscription (and its disposal) to the main thread, where controls
// live: at once when the subscriber is already there, otherwise posted to the
// main queue. Elements are not moved: they arrive on the thread the source
// emits them on (for controls, the main thread). Errors of the source pass
// unchanged; the conversions to Driver, Signal and Infallible turn them into
// completion.

#include <type_traits>
#include <utility>

#include "RvCocoa/SharedSequenceConversions.h"
#include "RvStreams/Infallible.h"
#include "RvStreams/MainScheduler.h"
#include "RvStreams/Observable.h"
#include "RvStreams/SubscribeOn.h"

namespace rv {

template <class T>
class ControlEvent;

// Anything that can present itself as a control event of its element type.
template <class S>
concept ControlEventType = ObservableConvertible<S> && requires(const std::remove_cvref_t<S>& s) {
  { s.asControlEvent() } -> std::convertible_to<ControlEvent<ElementOf<S>>>;
};

namespace cocoa_detail {

// `source` subscribed and disposed on the main thread.
template <class S>
Ref<Observable<ElementOf<S>>> subscribedOnMainThread(const S& source) {
  return rv::asObservable(source) |
         rv::subscribeOn(Ref<ImmediateSchedulerType>(ConcurrentMainScheduler::instance()));
}

}  // namespace cocoa_detail

template <class T>
class ControlEvent {
 public:
  using Element = T;

  // Wraps `events` (anything convertible to an observable of T) so that it is
  // subscribed on the main thread. Any thread.
  template <ObservableConvertible S>
  requires std::is_same_v<ElementOf<S>, T>
  explicit ControlEvent(const S& events) : events_(cocoa_detail::subscribedOnMainThread(events)) {}

  // Subscribes `observer` to the wrapped sequence.
  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) const {
    return events_->subscribe(std::move(observer));
  }

  const Ref<Observable<T>>& asObservable() const noexcept { return events_; }
  const ControlEvent& asControlEvent() const noexcept { return *this; }

  // As a Driver or a Signal on the sharing scheduler; an error of the source
  // ends it with completion.
  Driver<T> asDriver() const {
    return events_ | rv::asDriverOnErrorRecover([](const Error&) { return Driver<T>::empty(); });
  }
  Signal<T> asSignal() const {
    return events_ | rv::asSignalOnErrorRecover([](const Error&) { return Signal<T>::empty(); });
  }
  // As an Infallible; an error of the source ends it with completion.
  Infallible<T> asInfallible() const { return events_ | rv::asInfallible(Infallible<T>::empty()); }

 private:
  Ref<Observable<T>> events_;
};

static_assert(sizeof(ControlEvent<int>) == sizeof(Ref<Observable<int>>));

}  // namespace rv
