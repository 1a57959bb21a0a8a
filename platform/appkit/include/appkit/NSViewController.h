#pragma once

#include "objc/NSObject.h"

namespace appkit {

// A view controller. `viewWillAppear` is sent when its view is about to be
// shown (by whoever shows it); it does nothing here and is there to be
// overridden by subclasses and replaced (page tracking replaces it).
class NSViewController : public objc::NSObject {
 public:
  static objc::Class classObject();

  void viewWillAppear();

 protected:
  NSViewController() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct NSViewControllerMethods;
};

}  // namespace appkit
