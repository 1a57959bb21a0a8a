#include "RvCocoa/DelegateProxy.h"

#include <unordered_set>
#include <vector>

#include "RvCocoa/CocoaFatalError.h"
#include "RvStreams/Do.h"
#include "RvStreams/Share.h"
#include "RvStreams/SubscribeOn.h"
#include "Selectors.h"
#include "objc/ClassBuilder.h"
#include "objc/Message.h"

namespace rv {

using objc::BOOL;
using objc::Class;
using objc::id;
using objc::NO;
using objc::SEL;
using objc::YES;

namespace {

// Subscribing to and disposing of every dispatcher's sequence happen here.
const Ref<MainScheduler>& dispatcherScheduler() {
  static const Ref<MainScheduler>* scheduler = new Ref<MainScheduler>(MainScheduler::create());
  return *scheduler;
}

ArgumentArray bridge(objc::NSArray* arguments) {
  return arguments == nullptr ? ArgumentArray{} : arguments->objects();
}

}  // namespace

// MARK: MessageDispatcher

MessageDispatcher::MessageDispatcher(SEL selector, AnyDelegateProxy* delegateProxy)
    : dispatcher_(PublishSubject<ArgumentArray>::create()), selector_(selector) {
  objc::Weak<AnyDelegateProxy> weakProxy(delegateProxy);
  result_ = dispatcher_ |
            rv::doOn<ArgumentArray>({
                .onSubscribed =
                    [weakProxy, selector] {
                      if (auto proxy = weakProxy.load()) proxy->checkSelectorIsObservable(selector);
                      if (auto proxy = weakProxy.load()) proxy->reset();
                    },
                .onDispose =
                    [weakProxy] {
                      if (auto proxy = weakProxy.load()) proxy->reset();
                    },
            }) |
            rv::share(0, SubjectLifetimeScope::whileConnected) |
            rv::subscribeOn(dispatcherScheduler());
}

// MARK: AnyDelegateProxy, runtime side

struct DelegateProxyMethods {
  static void sentMessage(AnyDelegateProxy* self, SEL, SEL selector, objc::NSArray* arguments) {
    if (auto dispatcher = self->dispatcherFor(AnyDelegateProxy::Observed::sentMessage, selector)) {
      dispatcher->dispatcher()->on(Event<ArgumentArray>::next(bridge(arguments)));
    }
  }

  static void methodInvoked(AnyDelegateProxy* self, SEL, SEL selector, objc::NSArray* arguments) {
    if (auto dispatcher =
            self->dispatcherFor(AnyDelegateProxy::Observed::methodInvoked, selector)) {
      dispatcher->dispatcher()->on(Event<ArgumentArray>::next(bridge(arguments)));
    }
  }

  static BOOL respondsToSelector(AnyDelegateProxy* self, SEL cmd, SEL selector) {
    if (selector == nullptr) return NO;
    if (objc::sendSuper<BOOL(SEL)>({self, _RVDelegateProxy::classObject()}, cmd, selector)) {
      return YES;
    }
    if (objc::Ref<objc::Object> forward = self->_forwardToDelegate()) {
      if (objc::send<BOOL(SEL)>(forward, cmd, selector)) return YES;
    }
    if (self->voidDelegateMethodsContain(selector)) return self->hasObservers(selector);
    return NO;
  }

  static objc::Ref<objc::Object> init(AnyDelegateProxy* self, SEL) {
    cocoaFatalError(std::string("Use of unimplemented initializer 'init()' for class '") +
                    objc::class_getName(self->getClass()) + "'");
  }

