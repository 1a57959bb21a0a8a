#include "objc/NSValue.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>

#include "objc/NSException.h"
#include "objc/NSMethodSignature.h"
#include "objc/NSNumber.h"
#include "objc/NSString.h"

namespace objc {

// MARK: NSValue

struct NSValueMethods {
  static Ref<NSString> description(NSValue* self, SEL) {
    std::string text = "<";
    char hex[3];
    for (size_t i = 0; i < self->bytes_.size(); ++i) {
      if (i != 0 && i % 4 == 0) text += ' ';
      std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(self->bytes_[i]));
      text += hex;
    }
    return NSString::stringWithString(text + ">");
  }
  static BOOL isEqual(NSValue* self, SEL, Object* other) {
    auto* value = dynamic_cast<NSValue*>(other);
    return value != nullptr && self->isEqualToValue(value);
  }
  static NSUInteger hash(NSValue* self, SEL) {
    return std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char*>(self->bytes_.data()), self->bytes_.size()));
  }
  static Ref<Object> copyWithZone(NSValue* self, SEL, void*) { return Ref<Object>(self); }
  static const char* objCType(NSValue* self, SEL) { return self->objCType(); }
};

Class NSValue::classObject() {
  using M = NSValueMethods;
  static const Class cls = ClassBuilder<NSValue>("NSValue", NSObject::classObject())
                               .method("description", &M::description)
                               .method("isEqual:", &M::isEqual)
                               .method("hash", &M::hash)
                               .method("copyWithZone:", &M::copyWithZone)
                               .method("objCType", &M::objCType)
                               .build();
  return cls;
}

void NSValue::assign(const void* bytes, size_t size, std::string type) {
  bytes_.resize(size);
  if (size != 0) std::memcpy(bytes_.data(), bytes, size);
  type_ = std::move(type);
}

Ref<NSValue> NSValue::valueWithBytes(const void* value, const char* type) {
  if (value == nullptr || type == nullptr) return nullptr;
  NSUInteger size = 0;
  try {
    const char* end = NSGetSizeAndAlignment(type, &size, nullptr);
    if (*end != '\0') return nullptr;
  } catch (const Ref<NSException>&) {
    return nullptr;
  }
  Ref<NSValue> result = dynamicCast<NSValue>(class_createInstance(classObject()));
  result->assign(value, size, type);
  return result;
}

Ref<NSValue> NSValue::valueWithPointer(const void* pointer) {
  return valueWithBytes(&pointer, "^v");
}

Ref<NSValue> NSValue::valueWithNonretainedObject(id object) { return valueWithBytes(&object, "@"); }

void NSValue::getValue(void* buffer) const {
  if (!bytes_.empty()) std::memcpy(buffer, bytes_.data(), bytes_.size());
}

void NSValue::getValue(void* buffer, NSUInteger size) const {
  if (size != bytes_.size()) {
    NSException::raise(NSInvalidArgumentException,
                       "-[NSValue getValue:size:]: size " + std::to_string(size) +
                           " does not match the value's size " + std::to_string(bytes_.size()));
  }
  getValue(buffer);
}

const void* NSValue::pointerValue() const {
  const void* pointer = nullptr;
  if (bytes_.size() == sizeof pointer) std::memcpy(&pointer, bytes_.data(), sizeof pointer);
  return pointer;
}

id NSValue::nonretainedObjectValue() const {
  return static_cast<id>(const_cast<void*>(pointerValue()));
}

BOOL NSValue::isEqualToValue(const NSValue* other) const {
  if (other == nullptr) return NO;
  if (auto* number = dynamic_cast<const NSNumber*>(this)) {
    return number->isEqualToNumber(dynamic_cast<const NSNumber*>(other));
  }
  return type_ == other->type_ && bytes_ == other->bytes_;
}

// MARK: NSNumber

namespace {

const char* typeOf(NSNumber::Kind kind) {
  switch (kind) {
    case NSNumber::Kind::Char:
    case NSNumber::Kind::Bool:
      return "c";
    case NSNumber::Kind::UnsignedChar:
      return "C";
    case NSNumber::Kind::Short:
      return "s";
    case NSNumber::Kind::UnsignedShort:
      return "S";
    case NSNumber::Kind::Int:
      return "i";
    case NSNumber::Kind::UnsignedInt:
      return "I";
    case NSNumber::Kind::Long:
    case NSNumber::Kind::LongLong:
      return "q";
    case NSNumber::Kind::UnsignedLong:
    case NSNumber::Kind::UnsignedLongLong:
      return "Q";
    case NSNumber::Kind::Float:
      return "f";
    case NSNumber::Kind::Double:
      return "d";
  }
  return "i";
}

// A floating value as 64 integer bits: NaN is 0 and values outside the signed
// 64-bit range saturate at its limits (converting them is undefined in C++);
// narrower readers then wrap as C does.
uint64_t floatingBits(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 9223372036854775808.0) {
    return static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  }
  if (value < -9223372036854775808.0) {
    return static_cast<uint64_t>(std::numeric_limits<int64_t>::min());
  }
  return static_cast<uint64_t>(static_cast<int64_t>(value));
}

}  // namespace

