#include "RvCocoa/_RVDelegateProxy.h"

#include <unordered_map>
#include <vector>

#include "RvCocoa/ArgumentBoxing.h"
#include "Selectors.h"
#include "foundation/StringFormat.h"
#include "objc/Message.h"
#include "objc/NSAssertionHandler.h"
#include "objc/NSLog.h"

namespace rv {

using objc::BOOL;
using objc::Class;
using objc::id;
using objc::NO;
using objc::SEL;

namespace {

constexpr int kMaximumClassDepth = 100;

// Observable selectors per proxy class, written by each class's
// `+initialize`. Guarded by the monitor of the `_RVDelegateProxy` class.
using VoidSelectorTable = std::unordered_map<Class, std::unordered_set<SEL>>;

VoidSelectorTable* gVoidSelectors = nullptr;

void collectInto(std::unordered_set<SEL>& out, objc::Protocol* protocol,
                 std::vector<objc::Protocol*>& visiting) {
  // A protocol that (through others) adopts itself is visited once.
  for (objc::Protocol* seen : visiting) {
    if (seen == protocol) return;
  }
  visiting.push_back(protocol);
  for (const auto& description :
       objc::protocol_copyMethodDescriptionList(protocol, /*isRequiredMethod=*/NO,
                                                /*isInstanceMethod=*/objc::YES)) {
    if (RV_is_method_with_description_void(description)) out.insert(description.name);
  }
  for (objc::Protocol* adopted : objc::protocol_copyProtocolList(protocol)) {
    collectInto(out, adopted, visiting);
  }
  visiting.pop_back();
}

}  // namespace

struct RVDelegateProxyMethods {
  static void initialize(Class self, SEL) {
    objc::Synchronized guard(_RVDelegateProxy::classObject());
    if (gVoidSelectors == nullptr) gVoidSelectors = new VoidSelectorTable;

    std::unordered_set<SEL> selectors;
    Class cls = self;
    int depth = 0;
    for (;;) {
      for (objc::Protocol* protocol : objc::class_copyProtocolList(cls)) {
        selectors.merge(_RVDelegateProxy::collectVoidSelectorsForProtocol(self, protocol));
      }
      ++depth;
      if (depth >= kMaximumClassDepth || objc::class_getSuperclass(cls) == nullptr) break;
      cls = objc::class_getSuperclass(cls);
    }
    if (depth >= kMaximumClassDepth && objc::class_getSuperclass(cls) != nullptr) {
      objc::NSLog(foundation::stringWithFormat(
          "Detected weird class hierarchy with depth over %d. Starting with this class -> %@",
          kMaximumClassDepth, objc::NSStringFromClass(self)));
    }
    (*gVoidSelectors)[self] = std::move(selectors);
  }

  static objc::Ref<objc::Object> forwardToDelegate(_RVDelegateProxy* self, SEL) {
    return self->forwardToDelegate_.load();
  }

  static void setForwardToDelegate(_RVDelegateProxy* self, SEL, id delegate, BOOL retainDelegate) {
    self->forwardToDelegate_ = delegate;
    self->setStrongForwardDelegate(retainDelegate ? delegate : nullptr);
  }

  static BOOL hasWiredImplementationForSelector(_RVDelegateProxy* self, SEL, SEL selector) {
    static const SEL respondsSel = sel("respondsToSelector:");
    return objc::sendSuper<BOOL(SEL)>({self, objc::NSObject::classObject()}, respondsSel, selector);
  }

  static BOOL voidDelegateMethodsContain(_RVDelegateProxy* self, SEL cmd, SEL selector) {
    objc::Synchronized guard(_RVDelegateProxy::classObject());
    const Class reported = self->getClass();
    const std::unordered_set<SEL>* selectors = nullptr;
    if (gVoidSelectors != nullptr) {
      auto it = gVoidSelectors->find(reported);
      if (it != gVoidSelectors->end()) selectors = &it->second;
    }
    if (selectors == nullptr) {
      objc::NSAssertionHandler::currentHandler()->handleFailureInMethod(
          cmd, self, "_RVDelegateProxy", 112, "Set of allowed methods not initialized");
      return NO;
    }
    return selectors->count(selector) != 0;
  }

  static objc::Ref<objc::NSMethodSignature> methodSignatureForSelector(_RVDelegateProxy* self,
                                                                       SEL cmd, SEL selector) {
    objc::Ref<objc::NSMethodSignature> signature =
        objc::sendSuper<objc::Ref<objc::NSMethodSignature>(SEL)>(
            {self, objc::NSObject::classObject()}, cmd, selector);
    if (signature) return signature;
    return objc::send<objc::Ref<objc::NSMethodSignature>(SEL)>(self->forwardToDelegate_.load(), cmd,
                                                               selector);
  }

