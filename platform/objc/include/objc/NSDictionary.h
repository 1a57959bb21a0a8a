#pragma once

#include <utility>
#include <vector>

#include "objc/NSObject.h"

namespace objc {

// An immutable map from objects to objects; keys are matched with their
// `isEqual:` and `hash` messages. Entries keep the order they were given in;
// a later entry with an equal key replaces an earlier one.
class NSDictionary : public NSObject {
 public:
  using Entry = std::pair<Ref<Object>, Ref<Object>>;

  static Class classObject();

  // Raises NSInvalidArgumentException when a key or a value is null.
  static Ref<NSDictionary> dictionaryWithEntries(std::vector<Entry> entries);
  static Ref<NSDictionary> dictionary() { return dictionaryWithEntries({}); }

  NSUInteger count() const { return entries_.size(); }
  // The value for a key equal to `key`, or null.
  Ref<Object> objectForKey(id key) const;
  std::vector<Ref<Object>> allKeys() const;
  const std::vector<Entry>& entries() const { return entries_; }

 protected:
  NSDictionary() = default;

 private:
  friend struct detail::InstanceAccess;
  friend struct NSDictionaryMethods;
  std::vector<Entry> entries_;
};

}  // namespace objc
