// The runtime's class-load hook. This file is linked into every program
// that links RvCocoa, so the runtime is set up and its fast interceptor
// shapes are registered when the program starts.

#include "RvCocoa/RVObjCRuntime.h"
#include "objc/ClassBuilder.h"

namespace {
const objc::LoadRegistrar kRuntimeLoad(&rv::RVObjCRuntime::classObject);
}  // namespace

// Named by the library's link option, so that the linker takes this file out
// of the archive into every program that links the library.
extern "C" void kestrix_rvcocoa_load() {}
