#include "ZozIduvurAnalytics/DUZEEventProperties.h"

#include <cmath>

#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsConstants.h"
#include "foundation/KeyedArchive.h"

namespace {

// The key the dictionary is archived under.
constexpr std::string_view kArchiveKey = "properties";

template <class P, class V>
std::shared_ptr<DUZETypedProperty> makeProperty(const std::string& key, V value) {
  auto property = P::create();
  property->setName(key);
  property->setValue(std::move(value));
  return property;
}

}  // namespace

// Fills the new object before any other thread can see it, so without its lock.
std::shared_ptr<DUZEEventProperties> DUZEEventProperties::createWithStringDictionary(
    const DUZEProperties& properties) KX_NO_THREAD_SAFETY_ANALYSIS {
  auto out = create();
  for (const auto& [key, value] : properties) {
    out->properties_[key] = makeProperty<DUZEStringTypedProperty>(key, std::optional(value));
  }
  return out;
}

bool DUZEEventProperties::validateKey(const std::optional<std::string>& key) {
  if (key) return true;
  DUZELogError(kDUZEAnalyticsLogTag, "Key cannot be null. Property will not be added.");
  return false;
}

bool DUZEEventProperties::validateValuePresence(bool present) {
  if (present) return true;
  DUZELogError(kDUZEAnalyticsLogTag, "Value cannot be null. Property will not be added.");
  return false;
}

void DUZEEventProperties::store(std::shared_ptr<DUZETypedProperty> property,
                                const std::string& key) {
  base::LockGuard lock(mutex_);
  properties_[key] = std::move(property);
}

DUZEEventProperties& DUZEEventProperties::setString(const std::optional<std::string>& value,
                                                    const std::optional<std::string>& key) {
  if (validateKey(key) && validateValue(value)) {
    store(makeProperty<DUZEStringTypedProperty>(*key, value), *key);
  }
  return *this;
}

DUZEEventProperties& DUZEEventProperties::setDouble(double value,
                                                    const std::optional<std::string>& key) {
  if (!validateKey(key)) return *this;
  if (!std::isfinite(value)) {
    DUZELogError(kDUZEAnalyticsLogTag,
                 "Double value for property '%@' must be finite (cannot be INFINITY or NAN).",
                 *key);
    return *this;
  }
  store(makeProperty<DUZEDoubleTypedProperty>(*key, value), *key);
  return *this;
}

DUZEEventProperties& DUZEEventProperties::setInt64(int64_t value,
                                                   const std::optional<std::string>& key) {
  if (validateKey(key)) store(makeProperty<DUZELongTypedProperty>(*key, value), *key);
  return *this;
}

DUZEEventProperties& DUZEEventProperties::setBool(bool value,
                                                  const std::optional<std::string>& key) {
  if (validateKey(key)) store(makeProperty<DUZEBooleanTypedProperty>(*key, value), *key);
  return *this;
}

DUZEEventProperties& DUZEEventProperties::setDate(const std::optional<dispatch::Date>& value,
                                                  const std::optional<std::string>& key) {
  if (validateKey(key) && validateValue(value)) {
    store(makeProperty<DUZEDateTimeTypedProperty>(*key, value), *key);
  }
  return *this;
}

nlohmann::ordered_json DUZEEventProperties::serializeToArray() const {
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  base::LockGuard lock(mutex_);
  for (const auto& [key, property] : properties_) out.push_back(property->serializeToDictionary());
  return out;
}

bool DUZEEventProperties::isEmpty() const {
  base::LockGuard lock(mutex_);
  return properties_.empty();
}

size_t DUZEEventProperties::count() const {
  base::LockGuard lock(mutex_);
  return properties_.size();
}

void DUZEEventProperties::mergeEventProperties(const DUZEEventProperties& other) {
  if (&other == this) return;
  const Map incoming = other.properties();
  base::LockGuard lock(mutex_);
  for (const auto& [key, property] : incoming) properties_[key] = property;
}

DUZEEventProperties::Map DUZEEventProperties::properties() const {
  base::LockGuard lock(mutex_);
  return properties_;
}

std::shared_ptr<DUZETypedProperty> DUZEEventProperties::propertyForKey(
    const std::string& key) const {
  base::LockGuard lock(mutex_);
  auto it = properties_.find(key);
  return it == properties_.end() ? nullptr : it->second;
}

void DUZEEventProperties::setTypedProperty(std::shared_ptr<DUZETypedProperty> property,
                                           const std::string& key) {
  if (property) store(std::move(property), key);
}

bool DUZEEventProperties::removePropertyForKey(const std::string& key) {
  base::LockGuard lock(mutex_);
  return properties_.erase(key) > 0;
}

bool DUZEEventProperties::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEEventProperties*>(&other);
  if (!o) return false;
  if (o == this) return true;
  const Map mine = properties();
  const Map theirs = o->properties();
  if (mine.size() != theirs.size()) return false;
  for (auto a = mine.begin(), b = theirs.begin(); a != mine.end(); ++a, ++b) {
    if (a->first != b->first || !duze::sameObject(a->second, b->second)) return false;
  }
  return true;
}

void DUZEEventProperties::encodeWithCoder(foundation::NSCoder& coder) const {
  foundation::Value::Dictionary entries;
  {
    base::LockGuard lock(mutex_);
    for (const auto& [key, property] : properties_) entries.emplace(key, property);
  }
  coder.encodeObject(foundation::Value(std::move(entries)), kArchiveKey);
}

bool DUZEEventProperties::initWithCoder(foundation::NSCoder& coder) {
  foundation::Value stored = coder.decodeObjectForKey(kArchiveKey);
  Map decoded;
  if (const auto* entries = stored.dictionaryValue()) {
    for (const auto& [key, value] : *entries) {
      const auto* object = value.objectValue();
      auto property = object ? std::dynamic_pointer_cast<DUZETypedProperty>(*object) : nullptr;
      // Anything but a typed property means the archive is not ours.
      if (!property) return false;
      decoded.emplace(key, std::move(property));
    }
  } else if (!stored.isNull()) {
    return false;
  }
  base::LockGuard lock(mutex_);
  properties_ = std::move(decoded);
  return true;
}
