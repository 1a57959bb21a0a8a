#pragma once

#include <atomic>
#include <string>

#include "objc/NSObject.h"

namespace objc::test {

// A class name no other test uses (classes are process-wide).
inline std::string uniqueName(const std::string& base) {
  static std::atomic<int> counter{0};
  return base + "_" + std::to_string(counter.fetch_add(1));
}

inline SEL sel(const char* name) { return sel_registerName(name); }

// A runtime subclass of NSObject with a fresh name, registered.
inline Class makeSubclass(Class superclass, const std::string& base = "Probe") {
  Class cls = objc_allocateClassPair(superclass, uniqueName(base).c_str(), 0);
  objc_registerClassPair(cls);
  return cls;
}

}  // namespace objc::test
