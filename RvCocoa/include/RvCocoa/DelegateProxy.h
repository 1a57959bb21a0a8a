#pragma once

// The generic delegate proxy: it stands in for the delegate of a parent
// object (the platform object whose delegate it replaces), passes every
// delegate message on to the forward delegate, and turns the calls of the
// delegate methods that return nothing into sequences:
//
//   proxy->sentMessage(sel)     the arguments of each call, before the
//                               forward delegate's method runs
//   proxy->methodInvoked(sel)   the same, after it returned
//
// Elements are the call's arguments as the runtime boxes them (NSNull for
// nil). Only the void optional methods of the adopted protocols produce
// elements; for any other selector a warning is printed where that can be
// told.
//
// While a void delegate method is observed, the proxy answers YES to
// `respondsToSelector:` for it, and it makes the parent object set its
// delegate again whenever that answer changes, so a parent that caches what
// its delegate implements asks anew.
//
// A concrete proxy is a class of the runtime below a `DelegateProxy<P, D>`
// that adopts the delegate protocol and meets `DelegateProxyType` (see
// DelegateProxyType.h); it is made with `DelegateProxy<P, D>::create<Proxy>`,
// or by an initialiser of its own that runs `initializeProxy`.
// The runtime's plain `init` stops the process.
//
// Main thread only, except where noted; subscribing to and disposing of the
// sequences is moved to the main thread. The parent may call its delegate on
// any thread: events are delivered on that thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>

#include "RvCocoa/HasDelegate.h"
#include "RvCocoa/MessageObservation.h"
#include "RvCocoa/ProtocolRef.h"
#include "RvCocoa/RvCocoaError.h"
#include "RvCocoa/_RVDelegateProxy.h"
#include "RvStreams/MainScheduler.h"
#include "RvStreams/Observable.h"
#include "RvStreams/PublishSubject.h"
#include "base/Mutex.h"

namespace rv {

class AnyDelegateProxy;

// The subject of one selector of one proxy (one for `sentMessage`, another
// for `methodInvoked`) and the sequence handed out for it. Holds the proxy
// weakly.
class MessageDispatcher {
 public:
  MessageDispatcher(objc::SEL selector, AnyDelegateProxy* delegateProxy);

  // Receives one element per delegate call.
  const Ref<PublishSubject<ArgumentArray>>& dispatcher() const { return dispatcher_; }
  // Shared while it has observers; its first observer makes the proxy check
  // the selector and reset the parent's delegate, its last one leaving
  // resets it again. Subscribed and disposed on the main thread.
  const Ref<Observable<ArgumentArray>>& result() const { return result_; }
  objc::SEL selector() const { return selector_; }

 private:
  Ref<PublishSubject<ArgumentArray>> dispatcher_;
  Ref<Observable<ArgumentArray>> result_;
  objc::SEL selector_;
};

// What every DelegateProxy<P, D> does, whatever its parent and delegate
// types: the runtime class "RvCocoa.DelegateProxy".
class AnyDelegateProxy : public _RVDelegateProxy {
 public:
  static objc::Class classObject();

  // The arguments of each call of `selector`, before the forward delegate
  // runs. The same sequence for every call with the same selector.
  virtual Ref<Observable<ArgumentArray>> sentMessage(objc::SEL selector);
  // The same, after the forward delegate ran; not the sentMessage sequence.
  virtual Ref<Observable<ArgumentArray>> methodInvoked(objc::SEL selector);
  // Prints a warning when observing `selector` cannot work as expected: the
  // proxy class implements it itself, or it is no void delegate method and
  // the forward delegate does not implement it.
  virtual void checkSelectorIsObservable(objc::SEL selector);
  // Whether a sequence of `selector` has observers. Any thread.
  virtual bool hasObservers(objc::SEL selector);
  // When the proxy is the parent's delegate, sets the parent's delegate to
  // nil and back to the proxy. Any thread (used on the main thread).
  virtual void reset();

  // The parent object, or null once it is gone. Any thread.
  objc::Ref<objc::Object> parentObject() const { return parentObject_.load(); }

  ~AnyDelegateProxy() override;

