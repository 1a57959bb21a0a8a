// Automatic page tracking through the view-appearance hook on the object
// runtime's view-controller class.

#include <atomic>

#include "AnalyticsSupport.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsCategory.h"
#include "ZozIduvurAnalytics/DUZEPageLog.h"
#include "dispatch/MainLoop.h"
#include "objc/NSObject.h"
#include "objc/Runtime.h"

namespace {

using duzetest::FakeGroup;

std::atomic<int> gAppearances{0};

// The view-controller class of the tests (the application layer provides
// the real one), with subclasses named as an application's would be.
objc::Class viewControllerClass() {
  static const objc::Class cls = [] {
    objc::Class c =
        objc::objc_allocateClassPair(objc::NSObject::classObject(), "NSViewController", 0);
    objc::class_addMethod(
        c, objc::sel_registerName("viewWillAppear"),
        objc::imp_implementationWithBlock<void()>([](objc::id) { ++gAppearances; }), "v16@0:8");
    objc::objc_registerClassPair(c);
    return c;
  }();
  return cls;
}

objc::Class subclass(const char* name) {
  if (objc::Class existing = objc::objc_getClass(name)) return existing;
  objc::Class c = objc::objc_allocateClassPair(viewControllerClass(), name, 0);
  objc::objc_registerClassPair(c);
  return c;
}

// Shows a controller of the class: sends it "viewWillAppear".
void appear(const char* className) {
  objc::Ref<objc::Object> controller = objc::class_createInstance(subclass(className));
  objc::send<void()>(controller.get(), objc::sel_registerName("viewWillAppear"));
}

class PageTracking : public analyticstest::AnalyticsTest {
 protected:
  std::vector<std::string> pages() {
    std::vector<std::string> names;
    if (!group_) return names;
    for (const auto& page : group_->unit("Analytics")->logsOf<DUZEPageLog>()) {
      names.push_back(page->name().value_or(""));
    }
    return names;
  }
  std::shared_ptr<FakeGroup> group_;
};

TEST_F(PageTracking, NothingIsInstalledWhileTheClassIsMissing) {
  if (objc::objc_getClass("NSViewController")) GTEST_SKIP() << "the class was defined earlier";
  EXPECT_FALSE(DUZEPageViewLogging::swizzleViewWillAppear());
}

TEST_F(PageTracking, PageNamesDropModuleAndViewControllerSuffix) {
  EXPECT_EQ(DUZEPageViewLogging::pageNameForClassName("Switcher.SettingsViewController"),
            "Settings");
  EXPECT_EQ(DUZEPageViewLogging::pageNameForClassName("ViewController"), "ViewController");
  EXPECT_EQ(DUZEPageViewLogging::pageNameForClassName("A.B.Overview"), "Overview");
  EXPECT_EQ(DUZEPageViewLogging::pageNameForClassName("AboutViewControllerX"),
            "AboutViewControllerX");
  for (const char* container : {"NSTabViewController", "NSSplitViewController", "NSPageController"})
    EXPECT_FALSE(DUZEPageViewLogging::pageNameForClassName(container)) << container;
}

TEST_F(PageTracking, AppearingControllersAreTrackedByName) {
  viewControllerClass();
  DUZEAnalyticsCategory::activateCategory();
  ASSERT_TRUE(DUZEPageViewLogging::swizzleViewWillAppear());
  DUZEAnalytics::setAutoPageTrackingEnabled(true);
  group_ = startOnFakeGroup();
  const int before = gAppearances.load();
  appear("Switcher.SettingsViewController");
  appear("ViewController");
  appear("NSTabViewController");
  // The replaced implementation still runs, every time.
  EXPECT_EQ(gAppearances.load(), before + 3);
  EXPECT_EQ(pages(), (std::vector<std::string>{"Settings", "ViewController"}));
  EXPECT_TRUE(DUZEAnalyticsCategory::missedPageViewName().empty());
}

TEST_F(PageTracking, NothingIsTrackedWhenAutomaticTrackingIsOff) {
  viewControllerClass();
  DUZEAnalyticsCategory::activateCategory();
  group_ = startOnFakeGroup();
  const int before = gAppearances.load();
  appear("Switcher.SettingsViewController");
  EXPECT_EQ(gAppearances.load(), before + 1);
  EXPECT_TRUE(pages().empty());
  EXPECT_TRUE(DUZEAnalyticsCategory::missedPageViewName().empty());
}

TEST_F(PageTracking, APageShownBeforeTheStartIsTrackedOnceTheServiceIsEnabled) {
  viewControllerClass();
  DUZEAnalyticsCategory::activateCategory();
  DUZEAnalytics::setAutoPageTrackingEnabled(true);
  appear("Switcher.WelcomeViewController");
  appear("Switcher.HelpViewController");  // the last one wins
  EXPECT_EQ(DUZEAnalyticsCategory::missedPageViewName(), "Help");
  group_ = startOnFakeGroup();
  EXPECT_TRUE(pages().empty());  // queued on the main queue
  dispatch::MainLoop::drainPending();
  EXPECT_EQ(pages(), std::vector<std::string>{"Help"});
  // Tracking it does not clear it.
  EXPECT_EQ(DUZEAnalyticsCategory::missedPageViewName(), "Help");
}

}  // namespace
