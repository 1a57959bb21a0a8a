#pragma once

// Sequences about one object's own life, for any object of the runtime:
//
//   deallocated(rv(object))          one element once the object is destroyed
//                                    (after its dealloc ran), then completion
//   deallocating(rv(object))         one element when its dealloc begins
//   sentMessage(rv(object), sel)     the arguments of each call, before it runs
//   methodInvoked(rv(object), sel)   the same, after it returned
//
// The last three rest on the interception runtime: an interceptor object is
// attached to the observed object (it lives exactly as long as the object)
// and `RV_ensure_observing` prepares the object. A refused interception
// arrives as an error event (`RvCocoaObjCRuntimeError`, or
// `RvCocoaError::unknown()` when the runtime gave no reason).
//
// Any thread may call these; each runs under the object's monitor. Events are
// delivered on the thread that makes the call or destroys the object.

#include <any>
#include <atomic>
#include <concepts>
#include <exception>
#include <vector>

#include "RvCocoa/InterceptionErrors.h"
#include "RvCocoa/ObjectReactive.h"
#include "RvCocoa/RVObjCRuntime.h"
#include "RvCocoa/RvCocoaError.h"
#include "RvStreams/Observable.h"
#include "RvStreams/PublishSubject.h"
#include "RvStreams/ReplaySubject.h"
#include "objc/NSArray.h"
#include "objc/NSObject.h"

namespace rv {

// The arguments of one intercepted call as the runtime boxed them (NSNull
// for nil).
using ArgumentArray = std::vector<objc::Ref<objc::Object>>;

// What every interceptor object offers: made inactive (its target
// implementation is `RV_default_target_implementation()`), active once the
// runtime's implementation is stored.
template <class T>
concept MessageInterceptorSubject = requires(T& interceptor, objc::IMP imp) {
  { T::create() } -> std::same_as<objc::Ref<T>>;
  { interceptor.isActive() } -> std::convertible_to<bool>;
  { interceptor.targetImplementation() } -> std::same_as<objc::IMP>;
  interceptor.setTargetImplementation(imp);
};

// The observer of `dealloc` (RVDeallocatingObserver): `deallocating` sends
// one element on `messageSent`; its destruction (when the observed object's
// associated objects are released) completes it.
class DeallocatingProxy final : public objc::NSObject {
 public:
  static objc::Class classObject();
  static objc::Ref<DeallocatingProxy> create();

  const Ref<ReplaySubject<Unit>>& messageSent() const { return messageSent_; }
  objc::IMP targetImplementation() const { return targetImplementation_.load(); }
  void setTargetImplementation(objc::IMP imp) { targetImplementation_.store(imp); }
  bool isActive() const { return targetImplementation() != RV_default_target_implementation(); }

  ~DeallocatingProxy() override;

 private:
  friend struct objc::detail::InstanceAccess;
  DeallocatingProxy();

  Ref<ReplaySubject<Unit>> messageSent_;
  std::atomic<objc::IMP> targetImplementation_;
};

// The observer of any other selector (RVMessageSentObserver): the argument
// arrays go to `messageSent` before and `methodInvoked` after each call; its
// destruction completes both, in that order.
class MessageSentProxy final : public objc::NSObject {
 public:
  static objc::Class classObject();
  static objc::Ref<MessageSentProxy> create();

  const Ref<PublishSubject<ArgumentArray>>& messageSent() const { return messageSent_; }
  const Ref<PublishSubject<ArgumentArray>>& methodInvoked() const { return methodInvoked_; }
  objc::IMP targetImplementation() const { return targetImplementation_.load(); }
  void setTargetImplementation(objc::IMP imp) { targetImplementation_.store(imp); }
  bool isActive() const { return targetImplementation() != RV_default_target_implementation(); }

  ~MessageSentProxy() override;

 private:
  friend struct objc::detail::InstanceAccess;
  MessageSentProxy();

  Ref<PublishSubject<ArgumentArray>> messageSent_;
  Ref<PublishSubject<ArgumentArray>> methodInvoked_;
  std::atomic<objc::IMP> targetImplementation_;
};

// Attached to an object by `deallocated`; its destruction sends one element
// and completion on `subject`.
class DeallocObservable final : public objc::NSObject {
 public:
  static objc::Class classObject();
  static objc::Ref<DeallocObservable> create();

  const Ref<ReplaySubject<Unit>>& subject() const { return subject_; }

  ~DeallocObservable() override;

 private:
  friend struct objc::detail::InstanceAccess;
  DeallocObservable();

