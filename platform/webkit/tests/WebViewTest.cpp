#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "appkit/NSErrorObject.h"
#include "dispatch/MainLoop.h"
#include "objc/NSKeyValueObserving.h"
#include "objc/NSMethodSignature.h"
#include "objc/NSNumber.h"
#include "objcTest/Classes.h"
#include "webkit/WKNavigationDelegate.h"
#include "webkit/WKWebView.h"

namespace {

using objc::Ref;
using webkit::WKNavigation;
using webkit::WKWebView;

using objc::test::sel;

// A navigation delegate that records every message; `answers` decides what
// it says to `respondsToSelector:` for the navigation messages.
class Delegate : public objc::NSObject {
 public:
  static objc::Class classObject() {
    static const objc::Class cls =
        objc::ClassBuilder<Delegate>("WKTestDelegate", objc::NSObject::classObject())
            .method("webView:didStartProvisionalNavigation:", &Delegate::navigation)
            .method("webView:didCommitNavigation:", &Delegate::navigation)
            .method("webView:didFinishNavigation:", &Delegate::navigation)
            .method("webView:didFailProvisionalNavigation:withError:", &Delegate::failure)
            .method("webView:didFailNavigation:withError:", &Delegate::failure)
            .method("respondsToSelector:", &Delegate::respondsToSelectorImpl)
            .build();
    return cls;
  }

  struct Call {
    std::string selector;
    WKWebView* view;
    Ref<WKNavigation> navigation;
    Ref<appkit::NSErrorObject> error;
  };
  std::vector<Call> calls;
  bool answers = true;
  std::function<void(const Call&)> onCall;

  std::vector<std::string> selectors() const {
    std::vector<std::string> names;
    for (const auto& call : calls) names.push_back(call.selector);
    return names;
  }

