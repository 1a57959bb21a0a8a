#include "RvCocoa/DelegateProxyType.h"

#include "objc/NSObject.h"

namespace rv {

std::unordered_map<const void*, Ref<DelegateProxyFactory>>&
DelegateProxyFactory::sharedFactories() {
  // Factories live for the whole process.
  static auto* factories = new std::unordered_map<const void*, Ref<DelegateProxyFactory>>;
  return *factories;
}

objc::Ref<objc::Object> DelegateProxyFactory::createProxy(objc::id object) {
  MainScheduler::ensureRunningOnMainThread();
  // The object's own class first (a class made at run time below the
  // registered one included), then its superclasses.
  for (objc::Class cls = objc::object_getClass(object); cls != nullptr;
       cls = objc::class_getSuperclass(cls)) {
    if (auto it = factories_.find(cls); it != factories_.end()) return it->second(object);
  }
  const std::string description = objc::describe(object);
  cocoaFatalError("DelegateProxy has no factory of " + description +
                  ". Implement DelegateProxy subclass for " + description + " first.");
}

}  // namespace rv
