#include "objc/NSString.h"

#include <cstring>
#include <functional>

namespace objc {

namespace {

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isUTF8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t length;
    uint32_t codePoint;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2;
      codePoint = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      codePoint = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      codePoint = c & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (next & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

struct NSStringMethods {
  static Ref<NSString> description(NSString* self, SEL) { return Ref<NSString>(self); }
  static const char* utf8String(NSString* self, SEL) { return self->value_.c_str(); }
  static BOOL isEqual(NSString* self, SEL, Object* other) {
    auto* string = dynamic_cast<NSString*>(other);
    return string != nullptr && string->value_ == self->value_;
  }
  static NSUInteger hash(NSString* self, SEL) { return std::hash<std::string>()(self->value_); }
  static Ref<Object> copyWithZone(NSString* self, SEL, void*) { return Ref<Object>(self); }
};

Class NSString::classObject() {
  using M = NSStringMethods;
  static const Class cls = ClassBuilder<NSString>("NSString", NSObject::classObject())
                               .method("description", &M::description)
                               .method("UTF8String", &M::utf8String)
                               .method("isEqual:", &M::isEqual)
                               .method("hash", &M::hash)
                               .method("copyWithZone:", &M::copyWithZone)
                               .build();
  return cls;
}

Ref<NSString> NSString::stringWithString(std::string_view text) {
  Ref<NSString> string = dynamicCast<NSString>(class_createInstance(classObject()));
  string->value_ = std::string(text);
  return string;
}

Ref<NSString> NSString::stringWithUTF8String(const char* text) {
  return stringWithCString(text, NSUTF8StringEncoding);
}

Ref<NSString> NSString::stringWithCString(const char* text, NSStringEncoding encoding) {
  if (text == nullptr) return nullptr;
  const std::string_view view(text);
  switch (encoding) {
    case NSASCIIStringEncoding:
      for (char c : view) {
        if (static_cast<unsigned char>(c) > 127) return nullptr;
      }
      return stringWithString(view);
    case NSUTF8StringEncoding:
      return isUTF8(view) ? stringWithString(view) : nullptr;
  }
  return nullptr;
}

BOOL NSString::isEqualToString(const NSString* other) const {
  return other != nullptr && other->value_ == value_;
}

}  // namespace objc
