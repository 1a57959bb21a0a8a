#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ZozIduvur/DUZEAbstractLog.h"
#include "ZozIduvur/DUZETypedProperty.h"
#include "base/Mutex.h"
#include "dispatch/Time.h"

// The typed properties of one event, by key (enumerated in key order). The
// setters check their arguments, log why they refuse one, and answer the
// receiver either way so that calls can be chained. Thread-safe: every
// access takes the set's lock.
class DUZEEventProperties : public foundation::NSCoding {
  DUZE_CLASS_NAME("DUZEEventProperties")

 public:
  using Map = std::map<std::string, std::shared_ptr<DUZETypedProperty>>;

  DUZEEventProperties() = default;
  static std::shared_ptr<DUZEEventProperties> create() {
    return std::make_shared<DUZEEventProperties>();
  }
  // One string property per entry, named by its key, the value as given; no
  // checks are made.
  static std::shared_ptr<DUZEEventProperties> createWithStringDictionary(
      const DUZEProperties& properties);

  // Each setter stores a new property of its kind under the key (replacing
  // one stored there) when the key is present and the value acceptable.
  DUZEEventProperties& setString(const std::optional<std::string>& value,
                                 const std::optional<std::string>& key);
  // Refuses NaN and the infinities.
  DUZEEventProperties& setDouble(double value, const std::optional<std::string>& key);
  DUZEEventProperties& setInt64(int64_t value, const std::optional<std::string>& key);
  DUZEEventProperties& setBool(bool value, const std::optional<std::string>& key);
  DUZEEventProperties& setDate(const std::optional<dispatch::Date>& value,
                               const std::optional<std::string>& key);

  // The serialised properties ("type", "name", "value" each), in key order.
  nlohmann::ordered_json serializeToArray() const;
  bool isEmpty() const;
  size_t count() const;
  // Adds every property of `other`; `other`'s wins on equal keys.
  void mergeEventProperties(const DUZEEventProperties& other);

  // A copy of the dictionary (the property objects are shared).
  Map properties() const;
  std::shared_ptr<DUZETypedProperty> propertyForKey(const std::string& key) const;
  // Stores `property` under `key` as it is (no checks).
  void setTypedProperty(std::shared_ptr<DUZETypedProperty> property, const std::string& key);
  // Removes the key; answers whether it was there.
  bool removePropertyForKey(const std::string& key);

  // A key must be present: "Key cannot be null. Property will not be
  // added." otherwise (error level, analytics tag).
  static bool validateKey(const std::optional<std::string>& key);
  // A value must be present: "Value cannot be null. Property will not be
  // added." otherwise (error level, analytics tag).
  template <class T>
  static bool validateValue(const std::optional<T>& value) {
    return validateValuePresence(value.has_value());
  }

  // NSCoding: both dictionaries absent or equal, property by property.
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;

 private:
  static bool validateValuePresence(bool present);
  void store(std::shared_ptr<DUZETypedProperty> property, const std::string& key);

  mutable base::Mutex mutex_;
  Map properties_ KX_GUARDED_BY(mutex_);
};
