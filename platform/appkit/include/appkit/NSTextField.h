#pragma once

#include <string_view>

#include "appkit/NSControl.h"

namespace appkit {

// A text field. Its delegate (held weakly) adopts NSTextFieldDelegate.
// Text set by a program notifies nobody; text the user types notifies the
// delegate and the default notification centre (see `typeText`).
class NSTextField : public NSControl {
 public:
  static objc::Class classObject();

  objc::Ref<objc::Object> delegate();
  void setDelegate(objc::id delegate);
  // YES by default.
  objc::BOOL isEditable();
  void setEditable(objc::BOOL editable);

  // The user types `text` at the end of the field (one edit). When the field
  // is editable and enabled and `text` is not empty: the string value becomes
  // the old one followed by `text` (through `setStringValue:`); then the
  // delegate, if it responds to `controlTextDidChange:` at that moment, gets
  // it with a notification named NSControlTextDidChangeNotification whose
  // object is the field; then that notification is posted to the default
  // centre of platform/foundation with the field's `notificationObject` as
  // sender. Otherwise nothing happens.
  void typeText(std::string_view text);

 protected:
  NSTextField() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct NSTextFieldMethods;
  objc::Weak<objc::Object> delegate_;
  objc::BOOL editable_ = objc::YES;
};

}  // namespace appkit
