#include <gtest/gtest.h>

#include <cstring>

#include "InterceptionSupport.h"
#include "RvCocoa/ArgumentBoxing.h"
#include "RvCocoa/InterceptionErrors.h"
#include "objc/CGGeometry.h"
#include "objc/NSException.h"
#include "objc/NSNull.h"
#include "objc/NSNumber.h"
#include "objc/NSString.h"
#include "objc/TestSeams.h"

namespace rv::itest {
namespace {

using foundation::NSError;
using objc::NSNumber;

Ref<NSNumber> number(const Ref<objc::NSArray>& arguments, size_t index) {
  return objc::dynamicCast<NSNumber>(arguments->objectAtIndex(index));
}
Ref<objc::NSValue> value(const Ref<objc::NSArray>& arguments, size_t index) {
  return objc::dynamicCast<objc::NSValue>(arguments->objectAtIndex(index));
}

TEST(ForwardingInterception, ArgumentsAreBoxedByTypeEncoding) {
  Class cls = makeTargetClass();
  int seenNumber = 0;
  BOOL seenFlag = objc::NO;
  objc::CGRect seenRect{};
  addMethod<void(int, BOOL, objc::CGRect)>(
      cls, "take:flag:rect:", [&](Target*, int n, BOOL f, objc::CGRect r) {
        seenNumber = n;
        seenFlag = f;
        seenRect = r;
      });
  Ref<Target> target = makeTarget(cls);
  Ref<Observer> observer = observe(target.get(), sel("take:flag:rect:"));
  EXPECT_EQ(observer->targetImplementation, objc::_objc_msgForward);

  const objc::CGRect rect{{1, 2}, {3, 4}};
  objc::send<void(int, BOOL, objc::CGRect)>(target, sel("take:flag:rect:"), 7, objc::YES, rect);

  EXPECT_EQ(seenNumber, 7);
  EXPECT_TRUE(seenFlag);
  EXPECT_EQ(seenRect, rect);
  ASSERT_EQ(observer->sent.size(), 1u);
  ASSERT_EQ(observer->invoked.size(), 1u);
  for (const auto& arguments : {observer->sent[0], observer->invoked[0]}) {
    ASSERT_EQ(arguments->count(), 3u);
    EXPECT_EQ(number(arguments, 0)->kind(), NSNumber::Kind::Int);
    EXPECT_EQ(number(arguments, 0)->intValue(), 7);
    EXPECT_EQ(number(arguments, 1)->kind(), NSNumber::Kind::Bool);
    EXPECT_TRUE(number(arguments, 1)->boolValue());
    Ref<objc::NSValue> boxedRect = value(arguments, 2);
    ASSERT_TRUE(boxedRect);
    EXPECT_STREQ(boxedRect->objCType(), objc::encode<objc::CGRect>());
    objc::CGRect unboxed{};
    boxedRect->getValue(&unboxed, sizeof unboxed);
    EXPECT_EQ(unboxed, rect);
  }
}

TEST(ForwardingInterception, ResultsReachTheCallerAndTargetImplementationIsNotConsulted) {
  Class cls = makeTargetClass();
  addMethod<long(int)>(cls, "times100:", [](Target*, int n) { return n * 100L; });
  addMethod<Ref<objc::NSString>(int)>(cls, "text:", [](Target*, int n) {
    return objc::NSString::stringWithString(std::to_string(n));
  });
  addMethod<const char*()>(cls, "name", [](Target*) { return "constant"; });
  Ref<Target> target = makeTarget(cls);
  Ref<Observer> observer = observe(target.get(), sel("times100:"));
  observer->targetImplementation = nullptr;  // forwarding reports regardless
  observe(target.get(), sel("text:"));
  observe(target.get(), sel("name"));

  EXPECT_EQ(objc::send<long(int)>(target, sel("times100:"), 3), 300);
  EXPECT_EQ(objc::send<Ref<objc::NSString>(int)>(target, sel("text:"), 42)->string(), "42");
  EXPECT_STREQ(objc::send<const char*()>(target, sel("name")), "constant");
  EXPECT_EQ(observer->sent.size(), 1u);
  EXPECT_EQ(observer->invoked.size(), 1u);
}

TEST(ForwardingInterception, ObjectsStringsSelectorsAndSmallIntegersAreBoxedByTheirOwnKind) {
  Class cls = makeTargetClass();
  addMethod<void(id, const char*, char*, BOOL)>(
      cls, "object:constant:plain:flag:", [](Target*, id, const char*, char*, BOOL) {});
  addMethod<void(SEL, unsigned char, unsigned short, BOOL)>(
      cls, "selector:byte:half:flag:", [](Target*, SEL, unsigned char, unsigned short, BOOL) {});
  Ref<Target> target = makeTarget(cls);
  Ref<Observer> strings = observe(target.get(), sel("object:constant:plain:flag:"));
  Ref<Observer> small = observe(target.get(), sel("selector:byte:half:flag:"));

  char plain[] = "plain";
  Ref<objc::Object> object = makeObserver();
  objc::send<void(id, const char*, char*, BOOL)>(target, sel("object:constant:plain:flag:"),
                                                 nullptr, "const text", plain, objc::NO);
  objc::send<void(id, const char*, char*, BOOL)>(target, sel("object:constant:plain:flag:"),
                                                 object.get(), nullptr, plain, objc::NO);
  ASSERT_EQ(strings->sent.size(), 2u);
  const auto& first = strings->sent[0];
  EXPECT_EQ(first->objectAtIndex(0).get(), objc::NSNull::null().get()) << "nil object";
  auto text = objc::dynamicCast<objc::NSString>(first->objectAtIndex(1));
  ASSERT_TRUE(text);
  EXPECT_EQ(text->string(), "const text");
  Ref<objc::NSValue> pointer = value(first, 2);
  ASSERT_TRUE(pointer);
  EXPECT_STREQ(pointer->objCType(), "*");
  char* held = nullptr;
  pointer->getValue(&held, sizeof held);
  EXPECT_EQ(held, plain);
  const auto& second = strings->sent[1];
  EXPECT_EQ(second->objectAtIndex(0), object);
  EXPECT_EQ(second->objectAtIndex(1).get(), objc::NSNull::null().get()) << "null C string";

  objc::send<void(SEL, unsigned char, unsigned short, BOOL)>(
      target, sel("selector:byte:half:flag:"), sel("chosen:"), static_cast<unsigned char>(200),
      static_cast<unsigned short>(60000), objc::YES);
  ASSERT_EQ(small->sent.size(), 1u);
  Ref<objc::NSValue> selector = value(small->sent[0], 0);
  ASSERT_TRUE(selector);
  EXPECT_FALSE(objc::dynamicCast<NSNumber>(selector));
  EXPECT_STREQ(selector->objCType(), ":");
  SEL unboxed = nullptr;
  selector->getValue(&unboxed, sizeof unboxed);
  EXPECT_EQ(unboxed, sel("chosen:"));
  EXPECT_EQ(number(small->sent[0], 1)->kind(), NSNumber::Kind::UnsignedChar);
  EXPECT_EQ(number(small->sent[0], 1)->unsignedCharValue(), 200);
  EXPECT_EQ(number(small->sent[0], 2)->kind(), NSNumber::Kind::UnsignedShort);
  EXPECT_EQ(number(small->sent[0], 2)->unsignedShortValue(), 60000);
}

TEST(ForwardingInterception, ObservedObjectRespondsToTheSelectorAndItsSavedName) {
  Class cls = makeTargetClass();
  addMethod<void(BOOL)>(cls, "setFlag:", [](Target*, BOOL) {});
  Ref<Target> target = makeTarget(cls);
  observe(target.get(), sel("setFlag:"));
  EXPECT_TRUE(target->respondsToSelector(sel("setFlag:")));
  EXPECT_TRUE(target->respondsToSelector(RV_selector(sel("setFlag:"))));
  EXPECT_FALSE(target->respondsToSelector(sel("missing")));
  const Class dynamicSubclass = objc::object_getClass(target.get());
  EXPECT_EQ(objc::method_getImplementation(
                objc::class_getInstanceMethod(dynamicSubclass, sel("setFlag:"))),
            objc::_objc_msgForward);

  // An unknown message still ends in the usual refusal.
  EXPECT_THROW(objc::send<void()>(target, sel("missing")), Ref<objc::NSException>);
}

TEST(ForwardingInterception, RaisingMethodSendsNoInvokedReport) {
  Class cls = makeTargetClass();
  addMethod<void(BOOL)>(
      cls, "fail:", [](Target*, BOOL) { objc::NSException::raise("TestException", "no"); });
  Ref<Target> target = makeTarget(cls);
  Ref<Observer> observer = observe(target.get(), sel("fail:"));
  EXPECT_THROW(objc::send<void(BOOL)>(target, sel("fail:"), objc::YES), Ref<objc::NSException>);
  EXPECT_EQ(observer->sent.size(), 1u);
  EXPECT_TRUE(observer->invoked.empty());
}

TEST(ForwardingInterception, ReturnTypesDecideWhetherAMethodCanBeObserved) {
  Class cls = makeTargetClass();
  addMethod<void*()>(cls, "pointer", [](Target*) -> void* { return nullptr; });
  addMethod<char*()>(cls, "plainString", [](Target*) -> char* { return nullptr; });
  addMethod<const char*()>(cls, "constString", [](Target*) { return "x"; });
  addMethod<objc::CGPoint()>(cls, "point", [](Target*) { return objc::CGPoint{}; });
  Ref<Target> target = makeTarget(cls);
  for (const char* refused : {"pointer", "plainString", "point"}) {
    std::shared_ptr<NSError> error;
    EXPECT_EQ(RV_ensure_observing(target.get(), sel(refused), &error), nullptr) << refused;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), RVObjCRuntimeErrorObservingMessagesWithUnsupportedReturnType);
  }
  EXPECT_EQ(RV_ensure_observing(target.get(), sel("constString"), nullptr), objc::_objc_msgForward);

