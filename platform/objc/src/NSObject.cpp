#include "objc/NSObject.h"

#include <cstdio>

#include "KeyValueInternal.h"
#include "RuntimeInternal.h"
#include "objc/NSException.h"
#include "objc/NSInvocation.h"
#include "objc/NSMethodSignature.h"
#include "objc/NSString.h"

namespace objc {

namespace {

SEL selector(const char* name) { return sel_registerName(name); }

std::string pointerText(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", pointer);
  return text;
}

Ref<NSMethodSignature> signatureFromProtocols(Class start, SEL sel, bool instance) {
  for (Class c = start; c != nullptr; c = class_getSuperclass(c)) {
    for (Protocol* protocol : class_copyProtocolList(c)) {
      for (bool required : {true, false}) {
        objc_method_description d =
            protocol_getMethodDescription(protocol, sel, required, instance);
        if (d.name != nullptr && d.types != nullptr) {
          return NSMethodSignature::signatureWithObjCTypes(d.types);
        }
      }
    }
  }
  return nullptr;
}

}  // namespace

// The root class's methods. They take the receiver as a plain object:
// classes answer these messages too (through the root metaclass).
struct NSObjectMethods {
  static Class getClass(Object* self, SEL) { return object_getClass(self); }

  static BOOL respondsToSelector(Object* self, SEL, SEL sel) {
    return sel != nullptr && class_respondsToSelector(object_getClass(self), sel);
  }

  static Ref<NSMethodSignature> methodSignatureForSelector(Object* self, SEL, SEL sel) {
    if (sel == nullptr) return nullptr;
    Class cls = object_getClass(self);
    Method method = class_getInstanceMethod(cls, sel);
    if (method != nullptr && method_getTypeEncoding(method) != nullptr) {
      return NSMethodSignature::signatureWithObjCTypes(method_getTypeEncoding(method));
    }
    // A class receiver looks for class methods in the protocols of its own
    // chain; an instance for instance methods in its class's chain.
    if (class_isMetaClass(cls)) return signatureFromProtocols(static_cast<Class>(self), sel, false);
    return signatureFromProtocols(cls, sel, true);
  }

  static void forwardInvocation(Object* self, SEL, NSInvocation* invocation) {
    static const SEL dnr = selector("doesNotRecognizeSelector:");
    send<void(SEL)>(self, dnr, invocation == nullptr ? nullptr : invocation->selector());
  }

  static Ref<Object> forwardingTargetForSelector(Object*, SEL, SEL) { return nullptr; }

  static void doesNotRecognizeSelector(Object* self, SEL, SEL sel) {
    Class cls = object_getClass(self);
    const bool isClass = class_isMetaClass(cls);
    NSException::raise(NSInvalidArgumentException,
                       std::string(isClass ? "+[" : "-[") + class_getName(cls) + " " +
                           sel_getName(sel) + "]: unrecognized selector sent to " +
                           (isClass ? "class " : "instance ") + pointerText(self));
  }

  static BOOL isKindOfClass(Object* self, SEL, Class cls) {
    static const SEL classSel = selector("class");
    for (Class c = send<Class()>(self, classSel); c != nullptr; c = class_getSuperclass(c)) {
      if (c == cls) return YES;
    }
    return NO;
  }

  static BOOL conformsToProtocol(Object* self, SEL, Protocol* protocol) {
    static const SEL classSel = selector("class");
    for (Class c = send<Class()>(self, classSel); c != nullptr; c = class_getSuperclass(c)) {
      if (class_conformsToProtocol(c, protocol)) return YES;
    }
    return NO;
  }

  static IMP methodForSelector(Object* self, SEL, SEL sel) {
    return class_getMethodImplementation(object_getClass(self), sel);
  }

  static Ref<NSString> description(Object* self, SEL) {
    static const SEL classSel = selector("class");
    return NSString::stringWithString(std::string("<") +
                                      class_getName(send<Class()>(self, classSel)) + ": " +
                                      pointerText(self) + ">");
  }

  static BOOL isEqual(Object* self, SEL, Object* other) { return self == other; }
  static NSUInteger hash(Object* self, SEL) { return reinterpret_cast<uintptr_t>(self); }

  static Ref<Object> copy(Object* self, SEL) {
    static const SEL copyWithZone = selector("copyWithZone:");
    return send<Ref<Object>(void*)>(self, copyWithZone, nullptr);
  }

  static Ref<Object> init(Object* self, SEL) { return Ref<Object>(self); }
  static void dealloc(Object* self, SEL) { detail::object_dispose(self); }

