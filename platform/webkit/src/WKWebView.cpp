#include "webkit/WKWebView.h"

#include "appkit/NSErrorObject.h"
#include "dispatch/DispatchQueue.h"
#include "foundation/URLSession.h"
#include "objc/NSString.h"
#include "webkit/WKNavigationDelegate.h"

namespace webkit {

using appkit::NSErrorObject;
using objc::BOOL;
using objc::Ref;
using objc::SEL;

namespace {

SEL sel(const char* name) { return objc::sel_registerName(name); }

SEL startSelector() {
  static const SEL s = sel("webView:didStartProvisionalNavigation:");
  return s;
}
SEL commitSelector() {
  static const SEL s = sel("webView:didCommitNavigation:");
  return s;
}
SEL finishSelector() {
  static const SEL s = sel("webView:didFinishNavigation:");
  return s;
}
SEL failProvisionalSelector() {
  static const SEL s = sel("webView:didFailProvisionalNavigation:withError:");
  return s;
}
SEL failSelector() {
  static const SEL s = sel("webView:didFailNavigation:withError:");
  return s;
}

bool responds(objc::id object, SEL selector) {
  static const SEL s = sel("respondsToSelector:");
  return object != nullptr && objc::send<BOOL(SEL)>(object, s, selector);
}

}  // namespace

// MARK: WKNavigation

objc::Class WKNavigation::classObject() {
  static const objc::Class cls =
      objc::ClassBuilder<WKNavigation>("WKNavigation", objc::NSObject::classObject()).build();
  return cls;
}

// MARK: WKWebView

struct WKWebViewMethods {
  static Ref<objc::Object> navigationDelegate(WKWebView* self, SEL) {
    return self->delegate_.load();
  }

  static void setNavigationDelegate(WKWebView* self, SEL, objc::id delegate) {
    self->delegate_ = delegate;
    // Asked once, here: later messages go only where the answer was YES.
    unsigned implemented = 0;
    if (responds(delegate, startSelector())) implemented |= WKWebView::kStart;
    if (responds(delegate, commitSelector())) implemented |= WKWebView::kCommit;
    if (responds(delegate, finishSelector())) implemented |= WKWebView::kFinish;
    if (responds(delegate, failProvisionalSelector())) implemented |= WKWebView::kFailProvisional;
    if (responds(delegate, failSelector())) implemented |= WKWebView::kFail;
    self->implemented_ = implemented;
  }

  static Ref<WKNavigation> loadHTMLString(WKWebView* self, SEL, objc::NSString*,
                                          objc::NSString* baseURL) {
    Ref<WKWebView> keep(self);
    if (self->current_) self->endCurrent(false);
    self->current_ = objc::make<WKNavigation>();
    self->currentID_ = ++self->lastID_;
    self->phase_ = WKWebView::Phase::requested;
    self->baseURL_ = baseURL ? std::optional<std::string>(baseURL->string()) : std::nullopt;
    setLoading(self, objc::YES);
    self->schedule(self->currentID_);
    return self->current_;
  }

  static void stopLoading(WKWebView* self, SEL) {
    Ref<WKWebView> keep(self);
    if (self->current_) self->endCurrent(true);
  }

  static BOOL isLoading(WKWebView* self, SEL) { return self->loading_; }

