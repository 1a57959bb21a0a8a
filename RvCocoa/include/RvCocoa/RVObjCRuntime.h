#pragma once

// The message-interception runtime: lets the reactive layer observe one
// particular object, every call of one of its instance methods (before and
// after the method runs) and the start of its deallocation.
//
// It works by moving the observed object into a dynamic subclass of its class
// ("_RV_namespace_" + the class name, one per class), which still reports the
// real class, and installing interceptors on that subclass, so other
// instances are not affected. Methods of 27 common shapes get a direct
// interceptor (registered at process start); every other method is observed
// through message forwarding. `dealloc` is intercepted on the object's own
// class instead.
//
// The reactive layer calls the plain functions below; `RV_ensure_observing`
// is the one entry. An observer is any object the caller attaches to the
// target with `objc_setAssociatedObject` under `RV_reference_from_selector(
// RV_selector(S))`; the runtime never creates, attaches or removes one. It
// answers the messages of the protocols `RVMessageSentObserver` (or
// `RVDeallocatingObserver` for `dealloc`), and its `targetImplementation` is
// the value `RV_ensure_observing` returned for S.
//
// Everything installed (dynamic subclasses, class switches, interceptors,
// table entries) stays for the life of the process.

#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "foundation/NSError.h"
#include "objc/Block.h"
#include "objc/NSObject.h"

namespace rv {

// Where a failing operation stores its error object; may be null.
using RVErrorSlot = std::shared_ptr<foundation::NSError>*;

// MARK: Plain functions

// Prepares `target` so that calls of `selector` are reported to the observer
// attached under RV_selector(selector). Returns the implementation pointer
// the observer must hold as its `targetImplementation`: the dealloc
// interceptor, a fast interceptor, or `_objc_msgForward` for a selector
// observed by forwarding. On failure returns null and stores an error of
// domain "RVObjCRuntimeErrorDomain" through `error` (a threading collision
// inside a method replacement stores none). Any thread; takes the target's
// monitor, then the monitor of the class it reports, then the runtime's lock.
objc::IMP RV_ensure_observing(objc::id target, objc::SEL selector, RVErrorSlot error);

// The selector "_RV_namespace_" + the name of `selector`.
objc::SEL RV_selector(objc::SEL selector);
// The selector itself as an untyped pointer, for use as an association key.
const void* RV_reference_from_selector(objc::SEL selector);
// `_objc_msgForward`: the `targetImplementation` of an observer that nothing
// was installed for yet, and the result for selectors observed by forwarding.
objc::IMP RV_default_target_implementation();

// The observer protocols of the runtime (made once).
// RVMessageSentObserver: `targetImplementation`, `messageSentWithArguments:`,
// `methodInvokedWithArguments:` (each takes an NSArray of boxed arguments).
objc::Protocol* RVMessageSentObserverProtocol();
// RVDeallocatingObserver: `targetImplementation`, `deallocating`.
objc::Protocol* RVDeallocatingObserverProtocol();

// MARK: The runtime object

// The shared runtime: all bookkeeping of the interception, under one
// recursive mutex. Its operations run only with that mutex held (through
// `performLocked`), which `RV_ensure_observing` does.
class RVObjCRuntime : public objc::NSObject {
 public:
  // The block a fast shape is registered with: installs the shape's
  // interceptor for (class, selector) and answers whether it did.
  using RegistrationBlock = objc::Block<objc::BOOL(RVObjCRuntime* runtime, objc::Class cls,
                                                   objc::SEL selector, RVErrorSlot error)>;
  using NewImplementationGenerator = std::function<objc::IMP()>;
  using ReplacementImplementationGenerator = std::function<objc::IMP(objc::IMP current)>;

  static objc::Class classObject();

  // `+instance`: the shared runtime (made by `+initialize`).
  static RVObjCRuntime* instance();
  // `+registerOptimizedObserver:encodedAs:`: registers `block` for the type
  // encoding of the class method `exampleSelector` of this class. Raises the
  // invariant exception when there is no such method or the encoding is
  // registered already.
  static void registerOptimizedObserver(RegistrationBlock* block, objc::SEL exampleSelector);
  // The registration block for a complete method type encoding, or null.
  static RegistrationBlock* optimizedObserverForEncoding(const std::string& encoding);

  // Runs `block` with the runtime's recursive mutex held (released also when
  // an exception passes).
  void performLocked(const std::function<void(RVObjCRuntime*)>& block);

