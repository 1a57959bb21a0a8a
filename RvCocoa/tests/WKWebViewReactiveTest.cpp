#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "RvCocoa/WKWebViewReactive.h"
#include "RvStreamsTest/Recording.h"
#include "appkit/NSErrorObject.h"
#include "dispatch/MainLoop.h"
#include "foundation/URLSession.h"
#include "objc/Message.h"
#include "objcTest/Classes.h"

namespace rv {
namespace {

using rv::test::RecordingObserver;
using webkit::WKNavigation;
using webkit::WKWebView;

using objc::test::sel;

// The application's navigation delegate: implements only the finish and the
// failure messages, writing them to `log`.
class AppNavigationDelegate final : public objc::NSObject {
 public:
  static objc::Class classObject() {
    static const objc::Class cls =
        objc::ClassBuilder<AppNavigationDelegate>("RvTestAppNavigationDelegate",
                                                  objc::NSObject::classObject())
            .method<void(WKWebView*, WKNavigation*)>(
                "webView:didFinishNavigation:",
                [](AppNavigationDelegate* self, objc::SEL, WKWebView*, WKNavigation*) {
                  self->log->push_back("delegate finish");
                })
            .method<void(WKWebView*, WKNavigation*, appkit::NSErrorObject*)>(
                "webView:didFailNavigation:withError:",
                [](AppNavigationDelegate* self, objc::SEL, WKWebView*, WKNavigation*,
                   appkit::NSErrorObject*) { self->log->push_back("delegate fail"); })
            .protocol(WKNavigationDelegate::protocol())
            .build();
    return cls;
  }
  static objc::Ref<AppNavigationDelegate> create(std::vector<std::string>* log) {
    objc::Ref<AppNavigationDelegate> delegate = objc::make<AppNavigationDelegate>();
    delegate->log = log;
    return delegate;
  }

  std::vector<std::string>* log = nullptr;

 private:
  friend struct objc::detail::InstanceAccess;
  AppNavigationDelegate() = default;
};

// A web view kind without a proxy registration of its own.
class PlainWebView final : public WKWebView {
 public:
  static objc::Class classObject() {
    static const objc::Class cls =
        objc::ClassBuilder<PlainWebView>("RvTestPlainWebView", WKWebView::classObject()).build();
    return cls;
  }

