#pragma once

#include "ZozIduvur/DUZEAbstractLog.h"

// A log with string properties.
class DUZELogWithProperties : public DUZEAbstractLog {
  DUZE_CLASS_NAME("DUZELogWithProperties")
  DUZE_PROPERTY(std::optional<DUZEProperties>, properties, Properties)

 public:
  // Adds "properties" only when there is at least one entry.
  nlohmann::ordered_json serializeToDictionary() const override;
  // Base equality and equal properties (both absent, or equal).
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};