  // The tables; read them only inside `performLocked`.
  const std::unordered_set<objc::Class>& classesThatSupportObservingByForwarding() const {
    return classesThatSupportObservingByForwarding_;
  }
  const std::unordered_map<objc::Class, std::unordered_set<objc::SEL>>& forwardedSelectorsByClass()
      const {
    return forwardedSelectorsByClass_;
  }
  const std::unordered_map<objc::Class, objc::Class>& dynamicSubclassByRealClass() const {
    return dynamicSubclassByRealClass_;
  }
  const std::unordered_map<objc::Class, std::unordered_map<objc::SEL, objc::IMP>>&
  interceptorIMPbySelectorsByClass() const {
    return interceptorIMPbySelectorsByClass_;
  }

  // MARK: Preparation (with the mutex held)

  // The implementation the observer of `selector` on `target` must hold, or
  // null on failure (see RV_ensure_observing).
  objc::IMP ensurePrepared(objc::id target, objc::SEL selector, RVErrorSlot error);
  // Moves `target` into its class's dynamic subclass (once) and returns that
  // subclass, or null on failure.
  objc::Class prepareTargetClassForObserving(objc::id target, RVErrorSlot error);
  // The dynamic subclass of `realClass`, made and registered on first use.
  objc::Class ensureHasDynamicFakeSubclass(objc::Class realClass, RVErrorSlot error);
  // Makes instances of `cls` answer `classToReport` to `class`.
  objc::BOOL swizzleClass(objc::Class cls, objc::Class classToReport, RVErrorSlot error);

  // The swizzle primitive: installs an interceptor for `selector` on `cls`
  // once. When `cls` does not define the selector itself, the new
  // implementation is added; otherwise the current one is passed to
  // `replacement` and replaced by its answer. NO (without an error) when
  // another party changed the method meanwhile.
  objc::BOOL ensureSwizzledSelector(objc::SEL selector, objc::Class cls,
                                    const NewImplementationGenerator& newImplementation,
                                    const ReplacementImplementationGenerator& replacement,
                                    RVErrorSlot error);
  void registerInterceptedSelector(objc::SEL selector, objc::IMP implementation, objc::Class cls);
  // The implementation recorded for (selector, cls), or null.
  objc::IMP interceptorImplementationForSelector(objc::SEL selector, objc::Class cls) const;

  // MARK: Fast interceptors (with the mutex held)

  // The dealloc interceptor on `cls`.
  objc::BOOL swizzleDeallocating(objc::Class cls, RVErrorSlot error);
  // One installer per fast shape, named after its argument types.
  objc::BOOL swizzle_void(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_id(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_char(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_short(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_int(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_long(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_rx_uchar(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_rx_ushort(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_rx_uint(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_rx_ulong(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_rx_block(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_float(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_double(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_SEL(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_id_id(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_id_char(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_id_short(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_id_int(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_id_long(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_id_rx_uchar(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_id_rx_ushort(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_id_rx_uint(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_id_rx_ulong(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_id_rx_block(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_id_float(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_id_double(objc::Class cls, objc::SEL selector, RVErrorSlot error);
  objc::BOOL swizzle_void_id_SEL(objc::Class cls, objc::SEL selector, RVErrorSlot error);

  // MARK: Forwarding (with the mutex held)

  // Points `selector` on the dynamic subclass `cls` at `_objc_msgForward`,
  // keeping its implementation under RV_selector(selector).
  objc::BOOL observeByForwardingMessages(objc::Class cls, objc::SEL selector, objc::id target,
                                         RVErrorSlot error);
  // Replaces `forwardInvocation:`, `methodSignatureForSelector:` and
  // `respondsToSelector:` on `cls` (once).
  objc::BOOL ensureForwardingMethodsAreSwizzled(objc::Class cls, RVErrorSlot error);
  objc::BOOL swizzleForwardInvocation(objc::Class cls, RVErrorSlot error);
  objc::BOOL swizzleMethodSignatureForSelector(objc::Class cls, RVErrorSlot error);
  objc::BOOL swizzleRespondsToSelector(objc::Class cls, RVErrorSlot error);
  objc::BOOL forwardingSelector(objc::SEL selector, objc::Class cls) const;
  void registerForwardedSelector(objc::SEL selector, objc::Class cls);

 protected:
  RVObjCRuntime() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct RVObjCRuntimeMethods;

  std::unordered_set<objc::Class> classesThatSupportObservingByForwarding_;
  std::unordered_map<objc::Class, std::unordered_set<objc::SEL>> forwardedSelectorsByClass_;
  std::unordered_map<objc::Class, objc::Class> dynamicSubclassByRealClass_;
  std::unordered_map<objc::Class, std::unordered_map<objc::SEL, objc::IMP>>
      interceptorIMPbySelectorsByClass_;
  // Standard: the check cannot follow its holds, taken for performLocked's block.
  std::recursive_mutex lock_;
};

}  // namespace rv
