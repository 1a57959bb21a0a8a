#include "RvCocoa/RVObjCRuntime.h"

#include <string>

#include "RuntimeInternal.h"
#include "RvCocoa/ArgumentBoxing.h"
#include "Selectors.h"
#include "objc/Message.h"
#include "objc/NSArray.h"
#include "objc/NSAssertionHandler.h"
#include "objc/NSMethodSignature.h"
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

constexpr const char* kNamespace = "_RV_namespace_";

// Set once by `+initialize`; read after `+instance`, whose first send waits
// for `+initialize` to finish.
struct ProcessState {
  std::atomic<RVObjCRuntime*> shared{nullptr};
  objc::CFTypeID defaultTypeID = 0;
  SEL deallocSel = nullptr;
};

ProcessState& processState() {
  static ProcessState* state = new ProcessState;
  return *state;
}

// Under this key a switched object carries its dynamic subclass.
const char kDynamicSubclassKey = 0;

Class reportedClass(id object) {
  static const SEL classSel = sel("class");
  return objc::send<Class()>(object, classSel);
}

// A selector whose observation would slow down or break the runtime itself.
// forwardInvocation: belongs here with the other forwarding messages: its
// encoding matches a fast shape, and a fast interceptor on it would keep
// forwarding from ever being installed on that class.
bool isPerformanceSensitive(SEL selector) {
  static const SEL sensitive[] = {sel("class"), sel("forwardingTargetForSelector:"),
                                  sel("methodSignatureForSelector:"), sel("respondsToSelector:"),
                                  sel("forwardInvocation:")};
  for (SEL s : sensitive) {
    if (s == selector) return true;
  }
  return false;
}

}  // namespace

// The runtime class's own messages.
struct RVObjCRuntimeMethods {
  static void initialize(Class self, SEL) {
    ProcessState& state = processState();
    // A subclass (or a dynamic subclass made by observing the runtime
    // itself) must not replace the shared runtime and its tables.
    if (state.shared.load(std::memory_order_acquire) != nullptr) return;
    static const SEL allocSel = sel("alloc");
    static const SEL initSel = sel("init");
    objc::Ref<objc::Object> object = objc::send<objc::Ref<objc::Object>()>(self, allocSel);
    objc::Ref<RVObjCRuntime> runtime =
        objc::dynamicCast<RVObjCRuntime>(objc::send<objc::Ref<objc::Object>()>(object, initSel));
    state.defaultTypeID = objc::CFGetTypeID(self);
    state.deallocSel = objc::NSSelectorFromString("dealloc");
    if (!runtime) {
      static const SEL initializeSel = sel("initialize");
      objc::NSAssertionHandler::currentHandler()->handleFailureInMethod(
          initializeSel, self, __builtin_FILE(), __LINE__, "Failed to initialize swizzling");
      return;
    }
    state.shared.store(runtime.detach(), std::memory_order_release);
  }

  static objc::Ref<RVObjCRuntime> instance(Class, SEL) {
    return objc::Ref<RVObjCRuntime>(processState().shared.load(std::memory_order_acquire));
  }

  static void load(Class self, SEL) { detail::registerFastShapes(self); }
};

// MARK: Shared helpers

namespace detail {

void failWithCode(RVErrorSlot slot, RVObjCRuntimeErrorCode code,
                  foundation::NSError::UserInfo userInfo) {
  foundation::setError(slot, foundation::NSError::create(std::string(RVObjCRuntimeErrorDomain),
                                                         code, std::move(userInfo)));
}

std::string methodEncodingString(Method method) {
  const char* types = objc::method_getTypeEncoding(method);
  if (types == nullptr) raiseInvalidOperator("Method encoding is nil.");
  objc::Ref<objc::NSString> text =
      objc::NSString::stringWithCString(types, objc::NSASCIIStringEncoding);
  if (!text) raiseInvalidOperator("Can't convert encoding to NSString.");
  return text->string();
}

SEL deallocSelector() { return processState().deallocSel; }

OptimizedObserverRegistry& optimizedObserverRegistry() {
  static auto* registry = new OptimizedObserverRegistry;
  return *registry;
}
objc::CFTypeID defaultTypeID() { return processState().defaultTypeID; }

void Fallback::operator()(id self, SEL cmd, objc::Frame& frame) const {
  if (replaced != nullptr) {
    (*replaced)(self, cmd, frame);
  } else {
    objc::objc_msgSendSuper({self, objc::class_getSuperclass(addedTo)}, cmd, frame);
  }
}

BOOL installInterceptor(RVObjCRuntime* runtime, SEL selector, Class cls, InterceptorBody body,
                        RVErrorSlot error) {
  auto make = [&body](Fallback fallback) -> IMP {
    auto cell = std::make_shared<InterceptorCell>();
    cell->fallback = fallback;
    IMP imp = objc::imp_implementationWithBlock(
        [cell, body](id self, SEL cmd, objc::Frame& frame) { body(*cell, self, cmd, frame); });
    cell->own.store(imp, std::memory_order_release);
    return imp;
  };
  return runtime->ensureSwizzledSelector(
      selector, cls,
      [&] {
        return make(Fallback{cls, nullptr});
      },
      [&](IMP current) {
        return make(Fallback{nullptr, current});
      },
      error);
}

}  // namespace detail

