#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>

#include "foundation/Value.h"

// Something that writes itself as a JSON dictionary ready to be sent.
class DUZESerializableObject {
 public:
  virtual ~DUZESerializableObject() = default;
  virtual nlohmann::ordered_json serializeToDictionary() const = 0;
};

// Declares a property: a private field `name_`, the getter `name()` and the
// setter `setName(value)`. Leaves the access at public.
#define DUZE_PROPERTY(Type, name, Name)        \
 private:                                      \
  Type name##_{};                              \
                                               \
 public:                                       \
  const Type& name() const { return name##_; } \
  void set##Name(Type value) { name##_ = std::move(value); }

// Declares `kClassName` and the `className()` override of an archivable class.
#define DUZE_CLASS_NAME(Name)                          \
 public:                                               \
  static constexpr std::string_view kClassName = Name; \
  std::string_view className() const override { return kClassName; }

// Helpers for the serialisation and equality of optional fields.
namespace duze {

template <class T>
void putIfPresent(nlohmann::ordered_json& out, const char* key, const std::optional<T>& value) {
  if (value) out[key] = *value;
}

// Both absent, or both present and equal.
template <class T>
bool sameObject(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return a->isEqual(*b);
}

template <class T>
bool sameObjects(const std::optional<std::vector<std::shared_ptr<T>>>& a,
                 const std::optional<std::vector<std::shared_ptr<T>>>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  if (a->size() != b->size()) return false;
  for (size_t i = 0; i < a->size(); ++i)
    if (!sameObject((*a)[i], (*b)[i])) return false;
  return true;
}

// An array of archivable objects as a value for a coder.
template <class T>
foundation::Value objectArray(const std::vector<std::shared_ptr<T>>& objects) {
  foundation::Value::Array out;
  out.reserve(objects.size());
  for (const auto& object : objects) out.emplace_back(object);
  return foundation::Value(std::move(out));
}

// A string dictionary as a value for a coder.
foundation::Value stringDictionary(const std::map<std::string, std::string>& entries);

}  // namespace duze
