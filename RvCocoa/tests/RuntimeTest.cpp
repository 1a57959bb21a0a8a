#include <gtest/gtest.h>

#include <thread>

#include "InterceptionSupport.h"
#include "RvCocoa/InterceptionErrors.h"
#include "objc/CGGeometry.h"
#include "objc/NSException.h"
#include "objc/NSKeyValueObserving.h"
#include "objc/NSNumber.h"
#include "objc/TestSeams.h"

namespace rv::itest {
namespace {

using foundation::NSError;

int64_t codeOf(const std::shared_ptr<NSError>& error) {
  return error && error->domain() == RVObjCRuntimeErrorDomain ? error->code() : -1;
}

// Runs `body` and answers the reason of the invariant exception it raised.
template <class F>
std::string invariantReason(F body) {
  try {
    body();
  } catch (const Ref<objc::NSException>& exception) {
    EXPECT_EQ(exception->name(), RVInvalidOperatorException);
    return exception->reason();
  }
  ADD_FAILURE() << "no exception";
  return {};
}

Class targetClassWithPing() {
  Class cls = makeTargetClass();
  addMethod<void()>(cls, "ping", [](Target* self) { self->calls.push_back("ping"); });
  return cls;
}

TEST(InterceptionRuntime, ClassLoadHookRanAtProcessStart) {
  // Nothing in this test touched the runtime class before: the hook that is
  // linked into every program defined it and registered the fast shapes.
  EXPECT_NE(objc::objc_getClass("RVObjCRuntime"), nullptr);
  EXPECT_NE(RVObjCRuntime::optimizedObserverForEncoding("v24@0:8@16"), nullptr);
  EXPECT_NE(RVObjCRuntime::instance(), nullptr);
  EXPECT_EQ(RVObjCRuntime::instance(), RVObjCRuntime::instance());
}

TEST(InterceptionRuntime, RvSelectorsAndDefaultImplementation) {
  EXPECT_STREQ(objc::sel_getName(RV_selector(sel("setTitle:forState:"))),
               "_RV_namespace_setTitle:forState:");
  EXPECT_EQ(RV_selector(sel("ping")), RV_selector(sel("ping")));
  EXPECT_EQ(RV_reference_from_selector(sel("ping")), static_cast<const void*>(sel("ping")));
  EXPECT_EQ(RV_default_target_implementation(), objc::_objc_msgForward);
}

TEST(InterceptionRuntime, ObservingSwitchesTheObjectIntoOneDynamicSubclassPerClass) {
  Class cls = targetClassWithPing();
  Ref<Target> first = makeTarget(cls);
  Ref<Target> second = makeTarget(cls);
  Ref<Target> bystander = makeTarget(cls);

  std::shared_ptr<NSError> error;
  Ref<Observer> observer = observe(first.get(), sel("ping"), &error);
  ASSERT_NE(observer->targetImplementation, nullptr);
  EXPECT_EQ(error, nullptr);

  const Class dynamicSubclass = objc::object_getClass(first.get());
  EXPECT_EQ(objc::NSStringFromClass(dynamicSubclass),
            "_RV_namespace_" + objc::NSStringFromClass(cls));
  EXPECT_EQ(objc::class_getSuperclass(dynamicSubclass), cls);
  EXPECT_EQ(first->getClass(), cls) << "still reports its real class";
  EXPECT_TRUE(first->isKindOfClass(cls));
  EXPECT_EQ(objc::objc_getClass(objc::class_getName(dynamicSubclass)), dynamicSubclass);

  observe(second.get(), sel("ping"));
  EXPECT_EQ(objc::object_getClass(second.get()), dynamicSubclass) << "shared, not per object";
  EXPECT_EQ(objc::object_getClass(bystander.get()), cls) << "other instances untouched";

  RVObjCRuntime::instance()->performLocked([&](RVObjCRuntime* runtime) {
    ASSERT_EQ(runtime->dynamicSubclassByRealClass().count(cls), 1u);
    EXPECT_EQ(runtime->dynamicSubclassByRealClass().at(cls), dynamicSubclass);
  });
}

TEST(InterceptionRuntime, RepeatedRequestReturnsTheSameImplementationAndInstallsNothing) {
  Class cls = targetClassWithPing();
  Ref<Target> target = makeTarget(cls);
  const IMP first = RV_ensure_observing(target.get(), sel("ping"), nullptr);
  ASSERT_NE(first, nullptr);
  const Class dynamicSubclass = objc::object_getClass(target.get());
  const size_t methods = objc::class_copyMethodList(dynamicSubclass).size();

  EXPECT_EQ(RV_ensure_observing(target.get(), sel("ping"), nullptr), first);
  EXPECT_EQ(objc::class_copyMethodList(dynamicSubclass).size(), methods);
  EXPECT_EQ(objc::object_getClass(target.get()), dynamicSubclass);
  RVObjCRuntime::instance()->performLocked([&](RVObjCRuntime* runtime) {
    EXPECT_EQ(runtime->interceptorImplementationForSelector(sel("ping"), dynamicSubclass), first);
  });
}

TEST(InterceptionRuntime, UnimplementedSelectorFailsWithCode3BeforeAnyOtherCheck) {
  Class cls = makeTargetClass();
  // Even a toll-free bridged object, which would fail with code 4 later.
  objc::testing::setCFTypeID(cls, 4242);
  Ref<Target> target = makeTarget(cls);
  std::shared_ptr<NSError> error;
  EXPECT_EQ(RV_ensure_observing(target.get(), sel("noSuchMethod"), &error), nullptr);
  EXPECT_EQ(codeOf(error), RVObjCRuntimeErrorSelectorNotImplemented);
  EXPECT_TRUE(error->userInfo().empty());
  EXPECT_EQ(objc::object_getClass(target.get()), cls);

  // A null error slot only loses the error.
  EXPECT_EQ(RV_ensure_observing(target.get(), sel("noSuchMethod"), nullptr), nullptr);
}

TEST(InterceptionRuntime, PerformanceSensitiveSelectorsFailWithCode8AlthoughTheyExist) {
  Class cls = makeTargetClass();
  Ref<Target> target = makeTarget(cls);
  for (const char* name : {"class", "respondsToSelector:", "methodSignatureForSelector:",
                           "forwardingTargetForSelector:"}) {
    std::shared_ptr<NSError> error;
    EXPECT_EQ(RV_ensure_observing(target.get(), sel(name), &error), nullptr) << name;
    EXPECT_EQ(codeOf(error), RVObjCRuntimeErrorObservingPerformanceSensitiveMessages) << name;
  }
  EXPECT_EQ(objc::object_getClass(target.get()), cls);
}

TEST(InterceptionRuntime, TollFreeBridgedObjectFailsWithCode4AndIsNotSwitched) {
  Class cls = targetClassWithPing();
  objc::testing::setCFTypeID(cls, 4243);
  Ref<Target> target = makeTarget(cls);
  std::shared_ptr<NSError> error;
  EXPECT_EQ(RV_ensure_observing(target.get(), sel("ping"), &error), nullptr);
  EXPECT_EQ(codeOf(error), RVObjCRuntimeErrorCantInterceptCoreFoundationTollFreeBridgedObjects);
  EXPECT_EQ(objc::object_getClass(target.get()), cls);
}

TEST(InterceptionRuntime, KVOObservedObjectFailsWithCode2AndTheKVOFlag) {
  Class cls = targetClassWithPing();
  addMethod<int()>(cls, "count", [](Target*) { return 0; });
  addMethod<void(int)>(cls, "setCount:", [](Target*, int) {});
  Ref<Target> target = makeTarget(cls);
  Ref<Observer> kvoObserver = makeObserver();
  target->addObserver(kvoObserver.get(), "count", objc::NSKeyValueObservingOptionNew, nullptr);
  const Class kvoClass = objc::object_getClass(target.get());

  std::shared_ptr<NSError> error;
  EXPECT_EQ(RV_ensure_observing(target.get(), sel("ping"), &error), nullptr);
  ASSERT_EQ(codeOf(error), RVObjCRuntimeErrorObjectMessagesAlreadyBeingIntercepted);
  ASSERT_EQ(error->userInfo().size(), 1u);
  EXPECT_EQ(error->userInfo().at(std::string(RVObjCRuntimeErrorIsKVOKey)),
            NSError::UserInfoValue(true));
  EXPECT_EQ(objc::object_getClass(target.get()), kvoClass) << "left as it was";
  target->removeObserver(kvoObserver.get(), "count");
}

TEST(InterceptionRuntime, ObjectDisguisedByAnotherMechanismFailsWithCode2WithoutTheKVOFlag) {
  Class cls = targetClassWithPing();
  Class disguise = makeTargetClass(cls, "Disguise");
  objc::class_addMethod(disguise, sel("class"),
                        objc::imp_implementationWithBlock<Class()>([cls](id) { return cls; }),
                        objc::methodEncoding<Class()>());
  Ref<Target> target = makeTarget(cls);
  objc::object_setClass(target.get(), disguise);

  std::shared_ptr<NSError> error;
  EXPECT_EQ(RV_ensure_observing(target.get(), sel("ping"), &error), nullptr);
  ASSERT_EQ(codeOf(error), RVObjCRuntimeErrorObjectMessagesAlreadyBeingIntercepted);
  EXPECT_EQ(error->userInfo().at(std::string(RVObjCRuntimeErrorIsKVOKey)),
            NSError::UserInfoValue(false));
}

TEST(InterceptionRuntime, UnsupportedReturnTypeFailsWithCode9AfterTheSwitch) {
  Class cls = makeTargetClass();
  addMethod<objc::CGRect()>(cls, "frame", [](Target*) { return objc::CGRect{}; });
  Ref<Target> target = makeTarget(cls);
  std::shared_ptr<NSError> error;
  EXPECT_EQ(RV_ensure_observing(target.get(), sel("frame"), &error), nullptr);
  EXPECT_EQ(codeOf(error), RVObjCRuntimeErrorObservingMessagesWithUnsupportedReturnType);
  EXPECT_NE(objc::object_getClass(target.get()), cls) << "the switch is not undone";
  EXPECT_EQ(target->getClass(), cls);
}

TEST(InterceptionRuntime, ClassChangedDuringTheSwitchFailsWithCode5AndLogs) {
  Class cls = targetClassWithPing();
  Class other = makeTargetClass(cls, "Other");
  Ref<Target> target = makeTarget(cls);
  objc::testing::onNextSetClass(target.get(), [&] { objc::object_setClass(target.get(), other); });

  std::shared_ptr<NSError> error;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RV_ensure_observing(target.get(), sel("ping"), &error), nullptr);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(codeOf(error), RVObjCRuntimeErrorThreadingCollisionWithOtherInterceptionMechanism);
  EXPECT_NE(log.find("There was a problem swizzling on `" + objc::NSStringFromClass(cls) + "`."),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("it will be hard for you to reproduce it."), std::string::npos);

