#pragma once

#include <optional>
#include <string>
#include <string_view>

// Automatic page tracking: once activated, every view controller that is
// about to appear is tracked as a page view (when the host turned automatic
// page tracking on), named after its class.
class DUZEAnalyticsCategory {
 public:
  // Installs the view-appearance hook (see DUZEPageViewLogging).
  static void activateCategory();
  // The last page that appeared while the service could not track it; the
  // service tracks it when it is enabled. Empty when there is none.
  static std::string missedPageViewName();
  static void setMissedPageViewName(std::string name);
};

// The view-controller side of automatic page tracking, on the object
// runtime's view-controller class ("NSViewController").
class DUZEPageViewLogging {
 public:
  // Once per process, replaces the implementation of "viewWillAppear" of
  // "NSViewController" by `duze_viewWillAppear`, keeping the replaced one.
  // Answers whether the hook is installed (NO while the view-controller
  // class is not loaded; a later call tries again).
  static bool swizzleViewWillAppear();
  // The page name for a view controller's class name: the part after the
  // last "." without a trailing "ViewController" (unless that is all of it);
  // none for the container controllers that are not pages.
  static std::optional<std::string> pageNameForClassName(std::string_view className);
};
