#include <gtest/gtest.h>

#include <tuple>

#include "InterceptionSupport.h"
#include "RvCocoa/InterceptionErrors.h"
#include "objc/Block.h"
#include "objc/NSException.h"
#include "objc/NSNull.h"
#include "objc/NSNumber.h"
#include "objc/NSString.h"

namespace rv::itest {
namespace {

using objc::NSNumber;

Ref<NSNumber> number(const Ref<objc::Object>& boxed) { return objc::dynamicCast<NSNumber>(boxed); }

void expectBoxed(const Ref<objc::Object>& boxed, id value) {
  if (value == nullptr) {
    EXPECT_EQ(boxed.get(), objc::NSNull::null().get());
  } else {
    EXPECT_EQ(boxed.get(), value);
  }
}
void expectBoxed(const Ref<objc::Object>& boxed, objc::BlockObject* value) {
  expectBoxed(boxed, static_cast<id>(value));
}
template <class T>
void expectNumber(const Ref<objc::Object>& boxed, NSNumber::Kind kind, T value) {
  Ref<NSNumber> n = number(boxed);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->kind(), kind);
  EXPECT_EQ(static_cast<T>(n->doubleValue()), value);
  EXPECT_EQ(static_cast<T>(n->unsignedLongLongValue()), value);
}
void expectBoxed(const Ref<objc::Object>& b, char v) { expectNumber(b, NSNumber::Kind::Char, v); }
void expectBoxed(const Ref<objc::Object>& b, short v) { expectNumber(b, NSNumber::Kind::Short, v); }
void expectBoxed(const Ref<objc::Object>& b, int v) { expectNumber(b, NSNumber::Kind::Int, v); }
void expectBoxed(const Ref<objc::Object>& b, long v) { expectNumber(b, NSNumber::Kind::Long, v); }
// The unsigned 8-, 16- and 32-bit shapes share unsigned 32-bit numbers.
void expectBoxed(const Ref<objc::Object>& b, unsigned char v) {
  expectNumber(b, NSNumber::Kind::UnsignedInt, static_cast<unsigned int>(v));
}
void expectBoxed(const Ref<objc::Object>& b, unsigned short v) {
  expectNumber(b, NSNumber::Kind::UnsignedInt, static_cast<unsigned int>(v));
}
void expectBoxed(const Ref<objc::Object>& b, unsigned int v) {
  expectNumber(b, NSNumber::Kind::UnsignedInt, v);
}
void expectBoxed(const Ref<objc::Object>& b, unsigned long v) {
  Ref<NSNumber> n = number(b);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->kind(), NSNumber::Kind::UnsignedLong);
  EXPECT_EQ(n->unsignedLongValue(), v);
}
void expectBoxed(const Ref<objc::Object>& b, float v) {
  ASSERT_TRUE(number(b));
  EXPECT_EQ(number(b)->kind(), NSNumber::Kind::Float);
  EXPECT_EQ(number(b)->floatValue(), v);
}
void expectBoxed(const Ref<objc::Object>& b, double v) {
  ASSERT_TRUE(number(b));
  EXPECT_EQ(number(b)->kind(), NSNumber::Kind::Double);
  EXPECT_EQ(number(b)->doubleValue(), v);
}
void expectBoxed(const Ref<objc::Object>& b, SEL v) {
  auto value = objc::dynamicCast<objc::NSValue>(b);
  ASSERT_TRUE(value);
  EXPECT_FALSE(objc::dynamicCast<NSNumber>(b));
  EXPECT_STREQ(value->objCType(), "^v");
  EXPECT_EQ(value->pointerValue(), static_cast<const void*>(v));
}

const char* selectorFor(size_t arity) {
  return arity == 0 ? "shape" : arity == 1 ? "shape:" : "shape:with:";
}

