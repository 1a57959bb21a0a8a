#pragma once

// Type encodings made from C++ types at compile time. A method's encoding is
// the return type, the frame size, then every argument with its offset: the
// receiver at 0, the selector at 8, and each further argument advancing by
// max(size, 4). A method `void f(id, char)` is "v28@0:8@16c24".
//
// Struct types get their encoding by specialising `objc::TypeEncoding`:
//   template <> struct objc::TypeEncoding<CGPoint> {
//     static constexpr std::string_view value = "{CGPoint=dd}";
//   };

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "objc/Frame.h"
#include "objc/Ref.h"
#include "objc/Runtime.h"

namespace objc {

template <class T>
struct TypeEncoding;

#define OBJC_DETAIL_ENCODING(type, text)            \
  template <>                                       \
  struct TypeEncoding<type> {                       \
    static constexpr std::string_view value = text; \
  }
OBJC_DETAIL_ENCODING(void, "v");
OBJC_DETAIL_ENCODING(bool, "B");
OBJC_DETAIL_ENCODING(char, "c");
OBJC_DETAIL_ENCODING(signed char, "c");
OBJC_DETAIL_ENCODING(unsigned char, "C");
OBJC_DETAIL_ENCODING(short, "s");
OBJC_DETAIL_ENCODING(unsigned short, "S");
OBJC_DETAIL_ENCODING(int, "i");
OBJC_DETAIL_ENCODING(unsigned int, "I");
OBJC_DETAIL_ENCODING(long, "q");
OBJC_DETAIL_ENCODING(unsigned long, "Q");
OBJC_DETAIL_ENCODING(long long, "q");
OBJC_DETAIL_ENCODING(unsigned long long, "Q");
OBJC_DETAIL_ENCODING(float, "f");
OBJC_DETAIL_ENCODING(double, "d");
OBJC_DETAIL_ENCODING(long double, "D");
#undef OBJC_DETAIL_ENCODING

namespace detail {

template <class T>
struct IsRef : std::false_type {};
template <class T>
struct IsRef<Ref<T>> : std::true_type {};

// A pointer to an object of the runtime. Selectors and implementations are
// excluded first: their pointee types are not defined in public headers.
template <class T>
concept ObjectPointer = std::is_pointer_v<T> && !std::is_same_v<std::remove_cv_t<T>, SEL> &&
                        !std::is_same_v<std::remove_cv_t<T>, IMP> &&
                        std::is_class_v<std::remove_cv_t<std::remove_pointer_t<T>>> &&
                        std::is_base_of_v<Object, std::remove_cv_t<std::remove_pointer_t<T>>>;

// A pointer whose encoding is "^" and its pointee's.
template <class T>
concept PlainPointer =
    std::is_pointer_v<T> && !ObjectPointer<T> && !std::is_same_v<T, SEL> &&
    !std::is_same_v<T, IMP> && !std::is_same_v<T, const char*> && !std::is_same_v<T, char*>;

// Objects whose encoding is "@?" (closures on the runtime) say so with a
// static member `kIsBlockObject`.
template <class T>
concept BlockPointer = ObjectPointer<T> && requires {
  std::remove_pointer_t<T>::kIsBlockObject;
};

// A value that travels through a frame as an object pointer (classes are
// plain values: they live for the whole process).
template <class T>
concept ObjectLike =
    (ObjectPointer<T> && !std::is_same_v<std::remove_cv_t<T>, Class>) || IsRef<T>::value;

template <size_t N>
struct FixedText {
  std::array<char, N + 1> chars{};
  constexpr std::string_view view() const { return std::string_view(chars.data(), N); }
};

template <size_t A, size_t B>
constexpr FixedText<A + B> concat(std::string_view a, std::string_view b) {
  FixedText<A + B> out;
  for (size_t i = 0; i < A; ++i) out.chars[i] = a[i];
  for (size_t i = 0; i < B; ++i) out.chars[A + i] = b[i];
  return out;
}

template <class T>
struct EncodingOf;

template <class T>
constexpr std::string_view encodingOf() {
  using U = std::remove_cv_t<T>;
  return EncodingOf<U>::value;
}

template <class T>
struct EncodingOf {
  static constexpr std::string_view compute() {
    if constexpr (std::is_same_v<T, SEL>) {
      return ":";
    } else if constexpr (std::is_same_v<T, Class>) {
      return "#";
    } else if constexpr (std::is_same_v<T, IMP>) {
      return "^?";
    } else if constexpr (std::is_same_v<T, const char*>) {
      return "r*";
    } else if constexpr (std::is_same_v<T, char*>) {
      return "*";
    } else if constexpr (IsRef<T>::value) {
      return encodingOf<typename T::element_type*>();
    } else if constexpr (BlockPointer<T>) {
      return "@?";
    } else if constexpr (ObjectPointer<T>) {
      return "@";
    } else if constexpr (std::is_enum_v<T>) {
      return encodingOf<std::underlying_type_t<T>>();
    } else if constexpr (std::is_pointer_v<T>) {
      return pointer.view();
    } else {
      return TypeEncoding<T>::value;
    }
  }