 protected:
  using CurrentDelegateFor = std::function<objc::Ref<objc::Object>(objc::Object& parent)>;
  using SetCurrentDelegateTo = std::function<void(objc::id delegate, objc::Object& parent)>;

  AnyDelegateProxy() = default;

  // The initialiser's work: remembers the parent (weakly) and how to read
  // and write its delegate, requires the main thread, and runs the
  // superclass's `init`.
  void initialize(objc::id parentObject, CurrentDelegateFor currentDelegateFor,
                  SetCurrentDelegateTo setCurrentDelegateTo);

  // Sets the forward delegate (retained or not), checks the selectors being
  // observed, and resets the parent's delegate.
  void setForwardToDelegateObject(objc::id delegate, bool retainDelegate);

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct DelegateProxyMethods;
  using Dispatchers = std::unordered_map<objc::SEL, std::shared_ptr<MessageDispatcher>>;
  // Which of the two dictionaries.
  enum class Observed { sentMessage, methodInvoked };

  Dispatchers& dispatchersLocked(Observed observed) KX_REQUIRES(mutex_);
  Ref<Observable<ArgumentArray>> resultFor(Observed observed, objc::SEL selector);
  std::shared_ptr<MessageDispatcher> dispatcherFor(Observed observed, objc::SEL selector);

  // The dictionaries are written on the main thread and read by the hooks on
  // whatever thread the parent calls its delegate: the mutex guards them and
  // is never held while calling out.
  base::Mutex mutex_;
  Dispatchers sentMessageForSelector_ KX_GUARDED_BY(mutex_);
  Dispatchers methodInvokedForSelector_ KX_GUARDED_BY(mutex_);
  objc::Weak<objc::Object> parentObject_;
  CurrentDelegateFor currentDelegateFor_;
  SetCurrentDelegateTo setCurrentDelegateTo_;
};

namespace cocoa_detail {

// The object a delegate value refers to (null for none).
template <class D>
objc::Ref<objc::Object> objectReference(const D& delegate) {
  if constexpr (IsObjcRef<D>::value) {
    return objc::Ref<objc::Object>(delegate);
  } else {
    return delegate.object();
  }
}
template <class D>
objc::Ref<objc::Object> objectReference(const std::optional<D>& delegate) {
  return delegate ? objectReference(*delegate) : nullptr;
}

template <class>
inline constexpr bool kDependentFalse = false;

// Whether P has a typed delegate (data-source, prefetching data-source)
// property of type D.
template <class P, class D>
constexpr bool delegatePropertyOf() {
  if constexpr (HasDelegate<P>) {
    return std::is_same_v<typename P::Delegate, D>;
  } else {
    return false;
  }
}
template <class P, class D>
constexpr bool dataSourcePropertyOf() {
  if constexpr (HasDataSource<P>) {
    return std::is_same_v<typename P::DataSource, D>;
  } else {
    return false;
  }
}
template <class P, class D>
constexpr bool prefetchDataSourcePropertyOf() {
  if constexpr (HasPrefetchDataSource<P>) {
    return std::is_same_v<typename P::PrefetchDataSource, D>;
  } else {
    return false;
  }
}

// How the proxy type `Proxy` reads and writes its parent's delegate: with
// its own `currentDelegate` / `setCurrentDelegate`, else through the
// parent's typed delegate, data-source or prefetching data-source property
// of the proxy's delegate type.
template <class Proxy>
struct DelegateAccess {
  using P = typename Proxy::ParentObject;
  using D = typename Proxy::Delegate;

  static std::optional<D> currentDelegate(P& parent) {
    if constexpr (requires { Proxy::currentDelegate(parent); }) {
      return Proxy::currentDelegate(parent);
    } else if constexpr (kDelegateProperty) {
      return parent.delegate();
    } else if constexpr (kDataSourceProperty) {
      return parent.dataSource();
    } else if constexpr (kPrefetchDataSourceProperty) {
      return parent.prefetchDataSource();
    } else {
      static_assert(kDependentFalse<Proxy>, "the proxy type cannot read its parent's delegate");
    }
  }

