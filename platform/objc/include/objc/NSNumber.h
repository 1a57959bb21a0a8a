#pragma once

#include <cstdint>

#include "objc/NSValue.h"

namespace objc {

// A number that remembers how it was made: its kind decides `objCType`
// ("c" for char and BOOL, "C", "s", "S", "i", "I", "q" for long and long long,
// "Q", "f", "d"). Accessors convert as C converts integers (wrapping to the
// narrower width); floating values outside the signed 64-bit range saturate
// at its limits first, and NaN reads as 0.
class NSNumber : public NSValue {
 public:
  enum class Kind {
    Char,
    UnsignedChar,
    Short,
    UnsignedShort,
    Int,
    UnsignedInt,
    Long,
    UnsignedLong,
    LongLong,
    UnsignedLongLong,
    Float,
    Double,
    Bool,
  };

  static Class classObject();

  static Ref<NSNumber> numberWithChar(char value);
  static Ref<NSNumber> numberWithUnsignedChar(unsigned char value);
  static Ref<NSNumber> numberWithShort(short value);
  static Ref<NSNumber> numberWithUnsignedShort(unsigned short value);
  static Ref<NSNumber> numberWithInt(int value);
  static Ref<NSNumber> numberWithUnsignedInt(unsigned int value);
  static Ref<NSNumber> numberWithLong(long value);
  static Ref<NSNumber> numberWithUnsignedLong(unsigned long value);
  static Ref<NSNumber> numberWithLongLong(long long value);
  static Ref<NSNumber> numberWithUnsignedLongLong(unsigned long long value);
  static Ref<NSNumber> numberWithFloat(float value);
  static Ref<NSNumber> numberWithDouble(double value);
  static Ref<NSNumber> numberWithBool(BOOL value);
  static Ref<NSNumber> numberWithInteger(NSInteger value) { return numberWithLong(value); }
  static Ref<NSNumber> numberWithUnsignedInteger(NSUInteger value) {
    return numberWithUnsignedLong(value);
  }

  Kind kind() const { return kind_; }

  char charValue() const { return static_cast<char>(bits()); }
  unsigned char unsignedCharValue() const { return static_cast<unsigned char>(bits()); }
  short shortValue() const { return static_cast<short>(bits()); }
  unsigned short unsignedShortValue() const { return static_cast<unsigned short>(bits()); }
  int intValue() const { return static_cast<int>(bits()); }
  unsigned int unsignedIntValue() const { return static_cast<unsigned int>(bits()); }
  long longValue() const { return static_cast<long>(bits()); }
  unsigned long unsignedLongValue() const { return static_cast<unsigned long>(bits()); }
  long long longLongValue() const { return static_cast<long long>(bits()); }
  unsigned long long unsignedLongLongValue() const { return bits(); }
  NSInteger integerValue() const { return longValue(); }
  NSUInteger unsignedIntegerValue() const { return unsignedLongValue(); }
  float floatValue() const { return static_cast<float>(doubleValue()); }
  double doubleValue() const;
  BOOL boolValue() const;

  BOOL isEqualToNumber(const NSNumber* other) const;

 protected:
  NSNumber() = default;

 private:
  friend struct detail::InstanceAccess;
  friend struct NSNumberMethods;
  template <class T>
  static Ref<NSNumber> make(Kind kind, T value);
  bool isFloating() const { return kind_ == Kind::Float || kind_ == Kind::Double; }
  bool isUnsigned() const;
  // The value as 64 bits, in two's complement for signed kinds.
  uint64_t bits() const;

  Kind kind_ = Kind::Int;
  int64_t signed_ = 0;
  uint64_t unsigned_ = 0;
  double double_ = 0;
};

}  // namespace objc