  EXPECT_FALSE(RV_method_has_supported_return_type(nullptr));
  for (const char* type :
       {"v", "@", "#", "@?", "c", "s", "i", "q", "C", "S", "I", "Q", "f", "d", "B", "r*"}) {
    EXPECT_TRUE(RV_method_has_supported_return_type(type)) << type;
  }
  for (const char* type : {"*", "^v", "Vv", "rq", "l", "{CGPoint=dd}", "@\"NSString\"", ""}) {
    EXPECT_FALSE(RV_method_has_supported_return_type(type)) << type;
  }
}

TEST(ForwardingInterception, ForwardingMethodsAreReplacedOncePerClass) {
  Class cls = makeTargetClass();
  addMethod<void(BOOL)>(cls, "first:", [](Target*, BOOL) {});
  addMethod<void(BOOL)>(cls, "second:", [](Target*, BOOL) {});
  Ref<Target> target = makeTarget(cls);
  observe(target.get(), sel("first:"));
  const Class dynamicSubclass = objc::object_getClass(target.get());
  const size_t methods = objc::class_copyMethodList(dynamicSubclass).size();
  Ref<Observer> second = observe(target.get(), sel("second:"));
  // Only the selector and its saved name are new.
  EXPECT_EQ(objc::class_copyMethodList(dynamicSubclass).size(), methods + 2);
  objc::send<void(BOOL)>(target, sel("second:"), objc::YES);
  EXPECT_EQ(second->sent.size(), 1u);
  RVObjCRuntime::instance()->performLocked([&](RVObjCRuntime* runtime) {
    EXPECT_EQ(runtime->classesThatSupportObservingByForwarding().count(dynamicSubclass), 1u);
    EXPECT_EQ(runtime->forwardedSelectorsByClass().at(dynamicSubclass).size(), 2u);
    EXPECT_TRUE(runtime->forwardingSelector(sel("first:"), dynamicSubclass));
    EXPECT_FALSE(runtime->forwardingSelector(sel("first:"), cls));
  });

  try {
    RVObjCRuntime::instance()->performLocked([&](RVObjCRuntime* runtime) {
      runtime->observeByForwardingMessages(dynamicSubclass, sel("first:"), target.get(), nullptr);
    });
    ADD_FAILURE() << "forwarding twice raised nothing";
  } catch (const Ref<objc::NSException>& exception) {
    EXPECT_EQ(exception->name(), RVInvalidOperatorException);
    EXPECT_EQ(exception->reason(), "Already observing selector for class");
  }
}