// MARK: The runtime class

Class RVObjCRuntime::classObject() {
  using M = RVObjCRuntimeMethods;
  static const Class cls = [] {
    objc::ClassBuilder<RVObjCRuntime> builder("RVObjCRuntime", objc::NSObject::classObject());
    builder.classMethod("initialize", &M::initialize)
        .classMethod("instance", &M::instance)
        .classMethod<void(RegistrationBlock*, SEL)>(
            "registerOptimizedObserver:encodedAs:",
            [](Class self, SEL, RegistrationBlock* block, SEL example) {
              Method method = objc::class_getClassMethod(self, example);
              if (method == nullptr) raiseInvalidOperator("Example encoding method is nil.");
              std::string encoding = detail::methodEncodingString(method);
              auto& registry = detail::optimizedObserverRegistry();
              if (registry.count(encoding) != 0) {
                raiseInvalidOperator("Optimized observer already registered");
              }
              registry.emplace(std::move(encoding), objc::Ref<RegistrationBlock>(block));
            });
    detail::addFastShapeExamples(builder);
    // `+load` last: building runs it, and it uses the messages above.
    builder.classMethod("load", &M::load);
    return builder.build();
  }();
  return cls;
}

RVObjCRuntime* RVObjCRuntime::instance() {
  static const SEL instanceSel = sel("instance");
  return objc::send<objc::Ref<RVObjCRuntime>()>(classObject(), instanceSel).get();
}

void RVObjCRuntime::registerOptimizedObserver(RegistrationBlock* block, SEL exampleSelector) {
  static const SEL message = sel("registerOptimizedObserver:encodedAs:");
  objc::send<void(RegistrationBlock*, SEL)>(classObject(), message, block, exampleSelector);
}

RVObjCRuntime::RegistrationBlock* RVObjCRuntime::optimizedObserverForEncoding(
    const std::string& encoding) {
  const auto& registry = detail::optimizedObserverRegistry();
  auto it = registry.find(encoding);
  return it == registry.end() ? nullptr : it->second.get();
}

void RVObjCRuntime::performLocked(const std::function<void(RVObjCRuntime*)>& block) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  block(this);
}

