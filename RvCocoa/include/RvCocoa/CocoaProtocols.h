#pragma once

// The delegate protocols of the platform's controls and web view as tags of
// `ProtocolRef`: `ProtocolRef<NSTextFieldDelegate>` is a text field's
// delegate, and so on. Conversions that refuse an object name the protocol.

#include "RvCocoa/ProtocolRef.h"
#include "appkit/Protocols.h"
#include "webkit/WKNavigationDelegate.h"

namespace rv {

struct NSTextFieldDelegate {
  static objc::Protocol* protocol() { return appkit::NSTextFieldDelegateProtocol(); }
};

struct NSTextViewDelegate {
  static objc::Protocol* protocol() { return appkit::NSTextViewDelegateProtocol(); }
};

struct WKNavigationDelegate {
  static objc::Protocol* protocol() { return webkit::WKNavigationDelegateProtocol(); }
};

}  // namespace rv
