#pragma once

// Defines a class of the runtime in C++: its instances are C++ objects of
// type `T`, its methods are C++ functions registered with compile-time type
// encodings. The public C++ members of such a class send messages, so that
// method replacement, forwarding and interception see every call:
//
//   class NSView : public NSObject {
//    public:
//     static Class classObject();
//     double alphaValue() { return objc::send<double()>(this, sel("alphaValue")); }
//    private:
//     friend struct objc::detail::InstanceAccess;
//     double alphaValueImpl() { return alpha_; }
//     double alpha_ = 1;
//   };
//
//   Class NSView::classObject() {
//     static const Class cls = objc::ClassBuilder<NSView>("NSView", NSObject::classObject())
//         .method("alphaValue", &NSView::alphaValueImpl)
//         .property("alphaValue", "Td,N")
//         .build();
//     return cls;
//   }
//
// Classes made at run time with `objc_allocateClassPair` below such a class
// make their instances as the same C++ type.

#include <string>
#include <type_traits>
#include <utility>

#include "objc/Encoding.h"
#include "objc/Message.h"
#include "objc/Runtime.h"

namespace objc {

namespace detail {

// Grants the runtime access to a class's default constructor; classes
// defined with ClassBuilder befriend it.
struct InstanceAccess {
  template <class T>
  static Object* construct() {
    return new T();
  }
};

void setInstanceType(Class cls, Object* (*factory)(), bool (*accepts)(Object*));
// Runs +load when the class itself (not a superclass) defines it.
void runLoad(Class cls);

}  // namespace detail

template <class T>
class ClassBuilder {
 public:
  // Starts a class named `name` below `superclass`. Stops the process when
  // the name is taken: two C++ definitions of one class are a programming error.
  ClassBuilder(const char* name, Class superclass)
      : cls_(objc_allocateClassPair(superclass, name, 0)) {
    static_assert(std::is_base_of_v<Object, T>);
    if (cls_ == nullptr) detail::fatalError(std::string("Class already defined: ") + name);
    detail::setInstanceType(cls_, &detail::InstanceAccess::construct<T>, &accepts);
  }
  ClassBuilder(const ClassBuilder&) = delete;
  ClassBuilder& operator=(const ClassBuilder&) = delete;

  // An instance method implemented by a member function of T or a base of T.
  template <class U, class R, class... A>
  ClassBuilder& method(const char* name, R (U::*function)(A...)) {
    static_assert(std::is_base_of_v<U, T>);
    return add(cls_, name, MethodSignatureOf<R(A...)>::types(),
               [function](id self, SEL, Frame& frame) {
                 detail::callWithFrame<R, A...>(frame, [&](auto&&... args) -> decltype(auto) {
                   return (static_cast<U*>(self)->*function)(std::forward<decltype(args)>(args)...);
                 });
               });
  }
  template <class U, class R, class... A>
  ClassBuilder& method(const char* name, R (U::*function)(A...) const) {
    static_assert(std::is_base_of_v<U, T>);
    return add(cls_, name, MethodSignatureOf<R(A...)>::types(),
               [function](id self, SEL, Frame& frame) {
                 detail::callWithFrame<R, A...>(frame, [&](auto&&... args) -> decltype(auto) {
                   return (static_cast<U*>(self)->*function)(std::forward<decltype(args)>(args)...);
                 });
               });
  }
  // An instance method implemented by `function(self, cmd, args...)`.
  template <class R, class U, class... A>
  ClassBuilder& method(const char* name, R (*function)(U* self, SEL cmd, A...)) {
    static_assert(std::is_base_of_v<U, T>);
    return add(cls_, name, MethodSignatureOf<R(A...)>::types(),
               [function](id self, SEL cmd, Frame& frame) {
                 detail::callWithFrame<R, A...>(frame, [&](auto&&... args) -> decltype(auto) {
                   return function(static_cast<U*>(self), cmd,
                                   std::forward<decltype(args)>(args)...);
                 });
               });
  }
  // An instance method of signature `Sig` implemented by a closure called
  // as `f(T* self, SEL cmd, args...)`.
  template <class Sig, class F>
  ClassBuilder& method(const char* name, F f) {
    return add(cls_, name, MethodSignatureOf<Sig>::types(), adaptInstance<Sig>(std::move(f)));
  }

  // A class method implemented by `function(cls, cmd, args...)`.
  template <class R, class... A>
  ClassBuilder& classMethod(const char* name, R (*function)(Class self, SEL cmd, A...)) {
    return add(object_getClass(cls_), name, MethodSignatureOf<R(A...)>::types(),
               [function](id self, SEL cmd, Frame& frame) {
                 detail::callWithFrame<R, A...>(frame, [&](auto&&... args) -> decltype(auto) {
                   return function(static_cast<Class>(self), cmd,
                                   std::forward<decltype(args)>(args)...);
                 });
               });
  }
  template <class Sig, class F>
  ClassBuilder& classMethod(const char* name, F f) {
    return add(object_getClass(cls_), name, MethodSignatureOf<Sig>::types(),
               adaptClass<Sig>(std::move(f)));
  }

  // Declares a property with its attribute string ("T@\"NSString\",W,N").
  ClassBuilder& property(const char* name, const char* attributes) {
    class_addProperty(cls_, name, {{attributes, ""}});
    return *this;
  }
  ClassBuilder& protocol(Protocol* protocol) {
    class_addProtocol(cls_, protocol);
    return *this;
  }

  // Registers the class and runs its +load. The builder is spent afterwards.
  Class build() {
    objc_registerClassPair(cls_);
    detail::runLoad(cls_);
    return cls_;
  }

 private:
  static bool accepts(Object* object) { return dynamic_cast<T*>(object) != nullptr; }

  template <class Sig>
  struct Adapt;
  template <class R, class... A>
  struct Adapt<R(A...)> {
    template <class F>
    static auto instance(F f) {
      return [f = std::move(f)](id self, SEL cmd, Frame& frame) {
        detail::callWithFrame<R, A...>(frame, [&](auto&&... args) -> decltype(auto) {
          return f(static_cast<T*>(self), cmd, std::forward<decltype(args)>(args)...);
        });
      };
    }
    template <class F>
    static auto forClass(F f) {
      return [f = std::move(f)](id self, SEL cmd, Frame& frame) {
        detail::callWithFrame<R, A...>(frame, [&](auto&&... args) -> decltype(auto) {
          return f(static_cast<Class>(self), cmd, std::forward<decltype(args)>(args)...);
        });
      };
    }
  };
  template <class Sig, class F>
  static auto adaptInstance(F f) {
    return Adapt<Sig>::instance(std::move(f));
  }
  template <class Sig, class F>
  static auto adaptClass(F f) {
    return Adapt<Sig>::forClass(std::move(f));
  }

  template <class F>
  ClassBuilder& add(Class target, const char* name, const char* types, F f) {
    IMP imp = detail::makePermanent(new detail::ClosureImp<F>(std::move(f)));
    if (!class_addMethod(target, sel_registerName(name), imp, types)) {
      detail::fatalError(std::string("Method defined twice: ") + name);
    }
    return *this;
  }

  Class cls_;
};

// Defines a class at static initialisation, so its +load runs when the
// program starts: `static objc::LoadRegistrar registrar(&MyClass::classObject);`
// (a class first used earlier ran +load at that use).
class LoadRegistrar {
 public:
  explicit LoadRegistrar(Class (*define)()) { define(); }
};

}  // namespace objc