  // The object keeps the dynamic subclass but carries no record of it, so a
  // later request sees a class that differs from the one it reports.
  const Class switched = objc::object_getClass(target.get());
  EXPECT_EQ(objc::NSStringFromClass(switched), "_RV_namespace_" + objc::NSStringFromClass(cls));
  error = nullptr;
  EXPECT_EQ(RV_ensure_observing(target.get(), sel("ping"), &error), nullptr);
  EXPECT_EQ(codeOf(error), RVObjCRuntimeErrorObjectMessagesAlreadyBeingIntercepted);
}

TEST(InterceptionRuntime, DeallocIsInterceptedOnTheReportedClassWithoutSwitching) {
  Class cls = makeTargetClass();
  Ref<Target> first = makeTarget(cls);
  Ref<Target> second = makeTarget(cls);
  const IMP imp = RV_ensure_observing(first.get(), sel("dealloc"), nullptr);
  ASSERT_NE(imp, nullptr);
  EXPECT_NE(imp, objc::_objc_msgForward);
  EXPECT_EQ(objc::object_getClass(first.get()), cls);
  EXPECT_EQ(objc::method_getImplementation(objc::class_getInstanceMethod(cls, sel("dealloc"))),
            imp);
  EXPECT_EQ(RV_ensure_observing(second.get(), sel("dealloc"), nullptr), imp);
  RVObjCRuntime::instance()->performLocked([&](RVObjCRuntime* runtime) {
    EXPECT_EQ(runtime->interceptorImplementationForSelector(sel("dealloc"), cls), imp);
    EXPECT_EQ(runtime->dynamicSubclassByRealClass().count(cls), 0u);
  });
}

TEST(InterceptionRuntime, SwitchedObjectsDeallocInterceptorGoesOnTheRealClass) {
  Class cls = targetClassWithPing();
  Ref<Target> target = makeTarget(cls);
  ASSERT_NE(RV_ensure_observing(target.get(), sel("ping"), nullptr), nullptr);
  const IMP imp = RV_ensure_observing(target.get(), sel("dealloc"), nullptr);
  RVObjCRuntime::instance()->performLocked([&](RVObjCRuntime* runtime) {
    EXPECT_EQ(runtime->interceptorImplementationForSelector(sel("dealloc"), cls), imp);
  });
}

TEST(InterceptionRuntime, MethodReplacedDuringTheSwizzleFailsWithoutAnError) {
  Class cls = makeTargetClass();
  // The class defines dealloc itself, so the interceptor replaces it.
  addMethod<void()>(cls, "dealloc", [cls](Target* self) {
    objc::sendSuper<void()>({self, objc::class_getSuperclass(cls)}, sel("dealloc"));
  });
  Ref<Target> target = makeTarget(cls);
  objc::Method method = objc::class_getInstanceMethod(cls, sel("dealloc"));
  const IMP original = objc::method_getImplementation(method);
  const IMP intruder = objc::imp_implementationWithBlock(
      [original](id self, SEL cmd, objc::Frame& frame) { (*original)(self, cmd, frame); });
  objc::testing::onNextSetImplementation(method,
                                         [&] { objc::method_setImplementation(method, intruder); });

  auto error = std::make_shared<NSError>("untouched", 0, NSError::UserInfo{});
  const auto sentinel = error;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RV_ensure_observing(target.get(), sel("dealloc"), &error), nullptr);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(error, sentinel) << "a collision stores no error";
  EXPECT_NE(log.find("There was a problem swizzling on `" + objc::NSStringFromClass(cls)),
            std::string::npos);
  // The replacement stays recorded: the next request returns it at once.
  const IMP recorded = RV_ensure_observing(target.get(), sel("dealloc"), nullptr);
  EXPECT_NE(recorded, nullptr);
  EXPECT_EQ(objc::method_getImplementation(method), recorded);
}

