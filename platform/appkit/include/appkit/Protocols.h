#pragma once

// The delegate protocols of the text controls, as protocols of the runtime
// with their method descriptions (delegate proxies answer
// `methodSignatureForSelector:` from them). Every method is optional and is
// one the controls send.
//
//   NSControlTextEditingDelegate: controlTextDidChange: (v@:@, a notification)
//   NSTextFieldDelegate adopts NSControlTextEditingDelegate
//   NSTextDelegate: textDidChange: (v@:@, a notification)
//   NSTextViewDelegate adopts NSTextDelegate

#include <string_view>

#include "objc/Runtime.h"

namespace appkit {

objc::Protocol* NSControlTextEditingDelegateProtocol();
objc::Protocol* NSTextFieldDelegateProtocol();
objc::Protocol* NSTextDelegateProtocol();
objc::Protocol* NSTextViewDelegateProtocol();

// Names of the notifications the text controls post to the default centre.
inline constexpr std::string_view NSControlTextDidChangeNotification =
    "NSControlTextDidChangeNotification";
inline constexpr std::string_view NSTextDidChangeNotification = "NSTextDidChangeNotification";

}  // namespace appkit