// Observes a method of signature void(A...) and calls it with `values`: the
// method must get them unchanged and the observer must hear of the call
// before and after, with the arguments boxed as the shape says.
template <class... A>
void checkShape(const char* encoding, A... values) {
  SCOPED_TRACE(encoding);
  EXPECT_STREQ(objc::methodEncoding<void(A...)>(), encoding);
  EXPECT_NE(RVObjCRuntime::optimizedObserverForEncoding(encoding), nullptr);

  Class cls = makeTargetClass();
  const char* name = selectorFor(sizeof...(A));
  auto seen = std::make_shared<std::vector<std::tuple<A...>>>();
  addMethod<void(A...)>(cls, name, [seen](Target*, A... args) { seen->emplace_back(args...); });
  Ref<Target> target = makeTarget(cls);
  Ref<Observer> observer = observe(target.get(), sel(name));
  ASSERT_NE(observer->targetImplementation, nullptr);
  EXPECT_NE(observer->targetImplementation, objc::_objc_msgForward) << "a fast interceptor";

  objc::send<void(A...)>(target, sel(name), values...);

  ASSERT_EQ(seen->size(), 1u);
  EXPECT_EQ(seen->front(), std::make_tuple(values...));
  ASSERT_EQ(observer->sent.size(), 1u);
  ASSERT_EQ(observer->invoked.size(), 1u);
  EXPECT_NE(observer->sent[0], observer->invoked[0]) << "each notification gets its own array";
  for (const auto& arguments : {observer->sent[0], observer->invoked[0]}) {
    ASSERT_EQ(arguments->count(), sizeof...(A));
    size_t index = 0;
    (expectBoxed(arguments->objectAtIndex(index++), values), ...);
  }
}

TEST(FastInterceptors, EveryShapeReportsItsBoxedArgumentsAroundTheRealCall) {
  Ref<objc::Object> object = makeObserver();
  id o = object.get();
  auto block = objc::Block<void()>::create([] {});
  objc::BlockObject* b = block.get();
  const SEL s = sel("someSelector:");
  using uchar = unsigned char;
  using ushort = unsigned short;
  using ulong = unsigned long;

  checkShape<>("v16@0:8");
  checkShape<id>("v24@0:8@16", o);
  checkShape<char>("v20@0:8c16", char{-5});
  checkShape<short>("v20@0:8s16", short{-300});
  checkShape<int>("v20@0:8i16", -70000);
  checkShape<long>("v24@0:8q16", -(1L << 40));
  checkShape<uchar>("v20@0:8C16", uchar{200});
  checkShape<ushort>("v20@0:8S16", ushort{60000});
  checkShape<unsigned>("v20@0:8I16", 4000000000u);
  checkShape<ulong>("v24@0:8Q16", ulong{1} << 63);
  checkShape<objc::BlockObject*>("v24@0:8@?16", b);
  checkShape<float>("v20@0:8f16", 1.5f);
  checkShape<double>("v24@0:8d16", -2.25);
  checkShape<SEL>("v24@0:8:16", s);
  checkShape<id, id>("v32@0:8@16@24", o, o);
  checkShape<id, char>("v28@0:8@16c24", o, 'a');
  checkShape<id, short>("v28@0:8@16s24", o, short{7});
  checkShape<id, int>("v28@0:8@16i24", o, 8);
  checkShape<id, long>("v32@0:8@16q24", o, 9L);
  checkShape<id, uchar>("v28@0:8@16C24", o, uchar{255});
  checkShape<id, ushort>("v28@0:8@16S24", o, ushort{65535});
  checkShape<id, unsigned>("v28@0:8@16I24", o, 12u);
  checkShape<id, ulong>("v32@0:8@16Q24", o, ulong{13});
  checkShape<id, objc::BlockObject*>("v32@0:8@16@?24", o, b);
  checkShape<id, float>("v28@0:8@16f24", o, 0.5f);
  checkShape<id, double>("v32@0:8@16d24", o, 1e100);
  checkShape<id, SEL>("v32@0:8@16:24", o, s);
}

TEST(FastInterceptors, NilObjectsAndBlocksArriveAsNSNull) {
  checkShape<id>("v24@0:8@16", nullptr);
  checkShape<objc::BlockObject*>("v24@0:8@?16", nullptr);
  checkShape<id, objc::BlockObject*>("v32@0:8@16@?24", nullptr, nullptr);
}

TEST(FastInterceptors, ExamplesCarryTheRegisteredEncodings) {
  const Class cls = RVObjCRuntime::classObject();
  const std::pair<const char*, const char*> examples[] = {
      {"example_void", "v16@0:8"},
      {"example_void_rx_uchar:", "v20@0:8C16"},
      {"example_void_rx_block:", "v24@0:8@?16"},
      {"example_void_SEL:", "v24@0:8:16"},
      {"example_void_id:_rx_ulong:", "v32@0:8@16Q24"},
      {"example_void_id:_SEL:", "v32@0:8@16:24"},
  };
  for (const auto& [name, encoding] : examples) {
    objc::Method method = objc::class_getClassMethod(cls, sel(name));
    ASSERT_NE(method, nullptr) << name;
    EXPECT_STREQ(objc::method_getTypeEncoding(method), encoding);
  }
  EXPECT_EQ(RVObjCRuntime::optimizedObserverForEncoding("v20@0:8B16"), nullptr);
  EXPECT_EQ(RVObjCRuntime::optimizedObserverForEncoding("v24@0:8@"), nullptr) << "whole encodings";
}

