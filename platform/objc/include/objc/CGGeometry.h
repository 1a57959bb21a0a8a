#pragma once

#include <string_view>

#include "objc/Encoding.h"

namespace objc {

using CGFloat = double;

struct CGPoint {
  CGFloat x = 0;
  CGFloat y = 0;
  friend bool operator==(const CGPoint&, const CGPoint&) = default;
};

struct CGSize {
  CGFloat width = 0;
  CGFloat height = 0;
  friend bool operator==(const CGSize&, const CGSize&) = default;
};

struct CGRect {
  CGPoint origin;
  CGSize size;
  friend bool operator==(const CGRect&, const CGRect&) = default;
};

template <>
struct TypeEncoding<CGPoint> {
  static constexpr std::string_view value = "{CGPoint=dd}";
};
template <>
struct TypeEncoding<CGSize> {
  static constexpr std::string_view value = "{CGSize=dd}";
};
template <>
struct TypeEncoding<CGRect> {
  static constexpr std::string_view value = "{CGRect={CGPoint=dd}{CGSize=dd}}";
};

}  // namespace objc
