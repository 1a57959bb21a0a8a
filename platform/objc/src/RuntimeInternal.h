#pragma once

// The runtime's private structures, shared by its source files.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/Mutex.h"
#include "objc/Runtime.h"

namespace objc {

struct objc_selector {
  std::string name;
};

struct objc_method {
  SEL name = nullptr;
  std::atomic<IMP> imp{nullptr};
  std::optional<std::string> types;
};

struct objc_property {
  std::string name;
  std::string attributes;
};

namespace detail {

// Bits of an object's state word; the low bits count strong references.
inline constexpr uint64_t kDeallocating = uint64_t{1} << 63;
inline constexpr uint64_t kImmortal = uint64_t{1} << 62;
inline constexpr uint64_t kCountMask = kImmortal - 1;

// An exact recursive monitor: one per object, made with its side record.
class Monitor {
 public:
  void enter();
  // False when the calling thread does not hold the monitor.
  bool exit();

 private:
  base::Mutex mutex_;
  std::condition_variable released_;
  std::thread::id owner_ KX_GUARDED_BY(mutex_);
  uint64_t depth_ KX_GUARDED_BY(mutex_) = 0;
};

struct WeakControl {
  explicit WeakControl(Object* object) : target(object) {}
  mutable base::Mutex mutex;
  Object* target KX_GUARDED_BY(mutex);  // null once the object began deallocating
};

struct Association {
  const void* key;
  id value;
  objc_AssociationPolicy policy;
};

struct SideRecord {
  base::Mutex mutex;
  std::vector<Association> associations KX_GUARDED_BY(mutex);
  std::shared_ptr<WeakControl> weak KX_GUARDED_BY(mutex);
  std::shared_ptr<void> observationInfo KX_GUARDED_BY(mutex);
  Monitor monitor;
};

enum class InitState { uninitialized, initializing, initialized };

using InstanceFactory = Object* (*)();
using InstanceCheck = bool (*)(Object*);

struct ClassData {
  std::string name;
  Class superclass = nullptr;
  bool isMeta = false;
  Class nonMeta = nullptr;  // the class itself, or for a metaclass its class
  std::atomic<bool> registered{false};
  InstanceFactory factory = nullptr;
  InstanceCheck accepts = nullptr;
  std::atomic<CFTypeID> typeID{1};

  // Guarded by the runtime lock.
  std::unordered_map<SEL, Method> methods;
  std::vector<Method> methodOrder;
  std::vector<Protocol*> protocols;
  std::vector<std::unique_ptr<objc_property>> properties;

  // Guarded by the initialisation lock; `initialized` is also read without it.
  InitState initState = InitState::uninitialized;
  std::thread::id initializer;
  std::atomic<bool> initialized{false};
};

struct ProtocolDescription {
  SEL name;
  std::string types;
  bool required;
  bool instance;
};

struct ProtocolData {
  std::string name;
  bool registered = false;  // guarded by the runtime lock
  std::deque<ProtocolDescription> descriptions;
  std::vector<Protocol*> protocols;
};

inline constexpr size_t kCacheSize = 64;

// A class's method cache for one generation of the method tables. Readers
// check the generation; a stale cache is replaced, never freed (a reader may
// still look at it), and kept reachable in the retired list.
struct MethodCache {
  explicit MethodCache(uint64_t gen) : generation(gen) {}
  const uint64_t generation;
  std::atomic<Method> buckets[kCacheSize] = {};
};

inline size_t cacheIndex(SEL sel) {
  return (reinterpret_cast<uintptr_t>(sel) >> 4) & (kCacheSize - 1);
}

// Bumped after every change that can alter which method a (class, selector)
// pair resolves to.
extern std::atomic<uint64_t> gMethodGeneration;

struct Access {
  static std::atomic<Class>& isa(Object* o) { return o->isa_; }
  static std::atomic<uint64_t>& state(Object* o) { return o->state_; }
  static std::atomic<SideRecord*>& side(Object* o) { return o->side_; }
  static ClassData& data(Class c) { return *c->data_; }
  static ProtocolData& data(Protocol* p) { return *p->data_; }
  static std::atomic<MethodCache*>& cache(Class c) { return c->cache_; }
  static Class newClass(ClassData* data) {
    auto* c = new objc_class();
    c->data_ = data;
    return c;
  }
  static Protocol* newProtocol(ProtocolData* data) {
    auto* p = new Protocol();
    p->data_ = data;
    return p;
  }
  static void destroy(Object* o) { delete o; }
  template <class T>
  static T* construct() {
    return new T();
  }
};

// The side record of an object, made on first use.
SideRecord& sideRecord(Object* object);
// Retains unless the object began deallocating; false then.
bool tryRetain(Object* object) noexcept;
// The method of `cls` or its superclasses, read under the runtime lock.
Method findMethod(Class cls, SEL sel);
// Runs `+initialize` for `cls` (and its superclasses) unless it ran.
void ensureInitialized(Class cls);
// Sets how instances of a class defined in C++ are made and recognised.
void setInstanceType(Class cls, InstanceFactory factory, InstanceCheck accepts);
// The class of protocol objects.
Class protocolClass();
// Defines the classes of this layer so `objc_getClass` finds them by name.
void defineBuiltinClasses();

#ifdef KX_TEST_SEAMS
// Test seams (Testing.h) consulted by the runtime.
extern std::atomic<int> gArmedHooks;
void runSetClassHooks(id object);
void runSetImplementationHooks(Method method);
#endif

}  // namespace detail
}  // namespace objc
