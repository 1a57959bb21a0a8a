#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "objc/CGGeometry.h"
#include "objc/NSException.h"
#include "objc/NSObject.h"
#include "objc/NSString.h"
#include "objc/TestSeams.h"
#include "objcTest/Classes.h"

namespace objc {
namespace {

using test::makeSubclass;
using test::sel;
using test::uniqueName;

IMP intImp(int value) {
  return imp_implementationWithBlock<int()>([value](id) { return value; });
}

int callInt(id object, const char* name) { return send<int()>(object, sel(name)); }

TEST(ClassPair, RefusesATakenNameWhetherRegisteredOrPending) {
  const std::string name = uniqueName("Pair");
  Class first = objc_allocateClassPair(NSObject::classObject(), name.c_str(), 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(objc_allocateClassPair(NSObject::classObject(), name.c_str(), 0), nullptr);
  EXPECT_EQ(objc_getClass(name.c_str()), nullptr) << "not visible before registration";
  objc_registerClassPair(first);
  EXPECT_EQ(objc_getClass(name.c_str()), first);
  EXPECT_EQ(objc_allocateClassPair(NSObject::classObject(), name.c_str(), 0), nullptr);
  EXPECT_EQ(objc_allocateClassPair(NSObject::classObject(), "NSObject", 0), nullptr);
}

TEST(ClassPair, MetaclassesFormTheUsualHierarchy) {
  Class root = NSObject::classObject();
  Class cls = makeSubclass(root);
  Class meta = object_getClass(cls);
  EXPECT_TRUE(class_isMetaClass(meta));
  EXPECT_FALSE(class_isMetaClass(cls));
  EXPECT_EQ(class_getSuperclass(cls), root);
  EXPECT_EQ(class_getSuperclass(meta), object_getClass(root));
  // The root metaclass inherits from the root class, and every metaclass is
  // an instance of the root metaclass.
  EXPECT_EQ(class_getSuperclass(object_getClass(root)), root);
  EXPECT_EQ(object_getClass(meta), object_getClass(root));
  EXPECT_STREQ(class_getName(meta), class_getName(cls));
}

TEST(ClassPair, ClassesAnswerRootInstanceMessagesAndTheirOwnClassMessages) {
  Class cls = makeSubclass(NSObject::classObject());
  class_addMethod(cls, sel("value"), intImp(1), "i16@0:8");
  EXPECT_EQ(send<Class()>(cls, sel("class")), cls) << "+class returns the class itself";
  EXPECT_TRUE(send<BOOL(SEL)>(cls, sel("respondsToSelector:"), sel("alloc")));
  EXPECT_TRUE(send<BOOL(SEL)>(cls, sel("respondsToSelector:"), sel("init")))
      << "the root class's instance methods answer class messages too";
  EXPECT_FALSE(send<BOOL(SEL)>(cls, sel("respondsToSelector:"), sel("value")))
      << "a subclass's instance methods are not class methods";
  EXPECT_EQ(describe(cls), std::string(class_getName(cls)));
  EXPECT_TRUE(send<BOOL(Class)>(cls, sel("isKindOfClass:"), NSObject::classObject()));
  EXPECT_FALSE(send<BOOL(Class)>(cls, sel("isKindOfClass:"), cls));
}

TEST(ClassPair, RuntimeSubclassOfACxxClassMakesInstancesOfThatType) {
  Class cls = makeSubclass(NSString::classObject(), "StringKind");
  Ref<Object> instance = class_createInstance(cls);
  ASSERT_NE(dynamic_cast<NSString*>(instance.get()), nullptr);
  EXPECT_EQ(object_getClass(instance.get()), cls);
}

TEST(Methods, AddRefusesASelectorTheClassDefinesButMayOverrideAnInheritedOne) {
  Class base = makeSubclass(NSObject::classObject());
  Class derived = makeSubclass(base);
  ASSERT_TRUE(class_addMethod(base, sel("value"), intImp(1), "i16@0:8"));
  EXPECT_FALSE(class_addMethod(base, sel("value"), intImp(2), "i16@0:8"));
  Ref<Object> object = class_createInstance(derived);
  EXPECT_EQ(callInt(object.get(), "value"), 1);
  // The inherited answer was cached; an override added later takes over.
  ASSERT_TRUE(class_addMethod(derived, sel("value"), intImp(3), "i16@0:8"));
  EXPECT_EQ(callInt(object.get(), "value"), 3);
  EXPECT_EQ(class_copyMethodList(derived).size(), 1u);
}

TEST(Methods, ReplaceReturnsThePreviousImplementationOrNullWhenItAdds) {
  Class cls = makeSubclass(NSObject::classObject());
  IMP one = intImp(1);
  IMP two = intImp(2);
  EXPECT_EQ(class_replaceMethod(cls, sel("value"), one, "i16@0:8"), nullptr);
  EXPECT_EQ(class_replaceMethod(cls, sel("value"), two, "i16@0:8"), one);
  Ref<Object> object = class_createInstance(cls);
  EXPECT_EQ(callInt(object.get(), "value"), 2);
}

TEST(Methods, SetAndExchangeImplementationsTakeEffectOnTheNextSend) {
  Class cls = makeSubclass(NSObject::classObject());
  IMP one = intImp(1);
  IMP two = intImp(2);
  class_addMethod(cls, sel("first"), one, "i16@0:8");
  class_addMethod(cls, sel("second"), two, "i16@0:8");
  Ref<Object> object = class_createInstance(cls);
  EXPECT_EQ(callInt(object.get(), "first"), 1);

  Method first = class_getInstanceMethod(cls, sel("first"));
  Method second = class_getInstanceMethod(cls, sel("second"));
  method_exchangeImplementations(first, second);
  EXPECT_EQ(callInt(object.get(), "first"), 2);
  EXPECT_EQ(callInt(object.get(), "second"), 1);

  IMP three = intImp(3);
  EXPECT_EQ(method_setImplementation(first, three), two);
  EXPECT_EQ(callInt(object.get(), "first"), 3);
  EXPECT_EQ(method_getImplementation(first), three);
}

TEST(Methods, TypeEncodingIsKeptOrAbsent) {
  Class cls = makeSubclass(NSObject::classObject());
  class_addMethod(cls, sel("typed:flag:"), intImp(0), methodEncoding<void(id, char)>());
  class_addMethod(cls, sel("untyped"), intImp(0), nullptr);
  EXPECT_STREQ(method_getTypeEncoding(class_getInstanceMethod(cls, sel("typed:flag:"))),
               "v28@0:8@16c24");
  EXPECT_EQ(method_getTypeEncoding(class_getInstanceMethod(cls, sel("untyped"))), nullptr);
  EXPECT_EQ(class_getInstanceMethod(cls, sel("absent")), nullptr);
  EXPECT_EQ(class_getMethodImplementation(cls, sel("absent")), _objc_msgForward);
}

TEST(Methods, SuperSendStartsAtTheGivenClass) {
  Class base = makeSubclass(NSObject::classObject());
  Class derived = makeSubclass(base);
  class_addMethod(base, sel("value"), intImp(10), "i16@0:8");
  class_addMethod(derived, sel("value"), imp_implementationWithBlock<int()>([derived](id self) {
                    return 1 + sendSuper<int()>({self, class_getSuperclass(derived)}, sel("value"));
                  }),
                  "i16@0:8");
  Ref<Object> object = class_createInstance(derived);
  EXPECT_EQ(callInt(object.get(), "value"), 11);
}

TEST(Methods, BlockImplementationsReceiveSelfAndArgumentsAndCanBeRemovedOnce) {
  Class cls = makeSubclass(NSObject::classObject());
  id seen = nullptr;
  IMP imp = imp_implementationWithBlock<double(int, double)>([&](id self, int a, double b) {
    seen = self;
    return a * b;
  });
  class_addMethod(cls, sel("multiply:by:"), imp, methodEncoding<double(int, double)>());
  Ref<Object> object = class_createInstance(cls);
  EXPECT_DOUBLE_EQ((send<double(int, double)>(object, sel("multiply:by:"), 3, 1.5)), 4.5);
  EXPECT_EQ(seen, object.get());

  IMP spare = intImp(0);
  EXPECT_TRUE(imp_removeBlock(spare));
  EXPECT_FALSE(imp_removeBlock(spare));
  EXPECT_FALSE(imp_removeBlock(_objc_msgForward));
}

TEST(Methods, AReplacementCallsTheSavedImplementationAndCatchesItsExceptions) {
  Class cls = makeSubclass(NSObject::classObject(), "Application");
  std::vector<int> dispatched;
  class_addMethod(cls, sel("sendEvent:"),
                  imp_implementationWithBlock<void(int)>([&](id, int event) {
                    dispatched.push_back(event);
                    if (event < 0)
                      NSException::raise(NSInternalInconsistencyException, "bad event");
                  }),
                  methodEncoding<void(int)>());
  Method method = class_getInstanceMethod(cls, sel("sendEvent:"));
  std::vector<std::string> reported;
  IMP previous = nullptr;
  previous = method_setImplementation(
      method, imp_implementationWithBlock<void(int)>([&](id self, int event) {
        try {
          callImplementation<void(int)>(previous, self, sel("sendEvent:"), event);
        } catch (const Ref<NSException>& exception) {
          reported.push_back(exception->reason());
        }
      }));
  Ref<Object> application = class_createInstance(cls);
  send<void(int)>(application, sel("sendEvent:"), 1);
  send<void(int)>(application, sel("sendEvent:"), -1);
  EXPECT_EQ(dispatched, (std::vector<int>{1, -1}));
  EXPECT_EQ(reported, std::vector<std::string>{"bad event"});
  EXPECT_EQ(callImplementation<int()>(nullptr, application, sel("sendEvent:")), 0);
}

TEST(Messaging, NullReceiverRunsNothingAndReturnsZero) {
  id none = nullptr;
  EXPECT_EQ(send<int()>(none, sel("value")), 0);
  EXPECT_FALSE(send<BOOL(SEL)>(none, sel("respondsToSelector:"), sel("value")));
  EXPECT_EQ(send<Ref<Object>()>(none, sel("description")), nullptr);
  EXPECT_EQ(send<CGRect()>(none, sel("frame")), CGRect{});
  EXPECT_DOUBLE_EQ(send<double()>(none, sel("alphaValue")), 0.0);
  send<void(int)>(none, sel("anything:"), 1);
}

TEST(Messaging, ResultOfAnotherKindThanTheSenderExpectsIsNotWritten) {
  Class cls = makeSubclass(NSObject::classObject());
  class_addMethod(cls, sel("text"), imp_implementationWithBlock<Ref<NSString>()>([](id) {
                    return NSString::stringWithString("x");
                  }),
                  "@16@0:8");
  Ref<Object> object = class_createInstance(cls);
  // The caller laid the frame out for an integer: the object must not land
  // in it (and must not leak).
  EXPECT_EQ(send<long()>(object, sel("text")), 0);
}

TEST(Messaging, FrameTooSmallForTheMethodRaisesInsteadOfReadingPastIt) {
  Class cls = makeSubclass(NSObject::classObject());
  class_addMethod(cls, sel("take:"), imp_implementationWithBlock<int(CGRect)>([](id, CGRect r) {
                    return static_cast<int>(r.size.width);
                  }),
                  methodEncoding<int(CGRect)>());
  Ref<Object> object = class_createInstance(cls);
  try {
    send<int(int)>(object, sel("take:"), 1);
    FAIL() << "expected an exception";
  } catch (const Ref<NSException>& exception) {
    EXPECT_EQ(exception->name(), NSInvalidArgumentException);
  }
}

TEST(Messaging, ARootClassWithoutForwardingRaisesAndIsFreedWithoutDealloc) {
  Class root = objc_allocateClassPair(nullptr, uniqueName("BareRoot").c_str(), 0);
  objc_registerClassPair(root);
  class_addMethod(root, sel("value"), intImp(5), "i16@0:8");
  Ref<Object> object = class_createInstance(root);
  Weak<Object> weak(object);
  EXPECT_EQ(callInt(object.get(), "value"), 5);
  // No forwardingTargetForSelector:, methodSignatureForSelector: or
  // doesNotRecognizeSelector: to send: an exception, not endless forwarding.
  EXPECT_THROW(send<void()>(object, sel("unknown")), Ref<NSException>);
  object = nullptr;
  EXPECT_FALSE(weak.load()) << "freed although the class has no dealloc";
}

TEST(SetClass, ExchangesAtomicallyAndReturnsThePreviousClass) {
  Class base = makeSubclass(NSObject::classObject());
  Class other = makeSubclass(base);
  class_addMethod(base, sel("value"), intImp(1), "i16@0:8");
  class_addMethod(other, sel("value"), intImp(2), "i16@0:8");
  Ref<Object> object = class_createInstance(base);
  EXPECT_EQ(object_setClass(object.get(), other), base);
  EXPECT_EQ(callInt(object.get(), "value"), 2);
  EXPECT_EQ(object_setClass(object.get(), base), other);
  EXPECT_EQ(callInt(object.get(), "value"), 1);
  EXPECT_EQ(object_setClass(nullptr, base), nullptr);
}

TEST(SetClass, RefusesAClassWhoseInstancesAreOfAnotherCxxType) {
  Ref<NSObject> object = make<NSObject>();
  EXPECT_EQ(object_setClass(object.get(), NSString::classObject()), nullptr);
  EXPECT_EQ(object_getClass(object.get()), NSObject::classObject());
  // The other way round is fine: an NSString is an NSObject.
  Ref<NSString> text = NSString::stringWithString("t");
  EXPECT_EQ(object_setClass(text.get(), NSObject::classObject()), NSString::classObject());
  object_setClass(text.get(), NSString::classObject());
}

TEST(TestSeams, HookRunsOnceRightBeforeTheClassExchange) {
  Class base = makeSubclass(NSObject::classObject());
  Class intruder = makeSubclass(base);
  Class wanted = makeSubclass(base);
  Ref<Object> object = class_createInstance(base);
  int runs = 0;
  testing::onNextSetClass(object.get(), [&] {
    ++runs;
    object_setClass(object.get(), intruder);
  });
  EXPECT_EQ(object_setClass(object.get(), wanted), intruder) << "the hook's change is seen";
  EXPECT_EQ(object_setClass(object.get(), base), wanted);
  EXPECT_EQ(runs, 1);
}

TEST(TestSeams, HookRunsRightBeforeTheImplementationExchange) {
  Class cls = makeSubclass(NSObject::classObject());
  IMP original = intImp(1);
  IMP intruder = intImp(2);
  IMP wanted = intImp(3);
  class_addMethod(cls, sel("value"), original, "i16@0:8");
  Method method = class_getInstanceMethod(cls, sel("value"));
  testing::onNextSetImplementation(method, [&] { method_setImplementation(method, intruder); });
  EXPECT_EQ(method_setImplementation(method, wanted), intruder);
  EXPECT_EQ(method_getImplementation(method), wanted);
}

TEST(TestSeams, TollFreeBridgedClassesReportAnotherTypeIdentifier) {
  Class plain = makeSubclass(NSObject::classObject());
  Class bridged = makeSubclass(NSObject::classObject());
  testing::setCFTypeID(bridged, 7);
  Ref<Object> a = class_createInstance(plain);
  Ref<Object> b = class_createInstance(bridged);
  EXPECT_EQ(CFGetTypeID(a.get()), CFGetTypeID(NSObject::classObject()));
  EXPECT_NE(CFGetTypeID(b.get()), CFGetTypeID(a.get()));
}

// MARK: +initialize and +load

std::vector<std::string>& initializeLog() {
  static std::vector<std::string> log;
  return log;
}

TEST(Initialize, RunsOnceOnFirstUseSuperclassFirstInheritedWithTheSubclassAsSelf) {
  initializeLog().clear();
  Class base = makeSubclass(NSObject::classObject(), "InitBase");
  Class derived = makeSubclass(base, "InitDerived");
  class_addMethod(object_getClass(base), sel("initialize"),
                  imp_implementationWithBlock<void()>([](id self) {
                    initializeLog().push_back(class_getName(static_cast<Class>(self)));
                  }),
                  "v16@0:8");
  EXPECT_TRUE(initializeLog().empty()) << "nothing runs before first use";
  Ref<Object> object = class_createInstance(derived);
  EXPECT_TRUE(initializeLog().empty()) << "making an instance directly is no message";
  send<Ref<Object>()>(object, sel("description"));
  send<Ref<Object>()>(object, sel("description"));
  send<Class()>(base, sel("class"));
  ASSERT_EQ(initializeLog().size(), 2u);
  EXPECT_EQ(initializeLog()[0], class_getName(base));
  EXPECT_EQ(initializeLog()[1], class_getName(derived));
}

int gLoadRuns = 0;
std::string gLoadSawInitialize;

class Loaded : public NSObject {
 public:
  static Class classObject();
  static bool initialized;

 private:
  friend struct detail::InstanceAccess;
};
bool Loaded::initialized = false;

Class Loaded::classObject() {
  static const Class cls = ClassBuilder<Loaded>("LoadedByRegistrar", NSObject::classObject())
                               .classMethod(
                                   "initialize", +[](Class, SEL) { Loaded::initialized = true; })
                               .classMethod(
                                   "load",
                                   +[](Class self, SEL) {
                                     ++gLoadRuns;
                                     // Its first message runs +initialize first.
                                     send<Class()>(self, sel_registerName("class"));
                                     gLoadSawInitialize = Loaded::initialized ? "yes" : "no";
                                   })
                               .build();
  return cls;
}

const LoadRegistrar kLoadedRegistrar(&Loaded::classObject);

TEST(Load, RunsOnceFromTheStaticRegistrarBeforeTests) {
  EXPECT_EQ(gLoadRuns, 1);
  EXPECT_EQ(gLoadSawInitialize, "yes");
  Loaded::classObject();
  EXPECT_EQ(gLoadRuns, 1);
  EXPECT_EQ(objc_getClass("LoadedByRegistrar"), Loaded::classObject());
}

TEST(Load, IsNotInheritedBySubclasses) {
  const int before = gLoadRuns;
  Class sub = objc_allocateClassPair(Loaded::classObject(), uniqueName("LoadedSub").c_str(), 0);
  objc_registerClassPair(sub);
  detail::runLoad(sub);
  EXPECT_EQ(gLoadRuns, before);
}

TEST(ClassBuilderDeathTest, DefiningAClassTwiceStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ClassBuilder<NSObject>("NSObject", nullptr),
               "Fatal error: Class already defined: NSObject");
}

// MARK: Protocols and properties

TEST(Protocols, DescriptionsAreKeptByKindAndAdoptedProtocolsAreSearched) {
  Protocol* base = objc_allocateProtocol(uniqueName("BaseDelegate").c_str());
  protocol_addMethodDescription(base, sel("didBase:"), "v24@0:8@16", NO, YES);
  objc_registerProtocol(base);
  Protocol* p = objc_allocateProtocol(uniqueName("Delegate").c_str());
  protocol_addMethodDescription(p, sel("optionalVoid:"), "v24@0:8@16", NO, YES);
  protocol_addMethodDescription(p, sel("requiredVoid"), "v16@0:8", YES, YES);
  protocol_addMethodDescription(p, sel("classThing"), "v16@0:8", NO, NO);
  protocol_addProtocol(p, base);
  objc_registerProtocol(p);

  auto optionalInstance = protocol_copyMethodDescriptionList(p, NO, YES);
  ASSERT_EQ(optionalInstance.size(), 1u) << "adopted protocols are not listed";
  EXPECT_EQ(optionalInstance[0].name, sel("optionalVoid:"));
  EXPECT_STREQ(optionalInstance[0].types, "v24@0:8@16");
  EXPECT_EQ(protocol_copyMethodDescriptionList(p, YES, YES).size(), 1u);
  EXPECT_EQ(protocol_copyMethodDescriptionList(p, NO, NO).size(), 1u);
  EXPECT_EQ(protocol_getMethodDescription(p, sel("didBase:"), NO, YES).name, sel("didBase:"));
  EXPECT_EQ(protocol_getMethodDescription(p, sel("didBase:"), YES, YES).name, nullptr);
  ASSERT_EQ(protocol_copyProtocolList(p).size(), 1u);
  EXPECT_TRUE(protocol_conformsToProtocol(p, base));
  EXPECT_FALSE(protocol_conformsToProtocol(base, p));

  // A registered protocol no longer changes.
  protocol_addMethodDescription(p, sel("late"), "v16@0:8", NO, YES);
  EXPECT_EQ(protocol_getMethodDescription(p, sel("late"), NO, YES).name, nullptr);
  EXPECT_EQ(objc_getProtocol(protocol_getName(p)), p);
  EXPECT_EQ(objc_allocateProtocol(protocol_getName(p)), nullptr);
}

TEST(Protocols, ClassConformanceIsOwnWhileTheMessageWalksSuperclasses) {
  Protocol* p = objc_allocateProtocol(uniqueName("Conformed").c_str());
  objc_registerProtocol(p);
  Class base = makeSubclass(NSObject::classObject());
  Class derived = makeSubclass(base);
  EXPECT_TRUE(class_addProtocol(base, p));
  EXPECT_FALSE(class_addProtocol(base, p));
  EXPECT_TRUE(class_conformsToProtocol(base, p));
  EXPECT_FALSE(class_conformsToProtocol(derived, p));
  Ref<NSObject> object = dynamicCast<NSObject>(class_createInstance(derived));
  EXPECT_TRUE(object->conformsToProtocol(p));
  EXPECT_TRUE(send<BOOL(Protocol*)>(derived, sel("conformsToProtocol:"), p));
  EXPECT_EQ(class_copyProtocolList(derived).size(), 0u);
}

TEST(Properties, AttributesAreJoinedAndLookupSearchesSuperclasses) {
  Class base = makeSubclass(NSObject::classObject());
  Class derived = makeSubclass(base);
  ASSERT_TRUE(class_addProperty(
      base, "delegate", {{"T", "@\"NSObject\""}, {"W", ""}, {"N", ""}, {"V", "_delegate"}}));
  EXPECT_FALSE(class_addProperty(base, "delegate", {{"T", "@"}}));
  objc_property_t property = class_getProperty(derived, "delegate");
  ASSERT_NE(property, nullptr);
  EXPECT_STREQ(property_getName(property), "delegate");
  EXPECT_STREQ(property_getAttributes(property), "T@\"NSObject\",W,N,V_delegate");
  EXPECT_EQ(class_getProperty(derived, "missing"), nullptr);
  EXPECT_TRUE(class_copyPropertyList(derived).empty());
  EXPECT_EQ(class_copyPropertyList(base).size(), 1u);
}

// MARK: Concurrency

TEST(InitializeStress, ConcurrentFirstUsesRunItOnceAndWaitForIt) {
  for (int round = 0; round < 20; ++round) {
    Class cls = makeSubclass(NSObject::classObject(), "InitRace");
    std::atomic<int> runs{0};
    std::atomic<bool> finished{false};
    class_addMethod(object_getClass(cls), sel("initialize"),
                    imp_implementationWithBlock<void()>([&](id) {
                      runs.fetch_add(1);
                      std::this_thread::yield();
                      finished.store(true);
                    }),
                    "v16@0:8");
    std::atomic<int> sawUnfinished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        send<Class()>(cls, sel("class"));
        if (!finished.load()) sawUnfinished.fetch_add(1);
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(sawUnfinished.load(), 0) << "a send returned before +initialize finished";
  }
}

TEST(MessagingStress, SendsRaceWithMethodChangesAndSeeOneOfTheImplementations) {
  Class base = makeSubclass(NSObject::classObject());
  Class derived = makeSubclass(base);
  IMP one = intImp(1);
  IMP two = intImp(2);
  class_addMethod(base, sel("value"), one, "i16@0:8");
  Ref<Object> object = class_createInstance(derived);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 3; ++t) {
    senders.emplace_back([&] {
      while (!stop.load()) {
        const int v = callInt(object.get(), "value");
        if (v != 1 && v != 2 && v != 3) bad.fetch_add(1);
      }
    });
  }
  Method method = class_getInstanceMethod(base, sel("value"));
  for (int i = 0; i < 2000; ++i) method_setImplementation(method, i % 2 ? one : two);
  class_addMethod(derived, sel("value"), intImp(3), "i16@0:8");
  for (int i = 0; i < 200; ++i)
    class_addMethod(base, sel(uniqueName("filler").c_str()), one, "i16@0:8");
  EXPECT_EQ(callInt(object.get(), "value"), 3)
      << "the override wins after class_addMethod returned";
  stop.store(true);
  for (auto& thread : senders) thread.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace objc
