#pragma once

// The object runtime: objects, classes and metaclasses, selectors, methods,
// protocols, properties, associated objects and per-object monitors. The calls
// keep the names and meaning the rest of the system expects of the platform's
// runtime; collections come back as std::vector instead of malloc'd lists.
//
// Thread safety: every call may be made from any thread. Class and protocol
// definitions, method tables and the name tables sit behind one runtime
// lock; implementations are atomic; message sends take no lock once a
// (class, selector) pair is cached.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "objc/Ref.h"

namespace objc {

class Object;
class objc_class;
struct objc_selector;
struct objc_method;
struct objc_property;
class objc_imp;
class Protocol;
class Frame;

using id = Object*;
using Class = objc_class*;
using SEL = const objc_selector*;
using IMP = const objc_imp*;
using Method = objc_method*;
using objc_property_t = const objc_property*;
using BOOL = bool;
inline constexpr BOOL YES = true;
inline constexpr BOOL NO = false;
using NSInteger = long;
using NSUInteger = unsigned long;

namespace detail {
struct SideRecord;
struct ClassData;
struct ProtocolData;
struct MethodCache;
struct Access;
}  // namespace detail

// Every object of the runtime: an atomic class pointer, an intrusive strong
// count with a deallocating bit, and a side record made on demand (weak
// control block, associated objects, monitor, observation info).
//
// Objects are made by the runtime (`class_createInstance`, `+alloc`) with a
// strong count of 1 and destroyed by the root `dealloc`; C++ code holds them
// through `Ref` and `Weak`.
class Object {
 public:
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

 protected:
  Object() noexcept = default;
  virtual ~Object();

 private:
  friend struct detail::Access;

  std::atomic<Class> isa_{nullptr};
  std::atomic<uint64_t> state_{1};
  std::atomic<detail::SideRecord*> side_{nullptr};
};

// A class or a metaclass. Class objects are objects (their class is their
// metaclass), live for the whole process and ignore retain and release.
class objc_class final : public Object {
 public:
  ~objc_class() override;

 private:
  friend struct detail::Access;
  objc_class() = default;

  detail::ClassData* data_ = nullptr;
  std::atomic<detail::MethodCache*> cache_{nullptr};
};

// A protocol: a named set of method descriptions and adopted protocols.
// Protocols are objects of class "Protocol" and live for the whole process.
class Protocol final : public Object {
 public:
  ~Protocol() override;

 private:
  friend struct detail::Access;
  Protocol() = default;

  detail::ProtocolData* data_ = nullptr;
};

// An implementation: the one calling convention of every method, with the
// receiver, the selector and a frame holding the arguments laid out from the
// method's signature plus a return slot (see Frame.h).
class objc_imp {
 public:
  using Thunk = void (*)(const objc_imp* imp, id self, SEL cmd, Frame& frame);
  using Destroy = void (*)(const objc_imp* imp) noexcept;

  constexpr explicit objc_imp(Thunk thunk, Destroy destroy = nullptr) noexcept
      : thunk_(thunk), destroy_(destroy) {}

  void operator()(id self, SEL cmd, Frame& frame) const { thunk_(this, self, cmd, frame); }

