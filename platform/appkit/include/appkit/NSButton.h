#pragma once

#include "appkit/NSControl.h"

namespace appkit {

// The states of a control with a state.
enum NSControlStateValue : objc::NSInteger {
  NSControlStateValueMixed = -1,
  NSControlStateValueOff = 0,
  NSControlStateValueOn = 1,
};

enum NSButtonType : objc::NSUInteger {
  NSButtonTypeMomentaryLight = 0,
  NSButtonTypePushOnPushOff = 1,
  NSButtonTypeToggle = 2,
  NSButtonTypeSwitch = 3,
  NSButtonTypeRadio = 4,
  NSButtonTypeMomentaryChange = 5,
  NSButtonTypeOnOff = 6,
  NSButtonTypeMomentaryPushIn = 7,
};

// A button with a state. A click of an enabled button first moves the state
// as its type says (momentary types: unchanged; radio: on; the others:
// off -> on, on -> off, mixed -> on), then sends the action.
class NSButton : public NSControl {
 public:
  static objc::Class classObject();

  // Off by default. A positive value sets on, a negative one mixed.
  NSControlStateValue state();
  void setState(objc::NSInteger state);
  // NSButtonTypeMomentaryPushIn by default.
  NSButtonType buttonType();
  void setButtonType(NSButtonType type);

 protected:
  NSButton() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct NSButtonMethods;
  NSControlStateValue state_ = NSControlStateValueOff;
  NSButtonType type_ = NSButtonTypeMomentaryPushIn;
};

}  // namespace appkit