TEST(InterceptionRuntime, BrokenInvariantsRaiseTheInvalidOperatorException) {
  Class cls = makeTargetClass();
  RVObjCRuntime* runtime = RVObjCRuntime::instance();
  auto make = [] { return objc::imp_implementationWithBlock([](id, SEL, objc::Frame&) {}); };
  auto replace = [](IMP) -> IMP { return nullptr; };

  EXPECT_EQ(invariantReason([&] {
              runtime->performLocked([&](RVObjCRuntime* r) {
                r->ensureSwizzledSelector(sel("noSuchMethod"), cls, make, replace, nullptr);
              });
            }),
            "Method doesn't exist");

  objc::class_addMethod(cls, sel("untyped"), make(), nullptr);
  EXPECT_EQ(invariantReason([&] {
              runtime->performLocked([&](RVObjCRuntime* r) {
                r->ensureSwizzledSelector(sel("untyped"), cls, make, replace, nullptr);
              });
            }),
            "Encoding is nil");

  // The class defines the method and the replacement generator gives nothing.
  addMethod<void()>(cls, "own", [](Target*) {});
  EXPECT_EQ(invariantReason([&] {
              runtime->performLocked([&](RVObjCRuntime* r) {
                r->ensureSwizzledSelector(sel("own"), cls, make, replace, nullptr);
              });
            }),
            "Method must exist.");
}