IMP RVObjCRuntime::ensurePrepared(id target, SEL selector, RVErrorSlot error) {
  const Class reported = reportedClass(target);
  Method method = objc::class_getInstanceMethod(reported, selector);
  if (method == nullptr) {
    detail::failWithCode(error, RVObjCRuntimeErrorSelectorNotImplemented);
    return nullptr;
  }
  if (isPerformanceSensitive(selector)) {
    detail::failWithCode(error, RVObjCRuntimeErrorObservingPerformanceSensitiveMessages);
    return nullptr;
  }

  if (selector == detail::deallocSelector()) {
    // Deallocation is intercepted on the class itself: every instance passes
    // the interceptor, only those with an observer are reported.
    if (IMP imp = interceptorImplementationForSelector(selector, reported)) return imp;
    if (!swizzleDeallocating(reported, error)) return nullptr;
    if (IMP imp = interceptorImplementationForSelector(selector, reported)) return imp;
    detail::failWithCode(error, RVObjCRuntimeErrorUnknown);
    return nullptr;
  }

  const Class dynamicSubclass = prepareTargetClassForObserving(target, error);
  if (dynamicSubclass == nullptr) return nullptr;

  const std::string encoding = detail::methodEncodingString(method);
  RegistrationBlock* registration = optimizedObserverForEncoding(encoding);

  objc::Ref<objc::NSMethodSignature> signature =
      objc::NSMethodSignature::signatureWithObjCTypes(objc::method_getTypeEncoding(method));
  if (!signature) raiseInvalidOperator("Method signature method is nil.");
  if (!RV_method_has_supported_return_type(signature->methodReturnType())) {
    detail::failWithCode(error, RVObjCRuntimeErrorObservingMessagesWithUnsupportedReturnType);
    return nullptr;
  }

  if (registration != nullptr) {
    if (IMP imp = interceptorImplementationForSelector(selector, dynamicSubclass)) return imp;
    if (!(*registration)(this, dynamicSubclass, selector, error)) return nullptr;
    if (IMP imp = interceptorImplementationForSelector(selector, dynamicSubclass)) return imp;
    detail::failWithCode(error, RVObjCRuntimeErrorUnknown);
    return nullptr;
  }

  if (forwardingSelector(selector, dynamicSubclass)) return objc::_objc_msgForward;
  if (!observeByForwardingMessages(dynamicSubclass, selector, target, error)) return nullptr;
  if (forwardingSelector(selector, dynamicSubclass)) return objc::_objc_msgForward;
  detail::failWithCode(error, RVObjCRuntimeErrorUnknown);
  return nullptr;
}

Class RVObjCRuntime::prepareTargetClassForObserving(id target, RVErrorSlot error) {
  objc::Ref<objc::Object> switched = objc::objc_getAssociatedObject(target, &kDynamicSubclassKey);
  if (auto* cls = dynamic_cast<objc::objc_class*>(switched.get())) return cls;

  const Class reported = reportedClass(target);
  if (objc::CFGetTypeID(target) != detail::defaultTypeID()) {
    detail::failWithCode(error,
                         RVObjCRuntimeErrorCantInterceptCoreFoundationTollFreeBridgedObjects);
    return nullptr;
  }
  if (reported != objc::object_getClass(target)) {
    static const SEL respondsSel = sel("respondsToSelector:");
    const BOOL isKVO =
        objc::send<BOOL(SEL)>(target, respondsSel, objc::NSSelectorFromString("_isKVOA"));
    detail::failWithCode(error, RVObjCRuntimeErrorObjectMessagesAlreadyBeingIntercepted,
                         {{std::string(RVObjCRuntimeErrorIsKVOKey), static_cast<bool>(isKVO)}});
    return nullptr;
  }

  const Class dynamicSubclass = ensureHasDynamicFakeSubclass(reported, error);
  if (dynamicSubclass == nullptr) return nullptr;

  const Class previous = objc::object_setClass(target, dynamicSubclass);
  if (previous != reported) {
    logThreadingHazard(reported);
    detail::failWithCode(error, RVObjCRuntimeErrorThreadingCollisionWithOtherInterceptionMechanism);
    return nullptr;
  }
  objc::objc_setAssociatedObject(target, &kDynamicSubclassKey, dynamicSubclass,
                                 objc::OBJC_ASSOCIATION_RETAIN_NONATOMIC);
  return dynamicSubclass;
}

Class RVObjCRuntime::ensureHasDynamicFakeSubclass(Class realClass, RVErrorSlot error) {
  if (auto it = dynamicSubclassByRealClass_.find(realClass);
      it != dynamicSubclassByRealClass_.end()) {
    return it->second;
  }
  const std::string name = kNamespace + objc::NSStringFromClass(realClass);
  const Class dynamicSubclass = objc::objc_allocateClassPair(realClass, name.c_str(), 0);
  if (dynamicSubclass == nullptr) raiseInvalidOperator("Class not generated");
  if (!swizzleClass(dynamicSubclass, realClass, error)) return nullptr;
  objc::objc_registerClassPair(dynamicSubclass);
  dynamicSubclassByRealClass_[realClass] = dynamicSubclass;
  auto it = dynamicSubclassByRealClass_.find(realClass);
  if (it == dynamicSubclassByRealClass_.end() || it->second == nullptr) {
    raiseInvalidOperator("Class not registered");
  }
  return it->second;
}