  static void dealloc(AnyDelegateProxy* self, SEL cmd) {
    // Every sequence handed out ends with the proxy, sent-message ones first.
    std::vector<std::shared_ptr<MessageDispatcher>> dispatchers;
    {
      base::LockGuard guard(self->mutex_);
      for (const auto& entry : self->sentMessageForSelector_) dispatchers.push_back(entry.second);
      for (const auto& entry : self->methodInvokedForSelector_) {
        dispatchers.push_back(entry.second);
      }
    }
    for (const auto& dispatcher : dispatchers) {
      dispatcher->dispatcher()->on(Event<ArgumentArray>::completed());
    }
    objc::sendSuper<void()>({self, _RVDelegateProxy::classObject()}, cmd);
  }
};

Class AnyDelegateProxy::classObject() {
  using M = DelegateProxyMethods;
  static const Class cls =
      objc::ClassBuilder<AnyDelegateProxy>("RvCocoa.DelegateProxy", _RVDelegateProxy::classObject())
          .method("_sentMessage:withArguments:", &M::sentMessage)
          .method("_methodInvoked:withArguments:", &M::methodInvoked)
          .method("respondsToSelector:", &M::respondsToSelector)
          .method("init", &M::init)
          .method("dealloc", &M::dealloc)
          .build();
  return cls;
}

AnyDelegateProxy::~AnyDelegateProxy() = default;

// MARK: AnyDelegateProxy, C++ side

void AnyDelegateProxy::initialize(id parentObject, CurrentDelegateFor currentDelegateFor,
                                  SetCurrentDelegateTo setCurrentDelegateTo) {
  parentObject_ = parentObject;
  currentDelegateFor_ = std::move(currentDelegateFor);
  setCurrentDelegateTo_ = std::move(setCurrentDelegateTo);
  MainScheduler::ensureRunningOnMainThread();
  static const SEL initSel = sel("init");
  objc::sendSuper<objc::Ref<objc::Object>()>({this, _RVDelegateProxy::classObject()}, initSel);
}

AnyDelegateProxy::Dispatchers& AnyDelegateProxy::dispatchersLocked(Observed observed) {
  return observed == Observed::sentMessage ? sentMessageForSelector_ : methodInvokedForSelector_;
}

Ref<Observable<ArgumentArray>> AnyDelegateProxy::resultFor(Observed observed, SEL selector) {
  MainScheduler::ensureRunningOnMainThread();
  base::LockGuard guard(mutex_);
  std::shared_ptr<MessageDispatcher>& dispatcher = dispatchersLocked(observed)[selector];
  if (!dispatcher) dispatcher = std::make_shared<MessageDispatcher>(selector, this);
  return dispatcher->result();
}

std::shared_ptr<MessageDispatcher> AnyDelegateProxy::dispatcherFor(Observed observed,
                                                                   SEL selector) {
  base::LockGuard guard(mutex_);
  const Dispatchers& dispatchers = dispatchersLocked(observed);
  auto it = dispatchers.find(selector);
  return it == dispatchers.end() ? nullptr : it->second;
}

Ref<Observable<ArgumentArray>> AnyDelegateProxy::sentMessage(SEL selector) {
  return resultFor(Observed::sentMessage, selector);
}

Ref<Observable<ArgumentArray>> AnyDelegateProxy::methodInvoked(SEL selector) {
  return resultFor(Observed::methodInvoked, selector);
}

void AnyDelegateProxy::checkSelectorIsObservable(SEL selector) {
  MainScheduler::ensureRunningOnMainThread();
  if (hasWiredImplementationForSelector(selector)) {
    cocoa_detail::printLine("⚠️ Delegate proxy is already implementing `" +
                            objc::NSStringFromSelector(selector) +
                            "`, a more performant way of registering might exist.");
    return;
  }
  if (voidDelegateMethodsContain(selector)) return;
  objc::Ref<objc::Object> forward = _forwardToDelegate();
  if (!forward) return;
  static const SEL respondsSel = sel("respondsToSelector:");
  if (objc::send<BOOL(SEL)>(forward, respondsSel, selector)) return;
  // The forward delegate may be gone by now: then the proxy is described.
  objc::Ref<objc::Object> described = _forwardToDelegate();
  cocoa_detail::printLine(
      std::string("⚠️ Using delegate proxy dynamic interception method but the target delegate "
                  "object doesn't respond to the requested selector. In case pure Swift delegate "
                  "proxy is being used please use manual observing method by "
                  "using`PublishSubject`s. ") +
      " (selector: `" + objc::NSStringFromSelector(selector) + "`, forwardToDelegate: `" +
      objc::describe(described ? described.get() : this) + "`)");
}

bool AnyDelegateProxy::hasObservers(SEL selector) {
  if (auto dispatcher = dispatcherFor(Observed::sentMessage, selector)) {
    if (dispatcher->dispatcher()->hasObservers()) return true;
  }
  if (auto dispatcher = dispatcherFor(Observed::methodInvoked, selector)) {
    if (dispatcher->dispatcher()->hasObservers()) return true;
  }
  return false;
}

void AnyDelegateProxy::reset() {
  objc::Ref<objc::Object> parent = parentObject_.load();
  if (!parent) return;
  objc::Ref<objc::Object> current = currentDelegateFor_(*parent);
  if (current.get() != this) return;
  setCurrentDelegateTo_(nullptr, *parent);
  setCurrentDelegateTo_(this, *parent);
}

void AnyDelegateProxy::setForwardToDelegateObject(id delegate, bool retainDelegate) {
  _setForwardToDelegate(delegate, retainDelegate);
  std::vector<SEL> observed;
  {
    std::unordered_set<SEL> seen;
    base::LockGuard guard(mutex_);
    for (const Dispatchers* dispatchers : {&sentMessageForSelector_, &methodInvokedForSelector_}) {
      for (const auto& [selector, dispatcher] : *dispatchers) {
        if (dispatcher->dispatcher()->hasObservers() && seen.insert(selector).second) {
          observed.push_back(selector);
        }
      }
    }
  }
  for (SEL selector : observed) checkSelectorIsObservable(selector);
  reset();
}

}  // namespace rv
