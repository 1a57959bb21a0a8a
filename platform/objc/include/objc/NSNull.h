#pragma once

#include "objc/NSObject.h"

namespace objc {

// The null object: one instance for the process, standing for "nothing"
// where an object is required (in arrays and dictionaries).
class NSNull final : public NSObject {
 public:
  static Class classObject();
  static Ref<NSNull> null();

 private:
  friend struct detail::InstanceAccess;
  NSNull() = default;
};

}  // namespace objc