  static void setCurrentDelegate(std::optional<D> delegate, P& parent) {
    if constexpr (requires { Proxy::setCurrentDelegate(std::move(delegate), parent); }) {
      Proxy::setCurrentDelegate(std::move(delegate), parent);
    } else if constexpr (kDelegateProperty) {
      parent.setDelegate(std::move(delegate));
    } else if constexpr (kDataSourceProperty) {
      parent.setDataSource(std::move(delegate));
    } else if constexpr (kPrefetchDataSourceProperty) {
      parent.setPrefetchDataSource(std::move(delegate));
    } else {
      static_assert(kDependentFalse<Proxy>, "the proxy type cannot set its parent's delegate");
    }
  }

 private:
  static constexpr bool kDelegateProperty = delegatePropertyOf<P, D>();
  static constexpr bool kDataSourceProperty = dataSourcePropertyOf<P, D>();
  static constexpr bool kPrefetchDataSourceProperty = prefetchDataSourcePropertyOf<P, D>();
};

}  // namespace cocoa_detail

// The delegate proxy of parent objects of class P (a class of the runtime)
// whose delegate is a D: `objc::Ref<T>` or `ProtocolRef<Tag>`.
template <class P, class D>
class DelegateProxy : public AnyDelegateProxy {
 public:
  using ParentObject = P;
  using Delegate = D;

  static objc::Class classObject() { return AnyDelegateProxy::classObject(); }

  // A new proxy of class `Proxy` (a class below this one whose delegate
  // proxy type has the same parent and delegate types) for `parentObject`.
  // A proxy type that declares `static constexpr bool kOwnInitializerOnly =
  // true` is made only by an initialiser of its own (which runs
  // `initializeProxy`): for it this stops the process, reporting that the
  // initializer is not implemented for the class. Main thread only.
  template <class Proxy>
  static objc::Ref<Proxy> create(const objc::Ref<P>& parentObject) {
    objc::Ref<Proxy> proxy = objc::alloc<Proxy>(Proxy::classObject());
    if constexpr (requires { requires Proxy::kOwnInitializerOnly; }) {
      cocoaFatalError(
          std::string("Use of unimplemented initializer 'init(parentObject:delegateProxy:)' for "
                      "class '") +
          objc::class_getName(Proxy::classObject()) + "'");
    }
    initializeProxy(*proxy, parentObject);
    return proxy;
  }

  // The forward delegate as a D. Stops the process when it is not one. Any
  // thread.
  virtual std::optional<D> forwardToDelegate() {
    return castOptionalOrFatalError<D>(_forwardToDelegate());
  }

  // Makes `delegate` the forward delegate, kept alive by the proxy when
  // `retainDelegate`; then checks the observed selectors anew and resets the
  // parent's delegate. Any thread (used on the main thread).
  virtual void setForwardToDelegate(std::optional<D> delegate, bool retainDelegate) {
    setForwardToDelegateObject(cocoa_detail::objectReference(delegate).get(), retainDelegate);
  }

 protected:
  DelegateProxy() = default;

  // The initialiser's work on a proxy of class `Proxy` made with
  // `objc::alloc`: remembers the parent (weakly) and how the proxy type reads
  // and writes its delegate, requires the main thread, and runs the
  // superclass's `init`. Main thread only.
  template <class Proxy>
  static void initializeProxy(Proxy& proxy, const objc::Ref<P>& parentObject) {
    static_assert(std::is_base_of_v<DelegateProxy, Proxy>);
    static_assert(std::is_same_v<typename Proxy::ParentObject, P> &&
                      std::is_same_v<typename Proxy::Delegate, D>,
                  "the proxy type serves other parent or delegate types");
    using Access = cocoa_detail::DelegateAccess<Proxy>;
    proxy.initialize(
        parentObject.get(),
        [](objc::Object& parent) {
          return cocoa_detail::objectReference(Access::currentDelegate(static_cast<P&>(parent)));
        },
        [](objc::id delegate, objc::Object& parent) {
          Access::setCurrentDelegate(castOptionalOrFatalError<D>(objc::Ref<objc::Object>(delegate)),
                                     static_cast<P&>(parent));
        });
  }
};

}  // namespace rv
