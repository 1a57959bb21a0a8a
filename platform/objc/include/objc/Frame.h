#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "objc/Runtime.h"

namespace objc {

// What a frame's return slot holds: nothing, an object (an owned +1
// reference the frame's owner releases), or plain bytes.
enum class ReturnKind : uint8_t { none, object, bytes };

namespace detail {
[[noreturn]] void frameOutOfRange(uint32_t offset, uint32_t size, uint32_t frameSize);
}  // namespace detail

// The arguments of one call, laid out from the method signature: the receiver
// at offset 0, the selector at 8, then each argument at the offset its type
// encoding gives (every argument advances by max(size, 4)); values are stored
// unaligned. Beside them, a return slot. A frame does not own its storage:
// the sender (a typed send or an NSInvocation) does.
//
// Object arguments are borrowed; an object in the return slot is owned (+1).
class Frame {
 public:
  Frame(const char* types, std::byte* arguments, uint32_t argumentsSize, void* returnSlot,
        uint32_t returnSize, ReturnKind returnKind) noexcept
      : types_(types),
        arguments_(arguments),
        argumentsSize_(argumentsSize),
        returnSlot_(static_cast<std::byte*>(returnSlot)),
        returnSize_(returnSize),
        returnKind_(returnKind) {}
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  // The method type encoding the frame was laid out from (may be null).
  const char* types() const noexcept { return types_; }
  std::byte* arguments() noexcept { return arguments_; }
  const std::byte* arguments() const noexcept { return arguments_; }
  uint32_t argumentsSize() const noexcept { return argumentsSize_; }

  id receiver() const { return read<id>(0); }
  void setReceiver(id receiver) { write<id>(0, receiver); }
  SEL selector() const { return read<SEL>(8); }
  void setSelector(SEL sel) { write<SEL>(8, sel); }

  // Reads a value at an offset; raises NSInvalidArgumentException when it
  // does not fit in the frame (a sender laid out for another signature).
  template <class T>
  T read(uint32_t offset) const {
    static_assert(std::is_trivially_copyable_v<T>);
    check(offset, sizeof(T));
    T value;
    std::memcpy(&value, arguments_ + offset, sizeof(T));
    return value;
  }
  template <class T>
  void write(uint32_t offset, const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    check(offset, sizeof(T));
    std::memcpy(arguments_ + offset, &value, sizeof(T));
  }

  ReturnKind returnKind() const noexcept { return returnKind_; }
  uint32_t returnSize() const noexcept { return returnSize_; }
  void* returnSlot() noexcept { return returnSlot_; }
  const void* returnSlot() const noexcept { return returnSlot_; }

  // Stores an object result, taking over the caller's +1 reference. When the
  // sender expects no object, the result is released at once.
  void setReturnObject(id retained) noexcept {
    if (returnKind_ != ReturnKind::object) {
      objc_release(retained);
      return;
    }
    id previous;
    std::memcpy(&previous, returnSlot_, sizeof(id));
    std::memcpy(returnSlot_, &retained, sizeof(id));
    objc_release(previous);
  }
  // Stores a plain result; only as many bytes as both sides have are copied,
  // and nothing when the sender expects an object or nothing.
  template <class T>
  void setReturnValue(const T& value) noexcept {
    static_assert(std::is_trivially_copyable_v<T>);
    if (returnKind_ != ReturnKind::bytes) return;
    std::memcpy(returnSlot_, &value, sizeof(T) < returnSize_ ? sizeof(T) : returnSize_);
  }

 private:
  void check(uint32_t offset, size_t size) const {
    if (offset > argumentsSize_ || size > argumentsSize_ - offset) {
      detail::frameOutOfRange(offset, static_cast<uint32_t>(size), argumentsSize_);
    }
  }

  const char* types_;
  std::byte* arguments_;
  uint32_t argumentsSize_;
  std::byte* returnSlot_;
  uint32_t returnSize_;
  ReturnKind returnKind_;
};

}  // namespace objc