TEST(FastInterceptors, ABooleanArgumentHasNoShapeAndIsForwarded) {
  Class cls = makeTargetClass();
  addMethod<void(BOOL)>(cls, "setFlag:", [](Target*, BOOL) {});
  Ref<Target> target = makeTarget(cls);
  EXPECT_STREQ(objc::methodEncoding<void(BOOL)>(), "v20@0:8B16");
  EXPECT_EQ(RV_ensure_observing(target.get(), sel("setFlag:"), nullptr), objc::_objc_msgForward);
}

TEST(FastInterceptors, RaisingMethodStillReportsItsInvocationThenRaises) {
  Class cls = makeTargetClass();
  std::vector<std::string> log;
  addMethod<void(int)>(cls, "fail:", [&log](Target*, int) {
    log.push_back("real");
    objc::NSException::raise("TestException", "failed");
  });
  Ref<Target> target = makeTarget(cls);
  Ref<Observer> observer = observe(target.get(), sel("fail:"));
  observer->log = &log;

  EXPECT_THROW(objc::send<void(int)>(target, sel("fail:"), 3), Ref<objc::NSException>);
  EXPECT_EQ(log, (std::vector<std::string>{"sent", "real", "invoked"}));
}

TEST(FastInterceptors, RaisingObserverStopsTheCallBeforeTheRealMethod) {
  Class cls = makeTargetClass();
  bool ran = false;
  addMethod<void()>(cls, "ping", [&ran](Target*) { ran = true; });
  Class raising = makeTargetClass(Observer::classObject(), "RaisingObserver");
  objc::class_addMethod(raising, sel("messageSentWithArguments:"),
                        objc::imp_implementationWithBlock<void(objc::NSArray*)>(
                            [](id, objc::NSArray*) { objc::NSException::raise("Stop", "stop"); }),
                        objc::methodEncoding<void(objc::NSArray*)>());
  Ref<Target> target = makeTarget(cls);
  auto observer = objc::dynamicCast<Observer>(objc::class_createInstance(raising));
  attach(target.get(), sel("ping"), observer.get());
  observer->targetImplementation = RV_ensure_observing(target.get(), sel("ping"), nullptr);

  EXPECT_THROW(objc::send<void()>(target, sel("ping")), Ref<objc::NSException>);
  EXPECT_FALSE(ran);
  EXPECT_TRUE(observer->invoked.empty());
}

TEST(FastInterceptors, ObserverOfAnotherImplementationHearsNothing) {
  Class cls = makeTargetClass();
  int calls = 0;
  addMethod<void()>(cls, "ping", [&calls](Target*) { ++calls; });
  Ref<Target> target = makeTarget(cls);
  Ref<Observer> observer = observe(target.get(), sel("ping"));
  observer->targetImplementation = objc::_objc_msgForward;

  objc::send<void()>(target, sel("ping"));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(observer->sent.empty());
  EXPECT_TRUE(observer->invoked.empty());

  // Without any observer the call simply passes.
  attach(target.get(), sel("ping"), nullptr);
  objc::send<void()>(target, sel("ping"));
  EXPECT_EQ(calls, 2);
}

TEST(FastInterceptors, NewMethodKindCallsTheImplementationInheritedByTheRealClass) {
  Class base = makeTargetClass();
  Class derived = makeTargetClass(base, "Derived");
  addMethod<void(int)>(base, "take:", [](Target* self, int v) {
    self->calls.push_back("base " + std::to_string(v));
  });
  Ref<Target> target = makeTarget(derived);
  Ref<Observer> observer = observe(target.get(), sel("take:"));
  objc::send<void(int)>(target, sel("take:"), 4);
  EXPECT_EQ(target->calls, std::vector<std::string>{"base 4"});
  EXPECT_EQ(observer->sent.size(), 1u);

  // An instance of the base class itself is not affected.
  Ref<Target> plain = makeTarget(base);
  objc::send<void(int)>(plain, sel("take:"), 5);
  EXPECT_EQ(plain->calls, std::vector<std::string>{"base 5"});
  EXPECT_EQ(observer->sent.size(), 1u);
}