  static void setLoading(WKWebView* self, BOOL loading) {
    if (self->loading_ == loading) return;
    self->willChangeValueForKey("loading");
    self->loading_ = loading;
    self->didChangeValueForKey("loading");
  }
};

objc::Class WKWebView::classObject() {
  using M = WKWebViewMethods;
  static const objc::Class cls =
      objc::ClassBuilder<WKWebView>("WKWebView", appkit::NSView::classObject())
          .method("navigationDelegate", &M::navigationDelegate)
          .method("setNavigationDelegate:", &M::setNavigationDelegate)
          .method("loadHTMLString:baseURL:", &M::loadHTMLString)
          .method("stopLoading", &M::stopLoading)
          .method("isLoading", &M::isLoading)
          .property("navigationDelegate", "T@\"<WKNavigationDelegate>\",W,N")
          .property("loading", "TB,R,N,GisLoading")
          .build();
  return cls;
}

Ref<objc::Object> WKWebView::navigationDelegate() {
  static const SEL s = sel("navigationDelegate");
  return objc::send<Ref<objc::Object>()>(this, s);
}

void WKWebView::setNavigationDelegate(objc::id delegate) {
  static const SEL s = sel("setNavigationDelegate:");
  objc::send<void(objc::id)>(this, s, delegate);
}

Ref<WKNavigation> WKWebView::loadHTMLString(std::string_view html,
                                            std::optional<std::string> baseURL) {
  static const SEL s = sel("loadHTMLString:baseURL:");
  return objc::send<Ref<WKNavigation>(objc::NSString*, objc::NSString*)>(
      this, s, objc::NSString::stringWithString(html),
      baseURL ? objc::NSString::stringWithString(*baseURL) : nullptr);
}

void WKWebView::stopLoading() {
  static const SEL s = sel("stopLoading");
  objc::send<void()>(this, s);
}

BOOL WKWebView::isLoading() {
  static const SEL s = sel("isLoading");
  return objc::send<BOOL()>(this, s);
}

void WKWebView::schedule(uint64_t navigationID) {
  objc::Weak<WKWebView> weak(this);
  dispatch::DispatchQueue::main()->async([weak, navigationID] {
    if (Ref<WKWebView> view = weak.load()) view->advance(navigationID);
  });
}

void WKWebView::advance(uint64_t navigationID) {
  // A navigation that was stopped or replaced meanwhile goes no further.
  if (!current_ || navigationID != currentID_) return;
  Ref<WKNavigation> navigation = current_;
  switch (phase_) {
    case Phase::requested:
      phase_ = Phase::provisional;
      schedule(navigationID);
      tell(kStart, navigation.get());
      break;
    case Phase::provisional:
      phase_ = Phase::committed;
      schedule(navigationID);
      tell(kCommit, navigation.get());
      break;
    case Phase::committed:
      current_ = nullptr;
      currentID_ = 0;
      WKWebViewMethods::setLoading(this, objc::NO);
      tell(kFinish, navigation.get());
      break;
  }
}

void WKWebView::endCurrent(bool stopping) {
  Ref<WKNavigation> navigation = std::move(current_);
  const Phase phase = phase_;
  currentID_ = 0;
  if (stopping) WKWebViewMethods::setLoading(this, objc::NO);
  if (phase == Phase::provisional) tell(kFailProvisional, navigation.get());
  if (phase == Phase::committed) tell(kFail, navigation.get());
}

void WKWebView::tell(Message message, WKNavigation* navigation) {
  Ref<objc::Object> delegate = delegate_.load();
  if (!delegate || (implemented_ & message) == 0) return;
  switch (message) {
    case kStart:
      objc::send<void(WKWebView*, WKNavigation*)>(delegate, startSelector(), this, navigation);
      break;
    case kCommit:
      objc::send<void(WKWebView*, WKNavigation*)>(delegate, commitSelector(), this, navigation);
      break;
    case kFinish:
      objc::send<void(WKWebView*, WKNavigation*)>(delegate, finishSelector(), this, navigation);
      break;
    case kFailProvisional:
    case kFail: {
      std::optional<foundation::URL> url;
      if (baseURL_) url = foundation::URL::string(*baseURL_);
      Ref<NSErrorObject> error =
          NSErrorObject::errorWithError(foundation::urlError(foundation::NSURLErrorCancelled, url));
      objc::send<void(WKWebView*, WKNavigation*, NSErrorObject*)>(
          delegate, message == kFail ? failSelector() : failProvisionalSelector(), this, navigation,
          error.get());
      break;
    }
  }
}

}  // namespace webkit