 private:
  friend struct objc::detail::InstanceAccess;
  PlainWebView() = default;
};

objc::Ref<WKWebView> makeWebView() { return objc::make<WKWebView>(); }

// Runs the main queue until `done` holds.
void runUntil(const std::function<bool()>& done) {
  ASSERT_TRUE(dispatch::MainLoop::runUntil(done, dispatch::DispatchTimeInterval::seconds(5)));
}

// Loads a page and runs the main queue until its navigation finished.
objc::Ref<WKNavigation> loadPage(const objc::Ref<WKWebView>& webView) {
  objc::Ref<WKNavigation> navigation = webView->loadHTMLString("<p>page</p>");
  runUntil([&] { return !webView->isLoading(); });
  return navigation;
}

template <class T>
Ref<Disposable> logElements(const Ref<Observable<T>>& source, std::vector<std::string>& log,
                            const std::string& tag) {
  return source->subscribe(makeAnonymousObserver<T>([&log, tag](const Event<T>& event) {
    log.push_back(tag + (event.isNext() ? " next" : event.isCompleted() ? " completed" : " error"));
  }));
}

TEST(WKWebViewReactive, TheApplicationsDelegateRunsFirstThroughTheProxy) {
  objc::Ref<WKWebView> webView = makeWebView();
  std::vector<std::string> log;
  objc::Ref<AppNavigationDelegate> application = AppNavigationDelegate::create(&log);
  webView->setNavigationDelegate(application.get());

  auto finished = didFinishNavigation(rv::rv(webView));
  objc::Ref<RvWKNavigationDelegateProxy> proxy = navigationDelegate(rv::rv(webView));
  EXPECT_EQ(webView->navigationDelegate(), proxy) << "installed when the member is read";
  EXPECT_EQ(proxy->forwardToDelegate(),
            ProtocolRef<WKNavigationDelegate>::fromObject(application.get()));
  EXPECT_EQ(proxy->webView(), webView);
  EXPECT_EQ(navigationDelegate(rv::rv(webView)), proxy) << "one proxy per web view";

  auto recorder = RecordingObserver<objc::Ref<WKNavigation>>::create();
  auto subscription = finished->subscribe(recorder);
  auto logged = logElements(finished, log, "sequence");
  objc::Ref<WKNavigation> navigation = loadPage(webView);
  EXPECT_EQ(log, (std::vector<std::string>{"delegate finish", "sequence next"}));
  EXPECT_EQ(recorder->elements(), std::vector<objc::Ref<WKNavigation>>{navigation});
  subscription->dispose();
  logged->dispose();
}

TEST(WKWebViewReactive, WithoutAnApplicationDelegateEveryCommitArrives) {
  objc::Ref<WKWebView> webView = makeWebView();
  auto recorder = RecordingObserver<objc::Ref<WKNavigation>>::create();
  auto subscription = didCommitNavigation(rv::rv(webView))->subscribe(recorder);
  auto started = RecordingObserver<objc::Ref<WKNavigation>>::create();
  auto startSubscription = didStartProvisionalNavigation(rv::rv(webView))->subscribe(started);
  objc::Ref<WKNavigation> first = loadPage(webView);
  objc::Ref<WKNavigation> second = loadPage(webView);
  EXPECT_EQ(recorder->elements(), (std::vector<objc::Ref<WKNavigation>>{first, second}));
  EXPECT_EQ(started->elements(), (std::vector<objc::Ref<WKNavigation>>{first, second}));
  subscription->dispose();
  startSubscription->dispose();
}

TEST(WKWebViewReactive, TheProxyRespondsToAnObservedMessageOnlyWhileObserved) {
  objc::Ref<WKWebView> webView = makeWebView();
  objc::Ref<RvWKNavigationDelegateProxy> proxy = navigationDelegate(rv::rv(webView));
  const objc::SEL commit = sel("webView:didCommitNavigation:");
  EXPECT_FALSE(proxy->respondsToSelector(commit));

  auto commits = didCommitNavigation(rv::rv(webView));
  EXPECT_FALSE(proxy->respondsToSelector(commit)) << "reading the member is not observing";
  auto subscription = commits->subscribe(RecordingObserver<objc::Ref<WKNavigation>>::create());
  EXPECT_TRUE(proxy->respondsToSelector(commit));
  subscription->dispose();
  EXPECT_FALSE(proxy->respondsToSelector(commit));

  std::vector<std::string> log;
  objc::Ref<AppNavigationDelegate> application = AppNavigationDelegate::create(&log);
  webView->setNavigationDelegate(application.get());
  navigationDelegate(rv::rv(webView));
  EXPECT_TRUE(proxy->respondsToSelector(sel("webView:didFinishNavigation:")))
      << "the application's delegate implements it";
}

TEST(WKWebViewReactive, AFailedNavigationArrivesWithItsError) {
  objc::Ref<WKWebView> webView = makeWebView();
  std::vector<std::string> log;
  objc::Ref<AppNavigationDelegate> application = AppNavigationDelegate::create(&log);
  webView->setNavigationDelegate(application.get());
  auto failures = RecordingObserver<NavigationFailure>::create();
  auto subscription = didFailNavigation(rv::rv(webView))->subscribe(failures);
  bool committed = false;
  auto commits = didCommitNavigation(rv::rv(webView))
                     ->subscribe(makeAnonymousObserver<objc::Ref<WKNavigation>>(
                         [&](const Event<objc::Ref<WKNavigation>>&) { committed = true; }));

  objc::Ref<WKNavigation> navigation = webView->loadHTMLString("<p>page</p>");
  runUntil([&] { return committed; });
  webView->stopLoading();

  ASSERT_EQ(failures->elements().size(), 1u);
  EXPECT_EQ(failures->elements()[0].first, navigation);
  ASSERT_TRUE(failures->elements()[0].second);
  EXPECT_EQ(failures->elements()[0].second->domain(), foundation::NSURLErrorDomain);
  EXPECT_EQ(failures->elements()[0].second->code(), foundation::NSURLErrorCancelled);
  EXPECT_EQ(log, std::vector<std::string>{"delegate fail"});
  subscription->dispose();
  commits->dispose();
}

TEST(WKWebViewReactive, AnArgumentOfAnotherTypeFailsTheSubscription) {
  objc::Ref<WKWebView> webView = makeWebView();
  auto recorder = RecordingObserver<objc::Ref<WKNavigation>>::create();
  auto subscription = didFinishNavigation(rv::rv(webView))->subscribe(recorder);
  objc::Ref<RvWKNavigationDelegateProxy> proxy = navigationDelegate(rv::rv(webView));
  objc::send<void(WKWebView*, WKNavigation*)>(proxy, sel("webView:didFinishNavigation:"),
                                              webView.get(), nullptr);
  ASSERT_EQ(recorder->stopCount(), 1);
  const auto events = recorder->events();
  const Error* error = events.back().error();
  ASSERT_NE(error, nullptr);
  try {
    std::rethrow_exception(*error);
  } catch (const RvCocoaError& casting) {
    EXPECT_EQ(casting.kind(), RvCocoaError::Kind::castingError);
    EXPECT_EQ(casting.targetTypeName(), "WKNavigation");
    EXPECT_NE(std::string(casting.what()).find("to `WKNavigation`"), std::string::npos);
  }

  // Only that subscription ends: a new one still gets navigations.
  auto again = RecordingObserver<objc::Ref<WKNavigation>>::create();
  auto second = didFinishNavigation(rv::rv(webView))->subscribe(again);
  loadPage(webView);
  EXPECT_EQ(again->elements().size(), 1u);
  second->dispose();
  subscription->dispose();
}

TEST(WKWebViewReactive, EverySequenceCompletesWithTheWebView) {
  objc::Ref<WKWebView> webView = objc::make<PlainWebView>();
  auto finishes = RecordingObserver<objc::Ref<WKNavigation>>::create();
  auto failures = RecordingObserver<NavigationFailure>::create();
  auto a = didFinishNavigation(rv::rv(webView))->subscribe(finishes);
  auto b = didFailNavigation(rv::rv(webView))->subscribe(failures);
  objc::Weak<RvWKNavigationDelegateProxy> proxy(navigationDelegate(rv::rv(webView)));
  ASSERT_TRUE(proxy.load()) << "a subclass is served by the web view's make closure";
  webView = nullptr;
  EXPECT_FALSE(proxy.load());
  EXPECT_EQ(finishes->completedCount(), 1);
  EXPECT_EQ(failures->completedCount(), 1);
}

TEST(WKWebViewReactiveDeathTest, MisuseStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  objc::Ref<WKWebView> webView = makeWebView();
  EXPECT_DEATH(
      {
        std::thread thread([&] { didFinishNavigation(rv::rv(webView)); });
        thread.join();
      },
      "Fatal error: Running on background thread.");
  EXPECT_DEATH((DelegateProxy<WKWebView, ProtocolRef<WKNavigationDelegate>>::create<
                   RvWKNavigationDelegateProxy>(webView)),
               "Fatal error: Use of unimplemented initializer "
               "'init\\(parentObject:delegateProxy:\\)' for class "
               "'RvCocoa.RvWKNavigationDelegateProxy'");
  navigationDelegate(rv::rv(webView));
  EXPECT_DEATH(DelegateProxyType<RvWKNavigationDelegateProxy>::addProxyMaker<WKWebView>(
                   [](const objc::Ref<WKWebView>& view) {
                     return RvWKNavigationDelegateProxy::create(view);
                   }),
               "Fatal error: The factory of WKWebView is duplicated. DelegateProxy is not allowed "
               "of duplicated base object type.");
}

}  // namespace
}  // namespace rv
