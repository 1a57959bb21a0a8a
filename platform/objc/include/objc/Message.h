#pragma once

// Typed message sending and implementations made from typed closures.
//
//   objc::send<void(int, BOOL)>(object, sel, 7, YES);
//   Ref<NSString> text = objc::send<Ref<NSString>()>(object, descriptionSel);
//   objc::sendSuper<void()>({self, superclass}, deallocSel);
//
// The signature names the argument types as the method declares them; the
// frame is laid out from it. A message to a null receiver runs nothing and
// returns a zero value (a null reference, 0, a zeroed structure). Objects come
// back owned, as `Ref<T>`: a typed send never returns a raw object pointer.

#include <cstddef>
#include <cstring>
#include <functional>
#include <type_traits>
#include <utility>

#include "objc/Encoding.h"
#include "objc/Frame.h"
#include "objc/Ref.h"
#include "objc/Runtime.h"

namespace objc {

namespace detail {

// The implementation a message to `receiver` runs (the class's cached method,
// or `_objc_msgForward`); runs `+initialize` on first use of the class.
IMP lookUpForReceiver(id receiver, SEL sel);
// Keeps an implementation for the rest of the process.
IMP makePermanent(const objc_imp* imp);

template <class T>
id toReceiver(const T& receiver) {
  if constexpr (IsRef<T>::value) {
    return receiver.get();
  } else if constexpr (std::is_same_v<T, std::nullptr_t>) {
    return nullptr;
  } else {
    return receiver;
  }
}

template <class R>
struct ReturnSlot {
  alignas(16) std::byte bytes[ReturnTraits<R>::size == 0 ? 1 : ReturnTraits<R>::size] = {};

  ReturnSlot() = default;
  ReturnSlot(const ReturnSlot&) = delete;
  ReturnSlot& operator=(const ReturnSlot&) = delete;
  ~ReturnSlot() {
    if constexpr (ReturnTraits<R>::kind == ReturnKind::object) {
      id object;
      std::memcpy(&object, bytes, sizeof(id));
      objc_release(object);
    }
  }

  R take() {
    if constexpr (std::is_void_v<R>) {
      return;
    } else if constexpr (ReturnTraits<R>::kind == ReturnKind::object) {
      id object;
      std::memcpy(&object, bytes, sizeof(id));
      std::memset(bytes, 0, sizeof(id));
      if constexpr (IsRef<R>::value) {
        return R::adopt(static_cast<typename R::element_type*>(object));
      } else {
        // Protocols live for the whole process; the slot's reference is dropped.
        objc_release(object);
        return static_cast<R>(object);
      }
    } else {
      R value;
      std::memcpy(&value, bytes, sizeof(R));
      return value;
    }
  }
};

template <class R>
R zeroValue() {
  if constexpr (std::is_void_v<R>) {
    return;
  } else {
    return R{};
  }
}

template <class Sig>
struct ResultOf;
template <class R, class... A>
struct ResultOf<R(A...)> {
  using type = R;
};

template <class Sig>
struct Sender;

template <class R, class... A>
struct Sender<R(A...)> {
  static_assert(!(ObjectPointer<R> && !std::is_same_v<R, Class> && !std::is_same_v<R, Protocol*>),
                "an object result is owned by the caller: declare it as Ref<T>");
  using Layout = MethodSignatureOf<R(A...)>;

  template <class... U>
  static R call(IMP imp, id receiver, SEL sel, U&&... args) {
    static_assert(sizeof...(U) == sizeof...(A), "argument count differs from the signature");
    std::byte buffer[Layout::frameSize] = {};
    ReturnSlot<R> result;
    Frame frame(Layout::types(), buffer, Layout::frameSize, result.bytes, ReturnTraits<R>::size,
                ReturnTraits<R>::kind);
    std::memcpy(buffer, &receiver, sizeof(id));
    std::memcpy(buffer + 8, &sel, sizeof(SEL));
    writeAll(buffer, std::index_sequence_for<A...>{}, std::forward<U>(args)...);
    (*imp)(receiver, sel, frame);
    return result.take();
  }

