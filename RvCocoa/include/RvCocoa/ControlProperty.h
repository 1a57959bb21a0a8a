#pragma once

// A two-way binding point for one value of a control: a sequence of the
// value (the current one at subscription, then each change) and an observer
// that writes values into the control.
//
//   ControlProperty<double> value = rv::value(rv::rv(slider));
//   auto d = rv::subscribe(value, {.onNext = [](const double& v) { ... }});
//   value.onNext(0.5);                   // writes 0.5 into the slider
//   ControlEvent<double> later = value.changed();
//
// Like ControlEvent, the values are subscribed and disposed on the main
// thread. Written values and completion go to the sink; an error is never
// passed to the control: it is printed ("Binding error: ...") and dropped, so
// one bad event cannot leave the control in an undefined state and later
// values still get through.
//
// The value keeps strong references to the sequence and the sink only; the
// control itself is held (weakly or not) by them.

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "RvCocoa/ControlEvent.h"
#include "RvCocoa/RvCocoaError.h"
#include "RvStreams/Map.h"
#include "RvStreams/Observers.h"
#include "RvStreams/Skip.h"

namespace rv {

template <class T>
class ControlProperty;

// Anything that can present itself as a control property of its element
// type: observable and observer of the same element.
template <class S>
concept ControlPropertyType = ObservableConvertible<S> &&
    requires(const std::remove_cvref_t<S>& s) {
  { s.asControlProperty() } -> std::convertible_to<ControlProperty<ElementOf<S>>>;
};

namespace cocoa_detail {

// An observer value, wrapped as an AnyObserver: a `Ref` to an observer, or a
// value with an `asObserver()` (AnyObserver, Binder).
template <class T, class O>
AnyObserver<T> anyObserver(O observer) {
  if constexpr (requires { Ref<ObserverType<T>>(observer); }) {
    return AnyObserver<T>(Ref<ObserverType<T>>(std::move(observer)));
  } else {
    return AnyObserver<T>(observer.asObserver());
  }
}

}  // namespace cocoa_detail

template <class T>
class ControlProperty final : public ObserverType<T> {
 public:
  using Element = T;

  // `values` (anything convertible to an observable of T) is subscribed on
  // the main thread; `valueSink` (a Ref to an observer of T, an AnyObserver
  // or a Binder) receives what is written. Any thread.
  template <ObservableConvertible S, class O>
  requires std::is_same_v<ElementOf<S>, T> ControlProperty(const S& values, O valueSink)
      : values_(cocoa_detail::subscribedOnMainThread(values)),
        valueSink_(cocoa_detail::anyObserver<T>(std::move(valueSink))) {}

  // Subscribes `observer` to the values.
  Ref<Disposable> subscribe(Ref<ObserverType<T>> observer) const {
    return values_->subscribe(std::move(observer));
  }

  const Ref<Observable<T>>& asObservable() const noexcept { return values_; }
  const ControlProperty& asControlProperty() const noexcept { return *this; }

  // The sink the written values go to.
  const AnyObserver<T>& valueSink() const noexcept { return valueSink_; }

  // next and completed go to the sink; an error is printed on one line
  // ("Binding error: " and the error) and reaches nothing. Any thread.
  void on(const Event<T>& event) noexcept override {
    if (const Error* error = event.error()) {
      printBindingError(*error);
      return;
    }
    valueSink_.on(event);
  }

  // The property as an observer value (for subscribing it to a source).
  AnyObserver<T> asObserver() const {
    return AnyObserver<T>(
        [property = *this](const Event<T>& event) mutable { property.on(event); });
  }

  // Only the changes: the values without the first one, which is the value
  // at subscription time.
  ControlEvent<T> changed() const { return ControlEvent<T>(values_ | rv::skip(1)); }

  // As a Driver on the sharing scheduler; an error of the values ends it with
  // completion.
  Driver<T> asDriver() const {
    return values_ | rv::asDriverOnErrorRecover([](const Error&) { return Driver<T>::empty(); });
  }

  // For an optional string: an absent value reads as the empty string, and a
  // written string reaches this property's sink as a present one.
  ControlProperty<std::string> orEmpty()
      const requires std::is_same_v<T, std::optional<std::string>> {
    const ControlProperty& property = asControlProperty();
    Ref<Observable<std::string>> values =
        property.values_ |
        rv::map([](const std::optional<std::string>& text) { return text.value_or(""); });
    AnyObserver<std::string> sink = mapObserver<std::string>(
        Ref<ObserverType<T>>(std::make_shared<AnyObserver<T>>(property.valueSink_)),
        [](const std::string& text) { return std::optional<std::string>(text); });
    return ControlProperty<std::string>(values, std::move(sink));
  }

 private:
  Ref<Observable<T>> values_;
  AnyObserver<T> valueSink_;
};

}  // namespace rv
