#pragma once

#include "objc/CGGeometry.h"
#include "objc/NSObject.h"

namespace appkit {

// A view: its opacity and whether it is hidden. Views, controls and their
// delegates belong to the main thread and take no locks. Every setter is a
// message, so key-value observation sees every change.
class NSView : public objc::NSObject {
 public:
  static objc::Class classObject();

  // 1 by default; stored as given.
  objc::CGFloat alphaValue();
  void setAlphaValue(objc::CGFloat alphaValue);
  // NO by default.
  objc::BOOL isHidden();
  void setHidden(objc::BOOL hidden);

 protected:
  NSView() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct NSViewMethods;
  objc::CGFloat alphaValue_ = 1;
  objc::BOOL hidden_ = objc::NO;
};

}  // namespace appkit
