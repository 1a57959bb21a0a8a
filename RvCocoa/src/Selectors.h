#pragma once

#include "objc/Runtime.h"

namespace rv {

// The selector of a method name, registered on first use.
inline objc::SEL sel(const char* name) { return objc::sel_registerName(name); }

}  // namespace rv