 private:
  friend BOOL imp_removeBlock(IMP imp);
  Thunk thunk_;
  Destroy destroy_;
};

// The distinguished implementation that runs message forwarding: the
// receiver's `forwardingTargetForSelector:`, then `methodSignatureForSelector:`
// and `forwardInvocation:` with an `NSInvocation`, else
// `doesNotRecognizeSelector:`.
extern const IMP _objc_msgForward;

// MARK: Selectors

// The interned selector of `name` (made on first use, never freed).
SEL sel_registerName(const char* name);
const char* sel_getName(SEL sel);
SEL NSSelectorFromString(std::string_view name);
std::string NSStringFromSelector(SEL sel);

// MARK: Classes

// A new class and metaclass under `name` with `superclass` (null for a new
// root class), not yet registered. Null when the name is taken by a
// registered class or by a pair that is being built. Instances of the new
// class are C++ objects of the nearest ancestor defined in C++.
// `extraBytes` is accepted for the familiar shape; class objects carry no
// indexed storage here.
Class objc_allocateClassPair(Class superclass, const char* name, size_t extraBytes);
// Makes an allocated pair visible to `objc_getClass`. A second call does nothing.
void objc_registerClassPair(Class cls);
// The registered class of that name, or null.
Class objc_getClass(const char* name);
Class NSClassFromString(std::string_view name);
std::string NSStringFromClass(Class cls);

const char* class_getName(Class cls);
Class class_getSuperclass(Class cls);
BOOL class_isMetaClass(Class cls);

// The object's actual class (its class pointer); null for null.
Class object_getClass(id object);
// Exchanges the object's class atomically and returns the previous one.
// Null (and nothing changes) for a null object or class, or when instances
// of `cls` are C++ objects of a type `object` is not.
Class object_setClass(id object, Class cls);
const char* object_getClassName(id object);

// The method for `sel` in `cls` or its superclasses, or null.
Method class_getInstanceMethod(Class cls, SEL sel);
// The method of the metaclass of `cls` (class methods), or null.
Method class_getClassMethod(Class cls, SEL sel);
// The implementation a message `sel` to an instance of `cls` runs:
// `_objc_msgForward` when the class chain has no method.
IMP class_getMethodImplementation(Class cls, SEL sel);
BOOL class_respondsToSelector(Class cls, SEL sel);
// Adds a method to `cls` itself. NO when `cls` already defines `sel` itself
// (an inherited method does not count). `types` may be null.
BOOL class_addMethod(Class cls, SEL sel, IMP imp, const char* types);
// Replaces the implementation of the method `cls` defines itself and returns
// the previous one; adds the method (and returns null) when it does not.
IMP class_replaceMethod(Class cls, SEL sel, IMP imp, const char* types);
// The methods `cls` defines itself, in the order they were added.
std::vector<Method> class_copyMethodList(Class cls);

SEL method_getName(Method method);
IMP method_getImplementation(Method method);
// The method's type encoding, or null when it was added without one.
const char* method_getTypeEncoding(Method method);
// Sets the implementation atomically and returns the previous one.
IMP method_setImplementation(Method method, IMP imp);
void method_exchangeImplementations(Method a, Method b);

// A new instance of `cls` with a strong count of 1 (the caller's). Runs no
// `init` and no `+initialize`.
Ref<Object> class_createInstance(Class cls, size_t extraBytes = 0);

// MARK: Protocols

struct objc_method_description {
  SEL name = nullptr;
  const char* types = nullptr;
};

// A new protocol under construction, or null when the name is taken.
Protocol* objc_allocateProtocol(const char* name);
// Ends construction: the protocol becomes visible to `objc_getProtocol` and
// can no longer change.
void objc_registerProtocol(Protocol* protocol);
Protocol* objc_getProtocol(const char* name);
const char* protocol_getName(Protocol* protocol);
// Only while the protocol is under construction.
void protocol_addMethodDescription(Protocol* protocol, SEL name, const char* types,
                                   BOOL isRequiredMethod, BOOL isInstanceMethod);
void protocol_addProtocol(Protocol* protocol, Protocol* addition);
// The descriptions of one kind (required or optional, instance or class),
// in the order they were added; adopted protocols are not included.
std::vector<objc_method_description> protocol_copyMethodDescriptionList(Protocol* protocol,
                                                                        BOOL isRequiredMethod,
                                                                        BOOL isInstanceMethod);
// The description of `sel` of that kind in the protocol or the protocols it
// adopts; empty (null name and types) when there is none.
objc_method_description protocol_getMethodDescription(Protocol* protocol, SEL sel,
                                                      BOOL isRequiredMethod, BOOL isInstanceMethod);
std::vector<Protocol*> protocol_copyProtocolList(Protocol* protocol);
// YES when `other` is `protocol` or one it adopts, directly or not.
BOOL protocol_conformsToProtocol(Protocol* protocol, Protocol* other);

// Adds a protocol to the class's own list; NO when the class already has it.
BOOL class_addProtocol(Class cls, Protocol* protocol);
// Whether the class itself (not its superclasses) adopts the protocol or one
// that conforms to it.
BOOL class_conformsToProtocol(Class cls, Protocol* protocol);
std::vector<Protocol*> class_copyProtocolList(Class cls);

// MARK: Properties

struct objc_property_attribute_t {
  const char* name;
  const char* value;
};

// Declares a property on the class; its attribute string joins each
// attribute's name and value with commas ("T@\"NSString\",W,N,V_name").
// NO when the class already declares a property of that name.
BOOL class_addProperty(Class cls, const char* name,
                       const std::vector<objc_property_attribute_t>& attributes);
// The property in the class or its superclasses, or null.
objc_property_t class_getProperty(Class cls, const char* name);
std::vector<objc_property_t> class_copyPropertyList(Class cls);
const char* property_getName(objc_property_t property);
const char* property_getAttributes(objc_property_t property);

// MARK: Associated objects

enum objc_AssociationPolicy : uintptr_t {
  OBJC_ASSOCIATION_ASSIGN = 0,
  OBJC_ASSOCIATION_RETAIN_NONATOMIC = 1,
  OBJC_ASSOCIATION_COPY_NONATOMIC = 3,
  OBJC_ASSOCIATION_RETAIN = 01401,
  OBJC_ASSOCIATION_COPY = 01403,
};

// Stores `value` under `key` (replacing and releasing what was there); a
// null value removes the entry. Retain policies retain, copy policies store
// the result of `copy`, assign stores the pointer unretained.
void objc_setAssociatedObject(id object, const void* key, id value, objc_AssociationPolicy policy);
// The value under `key`, retained for the caller, or null.
Ref<Object> objc_getAssociatedObject(id object, const void* key);
void objc_removeAssociatedObjects(id object);

// MARK: Monitors

inline constexpr int OBJC_SYNC_SUCCESS = 0;
inline constexpr int OBJC_SYNC_NOT_OWNING_THREAD_ERROR = -1;

// Enters the object's own recursive monitor (no two objects share one).
// A null object is a no-op.
int objc_sync_enter(id object);
// Leaves it; OBJC_SYNC_NOT_OWNING_THREAD_ERROR when this thread does not hold it.
int objc_sync_exit(id object);

// Holds an object's monitor for a scope, released also when an exception passes.
class Synchronized {
 public:
  explicit Synchronized(id object) : object_(object) { objc_sync_enter(object_); }
  ~Synchronized() { objc_sync_exit(object_); }
  Synchronized(const Synchronized&) = delete;
  Synchronized& operator=(const Synchronized&) = delete;