// forwardInvocation: has the encoding of a fast shape; observing it must not
// install that shape where forwarding later needs the real one.
TEST(ForwardingInterception, ForwardInvocationIsRefusedWithCode8BeforeOrAfterForwarding) {
  for (const bool forwardingFirst : {false, true}) {
    Class cls = makeTargetClass();
    int calls = 0;
    addMethod<void(objc::CGRect)>(cls, "place:", [&calls](Target*, objc::CGRect) { ++calls; });
    Ref<Target> first = makeTarget(cls);
    Ref<Target> second = makeTarget(cls);
    Ref<Observer> observer;
    if (forwardingFirst) observer = observe(first.get(), sel("place:"));
    std::shared_ptr<NSError> error;
    EXPECT_EQ(RV_ensure_observing(second.get(), sel("forwardInvocation:"), &error), nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), RVObjCRuntimeErrorObservingPerformanceSensitiveMessages);
    if (!forwardingFirst) observer = observe(first.get(), sel("place:"));

    objc::send<void(objc::CGRect)>(first, sel("place:"), objc::CGRect{});
    EXPECT_EQ(calls, 1) << forwardingFirst;
    EXPECT_EQ(observer->sent.size(), 1u) << forwardingFirst;
  }
}

TEST(ForwardingInterception, ImplementationChangedWhileForwardingFailsWithCode7ThenCode6) {
  Class cls = makeTargetClass();
  addMethod<void(BOOL)>(cls, "other:", [](Target*, BOOL) {});
  addMethod<void(BOOL)>(cls, "setFlag:", [](Target*, BOOL) {});
  Ref<Target> target = makeTarget(cls);
  observe(target.get(), sel("other:"));
  const Class dynamicSubclass = objc::object_getClass(target.get());
  // Another party defines setFlag: on the dynamic subclass and changes it
  // again just while it is pointed at the forwarding entry.
  addMethod<void(BOOL)>(dynamicSubclass, "setFlag:", [](Target*, BOOL) {});
  objc::Method method = objc::class_getInstanceMethod(dynamicSubclass, sel("setFlag:"));
  const IMP intruder = objc::imp_implementationWithBlock([](id, SEL, objc::Frame&) {});
  objc::testing::onNextSetImplementation(method,
                                         [&] { objc::method_setImplementation(method, intruder); });

  std::shared_ptr<NSError> error;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RV_ensure_observing(target.get(), sel("setFlag:"), &error), nullptr);
  const std::string log = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), RVObjCRuntimeErrorReplacingMethodWithForwardingImplementation);
  EXPECT_NE(log.find("There was a problem swizzling on `" +
                     objc::NSStringFromClass(dynamicSubclass) + "`."),
            std::string::npos);

  // The saved name is taken now, so the next attempt cannot save it again.
  error = nullptr;
  EXPECT_EQ(RV_ensure_observing(target.get(), sel("setFlag:"), &error), nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), RVObjCRuntimeErrorSavingOriginalForwardingMethodFailed);
}

