#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "objc/Encoding.h"
#include "objc/NSObject.h"

namespace objc {

// A value of any encodable type: its bytes and its type encoding. Equal
// values have equal encodings and equal bytes (a pointer value therefore
// compares by identity).
class NSValue : public NSObject {
 public:
  static Class classObject();

  // Copies the bytes of one value of type `type` (its size from
  // NSGetSizeAndAlignment). Null for a null pointer or a malformed type.
  static Ref<NSValue> valueWithBytes(const void* value, const char* type);
  template <class T>
  static Ref<NSValue> valueWithValue(const T& value) {
    return valueWithBytes(&value, encode<T>());
  }
  // "^v" holding the pointer.
  static Ref<NSValue> valueWithPointer(const void* pointer);
  // "@" holding the object unretained: the value does not keep it alive.
  static Ref<NSValue> valueWithNonretainedObject(id object);

  const char* objCType() const { return type_.c_str(); }
  NSUInteger size() const { return bytes_.size(); }
  // Copies all the value's bytes to `buffer`.
  void getValue(void* buffer) const;
  // Copies the bytes when `size` is the value's size; raises
  // NSInvalidArgumentException otherwise.
  void getValue(void* buffer, NSUInteger size) const;
  const void* pointerValue() const;
  id nonretainedObjectValue() const;
  BOOL isEqualToValue(const NSValue* other) const;

 protected:
  NSValue() = default;
  void assign(const void* bytes, size_t size, std::string type);

 private:
  friend struct detail::InstanceAccess;
  friend struct NSValueMethods;
  std::vector<std::byte> bytes_;
  std::string type_;
};

}  // namespace objc
