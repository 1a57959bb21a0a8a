#pragma once

#include "objc/NSObject.h"

namespace webkit {

// One navigation of a web view: the token its navigation delegate messages
// carry from start to finish. Opaque.
class WKNavigation : public objc::NSObject {
 public:
  static objc::Class classObject();

 protected:
  WKNavigation() = default;

 private:
  friend struct objc::detail::InstanceAccess;
};

}  // namespace webkit
