#pragma once

// A text field's text as a control property, fed by the field's delegate
// proxy:
//
//   ControlProperty<std::optional<std::string>> text = rv::text(rv::rv(field));
//
// The first member read installs the proxy as the field's delegate; the
// delegate the application had set keeps receiving every message through it,
// `controlTextDidChange:` included (after the new text went to the
// subscribers). Each subscription first receives the field's current text,
// then the text after every change the user makes; the values complete when
// the field goes. Text written through the property changes the field
// directly (an absent value empties it) and does not come back as a value.
//
// Main thread only: reading a member, or making the proxy, elsewhere stops
// the process with "Running on background thread.".

#include <concepts>
#include <optional>
#include <string>

#include "RvCocoa/CocoaProtocols.h"
#include "RvCocoa/ControlProperty.h"
#include "RvCocoa/DelegateProxy.h"
#include "RvCocoa/DelegateProxyType.h"
#include "RvCocoa/ObjectReactive.h"
#include "RvCocoa/TextInput.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreams/Reactive.h"
#include "appkit/NSNotification.h"
#include "appkit/NSTextField.h"

namespace rv {

// The delegate proxy of a text field ("RvCocoa.RvTextFieldDelegateProxy").
class RvTextFieldDelegateProxy final
    : public DelegateProxy<appkit::NSTextField, ProtocolRef<NSTextFieldDelegate>> {
 public:
  // Made only through `create`.
  static constexpr bool kOwnInitializerOnly = true;

  static objc::Class classObject();

  // A new proxy for `textField` (held weakly). Main thread only.
  static objc::Ref<RvTextFieldDelegateProxy> create(
      const objc::Ref<appkit::NSTextField>& textField);

  // The text field it serves, or null once it is gone.
  objc::Ref<appkit::NSTextField> textField() const { return textField_.load(); }
  void setTextField(const objc::Ref<appkit::NSTextField>& textField) { textField_ = textField; }

  // Receives the field's text after every change. Never completed.
  const Ref<PublishSubject<std::optional<std::string>>>& textSubject() const {
    return textSubject_;
  }

  // Sends `controlTextDidChange:`: what the field does after each change. The
  // field's new text goes to `textSubject`, then the message goes on to the
  // forward delegate if it implements it. A notification about anything but
  // a text field stops the process.
  void controlTextDidChange(appkit::NSNotification* notification);

  // DelegateProxyType:
  static void registerKnownImplementations();
  static std::optional<Delegate> currentDelegate(appkit::NSTextField& textField);
  static void setCurrentDelegate(std::optional<Delegate> delegate, appkit::NSTextField& textField);

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct RvTextFieldDelegateProxyMethods;
  RvTextFieldDelegateProxy() = default;

  objc::Weak<appkit::NSTextField> textField_;
  Ref<PublishSubject<std::optional<std::string>>> textSubject_;
};

namespace cocoa_detail {
objc::Ref<RvTextFieldDelegateProxy> textFieldDelegate(const objc::Ref<appkit::NSTextField>& field);
ControlProperty<std::optional<std::string>> textFieldText(
    const objc::Ref<appkit::NSTextField>& field);
}  // namespace cocoa_detail

// The field's delegate proxy, installed if needed; the same object on every
// call. Main thread only.
template <class C>
requires std::derived_from<C, appkit::NSTextField>
    objc::Ref<DelegateProxy<appkit::NSTextField, ProtocolRef<NSTextFieldDelegate>>> delegate(
        const Reactive<C>& reactive) {
  return cocoa_detail::textFieldDelegate(reactive.base());
}

// The field's text (see the top of this header). Main thread only.
template <class C>
requires std::derived_from<C, appkit::NSTextField> ControlProperty<std::optional<std::string>> text(
    const Reactive<C>& reactive) {
  return cocoa_detail::textFieldText(reactive.base());
}

// The field with its text. Main thread only.
template <class C>
requires std::derived_from<C, appkit::NSTextField> TextInput<C> textInput(
    const Reactive<C>& reactive) {
  return TextInput<C>(reactive.base(), text(reactive));
}

}  // namespace rv
