#pragma once

// The bridge from a control's target and action to a closure.
//
// A `ControlTarget` makes itself the control's target, with `eventHandler:`
// as the action, and calls its callback with the control on every action
// message. It keeps itself alive (through `RvTarget`) until it is disposed,
// so nothing else needs to hold it while it is installed; disposing it
// removes it from the control and releases the callback.
//
//   objc::Ref<ControlTarget> target = ControlTarget::create(button, [](auto& control) {...});
//   Ref<Disposable> subscription = target->asDisposable();
//
// Main thread only.

#include <functional>

#include "RvStreams/Disposable.h"
#include "appkit/NSControl.h"
#include "objc/NSObject.h"

namespace rv {

// An object of the runtime ("RvCocoa.RvTarget") that holds itself from the
// end of its `init` until `dispose`.
class RvTarget : public objc::NSObject, public Disposable {
 public:
  static objc::Class classObject();

  // `[[RvTarget alloc] init]`.
  static objc::Ref<RvTarget> create();

  // The reference the object holds to itself; null before `init` and after
  // `dispose`.
  const objc::Ref<RvTarget>& retainSelf() const { return retainSelf_; }

  // Drops the self reference: the object goes once the last outside
  // reference does. Subclasses extend it; disposing through `Disposable`
  // runs their override.
  void dispose() noexcept override;

  // The object as a `Disposable` held by `Ref`: the result keeps the object
  // alive (a strong reference of the runtime) for as long as it is held.
  Ref<Disposable> asDisposable();

 protected:
  RvTarget() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct RvTargetMethods;

  objc::Ref<RvTarget> retainSelf_;
};

// The target ("RvCocoa.ControlTarget") that turns a control's action into a
// call of `callback` with the control. Only made through `create`; the
// runtime's plain `init` stops the process.
class ControlTarget final : public RvTarget {
 public:
  using Callback = std::function<void(const objc::Ref<appkit::NSControl>& control)>;

  static objc::Class classObject();

  // A new target installed on `control` (held weakly): the control's target
  // becomes the new object and its action `eventHandler:`. Stops the process
  // with "Running on background thread." off the main thread.
  static objc::Ref<ControlTarget> create(const objc::Ref<appkit::NSControl>& control,
                                         Callback callback);

  // Always `eventHandler:`.
  objc::SEL selector() const { return selector_; }
  // The control, or null once it is gone.
  objc::Ref<appkit::NSControl> control() const { return control_.load(); }

  // Sends `eventHandler:`: what the control's action does. Calls the
  // callback with the control (not with `sender`); nothing once the target
  // is disposed or the control is gone.
  void eventHandler(objc::id sender);

  // Drops the self reference, clears the control's target and action (when
  // the control is still there) and releases the callback. Not guarded
  // against repetition: a second call clears the control's target and action
  // again, whatever they are by then.
  void dispose() noexcept override;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct ControlTargetMethods;
  ControlTarget() = default;

  objc::SEL selector_ = nullptr;
  objc::Weak<appkit::NSControl> control_;
  Callback callback_;
};

}  // namespace rv
