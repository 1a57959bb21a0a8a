#pragma once

#include <string>
#include <string_view>

#include "objc/NSObject.h"

namespace objc {

enum NSStringEncoding : NSUInteger {
  NSASCIIStringEncoding = 1,
  NSUTF8StringEncoding = 4,
};

// An immutable string object (UTF-8). C++ code passes text as std::string;
// NSString is what travels where an object is expected. Its accessors read
// the value directly.
class NSString : public NSObject {
 public:
  static Class classObject();

  static Ref<NSString> stringWithString(std::string_view text);
  // Null for a null pointer or bytes that are not UTF-8.
  static Ref<NSString> stringWithUTF8String(const char* text);
  // Null for a null pointer or bytes the encoding cannot hold (ASCII: above
  // 127; UTF-8: not UTF-8) and for other encodings.
  static Ref<NSString> stringWithCString(const char* text, NSStringEncoding encoding);

  const std::string& string() const { return value_; }
  const char* UTF8String() const { return value_.c_str(); }
  BOOL isEqualToString(const NSString* other) const;

 protected:
  NSString() = default;

 private:
  friend struct detail::InstanceAccess;
  friend struct NSStringMethods;
  std::string value_;
};

}  // namespace objc
