#include "webkit/WKNavigationDelegate.h"

#include "appkit/NSErrorObject.h"
#include "objc/Encoding.h"
#include "webkit/WKWebView.h"

namespace webkit {

objc::Protocol* WKNavigationDelegateProtocol() {
  static objc::Protocol* const protocol = [] {
    const char* name = "WKNavigationDelegate";
    objc::Protocol* p = objc::objc_allocateProtocol(name);
    if (p == nullptr) return objc::objc_getProtocol(name);
    auto add = [p](const char* selector, const char* types) {
      objc::protocol_addMethodDescription(p, objc::sel_registerName(selector), types, objc::NO,
                                          objc::YES);
    };
    const char* navigation = objc::methodEncoding<void(WKWebView*, WKNavigation*)>();
    const char* failure =
        objc::methodEncoding<void(WKWebView*, WKNavigation*, appkit::NSErrorObject*)>();
    add("webView:didStartProvisionalNavigation:", navigation);
    add("webView:didFailProvisionalNavigation:withError:", failure);
    add("webView:didCommitNavigation:", navigation);
    add("webView:didFinishNavigation:", navigation);
    add("webView:didFailNavigation:withError:", failure);
    objc::objc_registerProtocol(p);
    return p;
  }();
  return protocol;
}

}  // namespace webkit