  static void forwardInvocation(_RVDelegateProxy* self, SEL, objc::NSInvocation* invocation) {
    static const SEL respondsSel = sel("respondsToSelector:");
    const BOOL isVoid = RV_is_method_signature_void(invocation->methodSignature());
    objc::Ref<objc::NSArray> arguments;
    if (isVoid) {
      arguments = RV_extract_arguments(invocation);
      self->_sentMessage(invocation->selector(), arguments.get());
    }
    // The forward delegate may go away at any point: it is read for each step.
    if (self->forwardToDelegate_.load() &&
        objc::send<BOOL(SEL)>(self->forwardToDelegate_.load(), respondsSel,
                              invocation->selector())) {
      invocation->invokeWithTarget(self->forwardToDelegate_.load().get());
    }
    if (isVoid) self->_methodInvoked(invocation->selector(), arguments.get());
  }

  static void hook(_RVDelegateProxy*, SEL, SEL, objc::NSArray*) {}

  static objc::Ref<objc::Object> strongForwardDelegate(_RVDelegateProxy* self, SEL) {
    return self->strongForwardDelegate_;
  }
  static void setStrongForwardDelegate(_RVDelegateProxy* self, SEL, id delegate) {
    self->strongForwardDelegate_ = objc::Ref<objc::Object>(delegate);
  }
};

Class _RVDelegateProxy::classObject() {
  using M = RVDelegateProxyMethods;
  static const Class cls =
      objc::ClassBuilder<_RVDelegateProxy>("_RVDelegateProxy", objc::NSObject::classObject())
          .classMethod("initialize", &M::initialize)
          .method("_forwardToDelegate", &M::forwardToDelegate)
          .method("_setForwardToDelegate:retainDelegate:", &M::setForwardToDelegate)
          .method("hasWiredImplementationForSelector:", &M::hasWiredImplementationForSelector)
          .method("voidDelegateMethodsContain:", &M::voidDelegateMethodsContain)
          .method("methodSignatureForSelector:", &M::methodSignatureForSelector)
          .method("forwardInvocation:", &M::forwardInvocation)
          .method("_sentMessage:withArguments:", &M::hook)
          .method("_methodInvoked:withArguments:", &M::hook)
          .method("strongForwardDelegate", &M::strongForwardDelegate)
          .method("setStrongForwardDelegate:", &M::setStrongForwardDelegate)
          .property("_forwardToDelegate", "T@,R,W,N")
          .property("strongForwardDelegate", "T@,&,N,V_strongForwardDelegate")
          .build();
  return cls;
}

std::unordered_set<SEL> _RVDelegateProxy::collectVoidSelectorsForProtocol(
    Class, objc::Protocol* protocol) {
  std::unordered_set<SEL> selectors;
  std::vector<objc::Protocol*> visiting;
  if (protocol != nullptr) collectInto(selectors, protocol, visiting);
  return selectors;
}

objc::Ref<objc::Object> _RVDelegateProxy::_forwardToDelegate() {
  static const SEL message = sel("_forwardToDelegate");
  return objc::send<objc::Ref<objc::Object>()>(this, message);
}

void _RVDelegateProxy::_setForwardToDelegate(id delegate, BOOL retainDelegate) {
  static const SEL message = sel("_setForwardToDelegate:retainDelegate:");
  objc::send<void(id, BOOL)>(this, message, delegate, retainDelegate);
}

BOOL _RVDelegateProxy::hasWiredImplementationForSelector(SEL selector) {
  static const SEL message = sel("hasWiredImplementationForSelector:");
  return objc::send<BOOL(SEL)>(this, message, selector);
}

BOOL _RVDelegateProxy::voidDelegateMethodsContain(SEL selector) {
  static const SEL message = sel("voidDelegateMethodsContain:");
  return objc::send<BOOL(SEL)>(this, message, selector);
}

void _RVDelegateProxy::_sentMessage(SEL selector, objc::NSArray* arguments) {
  static const SEL message = sel("_sentMessage:withArguments:");
  objc::send<void(SEL, objc::NSArray*)>(this, message, selector, arguments);
}

void _RVDelegateProxy::_methodInvoked(SEL selector, objc::NSArray* arguments) {
  static const SEL message = sel("_methodInvoked:withArguments:");
  objc::send<void(SEL, objc::NSArray*)>(this, message, selector, arguments);
}

objc::Ref<objc::Object> _RVDelegateProxy::strongForwardDelegate() {
  static const SEL message = sel("strongForwardDelegate");
  return objc::send<objc::Ref<objc::Object>()>(this, message);
}

void _RVDelegateProxy::setStrongForwardDelegate(id delegate) {
  static const SEL message = sel("setStrongForwardDelegate:");
  objc::send<void(id)>(this, message, delegate);
}

}  // namespace rv
