#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "RuntimeInternal.h"
#include "base/FatalError.h"
#include "objc/Message.h"

namespace objc {
namespace detail {

std::atomic<uint64_t> gMethodGeneration{1};

namespace {

struct RuntimeState {
  // Standard: base has no reader-writer lock, and lookups share it.
  std::shared_mutex lock;
  std::unordered_map<std::string, Class> classesByName;  // registered classes
  std::unordered_set<std::string> pendingClassNames;     // allocated, not yet registered
  std::vector<Class> allClasses;
  std::unordered_map<std::string, Protocol*> protocolsByName;  // every protocol
  std::vector<Protocol*> allProtocols;

  base::Mutex retiredLock;
  std::vector<MethodCache*> retiredCaches KX_GUARDED_BY(retiredLock);

  // Guards each class's initialisation state (ClassData).
  base::Mutex initLock;
  std::condition_variable initDone;

  base::Mutex impLock;
  std::unordered_set<const objc_imp*> blockImps KX_GUARDED_BY(impLock);
  std::vector<const objc_imp*> permanentImps KX_GUARDED_BY(impLock);
};

// Never destroyed: objects may be released by static destructors of other
// files, and the runtime must outlive them.
RuntimeState& state() {
  static RuntimeState* s = new RuntimeState;
  return *s;
}

struct SelectorTable {
  // Standard: base has no reader-writer lock, and lookups share it.
  std::shared_mutex lock;
  std::unordered_map<std::string_view, objc_selector*> byName;
};

SelectorTable& selectors() {
  static SelectorTable* t = new SelectorTable;
  return *t;
}

Method findOwnMethod(Class cls, SEL sel) {
  auto& methods = Access::data(cls).methods;
  auto it = methods.find(sel);
  return it == methods.end() ? nullptr : it->second;
}

Method findMethodLocked(Class cls, SEL sel) {
  for (Class c = cls; c != nullptr; c = Access::data(c).superclass) {
    if (Method m = findOwnMethod(c, sel)) return m;
  }
  return nullptr;
}

void invalidateCaches() { gMethodGeneration.fetch_add(1, std::memory_order_acq_rel); }

void fillCache(Class cls, SEL sel, Method method, uint64_t generation) {
  auto& slot = Access::cache(cls);
  MethodCache* cache = slot.load(std::memory_order_acquire);
  if (cache == nullptr || cache->generation != generation) {
    if (generation != gMethodGeneration.load(std::memory_order_acquire)) return;
    auto* fresh = new MethodCache(generation);
    if (slot.compare_exchange_strong(cache, fresh, std::memory_order_acq_rel)) {
      if (cache != nullptr) {
        base::LockGuard guard(state().retiredLock);
        state().retiredCaches.push_back(cache);
      }
      cache = fresh;
    } else {
      delete fresh;
      if (cache->generation != generation) return;
    }
  }
  cache->buckets[cacheIndex(sel)].store(method, std::memory_order_release);
}

IMP lookUpSlow(Class cls, SEL sel) {
  Class nonMeta = Access::data(cls).nonMeta;
  ensureInitialized(nonMeta);
  const uint64_t generation = gMethodGeneration.load(std::memory_order_acquire);
  Method method;
  {
    std::shared_lock guard(state().lock);
    method = findMethodLocked(cls, sel);
  }
  if (method == nullptr) return _objc_msgForward;
  // Only a class whose +initialize finished may be cached: the cache is the
  // path that skips the initialisation check.
  if (Access::data(nonMeta).initialized.load(std::memory_order_acquire)) {
    fillCache(cls, sel, method, generation);
  }
  return method->imp.load(std::memory_order_acquire);
}

inline IMP lookUp(Class cls, SEL sel) {
  MethodCache* cache = Access::cache(cls).load(std::memory_order_acquire);
  if (cache != nullptr) {
    Method method = cache->buckets[cacheIndex(sel)].load(std::memory_order_acquire);
    if (method != nullptr && method->name == sel &&
        cache->generation == gMethodGeneration.load(std::memory_order_acquire)) {
      return method->imp.load(std::memory_order_acquire);
    }
  }
  return lookUpSlow(cls, sel);
}

struct PlainObject final : Object {};

Object* makePlainObject() { return new PlainObject(); }
bool acceptsAnyObject(Object*) { return true; }

}  // namespace

Method findMethod(Class cls, SEL sel) {
  if (cls == nullptr || sel == nullptr) return nullptr;
  std::shared_lock guard(state().lock);
  return findMethodLocked(cls, sel);
}

void ensureInitialized(Class cls) {
  ClassData& data = Access::data(cls);
  if (data.initialized.load(std::memory_order_acquire)) return;
  if (data.superclass != nullptr) ensureInitialized(data.superclass);

  RuntimeState& s = state();
  {
    base::UniqueLock guard(s.initLock);
    for (;;) {
      if (data.initState == InitState::initialized) return;
      if (data.initState == InitState::initializing) {
        // The initialising thread itself may use the class meanwhile.
        if (data.initializer == std::this_thread::get_id()) return;
        guard.wait(s.initDone);
        continue;
      }
      break;
    }
    data.initState = InitState::initializing;
    data.initializer = std::this_thread::get_id();
  }
  struct Finish {
    ClassData& data;
    RuntimeState& s;
    ~Finish() {
      base::LockGuard guard(s.initLock);
      data.initState = InitState::initialized;
      data.initialized.store(true, std::memory_order_release);
      s.initDone.notify_all();
    }
  } finish{data, s};

  // +initialize is an ordinary class message: a class that does not define
  // it runs its superclass's with itself as receiver.
  static const SEL initializeSel = sel_registerName("initialize");
  Class meta = object_getClass(cls);
  if (Method method = findMethod(meta, initializeSel)) {
    Sender<void()>::call(method->imp.load(std::memory_order_acquire), cls, initializeSel);
  }
}

void setInstanceType(Class cls, InstanceFactory factory, InstanceCheck accepts) {
  std::unique_lock guard(state().lock);
  Access::data(cls).factory = factory;
  Access::data(cls).accepts = accepts;
}

IMP lookUpForReceiver(id receiver, SEL sel) {
  return lookUp(Access::isa(receiver).load(std::memory_order_acquire), sel);
}

IMP makePermanent(const objc_imp* imp) {
  base::LockGuard guard(state().impLock);
  state().permanentImps.push_back(imp);
  return imp;
}

[[noreturn]] void fatalError(std::string_view message, const char* file, int line) {
  base::fatalError(message, file, line);
}

}  // namespace detail

using detail::Access;
using detail::ClassData;
using detail::state;

// MARK: Selectors

SEL sel_registerName(const char* name) {
  if (name == nullptr) return nullptr;
  auto& table = detail::selectors();
  const std::string_view key(name);
  {
    std::shared_lock guard(table.lock);
    auto it = table.byName.find(key);
    if (it != table.byName.end()) return it->second;
  }
  std::unique_lock guard(table.lock);
  auto it = table.byName.find(key);
  if (it != table.byName.end()) return it->second;
  auto* sel = new objc_selector{std::string(key)};
  table.byName.emplace(sel->name, sel);
  return sel;
}

const char* sel_getName(SEL sel) { return sel == nullptr ? "<null selector>" : sel->name.c_str(); }

SEL NSSelectorFromString(std::string_view name) {
  return sel_registerName(std::string(name).c_str());
}

std::string NSStringFromSelector(SEL sel) { return sel == nullptr ? std::string() : sel->name; }

// MARK: Classes

Class objc_allocateClassPair(Class superclass, const char* name, size_t /*extraBytes*/) {
  if (name == nullptr || *name == '\0') return nullptr;
  auto& s = state();
  std::unique_lock guard(s.lock);
  if (s.classesByName.count(name) != 0 || s.pendingClassNames.count(name) != 0) return nullptr;

  auto* classData = new ClassData;
  auto* metaData = new ClassData;
  Class cls = Access::newClass(classData);
  Class meta = Access::newClass(metaData);
  classData->name = metaData->name = name;
  classData->superclass = superclass;
  classData->nonMeta = cls;
  metaData->isMeta = true;
  metaData->nonMeta = cls;
  if (superclass != nullptr) {
    const ClassData& superData = Access::data(superclass);
    classData->factory = superData.factory;
    classData->accepts = superData.accepts;
    classData->typeID.store(superData.typeID.load());
    Class superMeta = Access::isa(superclass).load();
    metaData->superclass = superMeta;
    // Every metaclass's class is the root metaclass.
    Access::isa(meta).store(Access::isa(superMeta).load());
  } else {
    classData->factory = &detail::makePlainObject;
    classData->accepts = &detail::acceptsAnyObject;
    // A root metaclass inherits from its root class, so class messages fall
    // back to the root's instance methods; its own class is itself.
    metaData->superclass = cls;
    Access::isa(meta).store(meta);
  }
  metaData->factory = classData->factory;
  metaData->accepts = classData->accepts;
  Access::isa(cls).store(meta);
  detail::makeImmortal(cls);
  detail::makeImmortal(meta);
  s.pendingClassNames.insert(name);
  s.allClasses.push_back(cls);
  s.allClasses.push_back(meta);
  return cls;
}

void objc_registerClassPair(Class cls) {
  if (cls == nullptr) return;
  auto& s = state();
  std::unique_lock guard(s.lock);
  ClassData& data = Access::data(cls);
  if (data.isMeta || data.registered.load()) return;
  s.pendingClassNames.erase(data.name);
  s.classesByName.emplace(data.name, cls);
  data.registered.store(true);
  Access::data(object_getClass(cls)).registered.store(true);
}

Class objc_getClass(const char* name) {
  if (name == nullptr) return nullptr;
  auto find = [&]() -> Class {
    std::shared_lock guard(state().lock);
    auto it = state().classesByName.find(name);
    return it == state().classesByName.end() ? nullptr : it->second;
  };
  if (Class cls = find()) return cls;
  detail::defineBuiltinClasses();
  return find();
}

Class NSClassFromString(std::string_view name) { return objc_getClass(std::string(name).c_str()); }

std::string NSStringFromClass(Class cls) {
  return cls == nullptr ? std::string() : Access::data(cls).name;
}

const char* class_getName(Class cls) {
  return cls == nullptr ? "nil" : Access::data(cls).name.c_str();
}

Class class_getSuperclass(Class cls) {
  return cls == nullptr ? nullptr : Access::data(cls).superclass;
}

BOOL class_isMetaClass(Class cls) { return cls != nullptr && Access::data(cls).isMeta; }

Class object_getClass(id object) {
  return object == nullptr ? nullptr : Access::isa(object).load(std::memory_order_acquire);
}

Class object_setClass(id object, Class cls) {
  if (object == nullptr || cls == nullptr) return nullptr;
  // An object's storage is the C++ object its class made: a class whose
  // instances are of another C++ type would read it wrongly.
  detail::InstanceCheck accepts = Access::data(cls).accepts;
  if (accepts != nullptr && !accepts(object)) return nullptr;
#ifdef KX_TEST_SEAMS
  if (detail::gArmedHooks.load(std::memory_order_acquire) != 0) detail::runSetClassHooks(object);
#endif
  return Access::isa(object).exchange(cls, std::memory_order_acq_rel);
}

const char* object_getClassName(id object) { return class_getName(object_getClass(object)); }

Method class_getInstanceMethod(Class cls, SEL sel) { return detail::findMethod(cls, sel); }

Method class_getClassMethod(Class cls, SEL sel) {
  return cls == nullptr ? nullptr : detail::findMethod(object_getClass(cls), sel);
}

IMP class_getMethodImplementation(Class cls, SEL sel) {
  if (cls == nullptr || sel == nullptr) return nullptr;
  return detail::lookUp(cls, sel);
}

BOOL class_respondsToSelector(Class cls, SEL sel) {
  return detail::findMethod(cls, sel) != nullptr;
}

BOOL class_addMethod(Class cls, SEL sel, IMP imp, const char* types) {
  if (cls == nullptr || sel == nullptr) return NO;
  {
    std::unique_lock guard(state().lock);
    ClassData& data = Access::data(cls);
    if (detail::findOwnMethod(cls, sel) != nullptr) return NO;
    auto* method = new objc_method;
    method->name = sel;
    method->imp.store(imp);
    if (types != nullptr) method->types = types;
    data.methods.emplace(sel, method);
    data.methodOrder.push_back(method);
  }
  detail::invalidateCaches();
  return YES;
}

IMP class_replaceMethod(Class cls, SEL sel, IMP imp, const char* types) {
  if (cls == nullptr || sel == nullptr) return nullptr;
  {
    std::shared_lock guard(state().lock);
    if (Method method = detail::findOwnMethod(cls, sel)) {
      return method->imp.exchange(imp, std::memory_order_acq_rel);
    }
  }
  if (class_addMethod(cls, sel, imp, types)) return nullptr;
  // Added by someone else in between: replace theirs.
  std::shared_lock guard(state().lock);
  Method method = detail::findOwnMethod(cls, sel);
  return method == nullptr ? nullptr : method->imp.exchange(imp, std::memory_order_acq_rel);
}

std::vector<Method> class_copyMethodList(Class cls) {
  if (cls == nullptr) return {};
  std::shared_lock guard(state().lock);
  return Access::data(cls).methodOrder;
}

SEL method_getName(Method method) { return method == nullptr ? nullptr : method->name; }

IMP method_getImplementation(Method method) {
  return method == nullptr ? nullptr : method->imp.load(std::memory_order_acquire);
}

const char* method_getTypeEncoding(Method method) {
  return method == nullptr || !method->types ? nullptr : method->types->c_str();
}

IMP method_setImplementation(Method method, IMP imp) {
  if (method == nullptr) return nullptr;
#ifdef KX_TEST_SEAMS
  if (detail::gArmedHooks.load(std::memory_order_acquire) != 0) {
    detail::runSetImplementationHooks(method);
  }
#endif
  return method->imp.exchange(imp, std::memory_order_acq_rel);
}

void method_exchangeImplementations(Method a, Method b) {
  if (a == nullptr || b == nullptr) return;
  // The runtime lock serialises exchanges with each other.
  std::unique_lock guard(state().lock);
  IMP first = a->imp.load(std::memory_order_acquire);
  IMP second = b->imp.exchange(first, std::memory_order_acq_rel);
  a->imp.store(second, std::memory_order_release);
}

Ref<Object> class_createInstance(Class cls, size_t /*extraBytes*/) {
  if (cls == nullptr) return nullptr;
  detail::InstanceFactory factory = Access::data(cls).factory;
  Object* object = factory();
  Access::isa(object).store(cls, std::memory_order_release);
  return Ref<Object>::adopt(object);
}

// MARK: Protocols

Protocol* objc_allocateProtocol(const char* name) {
  if (name == nullptr || *name == '\0') return nullptr;
  Class protocolClass = detail::protocolClass();
  auto& s = state();
  std::unique_lock guard(s.lock);
  if (s.protocolsByName.count(name) != 0) return nullptr;
  auto* data = new detail::ProtocolData;
  data->name = name;
  Protocol* protocol = Access::newProtocol(data);
  Access::isa(protocol).store(protocolClass);
  detail::makeImmortal(protocol);
  s.protocolsByName.emplace(name, protocol);
  s.allProtocols.push_back(protocol);
  return protocol;
}

void objc_registerProtocol(Protocol* protocol) {
  if (protocol == nullptr) return;
  std::unique_lock guard(state().lock);
  Access::data(protocol).registered = true;
}

Protocol* objc_getProtocol(const char* name) {
  if (name == nullptr) return nullptr;
  std::shared_lock guard(state().lock);
  auto it = state().protocolsByName.find(name);
  if (it == state().protocolsByName.end() || !Access::data(it->second).registered) return nullptr;
  return it->second;
}

const char* protocol_getName(Protocol* protocol) {
  return protocol == nullptr ? "nil" : Access::data(protocol).name.c_str();
}

void protocol_addMethodDescription(Protocol* protocol, SEL name, const char* types,
                                   BOOL isRequiredMethod, BOOL isInstanceMethod) {
  if (protocol == nullptr || name == nullptr) return;
  std::unique_lock guard(state().lock);
  auto& data = Access::data(protocol);
  if (data.registered) return;
  data.descriptions.push_back(
      {name, types == nullptr ? "" : types, isRequiredMethod, isInstanceMethod});
}

void protocol_addProtocol(Protocol* protocol, Protocol* addition) {
  if (protocol == nullptr || addition == nullptr) return;
  std::unique_lock guard(state().lock);
  auto& data = Access::data(protocol);
  if (data.registered) return;
  data.protocols.push_back(addition);
}

std::vector<objc_method_description> protocol_copyMethodDescriptionList(Protocol* protocol,
                                                                        BOOL isRequiredMethod,
                                                                        BOOL isInstanceMethod) {
  std::vector<objc_method_description> out;
  if (protocol == nullptr) return out;
  std::shared_lock guard(state().lock);
  for (const auto& d : Access::data(protocol).descriptions) {
    if (d.required == isRequiredMethod && d.instance == isInstanceMethod) {
      out.push_back({d.name, d.types.c_str()});
    }
  }
  return out;
}

namespace {
objc_method_description findDescriptionLocked(Protocol* protocol, SEL sel, BOOL required,
                                              BOOL instance, int depth) {
  if (depth > 64) return {};  // a protocol adopting itself through a cycle
  for (const auto& d : Access::data(protocol).descriptions) {
    if (d.name == sel && d.required == required && d.instance == instance) {
      return {d.name, d.types.c_str()};
    }
  }
  for (Protocol* adopted : Access::data(protocol).protocols) {
    auto found = findDescriptionLocked(adopted, sel, required, instance, depth + 1);
    if (found.name != nullptr) return found;
  }
  return {};
}

bool conformsLocked(Protocol* protocol, Protocol* other, int depth) {
  if (protocol == other) return true;
  if (depth > 64) return false;
  for (Protocol* adopted : Access::data(protocol).protocols) {
    if (conformsLocked(adopted, other, depth + 1)) return true;
  }
  return false;
}
}  // namespace

objc_method_description protocol_getMethodDescription(Protocol* protocol, SEL sel,
                                                      BOOL isRequiredMethod,
                                                      BOOL isInstanceMethod) {
  if (protocol == nullptr || sel == nullptr) return {};
  std::shared_lock guard(state().lock);
  return findDescriptionLocked(protocol, sel, isRequiredMethod, isInstanceMethod, 0);
}

std::vector<Protocol*> protocol_copyProtocolList(Protocol* protocol) {
  if (protocol == nullptr) return {};
  std::shared_lock guard(state().lock);
  return Access::data(protocol).protocols;
}

BOOL protocol_conformsToProtocol(Protocol* protocol, Protocol* other) {
  if (protocol == nullptr || other == nullptr) return NO;
  std::shared_lock guard(state().lock);
  return conformsLocked(protocol, other, 0);
}

BOOL class_addProtocol(Class cls, Protocol* protocol) {
  if (cls == nullptr || protocol == nullptr) return NO;
  std::unique_lock guard(state().lock);
  auto& list = Access::data(cls).protocols;
  if (std::find(list.begin(), list.end(), protocol) != list.end()) return NO;
  list.push_back(protocol);
  return YES;
}

BOOL class_conformsToProtocol(Class cls, Protocol* protocol) {
  if (cls == nullptr || protocol == nullptr) return NO;
  std::shared_lock guard(state().lock);
  for (Protocol* adopted : Access::data(cls).protocols) {
    if (conformsLocked(adopted, protocol, 0)) return YES;
  }
  return NO;
}

std::vector<Protocol*> class_copyProtocolList(Class cls) {
  if (cls == nullptr) return {};
  std::shared_lock guard(state().lock);
  return Access::data(cls).protocols;
}

// MARK: Properties

BOOL class_addProperty(Class cls, const char* name,
                       const std::vector<objc_property_attribute_t>& attributes) {
  if (cls == nullptr || name == nullptr) return NO;
  std::string text;
  for (const auto& attribute : attributes) {
    if (!text.empty()) text += ',';
    text += attribute.name == nullptr ? "" : attribute.name;
    text += attribute.value == nullptr ? "" : attribute.value;
  }
  std::unique_lock guard(state().lock);
  auto& properties = Access::data(cls).properties;
  for (const auto& p : properties) {
    if (p->name == name) return NO;
  }
  properties.push_back(std::make_unique<objc_property>(objc_property{name, std::move(text)}));
  return YES;
}

objc_property_t class_getProperty(Class cls, const char* name) {
  if (cls == nullptr || name == nullptr) return nullptr;
  std::shared_lock guard(state().lock);
  for (Class c = cls; c != nullptr; c = Access::data(c).superclass) {
    for (const auto& p : Access::data(c).properties) {
      if (p->name == name) return p.get();
    }
  }
  return nullptr;
}

std::vector<objc_property_t> class_copyPropertyList(Class cls) {
  std::vector<objc_property_t> out;
  if (cls == nullptr) return out;
  std::shared_lock guard(state().lock);
  for (const auto& p : Access::data(cls).properties) out.push_back(p.get());
  return out;
}

const char* property_getName(objc_property_t property) {
  return property == nullptr ? nullptr : property->name.c_str();
}

const char* property_getAttributes(objc_property_t property) {
  return property == nullptr ? nullptr : property->attributes.c_str();
}

// MARK: Implementations from closures

IMP imp_implementationWithBlock(std::function<void(id self, SEL cmd, Frame& frame)> block) {
  auto* imp = new detail::ClosureImp<std::function<void(id, SEL, Frame&)>>(std::move(block));
  base::LockGuard guard(state().impLock);
  state().blockImps.insert(imp);
  return imp;
}

BOOL imp_removeBlock(IMP imp) {
  {
    base::LockGuard guard(state().impLock);
    if (state().blockImps.erase(imp) == 0) return NO;
  }
  imp->destroy_(imp);
  return YES;
}

// MARK: Sending with a frame

void objc_msgSend(id receiver, SEL sel, Frame& frame) {
  if (receiver == nullptr) return;
  frame.setReceiver(receiver);
  frame.setSelector(sel);
  (*detail::lookUpForReceiver(receiver, sel))(receiver, sel, frame);
}

void objc_msgSendSuper(const objc_super& super, SEL sel, Frame& frame) {
  if (super.receiver == nullptr || super.super_class == nullptr) return;
  frame.setReceiver(super.receiver);
  frame.setSelector(sel);
  (*detail::lookUp(super.super_class, sel))(super.receiver, sel, frame);
}

IMP objc_lookUpImplementation(Class cls, SEL sel) {
  if (cls == nullptr) return _objc_msgForward;
  return detail::lookUp(cls, sel);
}

// MARK: CoreFoundation type identifiers

CFTypeID CFGetTypeID(id object) {
  Class cls = object_getClass(object);
  return cls == nullptr ? 0 : Access::data(cls).typeID.load(std::memory_order_relaxed);
}

}  // namespace objc
