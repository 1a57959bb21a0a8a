#pragma once

// The navigation delegate protocol of the web view, as a protocol of the
// runtime with its method descriptions (delegate proxies answer
// `methodSignatureForSelector:` from them). Every method is optional, returns
// nothing, and is one the web view sends:
//
//   webView:didStartProvisionalNavigation:        (WKWebView, WKNavigation)
//   webView:didCommitNavigation:                  (WKWebView, WKNavigation)
//   webView:didFinishNavigation:                  (WKWebView, WKNavigation)
//   webView:didFailProvisionalNavigation:withError: (WKWebView, WKNavigation, NSError)
//   webView:didFailNavigation:withError:          (WKWebView, WKNavigation, NSError)

#include "objc/Runtime.h"

namespace webkit {

objc::Protocol* WKNavigationDelegateProtocol();

}  // namespace webkit