BOOL RVObjCRuntime::swizzleClass(Class cls, Class classToReport, RVErrorSlot error) {
  static const SEL classSel = sel("class");
  auto reportingImplementation = [classToReport] {
    return objc::imp_implementationWithBlock<Class()>(
        [classToReport](id) { return classToReport; });
  };
  return ensureSwizzledSelector(
      classSel, cls, reportingImplementation,
      [reportingImplementation](IMP) { return reportingImplementation(); }, error);
}

BOOL RVObjCRuntime::ensureSwizzledSelector(SEL selector, Class cls,
                                           const NewImplementationGenerator& newImplementation,
                                           const ReplacementImplementationGenerator& replacement,
                                           RVErrorSlot) {
  if (interceptorImplementationForSelector(selector, cls) != nullptr) return YES;

  Method method = objc::class_getInstanceMethod(cls, selector);
  if (method == nullptr) raiseInvalidOperator("Method doesn't exist");
  const char* encoding = objc::method_getTypeEncoding(method);
  if (encoding == nullptr) raiseInvalidOperator("Encoding is nil");

  IMP added = newImplementation();
  if (objc::class_addMethod(cls, selector, added, encoding)) {
    registerInterceptedSelector(selector, added, cls);
    return YES;
  }

  // The class defines the method itself: replace its implementation.
  objc::imp_removeBlock(added);
  const IMP original = objc::method_getImplementation(method);
  if (original == nullptr) raiseInvalidOperator("Method must exist.");
  const IMP replacing = replacement(original);
  if (replacing == nullptr) raiseInvalidOperator("Method must exist.");
  const IMP previous = objc::method_setImplementation(method, replacing);
  registerInterceptedSelector(selector, replacing, cls);
  if (previous != original) {
    logThreadingHazard(cls);
    return NO;
  }
  return YES;
}

void RVObjCRuntime::registerInterceptedSelector(SEL selector, IMP implementation, Class cls) {
  interceptorIMPbySelectorsByClass_[cls][selector] = implementation;
  if (interceptorImplementationForSelector(selector, cls) == nullptr) {
    raiseInvalidOperator("Class should have been swizzled");
  }
}

IMP RVObjCRuntime::interceptorImplementationForSelector(SEL selector, Class cls) const {
  auto byClass = interceptorIMPbySelectorsByClass_.find(cls);
  if (byClass == interceptorIMPbySelectorsByClass_.end()) return nullptr;
  auto bySelector = byClass->second.find(selector);
  return bySelector == byClass->second.end() ? nullptr : bySelector->second;
}

// MARK: Plain functions

IMP RV_ensure_observing(id target, SEL selector, RVErrorSlot error) {
  IMP result = nullptr;
  objc::Synchronized targetMonitor(target);
  objc::Synchronized classMonitor(reportedClass(target));
  RVObjCRuntime::instance()->performLocked(
      [&](RVObjCRuntime* runtime) { result = runtime->ensurePrepared(target, selector, error); });
  return result;
}

SEL RV_selector(SEL selector) {
  return objc::NSSelectorFromString(kNamespace + objc::NSStringFromSelector(selector));
}

const void* RV_reference_from_selector(SEL selector) { return selector; }

IMP RV_default_target_implementation() { return objc::_objc_msgForward; }

namespace {

objc::Protocol* makeProtocol(const char* name,
                             std::initializer_list<std::pair<const char*, const char*>> methods) {
  objc::Protocol* protocol = objc::objc_allocateProtocol(name);
  if (protocol == nullptr) return objc::objc_getProtocol(name);
  for (const auto& [selector, types] : methods) {
    objc::protocol_addMethodDescription(protocol, sel(selector), types, YES, YES);
  }
  objc::objc_registerProtocol(protocol);
  return protocol;
}

}  // namespace

objc::Protocol* RVMessageSentObserverProtocol() {
  static objc::Protocol* const protocol =
      makeProtocol("RVMessageSentObserver",
                   {{"targetImplementation", objc::methodEncoding<IMP()>()},
                    {"messageSentWithArguments:", objc::methodEncoding<void(objc::NSArray*)>()},
                    {"methodInvokedWithArguments:", objc::methodEncoding<void(objc::NSArray*)>()}});
  return protocol;
}

objc::Protocol* RVDeallocatingObserverProtocol() {
  static objc::Protocol* const protocol = makeProtocol(
      "RVDeallocatingObserver", {{"targetImplementation", objc::methodEncoding<IMP()>()},
                                 {"deallocating", objc::methodEncoding<void()>()}});
  return protocol;
}

}  // namespace rv
