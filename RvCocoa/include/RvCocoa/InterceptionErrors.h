#pragma once

// How the message-interception runtime reports failures: error objects with
// a code in the runtime's own domain (ordinary refusals), a log line when
// another party changed the object runtime at the same time, and an
// exception named "RV Invalid Operator" for broken internal invariants. The
// reactive layer turns the error objects into `RvCocoaObjCRuntimeError`.

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/NSError.h"
#include "objc/Ref.h"
#include "objc/Runtime.h"

namespace rv {

inline constexpr std::string_view RVObjCRuntimeErrorDomain = "RVObjCRuntimeErrorDomain";
// User-info key of code 2: a boolean, true when the colliding mechanism is KVO.
inline constexpr std::string_view RVObjCRuntimeErrorIsKVOKey = "RVObjCRuntimeErrorIsKVOKey";

// The codes the runtime stores in its error objects.
enum RVObjCRuntimeErrorCode : int64_t {
  // An installation reported success but no interceptor is recorded.
  RVObjCRuntimeErrorUnknown = 1,
  // The object's actual class differs from the class it reports.
  RVObjCRuntimeErrorObjectMessagesAlreadyBeingIntercepted = 2,
  RVObjCRuntimeErrorSelectorNotImplemented = 3,
  RVObjCRuntimeErrorCantInterceptCoreFoundationTollFreeBridgedObjects = 4,
  // The object's class changed while it was being switched.
  RVObjCRuntimeErrorThreadingCollisionWithOtherInterceptionMechanism = 5,
  // The implementation could not be saved under the RV selector.
  RVObjCRuntimeErrorSavingOriginalForwardingMethodFailed = 6,
  // The implementation changed while it was replaced by `_objc_msgForward`.
  RVObjCRuntimeErrorReplacingMethodWithForwardingImplementation = 7,
  RVObjCRuntimeErrorObservingPerformanceSensitiveMessages = 8,
  RVObjCRuntimeErrorObservingMessagesWithUnsupportedReturnType = 9,
};

// Name of the exception raised when an internal invariant of the runtime
// breaks. Nothing in the runtime catches it.
inline constexpr const char* RVInvalidOperatorException = "RV Invalid Operator";

// Logged (with the class name for "%@") when another party changed a class
// or a method while the runtime was changing it.
inline constexpr std::string_view RVThreadingHazardFormat =
    "There was a problem swizzling on `%@`.\n"
    "You have probably two libraries performing swizzling in runtime.\n"
    "We didn't want to crash your program, but this is not good ...\n"
    "You an solve this problem by either not using swizzling in this library, removing one of "
    "those other libraries, or making sure that swizzling parts are synchronized (only perform "
    "them on main thread).\n"
    "And yes, this message will self destruct when you clear the console, and since it's non "
    "deterministic, the problem could still exist and it will be hard for you to reproduce it.";

// Raises the runtime's invariant exception with `reason`.
[[noreturn]] void raiseInvalidOperator(const std::string& reason);
// Writes the threading-hazard message for `cls` through NSLog.
void logThreadingHazard(objc::Class cls);

// The other party that already changed an object's class.
enum class RvCocoaInterceptionMechanism { unknown, kvo };

// A refused interception, as the reactive layer reports it. Every case
// carries the object whose message was to be observed; `what()` is the
// case's debug description.
class RvCocoaObjCRuntimeError : public std::exception {
 public:
  enum class Kind {
    unknown,
    objectMessagesAlreadyBeingIntercepted,
    selectorNotImplemented,
    cantInterceptCoreFoundationTollFreeBridgedObjects,
    threadingCollisionWithOtherInterceptionMechanism,
    savingOriginalForwardingMethodFailed,
    replacingMethodWithForwardingImplementation,
    observingPerformanceSensitiveMessages,
    observingMessagesWithUnsupportedReturnType,
  };

  // The domain the error has when bridged to an error object.
  static constexpr std::string_view domain = "RvCocoa.RvCocoaObjCRuntimeError";

  static RvCocoaObjCRuntimeError unknown(objc::id target) { return {Kind::unknown, target}; }
  static RvCocoaObjCRuntimeError objectMessagesAlreadyBeingIntercepted(
      objc::id target, RvCocoaInterceptionMechanism mechanism) {
    return {Kind::objectMessagesAlreadyBeingIntercepted, target, mechanism};
  }
  static RvCocoaObjCRuntimeError selectorNotImplemented(objc::id target) {
    return {Kind::selectorNotImplemented, target};
  }
  static RvCocoaObjCRuntimeError cantInterceptCoreFoundationTollFreeBridgedObjects(
      objc::id target) {
    return {Kind::cantInterceptCoreFoundationTollFreeBridgedObjects, target};
  }
  static RvCocoaObjCRuntimeError threadingCollisionWithOtherInterceptionMechanism(objc::id target) {
    return {Kind::threadingCollisionWithOtherInterceptionMechanism, target};
  }
  static RvCocoaObjCRuntimeError savingOriginalForwardingMethodFailed(objc::id target) {
    return {Kind::savingOriginalForwardingMethodFailed, target};
  }
  static RvCocoaObjCRuntimeError replacingMethodWithForwardingImplementation(objc::id target) {
    return {Kind::replacingMethodWithForwardingImplementation, target};
  }
  static RvCocoaObjCRuntimeError observingPerformanceSensitiveMessages(objc::id target) {
    return {Kind::observingPerformanceSensitiveMessages, target};
  }
  static RvCocoaObjCRuntimeError observingMessagesWithUnsupportedReturnType(objc::id target) {
    return {Kind::observingMessagesWithUnsupportedReturnType, target};
  }

  Kind kind() const noexcept { return kind_; }
  const objc::Ref<objc::Object>& target() const noexcept { return target_; }
  // The colliding mechanism of `objectMessagesAlreadyBeingIntercepted`;
  // `unknown` for every other case.
  RvCocoaInterceptionMechanism interceptionMechanism() const noexcept { return mechanism_; }

  const std::string& debugDescription() const noexcept { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

  // The error as an error object: `domain`, and the case's position
  // (counted from 0) as its code.
  std::shared_ptr<foundation::NSError> toNSError() const;

 private:
  RvCocoaObjCRuntimeError(
      Kind kind, objc::id target,
      RvCocoaInterceptionMechanism mechanism = RvCocoaInterceptionMechanism::unknown);

  Kind kind_;
  objc::Ref<objc::Object> target_;
  RvCocoaInterceptionMechanism mechanism_;
  std::string text_;
};

// Converts an error of the runtime into the case it stands for, with
// `target`. An error of another domain is `unknown`. A code of the runtime's
// domain outside 1 to 9 is a broken precondition: the process stops with
// "Unhandled Objective C Runtime Error".
RvCocoaObjCRuntimeError interceptionErrorForTarget(const foundation::NSError& error,
                                                   objc::id target);

}  // namespace rv
