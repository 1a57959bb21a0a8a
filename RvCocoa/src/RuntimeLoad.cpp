// The runtime's class-load hook. This file is compiled into every program
// that links RvCocoa, so the runtime is set up and its fast interceptor
// shapes are registered when the program starts.

#include "RvCocoa/RVObjCRuntime.h"
#include "objc/ClassBuilder.h"

namespace {
const objc::LoadRegistrar kRuntimeLoad(&rv::RVObjCRuntime::classObject);
}  // namespace