TEST(ForwardingInterception, ArgumentOfSizeZeroFailsTheAssertion) {
  auto signature = objc::NSMethodSignature::signatureWithObjCTypes("v16@0:8{Empty=}16");
  ASSERT_TRUE(signature);
  auto invocation = objc::NSInvocation::invocationWithMethodSignature(signature.get());
  try {
    RV_extract_argument_at_index(invocation.get(), 2);
    ADD_FAILURE() << "no assertion";
  } catch (const Ref<objc::NSException>& exception) {
    EXPECT_EQ(exception->name(), objc::NSInternalInconsistencyException);
    EXPECT_EQ(exception->reason(), "Invalid parameter not satisfying: size > 0");
  }
}

TEST(ForwardingInterception, ExtractedArgumentsSkipReceiverAndSelector) {
  auto signature = objc::NSMethodSignature::signatureWithObjCTypes("v40@0:8@16rq24rB32");
  ASSERT_TRUE(signature);
  auto invocation = objc::NSInvocation::invocationWithMethodSignature(signature.get());
  const long n = -9;
  const bool flag = true;
  invocation->setArgument(&n, 3);
  invocation->setArgument(&flag, 4);
  Ref<objc::NSArray> arguments = RV_extract_arguments(invocation.get());
  ASSERT_EQ(arguments->count(), 3u);
  EXPECT_EQ(arguments->objectAtIndex(0).get(), objc::NSNull::null().get());
  EXPECT_EQ(number(arguments, 1)->kind(), NSNumber::Kind::Long) << "a leading r is ignored";
  EXPECT_EQ(number(arguments, 1)->longValue(), -9);
  EXPECT_EQ(number(arguments, 2)->kind(), NSNumber::Kind::Bool);
  EXPECT_EQ(RV_extract_argument_at_index(invocation.get(), 2), nullptr) << "nil stays nil alone";
}

TEST(ForwardingInterception, VoidTests) {
  EXPECT_TRUE(RV_is_method_signature_void(
      objc::NSMethodSignature::signatureWithObjCTypes("v16@0:8").get()));
  EXPECT_FALSE(RV_is_method_signature_void(
      objc::NSMethodSignature::signatureWithObjCTypes("B16@0:8").get()));
  EXPECT_FALSE(RV_is_method_signature_void(
      objc::NSMethodSignature::signatureWithObjCTypes("Vv16@0:8").get()));
  EXPECT_TRUE(RV_is_method_with_description_void({sel("a"), "v24@0:8@16"}));
  EXPECT_TRUE(RV_is_method_with_description_void({sel("a"), "Vv16@0:8"}) == objc::NO);
  EXPECT_FALSE(RV_is_method_with_description_void({sel("a"), "@16@0:8"}));
  EXPECT_FALSE(RV_is_method_with_description_void({sel("a"), nullptr}));
}

}  // namespace
}  // namespace rv::itest
