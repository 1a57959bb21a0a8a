#pragma once

// A text view's string as a control property, fed by the view's delegate
// proxy:
//
//   ControlProperty<std::string> string = rv::string(rv::rv(textView));
//
// As for text fields (NSTextFieldReactive.h): the proxy becomes the view's
// delegate and passes `textDidChange:` on to the delegate the application
// had set; each subscription first receives the view's current string, then
// the string after every change the user makes; written strings change the
// view directly.
//
// The proxy holds its text view strongly, and the view carries its proxy, so
// the two keep each other alive once the proxy exists: the values complete
// only if the pair is broken from outside (`setTextView(nullptr)` on the
// proxy).
//
// Main thread only: reading a member, or making the proxy, elsewhere stops
// the process with "Running on background thread.".

#include <concepts>
#include <string>

#include "RvCocoa/CocoaProtocols.h"
#include "RvCocoa/ControlProperty.h"
#include "RvCocoa/DelegateProxy.h"
#include "RvCocoa/DelegateProxyType.h"
#include "RvCocoa/ObjectReactive.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreams/Reactive.h"
#include "appkit/NSNotification.h"
#include "appkit/NSTextView.h"

namespace rv {

// The delegate proxy of a text view ("RvCocoa.RvTextViewDelegateProxy").
class RvTextViewDelegateProxy final
    : public DelegateProxy<appkit::NSTextView, ProtocolRef<NSTextViewDelegate>> {
 public:
  // Made only through `create`.
  static constexpr bool kOwnInitializerOnly = true;

  static objc::Class classObject();

  // A new proxy for `textView` (held strongly). Main thread only.
  static objc::Ref<RvTextViewDelegateProxy> create(const objc::Ref<appkit::NSTextView>& textView);

  // The text view it serves.
  const objc::Ref<appkit::NSTextView>& textView() const { return textView_; }
  void setTextView(objc::Ref<appkit::NSTextView> textView) { textView_ = std::move(textView); }

  // Receives the view's string after every change. Never completed.
  const Ref<PublishSubject<std::string>>& textSubject() const { return textSubject_; }

  // Sends `textDidChange:`: what the view does after each change. The view's
  // new string goes to `textSubject`, then the message goes on to the forward
  // delegate if it implements it. A notification about anything but a text
  // view stops the process.
  void textDidChange(appkit::NSNotification* notification);

  // DelegateProxyType:
  static void registerKnownImplementations();
  static std::optional<Delegate> currentDelegate(appkit::NSTextView& textView);
  static void setCurrentDelegate(std::optional<Delegate> delegate, appkit::NSTextView& textView);

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct RvTextViewDelegateProxyMethods;
  RvTextViewDelegateProxy() = default;

  objc::Ref<appkit::NSTextView> textView_;
  Ref<PublishSubject<std::string>> textSubject_;
};

namespace cocoa_detail {
objc::Ref<RvTextViewDelegateProxy> textViewDelegate(const objc::Ref<appkit::NSTextView>& view);
ControlProperty<std::string> textViewString(const objc::Ref<appkit::NSTextView>& view);
}  // namespace cocoa_detail

// The view's delegate proxy, installed if needed; the same object on every
// call. Main thread only.
template <class C>
requires std::derived_from<C, appkit::NSTextView>
    objc::Ref<DelegateProxy<appkit::NSTextView, ProtocolRef<NSTextViewDelegate>>> delegate(
        const Reactive<C>& reactive) {
  return cocoa_detail::textViewDelegate(reactive.base());
}

// The view's string (see the top of this header). Main thread only.
template <class C>
requires std::derived_from<C, appkit::NSTextView> ControlProperty<std::string> string(
    const Reactive<C>& reactive) {
  return cocoa_detail::textViewString(reactive.base());
}

}  // namespace rv