 private:
  template <size_t... I, class... U>
  static void writeAll([[maybe_unused]] std::byte* buffer, std::index_sequence<I...>, U&&... args) {
    (write<A>(buffer, Layout::offsets[I + 2], std::forward<U>(args)), ...);
  }
  template <class Declared, class U>
  static void write(std::byte* buffer, uint32_t offset, U&& value) {
    const auto stored = ArgumentTraits<Declared>::toStorage(std::forward<U>(value));
    std::memcpy(buffer + offset, &stored, sizeof(stored));
  }
};

// Runs `invoke` with the arguments of `frame` read as `A...` and stores its
// result as an `R` in the frame's return slot.
template <class R, class... A, class Invoke>
void callWithFrame(Frame& frame, Invoke&& invoke) {
  using Layout = MethodSignatureOf<R(A...)>;
  [&]<size_t... I>(std::index_sequence<I...>) {
    if constexpr (std::is_void_v<R>) {
      invoke(ArgumentTraits<A>::read(frame, Layout::offsets[I + 2])...);
    } else {
      ReturnTraits<R>::store(frame,
                             invoke(ArgumentTraits<A>::read(frame, Layout::offsets[I + 2])...));
    }
  }
  (std::index_sequence_for<A...>{});
}

// An implementation holding a closure `void(id self, SEL cmd, Frame&)`.
template <class F>
class ClosureImp final : public objc_imp {
 public:
  explicit ClosureImp(F function) : objc_imp(&thunk, &destroy), function_(std::move(function)) {}

 private:
  static void thunk(const objc_imp* imp, id self, SEL cmd, Frame& frame) {
    static_cast<const ClosureImp*>(imp)->function_(self, cmd, frame);
  }
  static void destroy(const objc_imp* imp) noexcept { delete static_cast<const ClosureImp*>(imp); }

  F function_;
};

template <class Sig>
struct TypedClosure;

template <class R, class... A>
struct TypedClosure<R(A...)> {
  // Adapts `f(id self, A...)` to the frame convention.
  template <class F>
  static auto adapt(F f) {
    return [f = std::move(f)](id self, SEL, Frame& frame) {
      callWithFrame<R, A...>(frame, [&](auto&&... args) -> decltype(auto) {
        return f(self, std::forward<decltype(args)>(args)...);
      });
    };
  }
};

}  // namespace detail

// Sends `sel` to `receiver` with the arguments laid out for `Sig`.
template <class Sig, class Receiver, class... U>
auto send(const Receiver& receiver, SEL sel, U&&... args) {
  using S = detail::Sender<Sig>;
  const id object = detail::toReceiver(receiver);
  using R = typename detail::ResultOf<Sig>::type;
  if (object == nullptr) return detail::zeroValue<R>();
  return S::call(detail::lookUpForReceiver(object, sel), object, sel, std::forward<U>(args)...);
}

// Sends `sel` to `super.receiver`, looking the method up from
// `super.super_class` on (usually the superclass of the class whose method
// makes the call).
template <class Sig, class... U>
auto sendSuper(const objc_super& super, SEL sel, U&&... args) {
  using S = detail::Sender<Sig>;
  using R = typename detail::ResultOf<Sig>::type;
  if (super.receiver == nullptr) return detail::zeroValue<R>();
  return S::call(objc_lookUpImplementation(super.super_class, sel), super.receiver, sel,
                 std::forward<U>(args)...);
}

// Calls an implementation directly (a saved one, after a replacement), with
// the receiver, the selector and the arguments laid out for `Sig`. A null
// receiver or implementation runs nothing and gives a zero value.
template <class Sig, class Receiver, class... U>
auto callImplementation(IMP imp, const Receiver& receiver, SEL sel, U&&... args) {
  using S = detail::Sender<Sig>;
  using R = typename detail::ResultOf<Sig>::type;
  const id object = detail::toReceiver(receiver);
  if (object == nullptr || imp == nullptr) return detail::zeroValue<R>();
  return S::call(imp, object, sel, std::forward<U>(args)...);
}

// An implementation that runs `block(self, args...)` for a method of
// signature `Sig` (the selector is not passed, as with the platform's block
// implementations). It lives until `imp_removeBlock`.
template <class Sig, class F>
IMP imp_implementationWithBlock(F block) {
  return imp_implementationWithBlock(detail::TypedClosure<Sig>::adapt(std::move(block)));
}

}  // namespace objc