struct NSNumberMethods {
  static Ref<NSString> description(NSNumber* self, SEL) {
    char text[64];
    switch (self->kind_) {
      case NSNumber::Kind::Float:
        std::snprintf(text, sizeof text, "%.7g", self->double_);
        break;
      case NSNumber::Kind::Double:
        std::snprintf(text, sizeof text, "%.16g", self->double_);
        break;
      default:
        if (self->isUnsigned()) {
          std::snprintf(text, sizeof text, "%llu",
                        static_cast<unsigned long long>(self->unsigned_));
        } else {
          std::snprintf(text, sizeof text, "%lld", static_cast<long long>(self->signed_));
        }
    }
    return NSString::stringWithString(text);
  }
  static BOOL isEqual(NSNumber* self, SEL, Object* other) {
    return self->isEqualToNumber(dynamic_cast<NSNumber*>(other));
  }
  static NSUInteger hash(NSNumber* self, SEL) {
    if (self->isFloating()) {
      const double d = self->double_;
      if (d == std::floor(d) && std::fabs(d) < 9.2e18) {
        return std::hash<int64_t>()(static_cast<int64_t>(d));
      }
      return std::hash<double>()(d);
    }
    return std::hash<int64_t>()(static_cast<int64_t>(self->bits()));
  }
  static int intValue(NSNumber* self, SEL) { return self->intValue(); }
  static long long longLongValue(NSNumber* self, SEL) { return self->longLongValue(); }
  static double doubleValue(NSNumber* self, SEL) { return self->doubleValue(); }
  static BOOL boolValue(NSNumber* self, SEL) { return self->boolValue(); }
};

Class NSNumber::classObject() {
  using M = NSNumberMethods;
  static const Class cls = ClassBuilder<NSNumber>("NSNumber", NSValue::classObject())
                               .method("description", &M::description)
                               .method("isEqual:", &M::isEqual)
                               .method("hash", &M::hash)
                               .method("intValue", &M::intValue)
                               .method("longLongValue", &M::longLongValue)
                               .method("doubleValue", &M::doubleValue)
                               .method("boolValue", &M::boolValue)
                               .build();
  return cls;
}

template <class T>
Ref<NSNumber> NSNumber::make(Kind kind, T value) {
  Ref<NSNumber> number = dynamicCast<NSNumber>(class_createInstance(classObject()));
  number->kind_ = kind;
  if constexpr (std::is_floating_point_v<T>) {
    number->double_ = value;
  } else if constexpr (std::is_signed_v<T>) {
    number->signed_ = value;
    number->unsigned_ = static_cast<uint64_t>(static_cast<int64_t>(value));
  } else {
    number->unsigned_ = value;
    number->signed_ = static_cast<int64_t>(static_cast<uint64_t>(value));
  }
  number->assign(&value, sizeof value, typeOf(kind));
  return number;
}

Ref<NSNumber> NSNumber::numberWithChar(char value) { return make(Kind::Char, value); }
Ref<NSNumber> NSNumber::numberWithUnsignedChar(unsigned char value) {
  return make(Kind::UnsignedChar, value);
}
Ref<NSNumber> NSNumber::numberWithShort(short value) { return make(Kind::Short, value); }
Ref<NSNumber> NSNumber::numberWithUnsignedShort(unsigned short value) {
  return make(Kind::UnsignedShort, value);
}
Ref<NSNumber> NSNumber::numberWithInt(int value) { return make(Kind::Int, value); }
Ref<NSNumber> NSNumber::numberWithUnsignedInt(unsigned int value) {
  return make(Kind::UnsignedInt, value);
}
Ref<NSNumber> NSNumber::numberWithLong(long value) { return make(Kind::Long, value); }
Ref<NSNumber> NSNumber::numberWithUnsignedLong(unsigned long value) {
  return make(Kind::UnsignedLong, value);
}
Ref<NSNumber> NSNumber::numberWithLongLong(long long value) { return make(Kind::LongLong, value); }
Ref<NSNumber> NSNumber::numberWithUnsignedLongLong(unsigned long long value) {
  return make(Kind::UnsignedLongLong, value);
}
Ref<NSNumber> NSNumber::numberWithFloat(float value) { return make(Kind::Float, value); }
Ref<NSNumber> NSNumber::numberWithDouble(double value) { return make(Kind::Double, value); }
Ref<NSNumber> NSNumber::numberWithBool(BOOL value) {
  // Stored as the char 0 or 1, as a BOOL number's "c" type says.
  return make(Kind::Bool, static_cast<char>(value ? 1 : 0));
}

bool NSNumber::isUnsigned() const {
  switch (kind_) {
    case Kind::UnsignedChar:
    case Kind::UnsignedShort:
    case Kind::UnsignedInt:
    case Kind::UnsignedLong:
    case Kind::UnsignedLongLong:
      return true;
    default:
      return false;
  }
}

uint64_t NSNumber::bits() const { return isFloating() ? floatingBits(double_) : unsigned_; }

double NSNumber::doubleValue() const {
  if (isFloating()) return double_;
  return isUnsigned() ? static_cast<double>(unsigned_) : static_cast<double>(signed_);
}

BOOL NSNumber::boolValue() const { return isFloating() ? double_ != 0 : unsigned_ != 0; }

BOOL NSNumber::isEqualToNumber(const NSNumber* other) const {
  if (other == nullptr) return NO;
  if (isFloating() || other->isFloating()) return doubleValue() == other->doubleValue();
  // Integers compare by value across signedness: a negative signed value
  // never equals an unsigned one.
  const bool negativeA = !isUnsigned() && signed_ < 0;
  const bool negativeB = !other->isUnsigned() && other->signed_ < 0;
  return negativeA == negativeB && unsigned_ == other->unsigned_;
}

}  // namespace objc
