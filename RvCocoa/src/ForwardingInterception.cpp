// Observation through message forwarding, for every method without a fast
// shape: the method's implementation is kept under its RV selector, the
// method itself points at `_objc_msgForward`, and the dynamic subclass's
// `forwardInvocation:`, `methodSignatureForSelector:` and
// `respondsToSelector:` are replaced so that a forwarded call is reported
// with its arguments boxed by type encoding and then performed through the
// kept implementation.

#include <cstring>
#include <string_view>
#include <vector>

#include "RuntimeInternal.h"
#include "RvCocoa/ArgumentBoxing.h"
#include "Selectors.h"
#include "foundation/StringFormat.h"
#include "objc/Message.h"
#include "objc/NSAssertionHandler.h"
#include "objc/NSNull.h"
#include "objc/NSNumber.h"
#include "objc/NSString.h"

namespace rv {

using objc::BOOL;
using objc::Class;
using objc::id;
using objc::IMP;
using objc::Method;
using objc::NO;
using objc::SEL;
using objc::YES;

namespace {

// Offset of the single argument of `forwardInvocation:`,
// `methodSignatureForSelector:` and `respondsToSelector:`.
constexpr uint32_t kFirstArgument = objc::MethodSignatureOf<void(id)>::offsets[2];

template <class T>
T readArgument(objc::NSInvocation* invocation, objc::NSUInteger index) {
  T value{};
  invocation->getArgument(&value, static_cast<objc::NSInteger>(index));
  return value;
}

}  // namespace

// MARK: Plain functions

objc::Ref<objc::Object> RV_extract_argument_at_index(objc::NSInvocation* invocation,
                                                     objc::NSUInteger index) {
  using objc::NSNumber;
  std::string_view type = invocation->methodSignature()->getArgumentTypeAtIndex(index);
  if (type != "r*" && !type.empty() && type.front() == 'r') type.remove_prefix(1);

  if (type == "@" || type == "#" || type == "@?") {
    return objc::Ref<objc::Object>(readArgument<id>(invocation, index));
  }
  if (type == "c") return NSNumber::numberWithChar(readArgument<char>(invocation, index));
  if (type == "s") return NSNumber::numberWithShort(readArgument<short>(invocation, index));
  if (type == "i") return NSNumber::numberWithInt(readArgument<int>(invocation, index));
  if (type == "q") return NSNumber::numberWithLong(readArgument<long>(invocation, index));
  if (type == "C") {
    return NSNumber::numberWithUnsignedChar(readArgument<unsigned char>(invocation, index));
  }
  if (type == "S") {
    return NSNumber::numberWithUnsignedShort(readArgument<unsigned short>(invocation, index));
  }
  if (type == "I") {
    return NSNumber::numberWithUnsignedInt(readArgument<unsigned int>(invocation, index));
  }
  if (type == "Q") {
    return NSNumber::numberWithUnsignedLong(readArgument<unsigned long>(invocation, index));
  }
  if (type == "f") return NSNumber::numberWithFloat(readArgument<float>(invocation, index));
  if (type == "d") return NSNumber::numberWithDouble(readArgument<double>(invocation, index));
  if (type == "B") return NSNumber::numberWithBool(readArgument<bool>(invocation, index));
  if (type == "r*") {
    return objc::NSString::stringWithUTF8String(readArgument<const char*>(invocation, index));
  }

  const std::string stripped(type);
  objc::NSUInteger size = 0;
  objc::NSGetSizeAndAlignment(stripped.c_str(), &size, nullptr);
  if (size == 0) {
    objc::NSAssertionHandler::currentHandler()->handleFailureInFunction(
        "RV_extract_argument_at_index", __builtin_FILE(), __LINE__,
        foundation::stringWithFormat("Invalid parameter not satisfying: %@", "size > 0"));
    return nullptr;
  }
  std::vector<std::byte> bytes(size);
  invocation->getArgument(bytes.data(), static_cast<objc::NSInteger>(index));
  return objc::NSValue::valueWithBytes(bytes.data(), stripped.c_str());
}

objc::Ref<objc::NSArray> RV_extract_arguments(objc::NSInvocation* invocation) {
  const objc::NSUInteger count = invocation->methodSignature()->numberOfArguments();
  std::vector<objc::Ref<objc::Object>> arguments;
  arguments.reserve(count > 2 ? count - 2 : 0);
  for (objc::NSUInteger index = 2; index < count; ++index) {
    objc::Ref<objc::Object> argument = RV_extract_argument_at_index(invocation, index);
    arguments.push_back(argument ? std::move(argument)
                                 : objc::Ref<objc::Object>(objc::NSNull::null()));
  }
  return objc::NSArray::arrayWithObjects(std::move(arguments));
}

BOOL RV_method_has_supported_return_type(const char* returnType) {
  if (returnType == nullptr) return NO;
  static constexpr std::string_view supported[] = {"v", "@", "#", "@?", "c", "s", "i", "q",
                                                   "C", "S", "I", "Q",  "f", "d", "B", "r*"};
  for (std::string_view type : supported) {
    if (type == returnType) return YES;
  }
  return NO;
}

BOOL RV_is_method_signature_void(objc::NSMethodSignature* signature) {
  return signature != nullptr && std::strcmp(signature->methodReturnType(), "v") == 0;
}

BOOL RV_is_method_with_description_void(objc::objc_method_description description) {
  return description.types != nullptr && description.types[0] == 'v';
}

// MARK: Installation

BOOL RVObjCRuntime::observeByForwardingMessages(Class cls, SEL selector, id, RVErrorSlot error) {
  if (!ensureForwardingMethodsAreSwizzled(cls, error)) return NO;
  if (forwardingSelector(selector, cls)) {
    raiseInvalidOperator("Already observing selector for class");
  }
  const SEL rvSelector = RV_selector(selector);

  Method method = objc::class_getInstanceMethod(cls, selector);
  if (method == nullptr) raiseInvalidOperator("Instance method is nil");
  const char* encoding = objc::method_getTypeEncoding(method);
  if (encoding == nullptr) raiseInvalidOperator("Method encoding is nil.");
  if (!objc::NSMethodSignature::signatureWithObjCTypes(encoding)) {
    raiseInvalidOperator("Method signature is invalid.");
  }

  const IMP original = objc::method_getImplementation(method);
  if (original == nullptr) {
    detail::failWithCode(error, RVObjCRuntimeErrorSelectorNotImplemented);
    return NO;
  }
  if (!objc::class_addMethod(cls, rvSelector, original, encoding)) {
    detail::failWithCode(error, RVObjCRuntimeErrorSavingOriginalForwardingMethodFailed);
    return NO;
  }
  if (!objc::class_addMethod(cls, selector, objc::_objc_msgForward, encoding)) {
    // The dynamic subclass defines the method itself.
    const IMP previous = objc::method_setImplementation(
        objc::class_getInstanceMethod(cls, selector), objc::_objc_msgForward);
    if (previous != original) {
      logThreadingHazard(cls);
      detail::failWithCode(error, RVObjCRuntimeErrorReplacingMethodWithForwardingImplementation);
      return NO;
    }
  }
  registerForwardedSelector(selector, cls);
  return YES;
}

BOOL RVObjCRuntime::ensureForwardingMethodsAreSwizzled(Class cls, RVErrorSlot error) {
  if (classesThatSupportObservingByForwarding_.count(cls) != 0) return YES;
  if (!swizzleForwardInvocation(cls, error)) return NO;
  if (!swizzleMethodSignatureForSelector(cls, error)) return NO;
  if (!swizzleRespondsToSelector(cls, error)) return NO;
  classesThatSupportObservingByForwarding_.insert(cls);
  return YES;
}

BOOL RVObjCRuntime::swizzleForwardInvocation(Class cls, RVErrorSlot error) {
  return detail::installInterceptor(
      this, sel("forwardInvocation:"), cls,
      [](const detail::InterceptorCell& cell, id self, SEL cmd, objc::Frame& frame) {
        static const SEL respondsSel = sel("respondsToSelector:");
        static const SEL sentSel = sel("messageSentWithArguments:");
        static const SEL invokedSel = sel("methodInvokedWithArguments:");
        auto* invocation = static_cast<objc::NSInvocation*>(frame.read<id>(kFirstArgument));
        if (invocation != nullptr) {
          const SEL rvSelector = RV_selector(invocation->selector());
          const objc::Ref<objc::Object> observer =
              objc::objc_getAssociatedObject(self, RV_reference_from_selector(rvSelector));
          if (observer) {
            objc::send<void(objc::NSArray*)>(observer, sentSel, RV_extract_arguments(invocation));
          }
          if (objc::send<BOOL(SEL)>(self, respondsSel, rvSelector)) {
            invocation->setSelector(rvSelector);
            invocation->invokeWithTarget(self);
            if (observer) {
              objc::send<void(objc::NSArray*)>(observer, invokedSel,
                                               RV_extract_arguments(invocation));
            }
            return;
          }
        }
        cell.fallback(self, cmd, frame);
      },
      error);
}

BOOL RVObjCRuntime::swizzleMethodSignatureForSelector(Class cls, RVErrorSlot error) {
  return detail::installInterceptor(
      this, sel("methodSignatureForSelector:"), cls,
      [](const detail::InterceptorCell& cell, id self, SEL cmd, objc::Frame& frame) {
        const SEL asked = frame.read<SEL>(kFirstArgument);
        Method method = objc::class_getInstanceMethod(objc::object_getClass(self), asked);
        if (const char* types = objc::method_getTypeEncoding(method)) {
          if (objc::Ref<objc::NSMethodSignature> signature =
                  objc::NSMethodSignature::signatureWithObjCTypes(types)) {
            frame.setReturnObject(signature.detach());
            return;
          }
        }
        cell.fallback(self, cmd, frame);
      },
      error);
}

BOOL RVObjCRuntime::swizzleRespondsToSelector(Class cls, RVErrorSlot error) {
  return detail::installInterceptor(
      this, sel("respondsToSelector:"), cls,
      [](const detail::InterceptorCell& cell, id self, SEL cmd, objc::Frame& frame) {
        const SEL asked = frame.read<SEL>(kFirstArgument);
        if (objc::class_getInstanceMethod(objc::object_getClass(self), asked) != nullptr) {
          frame.setReturnValue<BOOL>(YES);
          return;
        }
        cell.fallback(self, cmd, frame);
      },
      error);
}

BOOL RVObjCRuntime::forwardingSelector(SEL selector, Class cls) const {
  auto it = forwardedSelectorsByClass_.find(cls);
  return it != forwardedSelectorsByClass_.end() && it->second.count(selector) != 0;
}

void RVObjCRuntime::registerForwardedSelector(SEL selector, Class cls) {
  forwardedSelectorsByClass_[cls].insert(selector);
}

}  // namespace rv
