#pragma once

// Shared pieces of the interception tests: a target class whose runtime
// subclasses get methods from closures, and an observer that records what
// the runtime reports.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "RvCocoa/RVObjCRuntime.h"
#include "objc/ClassBuilder.h"
#include "objc/Message.h"
#include "objc/NSArray.h"
#include "objc/NSObject.h"
#include "objcTest/Classes.h"

namespace rv::itest {

using objc::BOOL;
using objc::Class;
using objc::id;
using objc::IMP;
using objc::Ref;
using objc::SEL;

using objc::test::sel;
using objc::test::uniqueName;

// The C++ type of every test target; tests give each target class of their
// own (a runtime subclass) the methods they need.
class Target : public objc::NSObject {
 public:
  static Class classObject() {
    static const Class cls =
        objc::ClassBuilder<Target>("RvTestTarget", objc::NSObject::classObject()).build();
    return cls;
  }
  std::vector<std::string> calls;  // what the real methods saw

 protected:
  Target() = default;

 private:
  friend struct objc::detail::InstanceAccess;
};

// A fresh registered subclass of `superclass` (Target by default).
inline Class makeTargetClass(Class superclass = Target::classObject(),
                             const std::string& base = "Target") {
  Class cls = objc::objc_allocateClassPair(superclass, uniqueName(base).c_str(), 0);
  objc::objc_registerClassPair(cls);
  return cls;
}

// Adds an instance method of signature `Sig` whose body is `f(Target* self, args...)`.
template <class Sig, class F>
void addMethod(Class cls, const char* name, F f) {
  objc::class_addMethod(
      cls, sel(name),
      objc::imp_implementationWithBlock<Sig>([f = std::move(f)](id self, auto... args) {
        return f(static_cast<Target*>(self), args...);
      }),
      objc::methodEncoding<Sig>());
}

inline Ref<Target> makeTarget(Class cls) {
  return objc::dynamicCast<Target>(objc::class_createInstance(cls));
}

// Records the runtime's notifications. `log`, when set, receives "sent",
// "invoked" or "deallocating" in order.
class Observer : public objc::NSObject {
 public:
  static Class classObject();

  IMP targetImplementation = nullptr;
  std::vector<Ref<objc::NSArray>> sent;
  std::vector<Ref<objc::NSArray>> invoked;
  int deallocatingCount = 0;
  std::vector<std::string>* log = nullptr;

 private:
  friend struct objc::detail::InstanceAccess;
  Observer() = default;
};

inline Class Observer::classObject() {
  static const Class cls =
      objc::ClassBuilder<Observer>("RvTestObserver", objc::NSObject::classObject())
          .method<IMP()>("targetImplementation",
                         [](Observer* self, SEL) { return self->targetImplementation; })
          .method<void(objc::NSArray*)>("messageSentWithArguments:",
                                        [](Observer* self, SEL, objc::NSArray* arguments) {
                                          self->sent.emplace_back(arguments);
                                          if (self->log) self->log->push_back("sent");
                                        })
          .method<void(objc::NSArray*)>("methodInvokedWithArguments:",
                                        [](Observer* self, SEL, objc::NSArray* arguments) {
                                          self->invoked.emplace_back(arguments);
                                          if (self->log) self->log->push_back("invoked");
                                        })
          .method<void()>("deallocating",
                          [](Observer* self, SEL) {
                            ++self->deallocatingCount;
                            if (self->log) self->log->push_back("deallocating");
                          })
          .protocol(RVMessageSentObserverProtocol())
          .protocol(RVDeallocatingObserverProtocol())
          .build();
  return cls;
}

inline Ref<Observer> makeObserver() {
  return objc::dynamicCast<Observer>(objc::class_createInstance(Observer::classObject()));
}

// Attaches `observer` to `target` where the runtime looks for the observer
// of `selector`.
inline void attach(id target, SEL selector, id observer) {
  objc::objc_setAssociatedObject(target, RV_reference_from_selector(RV_selector(selector)),
                                 observer, objc::OBJC_ASSOCIATION_RETAIN_NONATOMIC);
}

// Attaches a new observer, prepares the target and gives the observer the
// implementation the runtime returned (null on failure, with `error` set).
inline Ref<Observer> observe(id target, SEL selector,
                             std::shared_ptr<foundation::NSError>* error = nullptr) {
  Ref<Observer> observer = makeObserver();
  attach(target, selector, observer.get());
  observer->targetImplementation = RV_ensure_observing(target, selector, error);
  return observer;
}

}  // namespace rv::itest