  // Class methods.
  static Ref<Object> alloc(Class self, SEL) { return class_createInstance(self); }
  static Ref<Object> makeNew(Class self, SEL) {
    static const SEL allocSel = selector("alloc");
    static const SEL initSel = selector("init");
    Ref<Object> object = send<Ref<Object>()>(self, allocSel);
    return send<Ref<Object>()>(object, initSel);
  }
  static Class classItself(Class self, SEL) { return self; }
  static void initialize(Class, SEL) {}
  static Ref<NSString> classDescription(Class self, SEL) {
    return NSString::stringWithString(class_getName(self));
  }
  static BOOL classIsKindOfClass(Class self, SEL, Class cls) {
    for (Class c = object_getClass(self); c != nullptr; c = class_getSuperclass(c)) {
      if (c == cls) return YES;
    }
    return NO;
  }
  static BOOL classConformsToProtocol(Class self, SEL, Protocol* protocol) {
    for (Class c = self; c != nullptr; c = class_getSuperclass(c)) {
      if (class_conformsToProtocol(c, protocol)) return YES;
    }
    return NO;
  }
};

Class NSObject::classObject() {
  using M = NSObjectMethods;
  static const Class cls = [] {
    ClassBuilder<NSObject> builder("NSObject", nullptr);
    builder.method("class", &M::getClass)
        .method("respondsToSelector:", &M::respondsToSelector)
        .method("methodSignatureForSelector:", &M::methodSignatureForSelector)
        .method("forwardInvocation:", &M::forwardInvocation)
        .method("forwardingTargetForSelector:", &M::forwardingTargetForSelector)
        .method("doesNotRecognizeSelector:", &M::doesNotRecognizeSelector)
        .method("isKindOfClass:", &M::isKindOfClass)
        .method("conformsToProtocol:", &M::conformsToProtocol)
        .method("methodForSelector:", &M::methodForSelector)
        .method("description", &M::description)
        .method("isEqual:", &M::isEqual)
        .method("hash", &M::hash)
        .method("copy", &M::copy)
        .method("init", &M::init)
        .method("dealloc", &M::dealloc)
        .classMethod("alloc", &M::alloc)
        .classMethod("new", &M::makeNew)
        .classMethod("class", &M::classItself)
        .classMethod("initialize", &M::initialize)
        .classMethod("description", &M::classDescription)
        .classMethod("isKindOfClass:", &M::classIsKindOfClass)
        .classMethod("conformsToProtocol:", &M::classConformsToProtocol);
    detail::addKeyValueMethods(builder);
    return builder.build();
  }();
  return cls;
}

Class NSObject::getClass() {
  static const SEL sel = selector("class");
  return send<Class()>(this, sel);
}

BOOL NSObject::respondsToSelector(SEL sel) {
  static const SEL message = selector("respondsToSelector:");
  return send<BOOL(SEL)>(this, message, sel);
}

Ref<NSMethodSignature> NSObject::methodSignatureForSelector(SEL sel) {
  static const SEL message = selector("methodSignatureForSelector:");
  return send<Ref<NSMethodSignature>(SEL)>(this, message, sel);
}

void NSObject::forwardInvocation(NSInvocation* invocation) {
  static const SEL message = selector("forwardInvocation:");
  send<void(NSInvocation*)>(this, message, invocation);
}

Ref<Object> NSObject::forwardingTargetForSelector(SEL sel) {
  static const SEL message = selector("forwardingTargetForSelector:");
  return send<Ref<Object>(SEL)>(this, message, sel);
}

void NSObject::doesNotRecognizeSelector(SEL sel) {
  static const SEL message = selector("doesNotRecognizeSelector:");
  send<void(SEL)>(this, message, sel);
}

BOOL NSObject::isKindOfClass(Class cls) {
  static const SEL message = selector("isKindOfClass:");
  return send<BOOL(Class)>(this, message, cls);
}

BOOL NSObject::conformsToProtocol(Protocol* protocol) {
  static const SEL message = selector("conformsToProtocol:");
  return send<BOOL(Protocol*)>(this, message, protocol);
}

IMP NSObject::methodForSelector(SEL sel) {
  static const SEL message = selector("methodForSelector:");
  return send<IMP(SEL)>(this, message, sel);
}

std::string NSObject::description() const { return describe(const_cast<NSObject*>(this)); }

BOOL NSObject::isEqual(id other) {
  static const SEL message = selector("isEqual:");
  return send<BOOL(id)>(this, message, other);
}

NSUInteger NSObject::hash() {
  static const SEL message = selector("hash");
  return send<NSUInteger()>(this, message);
}

Ref<Object> NSObject::copy() {
  static const SEL message = selector("copy");
  return send<Ref<Object>()>(this, message);
}

Ref<Object> NSObject::init() {
  static const SEL message = selector("init");
  return send<Ref<Object>()>(this, message);
}

std::string describe(id object) {
  if (object == nullptr) return "(null)";
  static const SEL message = selector("description");
  Ref<Object> text = send<Ref<Object>()>(object, message);
  if (auto* string = dynamic_cast<NSString*>(text.get())) return string->string();
  return "(null)";
}

namespace detail {

Class protocolClass() {
  static const Class cls = [] {
    Class c = objc_allocateClassPair(NSObject::classObject(), "Protocol", 0);
    setInstanceType(
        c, []() -> Object* { fatalError("Protocols are made with objc_allocateProtocol"); },
        [](Object* o) { return dynamic_cast<Protocol*>(o) != nullptr; });
    objc_registerClassPair(c);
    return c;
  }();
  return cls;
}

void runLoad(Class cls) {
  static const SEL loadSel = sel_registerName("load");
  for (Method method : class_copyMethodList(object_getClass(cls))) {
    if (method_getName(method) == loadSel) {
      Sender<void()>::call(method_getImplementation(method), cls, loadSel);
      return;
    }
  }
}

}  // namespace detail
}  // namespace objc
