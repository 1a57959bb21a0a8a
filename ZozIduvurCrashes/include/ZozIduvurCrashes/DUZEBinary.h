#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ZozIduvur/DUZESerializableObject.h"
#include "foundation/Value.h"

// A binary image that a crash refers to.
class DUZEBinary : public foundation::NSCoding, public DUZESerializableObject {
  DUZE_CLASS_NAME("DUZEBinary")
  // The image UUID ("id" in JSON and archives).
  DUZE_PROPERTY(std::optional<std::string>, binaryId, BinaryId)
  DUZE_PROPERTY(std::optional<std::string>, startAddress, StartAddress)
  DUZE_PROPERTY(std::optional<std::string>, endAddress, EndAddress)
  DUZE_PROPERTY(std::optional<std::string>, name, Name)
  DUZE_PROPERTY(std::optional<std::string>, path, Path)
  DUZE_PROPERTY(std::optional<std::string>, architecture, Architecture)
  DUZE_PROPERTY(std::optional<uint64_t>, primaryArchitectureId, PrimaryArchitectureId)
  DUZE_PROPERTY(std::optional<uint64_t>, architectureVariantId, ArchitectureVariantId)

 public:
  static std::shared_ptr<DUZEBinary> create() { return std::make_shared<DUZEBinary>(); }

  nlohmann::ordered_json serializeToDictionary() const override;
  // binaryId, startAddress, endAddress, name, path.
  bool isValid() const;
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
  // The text form of the dictionary.
  std::string description() const;
};
