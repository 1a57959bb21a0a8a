#pragma once

// The base class of every delegate proxy: an object of the runtime that
// stands in for the delegate of a platform object, passes every message it
// does not implement on to the forward delegate, and runs two hooks around
// that call for the messages that return nothing. The hooks do nothing here;
// the generic delegate proxy overrides them (keeping the type encoding
// "v32@0:8:16@24").
//
// Per proxy class, the observable selectors are the optional void instance
// methods of every protocol the class or one of its superclasses adopts,
// collected once by the class's `+initialize`.
//
// Main thread only, except the class-level table, which any thread may use.

#include <unordered_set>

#include "objc/NSArray.h"
#include "objc/NSInvocation.h"
#include "objc/NSMethodSignature.h"
#include "objc/NSObject.h"

namespace rv {

class _RVDelegateProxy : public objc::NSObject {
 public:
  static objc::Class classObject();

  // The optional void instance methods of `protocol` and of every protocol it
  // adopts (required and class methods are never collected).
  static std::unordered_set<objc::SEL> collectVoidSelectorsForProtocol(objc::Class self,
                                                                       objc::Protocol* protocol);

  // The forward delegate, or null (also once it was deallocated).
  objc::Ref<objc::Object> _forwardToDelegate();
  // Stores `delegate` weakly; with `retainDelegate` also keeps it alive
  // (through `strongForwardDelegate`), without it lets go of it.
  void _setForwardToDelegate(objc::id delegate, objc::BOOL retainDelegate);
  // Whether the proxy's own class chain implements `selector`, as NSObject's
  // `respondsToSelector:` answers (overrides in subclasses bypassed).
  objc::BOOL hasWiredImplementationForSelector(objc::SEL selector);
  // Whether `selector` is an observable (void) selector of the class the
  // proxy reports.
  objc::BOOL voidDelegateMethodsContain(objc::SEL selector);
  // Hooks around the forward delegate's call of a void message.
  void _sentMessage(objc::SEL selector, objc::NSArray* arguments);
  void _methodInvoked(objc::SEL selector, objc::NSArray* arguments);

  objc::Ref<objc::Object> strongForwardDelegate();
  void setStrongForwardDelegate(objc::id delegate);

 protected:
  _RVDelegateProxy() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct RVDelegateProxyMethods;

  objc::Weak<objc::Object> forwardToDelegate_;
  objc::Ref<objc::Object> strongForwardDelegate_;
};

}  // namespace rv