 private:
  friend struct objc::detail::InstanceAccess;
  static void navigation(Delegate* self, objc::SEL cmd, WKWebView* view, WKNavigation* nav) {
    self->calls.push_back({objc::sel_getName(cmd), view, Ref<WKNavigation>(nav), nullptr});
    if (self->onCall) self->onCall(self->calls.back());
  }
  static void failure(Delegate* self, objc::SEL cmd, WKWebView* view, WKNavigation* nav,
                      appkit::NSErrorObject* error) {
    self->calls.push_back(
        {objc::sel_getName(cmd), view, Ref<WKNavigation>(nav), Ref<appkit::NSErrorObject>(error)});
    if (self->onCall) self->onCall(self->calls.back());
  }
  static objc::BOOL respondsToSelectorImpl(Delegate* self, objc::SEL, objc::SEL selector) {
    const std::string name = objc::sel_getName(selector);
    if (name.starts_with("webView:")) return self->answers;
    return objc::class_respondsToSelector(objc::object_getClass(self), selector);
  }
};

const char* kStart = "webView:didStartProvisionalNavigation:";
const char* kCommit = "webView:didCommitNavigation:";
const char* kFinish = "webView:didFinishNavigation:";
const char* kFailProvisional = "webView:didFailProvisionalNavigation:withError:";
const char* kFail = "webView:didFailNavigation:withError:";

// Runs the main-queue blocks pending now (one phase of a navigation).
void turn() { dispatch::MainLoop::drainPending(); }
void settle() {
  for (int i = 0; i < 5; ++i) turn();
}

class WebView : public testing::Test {
 protected:
  void SetUp() override {
    settle();
    view = objc::make<WKWebView>();
    delegate = objc::make<Delegate>();
    view->setNavigationDelegate(delegate.get());
  }
  Ref<WKWebView> view;
  Ref<Delegate> delegate;
};

TEST_F(WebView, NavigationRunsItsPhasesOnePerTurnOfTheMainQueue) {
  EXPECT_EQ(view->navigationDelegate(), delegate);
  EXPECT_FALSE(view->isLoading());
  Ref<WKNavigation> navigation = view->loadHTMLString("<p>hi</p>");
  ASSERT_TRUE(navigation);
  EXPECT_TRUE(view->isLoading());
  EXPECT_TRUE(delegate->calls.empty());
  turn();
  EXPECT_EQ(delegate->selectors(), std::vector<std::string>{kStart});
  turn();
  EXPECT_EQ(delegate->selectors(), (std::vector<std::string>{kStart, kCommit}));
  EXPECT_TRUE(view->isLoading());
  turn();
  EXPECT_EQ(delegate->selectors(), (std::vector<std::string>{kStart, kCommit, kFinish}));
  EXPECT_FALSE(view->isLoading());
  for (const auto& call : delegate->calls) {
    EXPECT_EQ(call.view, view.get());
    EXPECT_EQ(call.navigation, navigation);
  }
  settle();
  EXPECT_EQ(delegate->calls.size(), 3u);
}

TEST_F(WebView, StopWhileProvisionalFailsItAsCancelled) {
  auto navigation = view->loadHTMLString("x", "https://example.test/");
  turn();
  view->stopLoading();
  EXPECT_FALSE(view->isLoading());
  settle();
  ASSERT_EQ(delegate->selectors(), (std::vector<std::string>{kStart, kFailProvisional}));
  const auto& failure = delegate->calls[1];
  EXPECT_EQ(failure.navigation, navigation);
  ASSERT_TRUE(failure.error);
  EXPECT_EQ(failure.error->domain(), "NSURLErrorDomain");
  EXPECT_EQ(failure.error->code(), -999);
}

TEST_F(WebView, StopAfterCommitFailsTheNavigation) {
  auto navigation = view->loadHTMLString("x");
  turn();
  turn();
  view->stopLoading();
  settle();
  ASSERT_EQ(delegate->selectors(), (std::vector<std::string>{kStart, kCommit, kFail}));
  EXPECT_EQ(delegate->calls[2].navigation, navigation);
  EXPECT_EQ(delegate->calls[2].error->code(), -999);
}

TEST_F(WebView, StopBeforeTheStartWasToldEndsSilently) {
  view->loadHTMLString("x");
  view->stopLoading();
  view->stopLoading();
  settle();
  EXPECT_TRUE(delegate->calls.empty());
  EXPECT_FALSE(view->isLoading());
}

TEST_F(WebView, StopFromInsideTheDelegateEndsTheNavigationThere) {
  delegate->onCall = [&](const Delegate::Call& call) {
    if (call.selector == kStart) view->stopLoading();
  };
  view->loadHTMLString("x");
  settle();
  EXPECT_EQ(delegate->selectors(), (std::vector<std::string>{kStart, kFailProvisional}));
}

TEST_F(WebView, ANewLoadFailsTheOneUnderWay) {
  auto first = view->loadHTMLString("first");
  turn();
  auto second = view->loadHTMLString("second");
  EXPECT_TRUE(view->isLoading());
  settle();
  ASSERT_EQ(delegate->selectors(),
            (std::vector<std::string>{kStart, kFailProvisional, kStart, kCommit, kFinish}));
  EXPECT_EQ(delegate->calls[1].navigation, first);
  for (size_t i = 2; i < 5; ++i) EXPECT_EQ(delegate->calls[i].navigation, second);
  EXPECT_FALSE(view->isLoading());
}

TEST_F(WebView, WhatTheDelegateImplementsIsAskedWhenItIsSet) {
  delegate->answers = false;
  view->setNavigationDelegate(delegate.get());
  delegate->answers = true;
  view->loadHTMLString("x");
  settle();
  EXPECT_TRUE(delegate->calls.empty());  // the answer given when set still holds

  // Setting it again (as a delegate proxy does after a change) asks anew.
  view->setNavigationDelegate(nullptr);
  view->setNavigationDelegate(delegate.get());
  view->loadHTMLString("y");
  settle();
  EXPECT_EQ(delegate->selectors(), (std::vector<std::string>{kStart, kCommit, kFinish}));
}

TEST_F(WebView, DelegateIsWeakAndAGoneViewRunsNoPhases) {
  {
    auto gone = objc::make<Delegate>();
    view->setNavigationDelegate(gone.get());
  }
  EXPECT_EQ(view->navigationDelegate(), nullptr);
  view->loadHTMLString("x");
  settle();
  EXPECT_FALSE(view->isLoading());

  view->setNavigationDelegate(delegate.get());
  view->loadHTMLString("y");
  turn();
  view = nullptr;  // the web view goes while its navigation is under way
  settle();
  EXPECT_EQ(delegate->selectors(), std::vector<std::string>{kStart});
}

TEST_F(WebView, LoadingIsObservable) {
  std::vector<bool> seen;
  auto observation = objc::NSKeyValueObservation::observe(
      view.get(), "loading", objc::NSKeyValueObservingOptionNew,
      [&](objc::id, objc::NSDictionary* change) {
        auto* value = dynamic_cast<objc::NSNumber*>(
            objc::changeValue(change, objc::NSKeyValueChangeNewKey).get());
        seen.push_back(value && value->boolValue());
      });
  view->loadHTMLString("x");
  settle();
  observation->invalidate();
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));
}

TEST(WebViewProtocol, DescribesEveryMessageTheViewSends) {
  objc::Protocol* protocol = webkit::WKNavigationDelegateProtocol();
  EXPECT_EQ(objc::objc_getProtocol("WKNavigationDelegate"), protocol);
  EXPECT_NE(objc::objc_getClass("WKWebView"), nullptr);
  EXPECT_NE(objc::objc_getClass("WKNavigation"), nullptr);
  const auto optional = objc::protocol_copyMethodDescriptionList(protocol, objc::NO, objc::YES);
  EXPECT_EQ(optional.size(), 5u);
  for (const auto& description : optional) EXPECT_EQ(description.types[0], 'v');
  EXPECT_STREQ(objc::protocol_getMethodDescription(protocol, sel(kFail), objc::NO, objc::YES).types,
               "v40@0:8@16@24@32");
  EXPECT_STREQ(
      objc::protocol_getMethodDescription(protocol, sel(kCommit), objc::NO, objc::YES).types,
      "v32@0:8@16@24");
}

}  // namespace
