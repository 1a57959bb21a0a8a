#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ZozIduvur/DUZESerializableObject.h"
#include "dispatch/Time.h"
#include "foundation/Value.h"

// A named property with a type tag; the subclasses add the value.
class DUZETypedProperty : public foundation::NSCoding, public DUZESerializableObject {
  DUZE_CLASS_NAME("DUZETypedProperty")
  DUZE_PROPERTY(std::optional<std::string>, name, Name)
  DUZE_PROPERTY(std::optional<std::string>, type, Type)

 public:
  // "type", "name" and, in the subclasses, "value".
  nlohmann::ordered_json serializeToDictionary() const override;
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};

#define DUZE_TYPED_PROPERTY_CLASS(Class, TypeName, ValueType)                    \
  class Class : public DUZETypedProperty {                                       \
    DUZE_CLASS_NAME(#Class)                                                      \
    DUZE_PROPERTY(ValueType, value, Value)                                       \
                                                                                 \
   public:                                                                       \
    static constexpr std::string_view kType = TypeName;                          \
    Class() { setType(std::string(kType)); }                                     \
    static std::shared_ptr<Class> create() { return std::make_shared<Class>(); } \
    nlohmann::ordered_json serializeToDictionary() const override;               \
    bool isEqual(const foundation::NSCoding& other) const override;              \
    void encodeWithCoder(foundation::NSCoder& coder) const override;             \
    bool initWithCoder(foundation::NSCoder& coder) override;                     \
  };

// "string"
DUZE_TYPED_PROPERTY_CLASS(DUZEStringTypedProperty, "string", std::optional<std::string>)
// "boolean"
DUZE_TYPED_PROPERTY_CLASS(DUZEBooleanTypedProperty, "boolean", bool)
// "long": a signed 64-bit integer.
DUZE_TYPED_PROPERTY_CLASS(DUZELongTypedProperty, "long", int64_t)
// "double"
DUZE_TYPED_PROPERTY_CLASS(DUZEDoubleTypedProperty, "double", double)
// "dateTime": serialised as ISO 8601 text.
DUZE_TYPED_PROPERTY_CLASS(DUZEDateTimeTypedProperty, "dateTime", std::optional<dispatch::Date>)

#undef DUZE_TYPED_PROPERTY_CLASS
