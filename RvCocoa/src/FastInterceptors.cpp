// Interceptors for the 27 common method shapes (no result; no argument, one
// argument, or an object and one more argument) and for `dealloc`: each is an
// implementation that reads the observer, reports the boxed arguments, runs
// the real method with the same frame and reports again. No invocation
// object, no forwarding.

#include <exception>
#include <utility>

#include "RuntimeInternal.h"
#include "Selectors.h"
#include "objc/Message.h"
#include "objc/NSArray.h"
#include "objc/NSNull.h"
#include "objc/NSNumber.h"

namespace rv {

using objc::BOOL;
using objc::Class;
using objc::id;
using objc::IMP;
using objc::SEL;

namespace {

// How a fast shape boxes each argument type. The unsigned 8-, 16- and
// 32-bit shapes share one unsigned 32-bit box.
objc::Ref<objc::Object> boxArgument(id object) {
  if (object == nullptr) return objc::NSNull::null();
  return objc::Ref<objc::Object>(object);
}
objc::Ref<objc::Object> boxArgument(objc::BlockObject* block) {
  // Blocks are immutable here: the copy is the block itself.
  return boxArgument(static_cast<id>(block));
}
objc::Ref<objc::Object> boxArgument(char v) { return objc::NSNumber::numberWithChar(v); }
objc::Ref<objc::Object> boxArgument(short v) { return objc::NSNumber::numberWithShort(v); }
objc::Ref<objc::Object> boxArgument(int v) { return objc::NSNumber::numberWithInt(v); }
objc::Ref<objc::Object> boxArgument(long v) { return objc::NSNumber::numberWithLong(v); }
objc::Ref<objc::Object> boxArgument(unsigned char v) {
  return objc::NSNumber::numberWithUnsignedInt(static_cast<unsigned int>(v));
}
objc::Ref<objc::Object> boxArgument(unsigned short v) {
  return objc::NSNumber::numberWithUnsignedInt(static_cast<unsigned int>(v));
}
objc::Ref<objc::Object> boxArgument(unsigned int v) {
  return objc::NSNumber::numberWithUnsignedInt(v);
}
objc::Ref<objc::Object> boxArgument(unsigned long v) {
  return objc::NSNumber::numberWithUnsignedLong(v);
}
objc::Ref<objc::Object> boxArgument(float v) { return objc::NSNumber::numberWithFloat(v); }
objc::Ref<objc::Object> boxArgument(double v) { return objc::NSNumber::numberWithDouble(v); }
objc::Ref<objc::Object> boxArgument(SEL v) { return objc::NSValue::valueWithPointer(v); }

template <class... A>
objc::Ref<objc::NSArray> boxArguments(const objc::Frame& frame) {
  using Layout = objc::MethodSignatureOf<void(A...)>;
  return [&]<size_t... I>(std::index_sequence<I...>) {
    return objc::NSArray::arrayWithObjects(
        {boxArgument(objc::detail::ArgumentTraits<A>::read(frame, Layout::offsets[I + 2]))...});
  }
  (std::index_sequence_for<A...>{});
}

IMP targetImplementationOf(id observer) {
  static const SEL targetSel = sel("targetImplementation");
  return objc::send<IMP()>(observer, targetSel);
}

// An observer that holds this interceptor's own implementation.
bool isObserverOf(const objc::Ref<objc::Object>& observer, const detail::InterceptorCell& cell) {
  return observer &&
         targetImplementationOf(observer.get()) == cell.own.load(std::memory_order_acquire);
}

template <class... A>
BOOL installFastShape(RVObjCRuntime* runtime, Class cls, SEL selector, RVErrorSlot error) {
  const SEL rvSelector = RV_selector(selector);
  return detail::installInterceptor(
      runtime, selector, cls,
      [rvSelector, selector](const detail::InterceptorCell& cell, id self, SEL,
                             objc::Frame& frame) {
        static const SEL sentSel = sel("messageSentWithArguments:");
        static const SEL invokedSel = sel("methodInvokedWithArguments:");
        const objc::Ref<objc::Object> observer =
            objc::objc_getAssociatedObject(self, RV_reference_from_selector(rvSelector));
        if (isObserverOf(observer, cell)) {
          objc::send<void(objc::NSArray*)>(observer, sentSel, boxArguments<A...>(frame));
        }
        auto reportInvoked = [&] {
          if (isObserverOf(observer, cell)) {
            objc::send<void(objc::NSArray*)>(observer, invokedSel, boxArguments<A...>(frame));
          }
        };
        try {
          cell.fallback(self, selector, frame);
        } catch (...) {
          // The observer hears of the call also when the method raised; the
          // exception then goes on to the caller.
          reportInvoked();
          throw;
        }
        reportInvoked();
      },
      error);
}

}  // namespace

// The fast shapes in their registration order: installer, example method,
// argument types.
#define RV_FAST_SHAPES(X)                                                           \
  X(swizzle_void, "example_void")                                                   \
  X(swizzle_void_id, "example_void_id:", id)                                        \
  X(swizzle_void_char, "example_void_char:", char)                                  \
  X(swizzle_void_short, "example_void_short:", short)                               \
  X(swizzle_void_int, "example_void_int:", int)                                     \
  X(swizzle_void_long, "example_void_long:", long)                                  \
  X(swizzle_void_rx_uchar, "example_void_rx_uchar:", unsigned char)                 \
  X(swizzle_void_rx_ushort, "example_void_rx_ushort:", unsigned short)              \
  X(swizzle_void_rx_uint, "example_void_rx_uint:", unsigned int)                    \
  X(swizzle_void_rx_ulong, "example_void_rx_ulong:", unsigned long)                 \
  X(swizzle_void_rx_block, "example_void_rx_block:", objc::BlockObject*)            \
  X(swizzle_void_float, "example_void_float:", float)                               \
  X(swizzle_void_double, "example_void_double:", double)                            \
  X(swizzle_void_SEL, "example_void_SEL:", SEL)                                     \
  X(swizzle_void_id_id, "example_void_id:_id:", id, id)                             \
  X(swizzle_void_id_char, "example_void_id:_char:", id, char)                       \
  X(swizzle_void_id_short, "example_void_id:_short:", id, short)                    \
  X(swizzle_void_id_int, "example_void_id:_int:", id, int)                          \
  X(swizzle_void_id_long, "example_void_id:_long:", id, long)                       \
  X(swizzle_void_id_rx_uchar, "example_void_id:_rx_uchar:", id, unsigned char)      \
  X(swizzle_void_id_rx_ushort, "example_void_id:_rx_ushort:", id, unsigned short)   \
  X(swizzle_void_id_rx_uint, "example_void_id:_rx_uint:", id, unsigned int)         \
  X(swizzle_void_id_rx_ulong, "example_void_id:_rx_ulong:", id, unsigned long)      \
  X(swizzle_void_id_rx_block, "example_void_id:_rx_block:", id, objc::BlockObject*) \
  X(swizzle_void_id_float, "example_void_id:_float:", id, float)                    \
  X(swizzle_void_id_double, "example_void_id:_double:", id, double)                 \
  X(swizzle_void_id_SEL, "example_void_id:_SEL:", id, SEL)

#define RV_DEFINE_INSTALLER(installer, example, ...)                          \
  BOOL RVObjCRuntime::installer(Class cls, SEL selector, RVErrorSlot error) { \
    return installFastShape<__VA_ARGS__>(this, cls, selector, error);         \
  }
RV_FAST_SHAPES(RV_DEFINE_INSTALLER)
#undef RV_DEFINE_INSTALLER

BOOL RVObjCRuntime::swizzleDeallocating(Class cls, RVErrorSlot error) {
  const SEL deallocSel = detail::deallocSelector();
  const SEL rvSelector = RV_selector(deallocSel);
  return detail::installInterceptor(
      this, deallocSel, cls,
      [rvSelector, deallocSel](const detail::InterceptorCell& cell, id self, SEL,
                               objc::Frame& frame) {
        static const SEL deallocatingSel = sel("deallocating");
        {
          const objc::Ref<objc::Object> observer =
              objc::objc_getAssociatedObject(self, RV_reference_from_selector(rvSelector));
          if (isObserverOf(observer, cell)) objc::send<void()>(observer, deallocatingSel);
        }
        cell.fallback(self, deallocSel, frame);
      },
      error);
}

namespace detail {

void addFastShapeExamples(objc::ClassBuilder<RVObjCRuntime>& builder) {
#define RV_ADD_EXAMPLE(installer, example, ...) \
  builder.classMethod<void(__VA_ARGS__)>(example, [](Class, SEL, auto...) {});
  RV_FAST_SHAPES(RV_ADD_EXAMPLE)
#undef RV_ADD_EXAMPLE
}

void registerFastShapes(Class runtimeClass) {
  static const SEL registerSel = sel("registerOptimizedObserver:encodedAs:");
  using Block = RVObjCRuntime::RegistrationBlock;
#define RV_REGISTER_SHAPE(installer, example, ...)                                           \
  objc::send<void(Block*, SEL)>(                                                             \
      runtimeClass, registerSel,                                                             \
      Block::create([](RVObjCRuntime* runtime, Class cls, SEL selector, RVErrorSlot error) { \
        return runtime->installer(cls, selector, error);                                     \
      }),                                                                                    \
      sel(example));
  RV_FAST_SHAPES(RV_REGISTER_SHAPE)
#undef RV_REGISTER_SHAPE
}

}  // namespace detail
}  // namespace rv
