#pragma once

// Seams for tests: they change a class or an implementation "behind the
// runtime's back" at a chosen moment, so races with other code that modifies
// the runtime can be reproduced deterministically. Built only with the tests.

#include <functional>

#include "objc/Runtime.h"

namespace objc::testing {

// Runs `hook` once, inside the next `object_setClass` of `object`, right
// before the class is exchanged (so whatever the hook sets is what the
// exchange returns as the previous class).
void onNextSetClass(id object, std::function<void()> hook);

// Runs `hook` once, inside the next `method_setImplementation` of `method`,
// right before the implementation is exchanged.
void onNextSetImplementation(Method method, std::function<void()> hook);

// Gives the instances of `cls` (and of subclasses made afterwards) another
// CoreFoundation type identifier, as toll-free bridged objects have.
void setCFTypeID(Class cls, CFTypeID typeID);

}  // namespace objc::testing
