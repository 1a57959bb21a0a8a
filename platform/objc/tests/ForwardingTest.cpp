#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "objc/CGGeometry.h"
#include "objc/NSException.h"
#include "objc/NSInvocation.h"
#include "objc/NSMethodSignature.h"
#include "objc/NSString.h"
#include "objcTest/Classes.h"

namespace objc {
namespace {

using test::makeSubclass;
using test::sel;
using test::uniqueName;

// A class that forwards one unknown selector through an NSInvocation: it
// answers `methodSignatureForSelector:` for it and records what
// `forwardInvocation:` sees.
struct Seen {
  int number = 0;
  BOOL flag = NO;
  CGRect rect{};
  SEL selector = nullptr;
  id target = nullptr;
};

Class makeForwardingClass(Seen& seen, const char* types) {
  Class cls = makeSubclass(NSObject::classObject(), "Forwarder");
  class_addMethod(cls, sel("methodSignatureForSelector:"),
                  imp_implementationWithBlock<Ref<NSMethodSignature>(SEL)>(
                      [cls, types](id self, SEL s) -> Ref<NSMethodSignature> {
                        if (s == sel("take:flag:rect:")) {
                          return NSMethodSignature::signatureWithObjCTypes(types);
                        }
                        return sendSuper<Ref<NSMethodSignature>(SEL)>(
                            {self, class_getSuperclass(cls)}, sel("methodSignatureForSelector:"),
                            s);
                      }),
                  methodEncoding<Ref<NSMethodSignature>(SEL)>());
  class_addMethod(cls, sel("forwardInvocation:"),
                  imp_implementationWithBlock<void(NSInvocation*)>([&seen](id, NSInvocation* i) {
                    i->getArgument(&seen.number, 2);
                    i->getArgument(&seen.flag, 3);
                    i->getArgument(&seen.rect, 4);
                    seen.selector = i->selector();
                    seen.target = i->target();
                    if (i->methodSignature()->returnKind() == ReturnKind::object) {
                      Ref<NSString> text = NSString::stringWithString("an object");
                      id raw = text.get();
                      i->setReturnValue(&raw);
                    } else {
                      const long result = seen.number * 100 + (seen.flag ? 1 : 0);
                      i->setReturnValue(&result);
                    }
                  }),
                  methodEncoding<void(NSInvocation*)>());
  return cls;
}

TEST(Forwarding, UnknownMessageReachesForwardInvocationWithItsArgumentsAndReturnsItsValue) {
  Seen seen;
  Class cls = makeForwardingClass(seen, methodEncoding<long(int, BOOL, CGRect)>());
  Ref<Object> object = class_createInstance(cls);
  const CGRect rect{{1, 2}, {3, 4}};
  const long result = send<long(int, BOOL, CGRect)>(object, sel("take:flag:rect:"), 7, YES, rect);
  EXPECT_EQ(seen.number, 7);
  EXPECT_TRUE(seen.flag);
  EXPECT_EQ(seen.rect, rect);
  EXPECT_EQ(seen.selector, sel("take:flag:rect:"));
  EXPECT_EQ(seen.target, object.get());
  EXPECT_EQ(result, 701);
}

TEST(Forwarding, ForwardingTargetTakesTheMessageFirst) {
  Class receiverClass = makeSubclass(NSObject::classObject());
  Class targetClass = makeSubclass(NSObject::classObject());
  id reached = nullptr;
  class_addMethod(targetClass, sel("ping:"),
                  imp_implementationWithBlock<int(int)>([&](id self, int x) {
                    reached = self;
                    return x + 1;
                  }),
                  methodEncoding<int(int)>());
  Ref<Object> target = class_createInstance(targetClass);
  class_addMethod(receiverClass, sel("forwardingTargetForSelector:"),
                  imp_implementationWithBlock<Ref<Object>(SEL)>([&](id, SEL) { return target; }),
                  methodEncoding<Ref<Object>(SEL)>());
  Ref<Object> receiver = class_createInstance(receiverClass);
  EXPECT_EQ((send<int(int)>(receiver, sel("ping:"), 41)), 42);
  EXPECT_EQ(reached, target.get());
}

TEST(Forwarding, WithoutASignatureTheMessageIsUnrecognized) {
  Ref<NSObject> object = make<NSObject>();
  try {
    send<void()>(object, sel("noSuchMessage"));
    FAIL() << "expected an exception";
  } catch (const Ref<NSException>& exception) {
    EXPECT_EQ(exception->name(), NSInvalidArgumentException);
    EXPECT_EQ(exception->reason().rfind("-[NSObject noSuchMessage]: unrecognized selector sent to "
                                        "instance 0x",
                                        0),
              0u)
        << exception->reason();
  }
  try {
    send<void()>(NSObject::classObject(), sel("noSuchClassMessage"));
    FAIL() << "expected an exception";
  } catch (const Ref<NSException>& exception) {
    EXPECT_EQ(exception->reason().rfind("+[NSObject noSuchClassMessage]: unrecognized selector "
                                        "sent to class 0x",
                                        0),
              0u);
  }
}

TEST(Forwarding, DefaultSignatureComesFromTheMethodThenFromProtocolDescriptions) {
  Protocol* p = objc_allocateProtocol(uniqueName("Described").c_str());
  protocol_addMethodDescription(p, sel("optionalCall:"), "v24@0:8@16", NO, YES);
  protocol_addMethodDescription(p, sel("classCall"), "i16@0:8", YES, NO);
  objc_registerProtocol(p);
  Class base = makeSubclass(NSObject::classObject());
  class_addProtocol(base, p);
  Class derived = makeSubclass(base);
  Ref<NSObject> object = dynamicCast<NSObject>(class_createInstance(derived));

  Ref<NSMethodSignature> fromMethod = object->methodSignatureForSelector(sel("isEqual:"));
  ASSERT_TRUE(fromMethod);
  EXPECT_STREQ(fromMethod->typeEncoding(), methodEncoding<BOOL(id)>());
  Ref<NSMethodSignature> fromProtocol = object->methodSignatureForSelector(sel("optionalCall:"));
  ASSERT_TRUE(fromProtocol);
  EXPECT_STREQ(fromProtocol->typeEncoding(), "v24@0:8@16");
  EXPECT_FALSE(object->methodSignatureForSelector(sel("classCall"))) << "a class method";
  EXPECT_TRUE((send<Ref<NSMethodSignature>(SEL)>(derived, sel("methodSignatureForSelector:"),
                                                 sel("classCall"))));
  EXPECT_FALSE(object->methodSignatureForSelector(sel("unknown")));
}

TEST(Forwarding, AProtocolOnlyMessageForwardsToTheDefaultForwardInvocation) {
  Protocol* p = objc_allocateProtocol(uniqueName("Optional").c_str());
  protocol_addMethodDescription(p, sel("somethingHappened:"), "v24@0:8@16", NO, YES);
  objc_registerProtocol(p);
  Class cls = makeSubclass(NSObject::classObject());
  class_addProtocol(cls, p);
  Ref<Object> object = class_createInstance(cls);
  EXPECT_THROW(send<void(id)>(object, sel("somethingHappened:"), nullptr), Ref<NSException>)
      << "NSObject's forwardInvocation: reports the selector as unrecognized";
}

TEST(Forwarding, ResultOfAnotherKindIsNotCopiedBack) {
  Seen seen;
  // The signature claims an object result; the caller expects a long.
  Class cls = makeForwardingClass(seen, "@52@0:8i16B20{CGRect={CGPoint=dd}{CGSize=dd}}24");
  Ref<Object> object = class_createInstance(cls);
  EXPECT_EQ((send<long(int, BOOL, CGRect)>(object, sel("take:flag:rect:"), 1, NO, CGRect{})), 0);
}

TEST(Forwarding, ObjectResultsReachTheCallerOwned) {
  Class cls = makeSubclass(NSObject::classObject());
  class_addMethod(cls, sel("methodSignatureForSelector:"),
                  imp_implementationWithBlock<Ref<NSMethodSignature>(SEL)>(
                      [](id, SEL) { return NSMethodSignature::signatureWithObjCTypes("@16@0:8"); }),
                  methodEncoding<Ref<NSMethodSignature>(SEL)>());
  class_addMethod(cls, sel("forwardInvocation:"),
                  imp_implementationWithBlock<void(NSInvocation*)>([](id, NSInvocation* i) {
                    Ref<NSString> text = NSString::stringWithString("made");
                    id raw = text.get();
                    i->setReturnValue(&raw);
                  }),
                  methodEncoding<void(NSInvocation*)>());
  Ref<Object> object = class_createInstance(cls);
  Ref<NSString> result = send<Ref<NSString>()>(object, sel("anything"));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->string(), "made");
}

TEST(Invocation, SetsArgumentsInvokesAndKeepsTheResult) {
  Class cls = makeSubclass(NSObject::classObject());
  class_addMethod(
      cls, sel("join:with:"),
      imp_implementationWithBlock<Ref<NSString>(NSString*, int)>([](id, NSString* text, int n) {
        return NSString::stringWithString(text->string() + std::to_string(n));
      }),
      methodEncoding<Ref<NSString>(NSString*, int)>());
  Ref<Object> object = class_createInstance(cls);
  Ref<NSInvocation> invocation = NSInvocation::invocationWithMethodSignature(
      NSMethodSignature::signatureWithObjCTypes(methodEncoding<Ref<NSString>(NSString*, int)>())
          .get());
  invocation->setTarget(object.get());
  invocation->setSelector(sel("join:with:"));
  Ref<NSString> text = NSString::stringWithString("n=");
  id raw = text.get();
  invocation->setArgument(&raw, 2);
  const int n = 5;
  invocation->setArgument(&n, 3);
  invocation->invoke();
  id result = nullptr;
  invocation->getReturnValue(&result);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(static_cast<NSString*>(result)->string(), "n=5");

  // Another target of the same class; a null target gives a null result.
  Ref<Object> other = class_createInstance(cls);
  invocation->invokeWithTarget(other.get());
  EXPECT_EQ(invocation->target(), other.get());
  invocation->invokeWithTarget(nullptr);
  invocation->getReturnValue(&result);
  EXPECT_EQ(result, nullptr);
}

TEST(Invocation, RejectsIndexesOutsideTheSignatureAndSignaturesWithoutReceiver) {
  Ref<NSInvocation> invocation = NSInvocation::invocationWithMethodSignature(
      NSMethodSignature::signatureWithObjCTypes("v@:i").get());
  int value = 0;
  EXPECT_THROW(invocation->getArgument(&value, 3), Ref<NSException>);
  EXPECT_THROW(invocation->setArgument(&value, -1), Ref<NSException>);
  EXPECT_THROW(NSInvocation::invocationWithMethodSignature(nullptr), Ref<NSException>);
  EXPECT_THROW(NSInvocation::invocationWithMethodSignature(
                   NSMethodSignature::signatureWithObjCTypes("v@").get()),
               Ref<NSException>);
}

}  // namespace
}  // namespace objc