  static constexpr auto makePointer() {
    if constexpr (PlainPointer<T>) {
      using Pointee = std::remove_pointer_t<T>;
      constexpr std::string_view prefix = std::is_const_v<Pointee> ? "r^" : "^";
      constexpr std::string_view inner = encodingOf<std::remove_cv_t<Pointee>>();
      return concat<prefix.size(), inner.size()>(prefix, inner);
    } else {
      return FixedText<0>{};
    }
  }
  static constexpr auto pointer = makePointer();
  static constexpr std::string_view value = compute();
};

template <>
struct EncodingOf<void> {
  static constexpr std::string_view value = "v";
};

// How a declared argument type sits in a frame.
template <class T>
struct ArgumentTraits {
  static_assert(!std::is_reference_v<T>, "message arguments are passed by value");
  using Storage = std::conditional_t<ObjectLike<T>, id, T>;
  static_assert(std::is_trivially_copyable_v<Storage>,
                "message arguments must be trivially copyable values or objects");
  static constexpr std::string_view encoding = encodingOf<T>();
  static constexpr uint32_t slot = sizeof(Storage) < 4 ? 4 : static_cast<uint32_t>(sizeof(Storage));

  static T read(const Frame& frame, uint32_t offset) {
    if constexpr (IsRef<T>::value) {
      return T(static_cast<typename T::element_type*>(frame.read<id>(offset)));
    } else if constexpr (ObjectLike<T>) {
      return static_cast<T>(frame.read<id>(offset));
    } else {
      return frame.read<T>(offset);
    }
  }

  template <class U>
  static Storage toStorage(U&& value) {
    using V = std::remove_cvref_t<U>;
    if constexpr (ObjectLike<T>) {
      if constexpr (std::is_same_v<V, std::nullptr_t>) {
        return nullptr;
      } else if constexpr (IsRef<V>::value) {
        return toObject(value.get());
      } else {
        return toObject(value);
      }
    } else {
      return static_cast<T>(std::forward<U>(value));
    }
  }

 private:
  template <class P>
  static id toObject(P* pointer) {
    if constexpr (IsRef<T>::value) {
      typename T::element_type* typed = pointer;
      return typed;
    } else {
      T typed = pointer;
      return typed;
    }
  }
};

// How a declared return type comes back through a frame's return slot.
template <class R>
struct ReturnTraits {
  static constexpr ReturnKind kind = std::is_void_v<R> ? ReturnKind::none
                                     : ObjectLike<R>   ? ReturnKind::object
                                                       : ReturnKind::bytes;
  static constexpr uint32_t size = []() -> uint32_t {
    if constexpr (std::is_void_v<R>) {
      return 0;
    } else if constexpr (ObjectLike<R>) {
      return sizeof(id);
    } else {
      return sizeof(R);
    }
  }();
  static constexpr std::string_view encoding = encodingOf<R>();

  // Hands a method's result to the frame (objects are retained for it).
  template <class V>
  static void store(Frame& frame, V&& value) {
    if constexpr (IsRef<R>::value) {
      frame.setReturnObject(Ref<typename R::element_type>(std::forward<V>(value)).detach());
    } else if constexpr (ObjectLike<R>) {
      id object = value;
      frame.setReturnObject(objc_retain(object));
    } else {
      static_assert(std::is_trivially_copyable_v<R>, "results must be trivially copyable");
      frame.setReturnValue<R>(static_cast<R>(std::forward<V>(value)));
    }
  }
};

template <size_t N>
struct EncodingBuffer {
  char chars[N] = {};
  size_t length = 0;

  constexpr void append(std::string_view text) {
    for (char c : text) chars[length++] = c;
  }
  constexpr void appendNumber(uint32_t n) {
    char digits[10] = {};
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + n % 10);
      n /= 10;
    } while (n != 0);
    while (count > 0) chars[length++] = digits[--count];
  }
};

}  // namespace detail

// The layout and encoding of a method signature `R(Args...)` (receiver and
// selector implied).
template <class Sig>
struct MethodSignatureOf;

template <class R, class... Args>
struct MethodSignatureOf<R(Args...)> {
  static constexpr size_t kArgumentCount = sizeof...(Args) + 2;
  static constexpr std::array<uint32_t, kArgumentCount> offsets = [] {
    std::array<uint32_t, kArgumentCount> out{};
    const uint32_t slots[] = {8u, 8u, detail::ArgumentTraits<Args>::slot...};
    uint32_t offset = 0;
    for (size_t i = 0; i < kArgumentCount; ++i) {
      out[i] = offset;
      offset += slots[i];
    }
    return out;
  }();
  static constexpr uint32_t frameSize = [] {
    uint32_t size = 16;
    ((size += detail::ArgumentTraits<Args>::slot), ...);
    return size;
  }();

 private:
  static constexpr detail::EncodingBuffer<512> build() {
    detail::EncodingBuffer<512> b;
    b.append(detail::ReturnTraits<R>::encoding);
    b.appendNumber(frameSize);
    b.append("@");
    b.appendNumber(0);
    b.append(":");
    b.appendNumber(8);
    size_t index = 2;
    ((b.append(detail::ArgumentTraits<Args>::encoding), b.appendNumber(offsets[index++])), ...);
    return b;
  }
  static constexpr size_t kLength = build().length;

 public:
  static constexpr std::array<char, kLength + 1> encoding = [] {
    std::array<char, kLength + 1> out{};
    const auto b = build();
    for (size_t i = 0; i < kLength; ++i) out[i] = b.chars[i];
    return out;
  }();
  static constexpr const char* types() { return encoding.data(); }
};

// The encoding of one type ("@encode"), e.g. encode<CGRect>().
template <class T>
constexpr const char* encode() {
  return detail::encodingOf<T>().data();
}

// The encoding of a method signature, e.g. methodEncoding<void(id, char)>()
// is "v28@0:8@16c24".
template <class Sig>
constexpr const char* methodEncoding() {
  return MethodSignatureOf<Sig>::types();
}

}  // namespace objc
