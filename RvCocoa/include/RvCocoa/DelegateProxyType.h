#pragma once

// How a concrete delegate proxy is described, made, installed as its parent's
// delegate and found again.
//
// A delegate proxy type is a class `Proxy` below `DelegateProxy<P, D>` that
// also provides:
//
//   static objc::Class classObject();             // adopts the delegate protocol
//   static void registerKnownImplementations();   // addProxyMaker<P>(...) calls
//   static std::optional<D> currentDelegate(P& parent);
//   static void setCurrentDelegate(std::optional<D> delegate, P& parent);
//
// The last two may be left out when P has a typed delegate, data-source or
// prefetching data-source property of type D (HasDelegate.h). `identifier()`
// (the association key and the key of the type's factory) defaults to the
// identity of D, so each delegate type has its own proxy per parent.
//
// `DelegateProxyType<Proxy>::proxy(parent)` is the one way to obtain the proxy
// of a parent: it finds the proxy the parent carries (an associated object,
// so the parent keeps it alive) or makes one through the factory, makes it
// the parent's delegate, and keeps the delegate found there as the forward
// delegate (not retained). It does so again whenever the parent's delegate
// was changed behind the proxy's back.
//
// `DelegateProxyFactory` keeps, per delegate type, one make closure per parent
// class, and serves an object with the closure of the nearest class in its
// class chain.
//
// Everything here runs on the main thread (checked), except making a factory
// with `create` and reading `identifier`.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "RvCocoa/CocoaFatalError.h"
#include "RvCocoa/DelegateProxy.h"
#include "RvCocoa/RvCocoaError.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/MainScheduler.h"
#include "objc/Runtime.h"

namespace rv {

template <class Proxy>
struct DelegateProxyType;

namespace cocoa_detail {

// One distinct address per type, for the whole program.
template <class T>
inline constexpr char typeIdentity = 0;

}  // namespace cocoa_detail

// The make closures of the proxies of one delegate type, by parent class.
class DelegateProxyFactory {
 public:
  using Make = std::function<objc::Ref<objc::Object>(objc::id object)>;

  // The process-wide factory of Proxy's delegate type. The first call for a
  // delegate type makes and stores the factory, then lets Proxy register its
  // make closures (which reach this function again). Main thread only.
  template <class Proxy>
  static Ref<DelegateProxyFactory> sharedFactory() {
    MainScheduler::ensureRunningOnMainThread();
    const void* identifier = DelegateProxyType<Proxy>::identifier();
    auto& registry = sharedFactories();
    if (auto it = registry.find(identifier); it != registry.end()) return it->second;
    Ref<DelegateProxyFactory> factory = create<Proxy>();
    registry.emplace(identifier, factory);
    Proxy::registerKnownImplementations();
    return factory;
  }

  // A factory for Proxy's delegate type with no make closures. Any thread.
  template <class Proxy>
  static Ref<DelegateProxyFactory> create() {
    return Ref<DelegateProxyFactory>(
        new DelegateProxyFactory(typeid(Proxy), DelegateProxyType<Proxy>::identifier()));
  }

  // Registers `make` (a callable from `const objc::Ref<Parent>&` to
  // `objc::Ref<Proxy>`) for objects of class Parent and of its subclasses
  // that have no closure of their own. Stops the process when Proxy serves
  // another delegate type than this factory, or when Parent has a closure
  // already. Main thread only.
  template <class Proxy, class Parent, class F>
  void extend(F make) {
    MainScheduler::ensureRunningOnMainThread();
    if (identifier_ != DelegateProxyType<Proxy>::identifier()) cocoaFatalError("");
    const objc::Class key = Parent::classObject();
    if (factories_.count(key) != 0) {
      cocoaFatalError("The factory of " + typeDisplayName<Parent>() +
                      " is duplicated. DelegateProxy is not allowed of duplicated base object "
                      "type.");
    }
    factories_.emplace(key, [make = std::move(make)](objc::id object) -> objc::Ref<objc::Object> {
      return make(castOrFatalError<objc::Ref<Parent>>(object));
    });
  }

  // A new proxy for `object` from the closure of the nearest class in its
  // class chain. Stops the process when there is none. Main thread only.
  objc::Ref<objc::Object> createProxy(objc::id object);

