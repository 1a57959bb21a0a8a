#include "ZozIduvurAnalytics/DUZEAnalyticsCategory.h"

#include <atomic>

#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvurAnalytics/DUZEAnalytics.h"
#include "base/Mutex.h"
#include "objc/Message.h"
#include "objc/Runtime.h"

namespace {

constexpr std::string_view kViewControllerSuffix = "ViewController";

base::Mutex gMissedMutex;
std::string gMissedPageViewName KX_GUARDED_BY(gMissedMutex);

base::Mutex gSwizzleMutex;
bool gSwizzled KX_GUARDED_BY(gSwizzleMutex) = false;
std::atomic<objc::IMP> gOriginalViewWillAppear{nullptr};

objc::SEL viewWillAppearSelector() {
  static const objc::SEL sel = objc::sel_registerName("viewWillAppear");
  return sel;
}

// Runs in place of the view controller's "viewWillAppear".
void duze_viewWillAppear(objc::id self) {
  objc::callImplementation<void()>(gOriginalViewWillAppear.load(), self, viewWillAppearSelector());
  if (!DUZEAnalytics::isAutoPageTrackingEnabled()) return;
  static const objc::SEL classSelector = objc::sel_registerName("class");
  objc::Class cls = objc::send<objc::Class()>(self, classSelector);
  if (!cls) cls = objc::object_getClass(self);
  auto pageName = DUZEPageViewLogging::pageNameForClassName(objc::class_getName(cls));
  if (!pageName) return;
  if (DUZEAnalytics::sharedInstance()->isAvailable()) {
    DUZEAnalyticsCategory::setMissedPageViewName({});
    DUZEAnalytics::trackPage(*pageName);
  } else {
    DUZEAnalyticsCategory::setMissedPageViewName(*pageName);
  }
}

}  // namespace

void DUZEAnalyticsCategory::activateCategory() { DUZEPageViewLogging::swizzleViewWillAppear(); }

std::string DUZEAnalyticsCategory::missedPageViewName() {
  base::LockGuard lock(gMissedMutex);
  return gMissedPageViewName;
}

void DUZEAnalyticsCategory::setMissedPageViewName(std::string name) {
  base::LockGuard lock(gMissedMutex);
  gMissedPageViewName = std::move(name);
}

bool DUZEPageViewLogging::swizzleViewWillAppear() {
  base::LockGuard lock(gSwizzleMutex);
  if (gSwizzled) return true;
  objc::Class cls = objc::objc_getClass("NSViewController");
  objc::Method method =
      cls ? objc::class_getInstanceMethod(cls, viewWillAppearSelector()) : nullptr;
  if (!method) {
    DUZELogDebug(kDUZEAnalyticsLogTag,
                 "NSViewController is not loaded; pages are not tracked automatically yet.");
    return false;
  }
  objc::IMP replacement =
      objc::imp_implementationWithBlock<void()>([](objc::id self) { duze_viewWillAppear(self); });
  gOriginalViewWillAppear = objc::method_setImplementation(method, replacement);
  gSwizzled = true;
  return true;
}

std::optional<std::string> DUZEPageViewLogging::pageNameForClassName(std::string_view className) {
  // Containers show other controllers' pages; they are not pages themselves.
  for (std::string_view container :
       {"NSTabViewController", "NSSplitViewController", "NSPageController"}) {
    if (className == container) return std::nullopt;
  }
  std::string name(className);
  if (const size_t dot = name.rfind('.'); dot != std::string::npos) name.erase(0, dot + 1);
  if (name.size() > kViewControllerSuffix.size() && name.ends_with(kViewControllerSuffix)) {
    name.erase(name.size() - kViewControllerSuffix.size());
  }
  return name;
}
