#pragma once

#include <optional>
#include <string>

#include "ZozIduvur/DUZELogWithProperties.h"

// A log with a name and string properties: the base of event and page logs.
class DUZELogWithNameAndProperties : public DUZELogWithProperties {
  DUZE_CLASS_NAME("DUZELogWithNameAndProperties")
  DUZE_PROPERTY(std::optional<std::string>, name, Name)

 public:
  // Adds "name" when present.
  nlohmann::ordered_json serializeToDictionary() const override;
  // The base's validity and a name; a missing name logs the core's
  // invalid-field message for "name".
  bool isValid() const override;
  // A named log whose base fields and name are equal.
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};
