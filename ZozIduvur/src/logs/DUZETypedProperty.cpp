#include "ZozIduvur/DUZETypedProperty.h"

#include "ZozIduvur/DUZEUtility.h"
#include "foundation/KeyedArchive.h"

nlohmann::ordered_json DUZETypedProperty::serializeToDictionary() const {
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  duze::putIfPresent(out, "type", type_);
  duze::putIfPresent(out, "name", name_);
  return out;
}

bool DUZETypedProperty::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZETypedProperty*>(&other);
  return o && o->className() == className() && name_ == o->name_ && type_ == o->type_;
}

void DUZETypedProperty::encodeWithCoder(foundation::NSCoder& coder) const {
  coder.encodeObject(type_, "type");
  coder.encodeObject(name_, "name");
}

bool DUZETypedProperty::initWithCoder(foundation::NSCoder& coder) {
  type_ = coder.decodeStringForKey("type");
  name_ = coder.decodeStringForKey("name");
  return true;
}

// The value of each kind: how it is written to JSON, archived and read back.
namespace {

void putValue(nlohmann::ordered_json& out, const std::optional<std::string>& v) {
  if (v) out["value"] = *v;
}
void putValue(nlohmann::ordered_json& out, bool v) { out["value"] = v; }
void putValue(nlohmann::ordered_json& out, int64_t v) { out["value"] = v; }
void putValue(nlohmann::ordered_json& out, double v) { out["value"] = v; }
void putValue(nlohmann::ordered_json& out, const std::optional<dispatch::Date>& v) {
  if (v) out["value"] = DUZEUtility::dateToISO8601(*v);
}

void readValue(foundation::NSCoder& coder, std::optional<std::string>& v) {
  v = coder.decodeStringForKey("value");
}
void readValue(foundation::NSCoder& coder, bool& v) { v = coder.decodeBoolForKey("value"); }
void readValue(foundation::NSCoder& coder, int64_t& v) { v = coder.decodeInt64ForKey("value"); }
void readValue(foundation::NSCoder& coder, double& v) { v = coder.decodeDoubleForKey("value"); }
void readValue(foundation::NSCoder& coder, std::optional<dispatch::Date>& v) {
  v = coder.decodeDateForKey("value");
}

}  // namespace

#define DUZE_TYPED_PROPERTY_IMPL(Class)                                      \
  nlohmann::ordered_json Class::serializeToDictionary() const {              \
    nlohmann::ordered_json out = DUZETypedProperty::serializeToDictionary(); \
    putValue(out, value_);                                                   \
    return out;                                                              \
  }                                                                          \
  bool Class::isEqual(const foundation::NSCoding& other) const {             \
    const auto* o = dynamic_cast<const Class*>(&other);                      \
    return o && DUZETypedProperty::isEqual(other) && value_ == o->value_;    \
  }                                                                          \
  void Class::encodeWithCoder(foundation::NSCoder& coder) const {            \
    DUZETypedProperty::encodeWithCoder(coder);                               \
    coder.encodeObject(foundation::Value(value_), "value");                  \
  }                                                                          \
  bool Class::initWithCoder(foundation::NSCoder& coder) {                    \
    if (!DUZETypedProperty::initWithCoder(coder)) return false;              \
    readValue(coder, value_);                                                \
    return true;                                                             \
  }

DUZE_TYPED_PROPERTY_IMPL(DUZEStringTypedProperty)
DUZE_TYPED_PROPERTY_IMPL(DUZEBooleanTypedProperty)
DUZE_TYPED_PROPERTY_IMPL(DUZELongTypedProperty)
DUZE_TYPED_PROPERTY_IMPL(DUZEDoubleTypedProperty)
DUZE_TYPED_PROPERTY_IMPL(DUZEDateTimeTypedProperty)