TEST(InterceptionRuntime, EncodingsThatCannotBeReadRaiseAndReleaseEveryLock) {
  Class cls = makeTargetClass();
  auto body = [](id, SEL, objc::Frame&) {};
  objc::class_addMethod(cls, sel("untyped"), objc::imp_implementationWithBlock(body), nullptr);
  objc::class_addMethod(cls, sel("accented"), objc::imp_implementationWithBlock(body),
                        "v16@0:8\xc3\xa9");
  objc::class_addMethod(cls, sel("garbled"), objc::imp_implementationWithBlock(body), "v16@0:8!16");
  Ref<Target> target = makeTarget(cls);

  EXPECT_EQ(invariantReason([&] { RV_ensure_observing(target.get(), sel("untyped"), nullptr); }),
            "Method encoding is nil.");
  EXPECT_EQ(invariantReason([&] { RV_ensure_observing(target.get(), sel("accented"), nullptr); }),
            "Can't convert encoding to NSString.");
  EXPECT_EQ(invariantReason([&] { RV_ensure_observing(target.get(), sel("garbled"), nullptr); }),
            "Method signature method is nil.");

  // The target's and its class's monitors and the runtime's mutex were
  // released: another thread gets all three.
  std::thread other([&] {
    EXPECT_EQ(objc::objc_sync_enter(target.get()), objc::OBJC_SYNC_SUCCESS);
    EXPECT_EQ(objc::objc_sync_exit(target.get()), objc::OBJC_SYNC_SUCCESS);
    Class plain = targetClassWithPing();
    Ref<Target> another = makeTarget(plain);
    EXPECT_NE(RV_ensure_observing(another.get(), sel("ping"), nullptr), nullptr);
  });
  other.join();
}

