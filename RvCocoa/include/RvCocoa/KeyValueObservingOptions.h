#pragma once

#include <initializer_list>
#include <optional>
#include <utility>

#include "objc/NSKeyValueObserving.h"
#include "objc/Runtime.h"

namespace rv {

// Which key-value notifications a KVO sequence asks for: `initial` (one
// element at once, with the current value) and `newValue` (the new value
// with each change). A set over its raw word.
struct KeyValueObservingOptions {
  static constexpr objc::NSUInteger kInitialBit = 1;
  static constexpr objc::NSUInteger kNewBit = 2;

  objc::NSUInteger rawValue = 0;

  constexpr KeyValueObservingOptions() = default;
  constexpr explicit KeyValueObservingOptions(objc::NSUInteger raw) : rawValue(raw) {}
  // The union of the members (`{KeyValueObservingOptions::initial, ...}`).
  constexpr KeyValueObservingOptions(std::initializer_list<KeyValueObservingOptions> members) {
    for (KeyValueObservingOptions member : members) rawValue |= member.rawValue;
  }

  static const KeyValueObservingOptions initial;
  static const KeyValueObservingOptions newValue;

  constexpr bool isEmpty() const { return rawValue == 0; }
  constexpr bool contains(KeyValueObservingOptions member) const {
    return (rawValue & member.rawValue) == member.rawValue;
  }
  constexpr KeyValueObservingOptions unionWith(KeyValueObservingOptions other) const {
    return KeyValueObservingOptions(rawValue | other.rawValue);
  }
  constexpr KeyValueObservingOptions intersection(KeyValueObservingOptions other) const {
    return KeyValueObservingOptions(rawValue & other.rawValue);
  }
  constexpr KeyValueObservingOptions symmetricDifference(KeyValueObservingOptions other) const {
    return KeyValueObservingOptions(rawValue ^ other.rawValue);
  }
  constexpr KeyValueObservingOptions subtracting(KeyValueObservingOptions other) const {
    return KeyValueObservingOptions(rawValue & ~other.rawValue);
  }

  // Adds `member`; answers whether it was new, and the member.
  constexpr std::pair<bool, KeyValueObservingOptions> insert(KeyValueObservingOptions member) {
    const bool inserted = !contains(member);
    rawValue |= member.rawValue;
    return {inserted, member};
  }
  // Removes `member`'s bits; answers the bits that were present, or nothing
  // when none was.
  constexpr std::optional<KeyValueObservingOptions> remove(KeyValueObservingOptions member) {
    const KeyValueObservingOptions present = intersection(member);
    rawValue &= ~member.rawValue;
    if (present.isEmpty()) return std::nullopt;
    return present;
  }
  // Adds `member`'s bits; answers those that were already present, or
  // nothing when none was.
  constexpr std::optional<KeyValueObservingOptions> update(KeyValueObservingOptions member) {
    const KeyValueObservingOptions present = intersection(member);
    rawValue |= member.rawValue;
    if (present.isEmpty()) return std::nullopt;
    return present;
  }

  // The platform's options: `newValue` becomes NSKeyValueObservingOptionNew
  // (1), `initial` NSKeyValueObservingOptionInitial (4); other bits are
  // dropped.
  constexpr objc::NSUInteger platformOptions() const {
    objc::NSUInteger options = 0;
    if ((rawValue & kNewBit) != 0) options |= objc::NSKeyValueObservingOptionNew;
    if ((rawValue & kInitialBit) != 0) options |= objc::NSKeyValueObservingOptionInitial;
    return options;
  }

  friend constexpr bool operator==(KeyValueObservingOptions, KeyValueObservingOptions) = default;
  friend constexpr KeyValueObservingOptions operator|(KeyValueObservingOptions a,
                                                      KeyValueObservingOptions b) {
    return a.unionWith(b);
  }
  friend constexpr KeyValueObservingOptions operator&(KeyValueObservingOptions a,
                                                      KeyValueObservingOptions b) {
    return a.intersection(b);
  }
  friend constexpr KeyValueObservingOptions operator^(KeyValueObservingOptions a,
                                                      KeyValueObservingOptions b) {
    return a.symmetricDifference(b);
  }
};

inline constexpr KeyValueObservingOptions KeyValueObservingOptions::initial{kInitialBit};
inline constexpr KeyValueObservingOptions KeyValueObservingOptions::newValue{kNewBit};

}  // namespace rv
