#include "appkit/NSTextField.h"

#include "Selectors.h"
#include "TextNotification.h"
#include "appkit/NSNotification.h"
#include "appkit/NotificationObject.h"
#include "appkit/Protocols.h"
#include "foundation/NotificationCenter.h"

namespace appkit {

using objc::BOOL;
using objc::Ref;
using objc::SEL;

void detail::notifyTextChange(objc::id sender, objc::id delegate, SEL delegateSelector,
                              std::string_view name) {
  Ref<NSNotification> notification =
      NSNotification::notificationWithName(std::string(name), sender);
  if (responds(delegate, delegateSelector)) {
    objc::send<void(NSNotification*)>(delegate, delegateSelector, notification.get());
  }
  foundation::NotificationCenter::defaultCenter()->postNotificationName(name,
                                                                        notificationObject(sender));
}

struct NSTextFieldMethods {
  static Ref<objc::Object> delegate(NSTextField* self, SEL) { return self->delegate_.load(); }
  static void setDelegate(NSTextField* self, SEL, objc::id delegate) { self->delegate_ = delegate; }
  static BOOL isEditable(NSTextField* self, SEL) { return self->editable_; }
  static void setEditable(NSTextField* self, SEL, BOOL editable) { self->editable_ = editable; }
};

objc::Class NSTextField::classObject() {
  using M = NSTextFieldMethods;
  static const objc::Class cls =
      objc::ClassBuilder<NSTextField>("NSTextField", NSControl::classObject())
          .method("delegate", &M::delegate)
          .method("setDelegate:", &M::setDelegate)
          .method("isEditable", &M::isEditable)
          .method("setEditable:", &M::setEditable)
          .property("delegate", "T@\"<NSTextFieldDelegate>\",W,N")
          .property("editable", "TB,N,GisEditable")
          .build();
  return cls;
}

Ref<objc::Object> NSTextField::delegate() {
  static const SEL s = detail::sel("delegate");
  return objc::send<Ref<objc::Object>()>(this, s);
}

void NSTextField::setDelegate(objc::id delegate) {
  static const SEL s = detail::sel("setDelegate:");
  objc::send<void(objc::id)>(this, s, delegate);
}

BOOL NSTextField::isEditable() {
  static const SEL s = detail::sel("isEditable");
  return objc::send<BOOL()>(this, s);
}

void NSTextField::setEditable(BOOL editable) {
  static const SEL s = detail::sel("setEditable:");
  objc::send<void(BOOL)>(this, s, editable);
}

void NSTextField::typeText(std::string_view text) {
  if (text.empty() || !isEditable() || !isEnabled()) return;
  // The field stays alive through the notifications even if a delegate lets
  // go of it.
  Ref<NSTextField> self(this);
  setStringValue(stringValue() + std::string(text));
  static const SEL didChange = detail::sel("controlTextDidChange:");
  Ref<objc::Object> delegate = this->delegate();
  detail::notifyTextChange(this, delegate.get(), didChange, NSControlTextDidChangeNotification);
}

}  // namespace appkit
