#pragma once

// A web view's navigations as sequences:
//
//   auto finished = rv::didFinishNavigation(rv::rv(webView));
//
// They rest on the navigation delegate proxy: the first member read installs
// it as the web view's navigation delegate, and the delegate the application
// had set keeps receiving every message through it. Elements arrive after the
// application's delegate method has returned. Every sequence of a web view
// completes when the web view goes (its proxy goes with it).
//
// Main thread only: reading a member, or making the proxy, elsewhere stops
// the process with "Running on background thread.".

#include <memory>
#include <optional>
#include <utility>

#include "RvCocoa/CocoaProtocols.h"
#include "RvCocoa/DelegateProxy.h"
#include "RvCocoa/DelegateProxyType.h"
#include "RvCocoa/ObjectReactive.h"
#include "RvStreams/Observable.h"
#include "RvStreams/Reactive.h"
#include "foundation/NSError.h"
#include "webkit/WKNavigation.h"
#include "webkit/WKWebView.h"

namespace rv {

// The navigation delegate proxy of a web view ("RvCocoa.RvWKNavigationDelegateProxy").
// It implements no navigation message itself: every one reaches it by
// forwarding, so every one can be observed with `sentMessage` /
// `methodInvoked` and is passed on to the forward delegate.
class RvWKNavigationDelegateProxy final
    : public DelegateProxy<webkit::WKWebView, ProtocolRef<WKNavigationDelegate>> {
 public:
  // Made only through `create`.
  static constexpr bool kOwnInitializerOnly = true;

  static objc::Class classObject();

  // A new proxy for `webView`. Main thread only.
  static objc::Ref<RvWKNavigationDelegateProxy> create(const objc::Ref<webkit::WKWebView>& webView);

  // The web view it serves, or null once it is gone.
  objc::Ref<webkit::WKWebView> webView() const { return webView_.load(); }

  // DelegateProxyType:
  static void registerKnownImplementations();
  static std::optional<Delegate> currentDelegate(webkit::WKWebView& webView);
  static void setCurrentDelegate(std::optional<Delegate> delegate, webkit::WKWebView& webView);

 private:
  friend struct objc::detail::InstanceAccess;
  RvWKNavigationDelegateProxy() = default;

  objc::Weak<webkit::WKWebView> webView_;
};

// A failed navigation and why it failed.
using NavigationFailure =
    std::pair<objc::Ref<webkit::WKNavigation>, std::shared_ptr<const foundation::NSError>>;

// The web view's navigation delegate proxy, installed if needed; the same
// object on every call.
objc::Ref<RvWKNavigationDelegateProxy> navigationDelegate(
    const Reactive<webkit::WKWebView>& reactive);

// One element per `webView:didCommitNavigation:`,
// `webView:didStartProvisionalNavigation:` and `webView:didFinishNavigation:`:
// the navigation. An argument that is no navigation fails the subscription
// with `RvCocoaError::castingError`.
Ref<Observable<objc::Ref<webkit::WKNavigation>>> didCommitNavigation(
    const Reactive<webkit::WKWebView>& reactive);
Ref<Observable<objc::Ref<webkit::WKNavigation>>> didStartProvisionalNavigation(
    const Reactive<webkit::WKWebView>& reactive);
Ref<Observable<objc::Ref<webkit::WKNavigation>>> didFinishNavigation(
    const Reactive<webkit::WKWebView>& reactive);
// One element per `webView:didFailNavigation:withError:`: the navigation and
// the error. Arguments of other types fail the subscription with
// `RvCocoaError::castingError`.
Ref<Observable<NavigationFailure>> didFailNavigation(const Reactive<webkit::WKWebView>& reactive);

}  // namespace rv
