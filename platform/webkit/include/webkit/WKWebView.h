#pragma once

// platform/webkit: a model of the web view (this header), of its navigations
// (WKNavigation.h) and of its navigation delegate protocol
// (WKNavigationDelegate.h), as far as the web view bindings use them. There
// is no rendering, network or script: a load runs a navigation through its
// phases on the main queue.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "appkit/NSView.h"
#include "webkit/WKNavigation.h"

namespace webkit {

// A web view, modelled as far as its navigations go: there is no rendering
// and no network. Loading content runs a navigation through its phases, each
// on a later turn of the main queue (platform/dispatch), telling the
// navigation delegate about each:
//
//   loadHTMLString  -> webView:didStartProvisionalNavigation:
//                   -> webView:didCommitNavigation:
//                   -> webView:didFinishNavigation:   (isLoading back to NO)
//
// Stopping a navigation, or starting another over it, fails it with
// NSURLErrorCancelled (-999) of NSURLErrorDomain: while provisional through
// webView:didFailProvisionalNavigation:withError:, once committed through
// webView:didFailNavigation:withError:; before its start was told, silently.
//
// The navigation delegate is held weakly. Which of its optional messages it
// implements is asked (`respondsToSelector:`) when it is set and remembered:
// a delegate that starts answering differently later is only asked again when
// it is set again. Main thread only; a phase due after the view was
// deallocated does nothing.
class WKWebView : public appkit::NSView {
 public:
  static objc::Class classObject();

  objc::Ref<objc::Object> navigationDelegate();
  void setNavigationDelegate(objc::id delegate);

  // Starts a navigation to `html` (the content is not shown anywhere) and
  // returns it; `isLoading` becomes YES at once.
  objc::Ref<WKNavigation> loadHTMLString(std::string_view html,
                                         std::optional<std::string> baseURL = std::nullopt);
  // Fails the current navigation as cancelled (see above); nothing when none.
  void stopLoading();
  // Whether a navigation is under way. Observable.
  objc::BOOL isLoading();

 protected:
  WKWebView() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct WKWebViewMethods;

  enum class Phase { requested, provisional, committed };
  enum Message : unsigned {
    kStart = 1u << 0,
    kCommit = 1u << 1,
    kFinish = 1u << 2,
    kFailProvisional = 1u << 3,
    kFail = 1u << 4,
  };

  void schedule(uint64_t navigationID);
  void advance(uint64_t navigationID);
  void endCurrent(bool cancelled);
  void tell(Message message, WKNavigation* navigation);

  objc::Weak<objc::Object> delegate_;
  unsigned implemented_ = 0;
  objc::Ref<WKNavigation> current_;
  uint64_t currentID_ = 0;
  uint64_t lastID_ = 0;
  Phase phase_ = Phase::requested;
  std::optional<std::string> baseURL_;
  objc::BOOL loading_ = objc::NO;
};

}  // namespace webkit
