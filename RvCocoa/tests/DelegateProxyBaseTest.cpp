#include <gtest/gtest.h>

#include <thread>

#include "InterceptionSupport.h"
#include "RvCocoa/_RVDelegateProxy.h"
#include "objc/NSException.h"
#include "objc/NSNull.h"
#include "objc/NSNumber.h"

namespace rv::itest {
namespace {

using objc::NO;
using objc::YES;

// Protocols of a made-up delegate: `didChange:` and `didFinish` are the only
// optional void instance methods.
struct Protocols {
  objc::Protocol* base;     // didChange:, required requiredVoid, shouldChange:, objectFor:
  objc::Protocol* derived;  // adopts base; didFinish
};

Protocols makeProtocols() {
  objc::Protocol* base = objc::objc_allocateProtocol(uniqueName("BaseDelegate").c_str());
  objc::protocol_addMethodDescription(base, sel("didChange:"), "v24@0:8@16", NO, YES);
  objc::protocol_addMethodDescription(base, sel("requiredVoid"), "v16@0:8", YES, YES);
  objc::protocol_addMethodDescription(base, sel("shouldChange:"), "B24@0:8@16", NO, YES);
  objc::protocol_addMethodDescription(base, sel("objectFor:"), "@24@0:8@16", NO, YES);
  objc::protocol_addMethodDescription(base, sel("classVoid"), "v16@0:8", NO, NO);
  objc::objc_registerProtocol(base);
  objc::Protocol* derived = objc::objc_allocateProtocol(uniqueName("DerivedDelegate").c_str());
  objc::protocol_addProtocol(derived, base);
  objc::protocol_addMethodDescription(derived, sel("didFinish"), "v16@0:8", NO, YES);
  objc::objc_registerProtocol(derived);
  return {base, derived};
}

// What the hooks of a recording proxy saw.
struct HookLog {
  std::vector<std::string> events;
  std::vector<Ref<objc::NSArray>> sentArguments;
  std::vector<Ref<objc::NSArray>> invokedArguments;
};

// A proxy class adopting `protocol` (none when null) whose hooks record.
Class makeProxyClass(objc::Protocol* protocol, HookLog* log,
                     Class superclass = _RVDelegateProxy::classObject()) {
  Class cls = objc::objc_allocateClassPair(superclass, uniqueName("Proxy").c_str(), 0);
  if (protocol != nullptr) objc::class_addProtocol(cls, protocol);
  if (log != nullptr) {
    objc::class_addMethod(cls, sel("_sentMessage:withArguments:"),
                          objc::imp_implementationWithBlock<void(SEL, objc::NSArray*)>(
                              [log](id, SEL s, objc::NSArray* arguments) {
                                log->events.push_back(std::string("sent ") + objc::sel_getName(s));
                                log->sentArguments.emplace_back(arguments);
                              }),
                          objc::methodEncoding<void(SEL, objc::NSArray*)>());
    objc::class_addMethod(
        cls, sel("_methodInvoked:withArguments:"),
        objc::imp_implementationWithBlock<void(SEL, objc::NSArray*)>(
            [log](id, SEL s, objc::NSArray* arguments) {
              log->events.push_back(std::string("invoked ") + objc::sel_getName(s));
              log->invokedArguments.emplace_back(arguments);
            }),
        objc::methodEncoding<void(SEL, objc::NSArray*)>());
  }
  objc::objc_registerClassPair(cls);
  return cls;
}

Ref<_RVDelegateProxy> makeProxy(Class cls) {
  return objc::dynamicCast<_RVDelegateProxy>(objc::class_createInstance(cls));
}

// A delegate that implements didChange: and shouldChange: and logs them.
Class makeDelegateClass(HookLog* log) {
  Class cls = makeTargetClass(Target::classObject(), "Delegate");
  addMethod<void(id)>(cls, "didChange:", [log](Target*, id) { log->events.push_back("delegate"); });
  addMethod<BOOL(id)>(cls, "shouldChange:", [](Target*, id) { return YES; });
  return cls;
}

TEST(DelegateProxyBase, CollectsOnlyOptionalVoidInstanceMethodsOfAdoptedProtocolsToo) {
  Protocols p = makeProtocols();
  const Class cls = _RVDelegateProxy::classObject();
  EXPECT_EQ(_RVDelegateProxy::collectVoidSelectorsForProtocol(cls, p.base),
            (std::unordered_set<SEL>{sel("didChange:")}));
  EXPECT_EQ(_RVDelegateProxy::collectVoidSelectorsForProtocol(cls, p.derived),
            (std::unordered_set<SEL>{sel("didChange:"), sel("didFinish")}));
}

TEST(DelegateProxyBase, AProtocolAdoptingItselfIsCollectedOnce) {
  objc::Protocol* looping = objc::objc_allocateProtocol(uniqueName("Looping").c_str());
  objc::protocol_addMethodDescription(looping, sel("didLoop"), "v16@0:8", NO, YES);
  objc::protocol_addProtocol(looping, looping);
  objc::objc_registerProtocol(looping);
  EXPECT_EQ(
      _RVDelegateProxy::collectVoidSelectorsForProtocol(_RVDelegateProxy::classObject(), looping),
      (std::unordered_set<SEL>{sel("didLoop")}));
}

TEST(DelegateProxyBase, EachClassGetsTheVoidSelectorsOfItsWholeChain) {
  Protocols p = makeProtocols();
  Class adopting = makeProxyClass(p.derived, nullptr);
  Class below = makeProxyClass(nullptr, nullptr, adopting);
  Class bare = makeProxyClass(nullptr, nullptr);
  for (Class cls : {adopting, below}) {
    Ref<_RVDelegateProxy> proxy = makeProxy(cls);
    EXPECT_TRUE(proxy->voidDelegateMethodsContain(sel("didChange:")));
    EXPECT_TRUE(proxy->voidDelegateMethodsContain(sel("didFinish")));
    EXPECT_FALSE(proxy->voidDelegateMethodsContain(sel("requiredVoid")));
    EXPECT_FALSE(proxy->voidDelegateMethodsContain(sel("shouldChange:")));
    EXPECT_FALSE(proxy->voidDelegateMethodsContain(sel("classVoid")));
  }
  EXPECT_FALSE(makeProxy(bare)->voidDelegateMethodsContain(sel("didChange:")));
}

TEST(DelegateProxyBase, VoidMessageWithoutDelegateRunsBothHooksWithOneArray) {
  Protocols p = makeProtocols();
  HookLog log;
  Ref<_RVDelegateProxy> proxy = makeProxy(makeProxyClass(p.derived, &log));
  Ref<objc::Object> argument = makeObserver();
  objc::send<void(id)>(proxy, sel("didChange:"), argument.get());
  objc::send<void(id)>(proxy, sel("didChange:"), nullptr);

  EXPECT_EQ(log.events, (std::vector<std::string>{"sent didChange:", "invoked didChange:",
                                                  "sent didChange:", "invoked didChange:"}));
  ASSERT_EQ(log.sentArguments.size(), 2u);
  EXPECT_EQ(log.sentArguments[0], log.invokedArguments[0]) << "the same array";
  ASSERT_EQ(log.sentArguments[0]->count(), 1u);
  EXPECT_EQ(log.sentArguments[0]->objectAtIndex(0), argument);
  EXPECT_EQ(log.sentArguments[1]->objectAtIndex(0).get(), objc::NSNull::null().get());
}

TEST(DelegateProxyBase, VoidMessageReachesTheDelegateBetweenTheHooks) {
  Protocols p = makeProtocols();
  HookLog log;
  Ref<_RVDelegateProxy> proxy = makeProxy(makeProxyClass(p.derived, &log));
  Ref<Target> delegate = makeTarget(makeDelegateClass(&log));
  proxy->_setForwardToDelegate(delegate.get(), NO);
  objc::send<void(id)>(proxy, sel("didChange:"), nullptr);
  EXPECT_EQ(log.events,
            (std::vector<std::string>{"sent didChange:", "delegate", "invoked didChange:"}));

  // didFinish is observable, but the delegate does not implement it.
  log.events.clear();
  objc::send<void()>(proxy, sel("didFinish"));
  EXPECT_EQ(log.events, (std::vector<std::string>{"sent didFinish", "invoked didFinish"}));
}

TEST(DelegateProxyBase, NonVoidMessagesAreOnlyForwarded) {
  Protocols p = makeProtocols();
  HookLog log;
  Ref<_RVDelegateProxy> proxy = makeProxy(makeProxyClass(p.derived, &log));
  Ref<Target> delegate = makeTarget(makeDelegateClass(&log));
  proxy->_setForwardToDelegate(delegate.get(), NO);

  EXPECT_TRUE(objc::send<BOOL(id)>(proxy, sel("shouldChange:"), nullptr));
  EXPECT_EQ(objc::send<Ref<objc::Object>(id)>(proxy, sel("objectFor:"), nullptr), nullptr)
      << "not implemented by the delegate: not invoked";
  EXPECT_TRUE(log.events.empty());
}

TEST(DelegateProxyBase, MessagesOnlyTheDelegateDeclaresAreForwardedWithItsSignature) {
  HookLog log;
  Ref<_RVDelegateProxy> proxy = makeProxy(makeProxyClass(nullptr, &log));
  Class delegateClass = makeDelegateClass(&log);
  addMethod<long(int)>(delegateClass, "square:", [](Target*, int n) { return long{n} * n; });
  addMethod<void(int)>(delegateClass, "note:", [&log](Target*, int n) {
    log.events.push_back("note " + std::to_string(n));
  });
  Ref<Target> delegate = makeTarget(delegateClass);

  EXPECT_THROW(objc::send<long(int)>(proxy, sel("square:"), 9), Ref<objc::NSException>)
      << "no delegate, no signature: unrecognised";
  proxy->_setForwardToDelegate(delegate.get(), NO);
  EXPECT_EQ(objc::send<long(int)>(proxy, sel("square:"), 9), 81);
  objc::send<void(int)>(proxy, sel("note:"), 5);
  EXPECT_EQ(log.events, (std::vector<std::string>{"sent note:", "note 5", "invoked note:"}));
  EXPECT_EQ(objc::dynamicCast<objc::NSNumber>(log.sentArguments[0]->objectAtIndex(0))->intValue(),
            5);
}

TEST(DelegateProxyBase, ForwardDelegateIsWeakUnlessRetained) {
  Ref<_RVDelegateProxy> proxy = makeProxy(makeProxyClass(nullptr, nullptr));
  EXPECT_EQ(proxy->_forwardToDelegate(), nullptr);
  Ref<Target> delegate = makeTarget(makeTargetClass());
  objc::Weak<Target> weak(delegate);

  proxy->_setForwardToDelegate(delegate.get(), YES);
  EXPECT_EQ(proxy->strongForwardDelegate(), delegate);
  delegate = nullptr;
  ASSERT_TRUE(weak.load()) << "kept alive by the proxy";
  EXPECT_EQ(proxy->_forwardToDelegate(), weak.load());

  // The same object again without retaining: only the weak reference stays.
  proxy->_setForwardToDelegate(weak.load().get(), NO);
  EXPECT_EQ(proxy->strongForwardDelegate(), nullptr);
  EXPECT_FALSE(weak.load());
  EXPECT_EQ(proxy->_forwardToDelegate(), nullptr);
}

TEST(DelegateProxyBase, HooksKeepTheirEncodingAndWiredImplementationsBypassOverrides) {
  Class cls = makeProxyClass(nullptr, nullptr);
  objc::class_addMethod(cls, sel("respondsToSelector:"),
                        objc::imp_implementationWithBlock<BOOL(SEL)>([](id, SEL) { return YES; }),
                        objc::methodEncoding<BOOL(SEL)>());
  Ref<_RVDelegateProxy> proxy = makeProxy(cls);
  EXPECT_TRUE(proxy->respondsToSelector(sel("anything")));
  EXPECT_FALSE(proxy->hasWiredImplementationForSelector(sel("anything")));
  EXPECT_TRUE(proxy->hasWiredImplementationForSelector(sel("_sentMessage:withArguments:")));
  for (const char* hook : {"_sentMessage:withArguments:", "_methodInvoked:withArguments:"}) {
    EXPECT_STREQ(objc::method_getTypeEncoding(
                     objc::class_getInstanceMethod(_RVDelegateProxy::classObject(), sel(hook))),
                 "v32@0:8:16@24");
  }
}

// A chain of `count` classes from NSObject down: NSObject, _RVDelegateProxy
// and count - 2 made ones. Answers the made ones, the root side first.
std::vector<Class> makeChain(int count) {
  std::vector<Class> chain;
  Class superclass = _RVDelegateProxy::classObject();
  for (int i = 0; i < count - 2; ++i) {
    superclass = makeProxyClass(nullptr, nullptr, superclass);
    chain.push_back(superclass);
  }
  return chain;
}

TEST(DelegateProxyBase, ChainOfExactly100ClassesLogsNothing) {
  Protocols p = makeProtocols();
  std::vector<Class> chain = makeChain(100);
  objc::class_addProtocol(chain.front(), p.base);
  ::testing::internal::CaptureStderr();
  Ref<_RVDelegateProxy> proxy = makeProxy(chain.back());
  EXPECT_TRUE(proxy->voidDelegateMethodsContain(sel("didChange:")));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(DelegateProxyBase, DeeperChainLogsAndUsesTheFirst100Classes) {
  Protocols p = makeProtocols();
  std::vector<Class> chain = makeChain(103);
  // Seen from the deepest class, chain[1] is the 100th class and chain[0]
  // the 101st.
  objc::class_addProtocol(chain[0], p.derived);
  objc::class_addProtocol(chain[1], p.base);
  ::testing::internal::CaptureStderr();
  Ref<_RVDelegateProxy> proxy = makeProxy(chain.back());
  EXPECT_TRUE(proxy->voidDelegateMethodsContain(sel("didChange:")));
  EXPECT_FALSE(proxy->voidDelegateMethodsContain(sel("didFinish")));
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Detected weird class hierarchy with depth over 100. Starting with this "
                     "class -> " +
                     objc::NSStringFromClass(chain.back())),
            std::string::npos)
      << log;
}

TEST(DelegateProxyBase, ClassWithoutASetFailsTheAssertionAndReleasesTheMonitor) {
  Class cls = objc::objc_allocateClassPair(_RVDelegateProxy::classObject(),
                                           uniqueName("Uninitialized").c_str(), 0);
  // An `+initialize` of its own that does not build the set.
  objc::class_addMethod(objc::object_getClass(cls), sel("initialize"),
                        objc::imp_implementationWithBlock<void()>([](id) {}),
                        objc::methodEncoding<void()>());
  objc::objc_registerClassPair(cls);
  Ref<_RVDelegateProxy> proxy = makeProxy(cls);
  try {
    proxy->voidDelegateMethodsContain(sel("didChange:"));
    ADD_FAILURE() << "no assertion";
  } catch (const Ref<objc::NSException>& exception) {
    EXPECT_EQ(exception->name(), objc::NSInternalInconsistencyException);
    EXPECT_EQ(exception->reason(), "Set of allowed methods not initialized");
  }
  std::thread other([] {
    EXPECT_EQ(objc::objc_sync_enter(_RVDelegateProxy::classObject()), objc::OBJC_SYNC_SUCCESS);
    objc::objc_sync_exit(_RVDelegateProxy::classObject());
  });
  other.join();
}

}  // namespace
}  // namespace rv::itest