  Ref<ReplaySubject<Unit>> subject_;
};

// MARK: On an object

Ref<Observable<Unit>> deallocated(objc::id object);
Ref<Observable<Unit>> deallocating(objc::id object);
Ref<Observable<ArgumentArray>> sentMessage(objc::id object, objc::SEL selector);
Ref<Observable<ArgumentArray>> methodInvoked(objc::id object, objc::SEL selector);

// The interceptor of type T for `selector`, attached to `object` (replacing
// anything else under its key) and made active. Throws
// `RvCocoaObjCRuntimeError` or `RvCocoaError` when the runtime refuses; the
// interceptor then stays attached and inactive, and the next call tries
// again. Callers hold the object's monitor.
template <MessageInterceptorSubject T>
objc::Ref<T> registerMessageInterceptor(objc::id object, objc::SEL selector) {
  const void* key = RV_reference_from_selector(RV_selector(selector));
  objc::Ref<T> interceptor = objc::dynamicCast<T>(objc::objc_getAssociatedObject(object, key));
  if (!interceptor) {
    interceptor = T::create();
    objc::objc_setAssociatedObject(object, key, interceptor.get(),
                                   objc::OBJC_ASSOCIATION_RETAIN_NONATOMIC);
  }
  if (interceptor->isActive()) return interceptor;

  std::shared_ptr<foundation::NSError> error;
  if (objc::IMP imp = RV_ensure_observing(object, selector, &error)) {
    interceptor->setTargetImplementation(imp);
    return interceptor;
  }
  if (error) throw interceptionErrorForTarget(*error, object);
  throw RvCocoaError::unknown();
}

namespace cocoa_detail {
// Holds a cached value of a type that is not an object of the runtime.
class AssociatedValue final : public objc::NSObject {
 public:
  static objc::Class classObject();
  static objc::Ref<AssociatedValue> create(std::any value);
  const std::any& value() const { return value_; }

 private:
  friend struct objc::detail::InstanceAccess;
  AssociatedValue() = default;
  std::any value_;
};
}  // namespace cocoa_detail

// The value cached on `object` under `key`, made by `createCachedObservable`
// and attached (retained) on first use. A value of another type under the
// key stops the process. Takes no lock: meant for the main thread.
template <class T, class F>
T lazyInstanceObservable(objc::id object, const void* key, F createCachedObservable) {
  objc::Ref<objc::Object> existing = objc::objc_getAssociatedObject(object, key);
  if (existing) {
    if constexpr (cocoa_detail::IsObjcRef<T>::value) {
      return castOrFatalError<T>(existing);
    } else {
      auto* box = dynamic_cast<cocoa_detail::AssociatedValue*>(existing.get());
      if (box != nullptr) {
        if (const T* value = std::any_cast<T>(&box->value())) return *value;
      }
      cocoaFatalError("Failure converting from " + describeValue(existing) + " to " +
                      typeDisplayName<T>());
    }
  }
  T value = createCachedObservable();
  if constexpr (cocoa_detail::IsObjcRef<T>::value) {
    objc::objc_setAssociatedObject(object, key, value.get(),
                                   objc::OBJC_ASSOCIATION_RETAIN_NONATOMIC);
  } else {
    objc::objc_setAssociatedObject(object, key, cocoa_detail::AssociatedValue::create(value).get(),
                                   objc::OBJC_ASSOCIATION_RETAIN_NONATOMIC);
  }
  return value;
}

// MARK: On the reactive extension point

template <class B>
requires std::derived_from<B, objc::Object> Ref<Observable<Unit>> deallocated(
    const Reactive<B>& reactive) {
  return deallocated(reactive.base().get());
}
template <class B>
requires std::derived_from<B, objc::Object> Ref<Observable<Unit>> deallocating(
    const Reactive<B>& reactive) {
  return deallocating(reactive.base().get());
}
template <class B>
requires std::derived_from<B, objc::Object> Ref<Observable<ArgumentArray>> sentMessage(
    const Reactive<B>& reactive, objc::SEL selector) {
  return sentMessage(reactive.base().get(), selector);
}
template <class B>
requires std::derived_from<B, objc::Object> Ref<Observable<ArgumentArray>> methodInvoked(
    const Reactive<B>& reactive, objc::SEL selector) {
  return methodInvoked(reactive.base().get(), selector);
}
template <MessageInterceptorSubject T, class B>
requires std::derived_from<B, objc::Object> objc::Ref<T> registerMessageInterceptor(
    const Reactive<B>& reactive, objc::SEL selector) {
  return registerMessageInterceptor<T>(reactive.base().get(), selector);
}
template <class T, class B, class F>
requires std::derived_from<B, objc::Object> T lazyInstanceObservable(const Reactive<B>& reactive,
                                                                     const void* key,
                                                                     F createCachedObservable) {
  return lazyInstanceObservable<T>(reactive.base().get(), key, std::move(createCachedObservable));
}

}  // namespace rv
