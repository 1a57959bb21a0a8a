// Costs of the object runtime, each beside a direct virtual call: a typed
// message send, a forwarded send (signature, NSInvocation, forwardInvocation:)
// and an associated-object lookup.

#include <benchmark/benchmark.h>

#include "objc/NSInvocation.h"
#include "objc/NSObject.h"

namespace {

using namespace objc;

struct Base {
  virtual ~Base() = default;
  virtual int add(int x) = 0;
};

// Kept out of line, so the baseline is a real call through the vtable (or,
// where the compiler speculates on the type, a direct call).
struct Adder final : Base {
  [[gnu::noinline]] int add(int x) override { return x + offset; }
  int offset = 1;
};

class Counter : public NSObject {
 public:
  static Class classObject() {
    static const Class cls = ClassBuilder<Counter>("BenchCounter", NSObject::classObject())
                                 .method("add:", &Counter::addImpl)
                                 .build();
    return cls;
  }

 private:
  friend struct detail::InstanceAccess;
  int addImpl(int x) { return x + offset_; }
  int offset_ = 1;
};

// Answers every unknown `add:` through forwarding.
Class forwardingClass() {
  static const Class cls = [] {
    Class c = objc_allocateClassPair(NSObject::classObject(), "BenchForwarder", 0);
    class_addMethod(c, sel_registerName("methodSignatureForSelector:"),
                    imp_implementationWithBlock<Ref<NSMethodSignature>(SEL)>([](id, SEL) {
                      static const Ref<NSMethodSignature> signature =
                          NSMethodSignature::signatureWithObjCTypes(methodEncoding<int(int)>());
                      return signature;
                    }),
                    methodEncoding<Ref<NSMethodSignature>(SEL)>());
    class_addMethod(c, sel_registerName("forwardInvocation:"),
                    imp_implementationWithBlock<void(NSInvocation*)>([](id, NSInvocation* i) {
                      int x = 0;
                      i->getArgument(&x, 2);
                      const int result = x + 1;
                      i->setReturnValue(&result);
                    }),
                    methodEncoding<void(NSInvocation*)>());
    objc_registerClassPair(c);
    return c;
  }();
  return cls;
}

Base* makeAdder() {
  static Adder adder;
  Base* base = &adder;
  benchmark::DoNotOptimize(base);
  return base;
}

void BM_DirectVirtualCall(benchmark::State& state) {
  Base* target = makeAdder();
  int x = 0;
  for (auto _ : state) {
    x = target->add(x);
    benchmark::DoNotOptimize(x);
  }
}
BENCHMARK(BM_DirectVirtualCall);

void BM_TypedSend(benchmark::State& state) {
  Ref<Counter> counter = make<Counter>();
  const SEL add = sel_registerName("add:");
  int x = 0;
  for (auto _ : state) {
    x = send<int(int)>(counter, add, x);
    benchmark::DoNotOptimize(x);
  }
}
BENCHMARK(BM_TypedSend);

void BM_ForwardedSend(benchmark::State& state) {
  Ref<Object> forwarder = class_createInstance(forwardingClass());
  const SEL add = sel_registerName("add:");
  int x = 0;
  for (auto _ : state) {
    x = send<int(int)>(forwarder, add, x);
    benchmark::DoNotOptimize(x);
  }
}
BENCHMARK(BM_ForwardedSend);

void BM_AssociatedObjectLookup(benchmark::State& state) {
  static char keys[4];
  Ref<NSObject> owner = make<NSObject>();
  for (char& key : keys) {
    objc_setAssociatedObject(owner.get(), &key, make<NSObject>().get(), OBJC_ASSOCIATION_RETAIN);
  }
  for (auto _ : state) {
    Ref<Object> value = objc_getAssociatedObject(owner.get(), &keys[3]);
    benchmark::DoNotOptimize(value.get());
  }
}
BENCHMARK(BM_AssociatedObjectLookup);

}  // namespace

BENCHMARK_MAIN();
