#pragma once

#include <string>
#include <string_view>

#include "appkit/NSView.h"

namespace appkit {

// A text view: its string and a delegate (held weakly) that adopts
// NSTextViewDelegate. Text set by a program notifies nobody; text the user
// inserts notifies the delegate and the default notification centre.
class NSTextView : public NSView {
 public:
  static objc::Class classObject();

  std::string string();
  void setString(std::string_view string);
  objc::Ref<objc::Object> delegate();
  void setDelegate(objc::id delegate);
  // YES by default.
  objc::BOOL isEditable();
  void setEditable(objc::BOOL editable);

  // `insertText:`, what typing does: when the view is editable and `text` is
  // not empty, appends `text` (there is no selection: the insertion point is
  // the end) through `setString:`; then the delegate, if it responds to
  // `textDidChange:` at that moment, gets it with a notification named
  // NSTextDidChangeNotification whose object is the view; then that
  // notification is posted to the default centre with the view's
  // `notificationObject` as sender.
  void insertText(std::string_view text);

 protected:
  NSTextView() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct NSTextViewMethods;
  std::string string_;
  objc::Weak<objc::Object> delegate_;
  objc::BOOL editable_ = objc::YES;
};

}  // namespace appkit
