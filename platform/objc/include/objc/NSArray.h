#pragma once

#include <initializer_list>
#include <vector>

#include "objc/NSObject.h"

namespace objc {

// An immutable ordered list of objects (never null elements: null is NSNull).
class NSArray : public NSObject {
 public:
  static Class classObject();

  // Raises NSInvalidArgumentException when an element is null.
  static Ref<NSArray> arrayWithObjects(std::vector<Ref<Object>> objects);
  static Ref<NSArray> array() { return arrayWithObjects({}); }

  NSUInteger count() const { return objects_.size(); }
  // Raises NSRangeException past the end.
  Ref<Object> objectAtIndex(NSUInteger index) const;
  const std::vector<Ref<Object>>& objects() const { return objects_; }

 protected:
  NSArray() = default;

 private:
  friend struct detail::InstanceAccess;
  friend struct NSArrayMethods;
  std::vector<Ref<Object>> objects_;
};

}  // namespace objc
