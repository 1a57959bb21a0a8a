#include "RvCocoa/WKWebViewReactive.h"

#include "RvStreams/Map.h"
#include "Selectors.h"
#include "appkit/NSErrorObject.h"
#include "objc/ClassBuilder.h"

namespace rv {

using webkit::WKNavigation;
using webkit::WKWebView;

namespace {

using NavigationProxyType = DelegateProxyType<RvWKNavigationDelegateProxy>;

// The navigation of a delegate call with arguments (web view, navigation).
Ref<Observable<objc::Ref<WKNavigation>>> navigations(const Reactive<WKWebView>& reactive,
                                                     objc::SEL selector) {
  return navigationDelegate(reactive)->methodInvoked(selector) |
         rv::map([](const ArgumentArray& arguments) {
           return castOrThrow<objc::Ref<WKNavigation>>(arguments.at(1));
         });
}

}  // namespace

// MARK: RvWKNavigationDelegateProxy

objc::Class RvWKNavigationDelegateProxy::classObject() {
  static const objc::Class cls =
      objc::ClassBuilder<RvWKNavigationDelegateProxy>("RvCocoa.RvWKNavigationDelegateProxy",
                                                      DelegateProxy::classObject())
          .protocol(WKNavigationDelegate::protocol())
          .build();
  return cls;
}

objc::Ref<RvWKNavigationDelegateProxy> RvWKNavigationDelegateProxy::create(
    const objc::Ref<WKWebView>& webView) {
  objc::Ref<RvWKNavigationDelegateProxy> proxy = objc::alloc<RvWKNavigationDelegateProxy>();
  proxy->webView_ = webView;
  initializeProxy(*proxy, webView);
  return proxy;
}

void RvWKNavigationDelegateProxy::registerKnownImplementations() {
  NavigationProxyType::addProxyMaker<WKWebView>(
      [](const objc::Ref<WKWebView>& webView) { return create(webView); });
}

std::optional<RvWKNavigationDelegateProxy::Delegate> RvWKNavigationDelegateProxy::currentDelegate(
    WKWebView& webView) {
  return castOptionalOrFatalError<Delegate>(webView.navigationDelegate());
}

void RvWKNavigationDelegateProxy::setCurrentDelegate(std::optional<Delegate> delegate,
                                                     WKWebView& webView) {
  webView.setNavigationDelegate(delegate ? delegate->get() : nullptr);
}

// MARK: Members of WKWebView

objc::Ref<RvWKNavigationDelegateProxy> navigationDelegate(const Reactive<WKWebView>& reactive) {
  return NavigationProxyType::proxy(reactive.base());
}

Ref<Observable<objc::Ref<WKNavigation>>> didCommitNavigation(const Reactive<WKWebView>& reactive) {
  static const objc::SEL selector = sel("webView:didCommitNavigation:");
  return navigations(reactive, selector);
}

Ref<Observable<objc::Ref<WKNavigation>>> didStartProvisionalNavigation(
    const Reactive<WKWebView>& reactive) {
  static const objc::SEL selector = sel("webView:didStartProvisionalNavigation:");
  return navigations(reactive, selector);
}

Ref<Observable<objc::Ref<WKNavigation>>> didFinishNavigation(const Reactive<WKWebView>& reactive) {
  static const objc::SEL selector = sel("webView:didFinishNavigation:");
  return navigations(reactive, selector);
}

Ref<Observable<NavigationFailure>> didFailNavigation(const Reactive<WKWebView>& reactive) {
  static const objc::SEL selector = sel("webView:didFailNavigation:withError:");
  return navigationDelegate(reactive)->methodInvoked(selector) |
         rv::map([](const ArgumentArray& arguments) {
           objc::Ref<WKNavigation> navigation =
               castOrThrow<objc::Ref<WKNavigation>>(arguments.at(1));
           objc::Ref<appkit::NSErrorObject> error =
               castOrThrow<objc::Ref<appkit::NSErrorObject>>(arguments.at(2));
           return NavigationFailure(std::move(navigation), error->error());
         });
}

}  // namespace rv
