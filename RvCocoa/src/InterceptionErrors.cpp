#include "RvCocoa/InterceptionErrors.h"

#include <variant>

#include "RvCocoa/CocoaFatalError.h"
#include "foundation/StringFormat.h"
#include "objc/NSException.h"
#include "objc/NSLog.h"
#include "objc/NSObject.h"

namespace rv {

void raiseInvalidOperator(const std::string& reason) {
  objc::NSException::raise(RVInvalidOperatorException, foundation::stringWithFormat("%@", reason));
}

void logThreadingHazard(objc::Class cls) {
  objc::NSLog(foundation::stringWithFormat(RVThreadingHazardFormat, objc::NSStringFromClass(cls)));
}

namespace {

using Kind = RvCocoaObjCRuntimeError::Kind;

std::string describeCase(Kind kind, RvCocoaInterceptionMechanism mechanism,
                         const std::string& target) {
  switch (kind) {
    case Kind::unknown:
      return "Unknown error occurred.\nTarget: `" + target + "`";
    case Kind::objectMessagesAlreadyBeingIntercepted: {
      const char* name =
          mechanism == RvCocoaInterceptionMechanism::kvo ? "KVO" : "other interception mechanism";
      return std::string("Collision between RvCocoa interception mechanism and ") + name + "." +
             " To resolve this conflict please use this interception mechanism first.\nTarget: " +
             target;
    }
    case Kind::selectorNotImplemented:
      return "Trying to observe messages for selector that isn't implemented.\nTarget: " + target;
    case Kind::cantInterceptCoreFoundationTollFreeBridgedObjects:
      return "Interception of messages sent to Core Foundation isn't supported.\nTarget: " + target;
    case Kind::threadingCollisionWithOtherInterceptionMechanism:
      return "Detected a conflict while modifying ObjC runtime.\nTarget: " + target;
    case Kind::savingOriginalForwardingMethodFailed:
      return "Saving original method implementation failed.\nTarget: " + target;
    case Kind::replacingMethodWithForwardingImplementation:
      return "Intercepting a sent message by replacing a method implementation with "
             "`_objc_msgForward` failed for some reason.\nTarget: " +
             target;
    case Kind::observingPerformanceSensitiveMessages:
      return "Attempt to intercept one of the performance sensitive methods. \nTarget: " + target;
    case Kind::observingMessagesWithUnsupportedReturnType:
      return "Attempt to intercept a method with unsupported return type. \nTarget: " + target;
  }
  return {};
}

}  // namespace

RvCocoaObjCRuntimeError::RvCocoaObjCRuntimeError(Kind kind, objc::id target,
                                                 RvCocoaInterceptionMechanism mechanism)
    : kind_(kind),
      target_(target),
      mechanism_(kind == Kind::objectMessagesAlreadyBeingIntercepted
                     ? mechanism
                     : RvCocoaInterceptionMechanism::unknown),
      text_(describeCase(kind, mechanism_, objc::describe(target))) {}

std::shared_ptr<foundation::NSError> RvCocoaObjCRuntimeError::toNSError() const {
  return foundation::NSError::create(std::string(domain), static_cast<int64_t>(kind_));
}

RvCocoaObjCRuntimeError interceptionErrorForTarget(const foundation::NSError& error,
                                                   objc::id target) {
  using E = RvCocoaObjCRuntimeError;
  if (error.domain() != RVObjCRuntimeErrorDomain) return E::unknown(target);
  switch (error.code()) {
    case RVObjCRuntimeErrorUnknown:
      return E::unknown(target);
    case RVObjCRuntimeErrorObjectMessagesAlreadyBeingIntercepted: {
      // Any number counts as the flag, read as a boolean; anything else (or
      // nothing) leaves the mechanism unknown.
      auto mechanism = RvCocoaInterceptionMechanism::unknown;
      auto it = error.userInfo().find(RVObjCRuntimeErrorIsKVOKey);
      if (it != error.userInfo().end()) {
        const auto& value = it->second;
        bool isKVO = false;
        if (const bool* flag = std::get_if<bool>(&value)) isKVO = *flag;
        if (const int64_t* number = std::get_if<int64_t>(&value)) isKVO = *number != 0;
        if (const double* number = std::get_if<double>(&value)) isKVO = *number != 0;
        if (isKVO) mechanism = RvCocoaInterceptionMechanism::kvo;
      }
      return E::objectMessagesAlreadyBeingIntercepted(target, mechanism);
    }
    case RVObjCRuntimeErrorSelectorNotImplemented:
      return E::selectorNotImplemented(target);
    case RVObjCRuntimeErrorCantInterceptCoreFoundationTollFreeBridgedObjects:
      return E::cantInterceptCoreFoundationTollFreeBridgedObjects(target);
    case RVObjCRuntimeErrorThreadingCollisionWithOtherInterceptionMechanism:
      return E::threadingCollisionWithOtherInterceptionMechanism(target);
    case RVObjCRuntimeErrorSavingOriginalForwardingMethodFailed:
      return E::savingOriginalForwardingMethodFailed(target);
    case RVObjCRuntimeErrorReplacingMethodWithForwardingImplementation:
      return E::replacingMethodWithForwardingImplementation(target);
    case RVObjCRuntimeErrorObservingPerformanceSensitiveMessages:
      return E::observingPerformanceSensitiveMessages(target);
    case RVObjCRuntimeErrorObservingMessagesWithUnsupportedReturnType:
      return E::observingMessagesWithUnsupportedReturnType(target);
    default:
      cocoaFatalError("Unhandled Objective C Runtime Error");
  }
}

}  // namespace rv