 private:
  id object_;
};

// MARK: Implementations from closures

// An implementation that runs `block` with the receiver, the selector and the
// frame. It lives until `imp_removeBlock`. The typed form is in Message.h.
IMP imp_implementationWithBlock(std::function<void(id self, SEL cmd, Frame& frame)> block);
// Frees an implementation made from a closure; NO for any other. The caller
// guarantees that no method uses it any longer.
BOOL imp_removeBlock(IMP imp);

// MARK: Sending with a frame

// Sends `sel` to `receiver` with a frame already laid out (the receiver and
// the selector are written into its first two slots). A null receiver leaves
// the return slot as it is.
void objc_msgSend(id receiver, SEL sel, Frame& frame);

struct objc_super {
  id receiver;
  Class super_class;  // the class the method lookup starts at
};
void objc_msgSendSuper(const objc_super& super, SEL sel, Frame& frame);

// The implementation a message `sel` to an object of class `cls` runs, after
// `+initialize` ran for the class: the method's, or `_objc_msgForward`.
IMP objc_lookUpImplementation(Class cls, SEL sel);

// MARK: CoreFoundation type identifiers

using CFTypeID = unsigned long;
// The CoreFoundation type identifier of an object: the same for every
// ordinary object; another for the classes marked as toll-free bridged.
CFTypeID CFGetTypeID(id object);

namespace detail {
// Stops the process for a broken precondition of the caller: hands the
// message and the caller's location to base::fatalError.
[[noreturn]] void fatalError(std::string_view message, const char* file = __builtin_FILE(),
                             int line = __builtin_LINE());
// Frees the object after removing its associated objects, dropping its
// observation info and zeroing weak references: the root `dealloc`.
void object_dispose(id object) noexcept;
// Marks objects that live for the whole process (class objects, singletons):
// retain and release leave them alone.
void makeImmortal(id object) noexcept;
// Gives an object constructed outside `class_createInstance` its class.
void adoptNewObject(id object, Class cls) noexcept;
// Observation info slot of the side record, dropped by the root `dealloc`.
void setObservationInfo(id object, std::shared_ptr<void> info);
std::shared_ptr<void> observationInfo(id object);
}  // namespace detail

}  // namespace objc