TEST(FastInterceptors, ReplacementKindCallsTheImplementationItReplaced) {
  Class cls = makeTargetClass();
  addMethod<void()>(cls, "ping", [](Target*) {});
  addMethod<void(int)>(cls, "take:", [](Target* self, int) { self->calls.push_back("real"); });
  Ref<Target> target = makeTarget(cls);
  ASSERT_NE(RV_ensure_observing(target.get(), sel("ping"), nullptr), nullptr);
  // Some other party defines take: on the dynamic subclass itself.
  const Class dynamicSubclass = objc::object_getClass(target.get());
  addMethod<void(int)>(dynamicSubclass, "take:", [](Target* self, int v) {
    self->calls.push_back("own " + std::to_string(v));
  });

  Ref<Observer> observer = observe(target.get(), sel("take:"));
  ASSERT_NE(observer->targetImplementation, nullptr);
  EXPECT_EQ(
      objc::method_getImplementation(objc::class_getInstanceMethod(dynamicSubclass, sel("take:"))),
      observer->targetImplementation);
  objc::send<void(int)>(target, sel("take:"), 6);
  EXPECT_EQ(target->calls, std::vector<std::string>{"own 6"});
  ASSERT_EQ(observer->invoked.size(), 1u);
  EXPECT_EQ(number(observer->invoked[0]->objectAtIndex(0))->intValue(), 6);
}

TEST(FastInterceptors, RegistrationMisuseRaises) {
  auto block = RVObjCRuntime::RegistrationBlock::create(
      [](RVObjCRuntime*, Class, SEL, RVErrorSlot) { return objc::YES; });
  auto reason = [&](const char* example) -> std::string {
    try {
      RVObjCRuntime::registerOptimizedObserver(block.get(), sel(example));
    } catch (const Ref<objc::NSException>& exception) {
      EXPECT_EQ(exception->name(), RVInvalidOperatorException);
      return exception->reason();
    }
    return "nothing raised";
  };
  EXPECT_EQ(reason("example_void_id:"), "Optimized observer already registered");
  EXPECT_EQ(reason("example_missing:"), "Example encoding method is nil.");
  EXPECT_NE(RVObjCRuntime::optimizedObserverForEncoding("v24@0:8@16"), block.get());
}

// A class whose own dealloc (when `ownDealloc`) logs before going on.
Class deallocLoggingClass(bool ownDealloc, std::vector<std::string>& log) {
  Class cls = makeTargetClass();
  if (ownDealloc) {
    addMethod<void()>(cls, "dealloc", [cls, &log](Target* self) {
      log.push_back("dealloc");
      objc::sendSuper<void()>({self, objc::class_getSuperclass(cls)}, sel("dealloc"));
    });
  }
  return cls;
}

void checkDeallocObservation(bool ownDealloc) {
  std::vector<std::string> log;
  Class cls = deallocLoggingClass(ownDealloc, log);
  Ref<Target> observed = makeTarget(cls);
  Ref<Target> bystander = makeTarget(cls);
  Ref<Observer> observer = observe(observed.get(), sel("dealloc"));
  Ref<Observer> bystanderObserver = makeObserver();
  attach(bystander.get(), sel("dealloc"), bystanderObserver.get());
  bystanderObserver->targetImplementation = objc::_objc_msgForward;
  ASSERT_NE(observer->targetImplementation, nullptr);
  observer->log = &log;
  objc::Weak<Target> weak(observed);

  bystander = nullptr;
  EXPECT_EQ(bystanderObserver->deallocatingCount, 0);
  EXPECT_EQ(observer->deallocatingCount, 0);
  log.clear();

  observed = nullptr;
  EXPECT_EQ(observer->deallocatingCount, 1);
  EXPECT_FALSE(weak.load()) << "freed";
  std::vector<std::string> expected{"deallocating"};
  if (ownDealloc) expected.push_back("dealloc");
  EXPECT_EQ(log, expected) << "reported before the class's own dealloc runs";
  EXPECT_TRUE(observer->sent.empty());
  EXPECT_TRUE(observer->invoked.empty());
}

TEST(FastInterceptors, DeallocReportsOnlyTheObservedInstanceWhenAddedToTheClass) {
  checkDeallocObservation(false);
}

TEST(FastInterceptors, DeallocReportsOnlyTheObservedInstanceWhenReplacingTheClassesOwn) {
  checkDeallocObservation(true);
}

}  // namespace
}  // namespace rv::itest
