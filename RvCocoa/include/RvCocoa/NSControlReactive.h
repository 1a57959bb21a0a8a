#pragma once

// The reactive members of controls and views:
//
//   rv::controlEvent(rv::rv(control))   one element per action message
//   rv::controlProperty(rv::rv(control), getter, setter)
//                                       the getter's value at subscription and
//                                       after each action; writes through the
//                                       setter on the main thread
//   rv::tap(rv::rv(button))             the button's controlEvent
//   rv::state(rv::rv(button))           the button's state
//   rv::value(rv::rv(slider))           the slider's double value
//   rv::alphaValue(rv::rv(view))        a binder of the view's opacity
//
// A control keeps one shared action stream and one shared value-change
// trigger (all its properties share it, each applying its own getter), made
// on first use and carried by the control for its whole life. While anyone is
// subscribed the stream has a ControlTarget installed on the control; the
// last subscriber to leave removes it. When the control goes, every stream
// built from it completes.
//
// A control has one target: the action stream and the property trigger each
// install their own, and the later one becomes the control's target.
//
// Main thread only (reading a member elsewhere stops the process with
// "Running on background thread."); writing to a property or a binder may
// come from any thread and is moved to the main thread.

#include <concepts>
#include <type_traits>
#include <utility>

#include "RvCocoa/ControlEvent.h"
#include "RvCocoa/ControlProperty.h"
#include "RvCocoa/ObjectReactive.h"
#include "RvStreams/Binder.h"
#include "RvStreams/Just.h"
#include "RvStreams/MainScheduler.h"
#include "RvStreams/Merge.h"
#include "RvStreams/Reactive.h"
#include "appkit/NSButton.h"
#include "appkit/NSControl.h"
#include "appkit/NSSlider.h"
#include "appkit/NSView.h"

namespace rv {

namespace cocoa_detail {

// The control's shared action stream and its shared value-change trigger,
// made on first use. Main thread only.
Ref<Observable<Unit>> controlEventStream(const objc::Ref<appkit::NSControl>& control);
Ref<Observable<Unit>> controlPropertyTrigger(const objc::Ref<appkit::NSControl>& control);

}  // namespace cocoa_detail

// One element per action message of the control. Main thread only.
template <class C>
requires std::derived_from<C, appkit::NSControl> ControlEvent<Unit> controlEvent(
    const Reactive<C>& reactive) {
  return ControlEvent<Unit>(cocoa_detail::controlEventStream(reactive.base()));
}

// A property of the control: `getter(C&)` is read when a subscription starts
// and after each action message; a written value is applied with
// `setter(C&, value)` on the main thread while the control is alive. Writing
// does not itself make the property emit. Main thread only.
template <class C, class Getter, class Setter>
requires std::derived_from<C, appkit::NSControl> && std::is_invocable_v<Getter&, C&>
auto controlProperty(const Reactive<C>& reactive, Getter getter, Setter setter)
    -> ControlProperty<std::decay_t<std::invoke_result_t<Getter&, C&>>> {
  using T = std::decay_t<std::invoke_result_t<Getter&, C&>>;
  static_assert(std::is_invocable_v<const Setter&, C&, T>,
                "the setter takes the control and a value");
  MainScheduler::ensureRunningOnMainThread();
  const objc::Ref<C> control = reactive.base();
  Ref<Observable<Unit>> trigger = cocoa_detail::controlPropertyTrigger(control);
  Ref<Observable<T>> values =
      trigger | rv::flatMap([weak = objc::Weak<C>(control), getter = std::move(getter)](
                                const Unit&) mutable -> Ref<Observable<T>> {
        if (objc::Ref<C> strong = weak.load()) return rv::just(T(getter(*strong)));
        return rv::empty<T>();
      });
  Binder<T> sink(
      control, MainScheduler::create(),
      [setter = std::move(setter)](C& target, T value) { setter(target, std::move(value)); });
  return ControlProperty<T>(values, std::move(sink));
}

// The button's action messages.
template <class C>
requires std::derived_from<C, appkit::NSButton> ControlEvent<Unit> tap(
    const Reactive<C>& reactive) {
  return controlEvent(reactive);
}

// The button's state (`state`, written with `setState:`).
template <class C>
requires std::derived_from<C, appkit::NSButton> ControlProperty<appkit::NSControlStateValue> state(
    const Reactive<C>& reactive) {
  return controlProperty(
      reactive, [](C& button) { return button.state(); },
      [](C& button, appkit::NSControlStateValue state) { button.setState(state); });
}

// The slider's value (`doubleValue`, written with `setDoubleValue:`).
template <class C>
requires std::derived_from<C, appkit::NSSlider> ControlProperty<double> value(
    const Reactive<C>& reactive) {
  return controlProperty(
      reactive, [](C& slider) { return slider.doubleValue(); },
      [](C& slider, double value) { slider.setDoubleValue(value); });
}

// Sets the view's opacity with `setAlphaValue:` on the main thread, while the
// view (held weakly) is alive.
template <class C>
requires std::derived_from<C, appkit::NSView> Binder<objc::CGFloat> alphaValue(
    const Reactive<C>& reactive) {
  return Binder<objc::CGFloat>(reactive.base(), MainScheduler::create(),
                               [](C& view, objc::CGFloat alpha) { view.setAlphaValue(alpha); });
}

}  // namespace rv
