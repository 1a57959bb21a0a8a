#pragma once

// Key-value coding and observing on the runtime (the messages are NSObject's:
// `valueForKey`, `setValue`, `addObserver`, `removeObserver`,
// `willChangeValueForKey`, `didChangeValueForKey`).
//
// Coding: `valueForKey:` sends the getter `key` (else `isKey`) and boxes a
// plain result (NSNumber for numbers and BOOL, NSValue for anything else);
// `setValue:forKey:` sends `setKey:`, unboxing the value for the setter's
// argument type. Unknown keys raise NSUndefinedKeyException; nil for a plain
// argument raises NSInvalidArgumentException (`setNilValueForKey:`).
//
// Observing: `addObserver:forKeyPath:options:context:` moves the object into
// a subclass of its class named "NSKVONotifying_" + the class name, made once
// per class. That subclass reports the original class to `class`, answers YES
// to `_isKVOA`, and overrides the setter of every observed key so a change
// sends `willChangeValueForKey:` / `didChangeValueForKey:` around the real
// setter. `didChangeValueForKey:` sends every observer of the key
// `observeValueForKeyPath:ofObject:change:context:` on the changing thread,
// with a change dictionary holding NSKeyValueChangeKindKey (setting) and,
// with NSKeyValueObservingOptionNew, NSKeyValueChangeNewKey (NSNull for nil).
// NSKeyValueObservingOptionInitial sends one notification from inside the
// registration. Observers are not retained; one that is gone is skipped.
// Key paths are single keys: a path with "." raises NSInvalidArgumentException.

#include <functional>
#include <string>

#include "base/Mutex.h"
#include "objc/NSDictionary.h"
#include "objc/NSObject.h"

namespace objc {

enum NSKeyValueObservingOptions : NSUInteger {
  NSKeyValueObservingOptionNew = 0x01,
  NSKeyValueObservingOptionOld = 0x02,
  NSKeyValueObservingOptionInitial = 0x04,
  NSKeyValueObservingOptionPrior = 0x08,
};

enum NSKeyValueChange : NSUInteger {
  NSKeyValueChangeSetting = 1,
};

inline constexpr const char* NSKeyValueChangeKindKey = "kind";
inline constexpr const char* NSKeyValueChangeNewKey = "new";
inline constexpr const char* NSUndefinedKeyException = "NSUnknownKeyException";

// The value under `key` in a change dictionary, or null.
Ref<Object> changeValue(NSDictionary* change, const char* key);

// A block-based observation: `handler(object, change)` runs for each
// notification until `invalidate` (or until the observation is deallocated,
// which invalidates it). Holds the observed object weakly.
class NSKeyValueObservation final : public NSObject {
 public:
  using Handler = std::function<void(id object, NSDictionary* change)>;

  static Class classObject();
  // Registers the observation; with NSKeyValueObservingOptionInitial the
  // handler runs before this returns.
  static Ref<NSKeyValueObservation> observe(id object, const std::string& keyPath,
                                            NSUInteger options, Handler handler);

  // Removes the registration; later calls do nothing.
  void invalidate();

 private:
  friend struct detail::InstanceAccess;
  friend struct NSKeyValueObservationMethods;
  NSKeyValueObservation() = default;

  base::Mutex mutex_;
  Weak<Object> object_ KX_GUARDED_BY(mutex_);
  std::string keyPath_ KX_GUARDED_BY(mutex_);
  Handler handler_ KX_GUARDED_BY(mutex_);
  bool valid_ KX_GUARDED_BY(mutex_) = false;
};

}  // namespace objc
