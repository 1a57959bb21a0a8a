#pragma once

// What the runtime's source files share.

#include <atomic>
#include <functional>
#include <string>
#include <unordered_map>

#include "RvCocoa/InterceptionErrors.h"
#include "RvCocoa/RVObjCRuntime.h"
#include "objc/ClassBuilder.h"
#include "objc/Frame.h"

namespace rv::detail {

// Stores an error of the runtime's domain through `slot` (when non-null).
void failWithCode(RVErrorSlot slot, RVObjCRuntimeErrorCode code,
                  foundation::NSError::UserInfo userInfo = {});

// A method's type encoding as a string; raises "Method encoding is nil." or
// "Can't convert encoding to NSString." (only ASCII converts).
std::string methodEncodingString(objc::Method method);

// The `dealloc` selector and the type identifier ordinary objects report,
// both set by `+initialize` of the runtime class.
objc::SEL deallocSelector();
objc::CFTypeID defaultTypeID();

// Method type encoding -> registration block of its fast shape. Filled at
// process start by `+load` and read without a lock afterwards.
using OptimizedObserverRegistry =
    std::unordered_map<std::string, objc::Ref<RVObjCRuntime::RegistrationBlock>>;
OptimizedObserverRegistry& optimizedObserverRegistry();

// Adds the class methods of the fast shapes (the 27 example methods) to the
// runtime class being built.
void addFastShapeExamples(objc::ClassBuilder<RVObjCRuntime>& builder);
// Registers the 27 fast shapes, in their fixed order (`+load`).
void registerFastShapes(objc::Class runtimeClass);

// Where an interceptor sends a call on: the superclass of the class it was
// added to (new-method kind) or the implementation it replaced.
struct Fallback {
  objc::Class addedTo = nullptr;
  objc::IMP replaced = nullptr;

  void operator()(objc::id self, objc::SEL cmd, objc::Frame& frame) const;
};

// The state an interceptor captures: its own implementation (filled right
// after it is made, before anyone else sees it) and its fallback.
struct InterceptorCell {
  std::atomic<objc::IMP> own{nullptr};
  Fallback fallback;
};

// Installs, through the swizzle primitive, an interceptor of `selector` on
// `cls` whose body is `body(cell, self, cmd, frame)`.
using InterceptorBody =
    std::function<void(const InterceptorCell& cell, objc::id self, objc::SEL cmd, objc::Frame&)>;
objc::BOOL installInterceptor(RVObjCRuntime* runtime, objc::SEL selector, objc::Class cls,
                              InterceptorBody body, RVErrorSlot error);

}  // namespace rv::detail
