#pragma once

#include "objc/Runtime.h"

namespace appkit::detail {

inline objc::SEL sel(const char* name) { return objc::sel_registerName(name); }

// Whether `object` answers YES to `respondsToSelector:` for `selector`.
bool responds(objc::id object, objc::SEL selector);

}  // namespace appkit::detail