  const std::type_info& delegateProxyType() const { return *delegateProxyType_; }
  const void* identifier() const { return identifier_; }

 private:
  DelegateProxyFactory(const std::type_info& delegateProxyType, const void* identifier)
      : delegateProxyType_(&delegateProxyType), identifier_(identifier) {}

  static std::unordered_map<const void*, Ref<DelegateProxyFactory>>& sharedFactories();

  std::unordered_map<objc::Class, Make> factories_;
  const std::type_info* delegateProxyType_;
  const void* identifier_;
};

// The operations of a delegate proxy type (see the top of this header).
template <class Proxy>
struct DelegateProxyType {
  using ParentObject = typename Proxy::ParentObject;
  using Delegate = typename Proxy::Delegate;

  // Identifies the delegate type: Proxy's own `identifier()` when it has
  // one, else the identity of Delegate. Any thread.
  static const void* identifier() {
    const void* identifier = nullptr;
    if constexpr (requires { Proxy::identifier(); }) {
      identifier = Proxy::identifier();
    } else {
      identifier = &cocoa_detail::typeIdentity<Delegate>;
    }
    if (identifier == nullptr) cocoaFatalError("");
    return identifier;
  }

  // The parent's delegate, and setting it (Proxy's own accessors, or the
  // parent's typed property).
  static std::optional<Delegate> currentDelegate(ParentObject& parent) {
    return cocoa_detail::DelegateAccess<Proxy>::currentDelegate(parent);
  }
  static void setCurrentDelegate(std::optional<Delegate> delegate, ParentObject& parent) {
    cocoa_detail::DelegateAccess<Proxy>::setCurrentDelegate(std::move(delegate), parent);
  }

  // The proxy of `object`, made and installed if needed (see the top of this
  // header). Main thread only.
  static objc::Ref<Proxy> proxy(const objc::Ref<ParentObject>& object) {
    MainScheduler::ensureRunningOnMainThread();
    const void* key = identifier();
    objc::Ref<objc::Object> associated = objc::objc_getAssociatedObject(object.get(), key);
    if (!associated) {
      associated = makeProxy(object.get());
      objc::objc_setAssociatedObject(object.get(), key, associated.get(),
                                     objc::OBJC_ASSOCIATION_RETAIN);
    }
    objc::Ref<objc::Object> current = cocoa_detail::objectReference(currentDelegate(*object));
    objc::Ref<Proxy> proxy = castOrFatalError<objc::Ref<Proxy>>(associated);
    if (current && current.get() == static_cast<objc::Object*>(proxy.get())) return proxy;
    // The delegate the parent had (set before the proxy, or since behind its
    // back) becomes the forward delegate; the proxy does not keep it alive.
    proxy->setForwardToDelegate(castOptionalOrFatalError<Delegate>(current), false);
    setCurrentDelegate(castOptionalOrFatalError<Delegate>(objc::Ref<objc::Object>(proxy)), *object);
    return proxy;
  }

  // Makes `delegate` the forward delegate of `object`'s proxy (retained when
  // `retainDelegate`). Disposing the result removes the forward delegate
  // again (on the main thread); the proxy stays the parent's delegate. Main
  // thread only.
  static Ref<Disposable> attachForwardDelegate(Delegate delegate, bool retainDelegate,
                                               const objc::Ref<ParentObject>& object) {
    objc::Ref<Proxy> proxy = DelegateProxyType::proxy(object);
    proxy->setForwardToDelegate(std::move(delegate), retainDelegate);
    return Disposables::create([proxy, retainDelegate] {
      MainScheduler::ensureRunningOnMainThread();
      proxy->setForwardToDelegate(std::nullopt, retainDelegate);
    });
  }

  // Registers `make` (from `const objc::Ref<Parent>&` to `objc::Ref<Proxy>`)
  // for parents of class Parent with the shared factory. Main thread only.
  template <class Parent, class F>
  static void addProxyMaker(F make) {
    DelegateProxyFactory::sharedFactory<Proxy>()->template extend<Proxy, Parent>(std::move(make));
  }

  // A new proxy for `object` from the shared factory. Main thread only.
  static objc::Ref<Proxy> makeProxy(objc::id object) {
    return castOrFatalError<objc::Ref<Proxy>>(
        DelegateProxyFactory::sharedFactory<Proxy>()->createProxy(object));
  }
};

}  // namespace rv
