#include "appkit/NSButton.h"

#include "Selectors.h"

namespace appkit {

using objc::NSInteger;
using objc::SEL;

namespace {

NSControlStateValue nextState(NSButtonType type, NSControlStateValue state) {
  switch (type) {
    case NSButtonTypeMomentaryLight:
    case NSButtonTypeMomentaryChange:
    case NSButtonTypeMomentaryPushIn:
      return state;
    case NSButtonTypeRadio:
      return NSControlStateValueOn;
    default:
      return state == NSControlStateValueOn ? NSControlStateValueOff : NSControlStateValueOn;
  }
}

}  // namespace

struct NSButtonMethods {
  static NSControlStateValue state(NSButton* self, SEL) { return self->state_; }
  static void setState(NSButton* self, SEL, NSInteger state) {
    self->state_ = state > 0   ? NSControlStateValueOn
                   : state < 0 ? NSControlStateValueMixed
                               : NSControlStateValueOff;
  }
  static NSButtonType buttonType(NSButton* self, SEL) { return self->type_; }
  static void setButtonType(NSButton* self, SEL, NSButtonType type) { self->type_ = type; }

  static void performClick(NSButton* self, SEL cmd, objc::id sender) {
    if (!self->isEnabled()) return;
    const NSControlStateValue state = self->state();
    const NSControlStateValue next = nextState(self->buttonType(), state);
    if (next != state) self->setState(next);
    objc::sendSuper<void(objc::id)>({self, NSControl::classObject()}, cmd, sender);
  }
};

objc::Class NSButton::classObject() {
  using M = NSButtonMethods;
  static const objc::Class cls = objc::ClassBuilder<NSButton>("NSButton", NSControl::classObject())
                                     .method("state", &M::state)
                                     .method("setState:", &M::setState)
                                     .method("buttonType", &M::buttonType)
                                     .method("setButtonType:", &M::setButtonType)
                                     .method("performClick:", &M::performClick)
                                     .property("state", "Tq,N")
                                     .build();
  return cls;
}

NSControlStateValue NSButton::state() {
  static const SEL s = detail::sel("state");
  return objc::send<NSControlStateValue()>(this, s);
}

void NSButton::setState(NSInteger state) {
  static const SEL s = detail::sel("setState:");
  objc::send<void(NSInteger)>(this, s, state);
}

NSButtonType NSButton::buttonType() {
  static const SEL s = detail::sel("buttonType");
  return objc::send<NSButtonType()>(this, s);
}

void NSButton::setButtonType(NSButtonType type) {
  static const SEL s = detail::sel("setButtonType:");
  objc::send<void(NSButtonType)>(this, s, type);
}

}  // namespace appkit