TEST(InterceptionRuntime, ObservingTheRuntimeObjectItselfKeepsItsTables) {
  Class cls = targetClassWithPing();
  Ref<Target> target = makeTarget(cls);
  ASSERT_NE(RV_ensure_observing(target.get(), sel("ping"), nullptr), nullptr);
  RVObjCRuntime* runtime = RVObjCRuntime::instance();

  // The runtime's dynamic subclass runs +initialize on its first message;
  // that must not replace the shared runtime and lose what it recorded.
  EXPECT_EQ(RV_ensure_observing(runtime, sel("description"), nullptr), objc::_objc_msgForward);
  EXPECT_EQ(objc::NSStringFromClass(objc::object_getClass(runtime)), "_RV_namespace_RVObjCRuntime");
  EXPECT_EQ(runtime->getClass(), RVObjCRuntime::classObject());
  EXPECT_EQ(RVObjCRuntime::instance(), runtime);
  runtime->performLocked(
      [&](RVObjCRuntime* r) { EXPECT_EQ(r->dynamicSubclassByRealClass().count(cls), 1u); });
}

TEST(InterceptionRuntime, PerformLockedIsReentrantOnOneThread) {
  int depth = 0;
  RVObjCRuntime::instance()->performLocked(
      [&](RVObjCRuntime* runtime) { runtime->performLocked([&](RVObjCRuntime*) { depth = 2; }); });
  EXPECT_EQ(depth, 2);
}

}  // namespace
}  // namespace rv::itest
