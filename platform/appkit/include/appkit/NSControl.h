#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "appkit/NSView.h"
#include "objc/Ref.h"

namespace appkit {

// A control: a value (a string or a number, read either way), whether it is
// enabled, and the action message it sends its target when the user acts on
// it. The target is held weakly; there is no responder chain, so a control
// without a target sends nothing.
class NSControl : public NSView {
 public:
  static objc::Class classObject();

  objc::Ref<objc::Object> target();
  void setTarget(objc::id target);
  objc::SEL action();
  void setAction(objc::SEL action);

  // YES by default. A disabled control does not react to the user.
  objc::BOOL isEnabled();
  void setEnabled(objc::BOOL enabled);

  // The value. A number reads as text in its shortest exact form ("0.5",
  // "3"); text reads as a number by its leading decimal number (0 when it
  // has none); an integer read truncates, saturating at the integer's range
  // (NaN reads as 0).
  std::string stringValue();
  void setStringValue(std::string_view value);
  double doubleValue();
  void setDoubleValue(double value);
  objc::NSInteger integerValue();
  void setIntegerValue(objc::NSInteger value);

  // Sends `action` to `target` with the control as the sender. NO (and
  // nothing sent) for a null action, a null target, or a target that does not
  // respond to the action.
  objc::BOOL sendAction(objc::SEL action, objc::id target);
  // What a click of the user does: when enabled, sends the control's action to
  // its target. `sender` is not used.
  void performClick(objc::id sender);

 protected:
  NSControl() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct NSControlMethods;
  objc::Weak<objc::Object> target_;
  objc::SEL action_ = nullptr;
  objc::BOOL enabled_ = objc::YES;
  std::variant<std::string, double> value_ = std::string();
};

}  // namespace appkit
