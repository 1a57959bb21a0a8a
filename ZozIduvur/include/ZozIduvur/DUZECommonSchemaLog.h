#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ZozIduvur/DUZEAbstractLog.h"

// The extensions and data of a Common Schema log. Each part serialises only
// what is set and reads itself back from that form.

// Application extension ("app").
class DUZEAppExtension {
  DUZE_PROPERTY(std::optional<std::string>, ver, Ver)
  DUZE_PROPERTY(std::optional<std::string>, name, Name)
  DUZE_PROPERTY(std::optional<std::string>, locale, Locale)

 public:
  nlohmann::ordered_json serializeToDictionary() const;
  static std::shared_ptr<DUZEAppExtension> fromDictionary(const nlohmann::ordered_json& j);
  bool operator==(const DUZEAppExtension&) const = default;
};

// User extension ("user").
class DUZEUserExtension {
  DUZE_PROPERTY(std::optional<std::string>, localId, LocalId)

 public:
  nlohmann::ordered_json serializeToDictionary() const;
  static std::shared_ptr<DUZEUserExtension> fromDictionary(const nlohmann::ordered_json& j);
  bool operator==(const DUZEUserExtension&) const = default;
};

// Device extension ("device").
class DUZEDeviceExtension {
  DUZE_PROPERTY(std::optional<std::string>, localId, LocalId)

 public:
  nlohmann::ordered_json serializeToDictionary() const;
  static std::shared_ptr<DUZEDeviceExtension> fromDictionary(const nlohmann::ordered_json& j);
  bool operator==(const DUZEDeviceExtension&) const = default;
};

// Protocol extension ("protocol"): the hashes of the ticket keys whose
// tickets travel with the log.
class DUZEProtocolExtension {
  DUZE_PROPERTY(std::optional<std::vector<std::string>>, ticketKeys, TicketKeys)

 public:
  nlohmann::ordered_json serializeToDictionary() const;
  static std::shared_ptr<DUZEProtocolExtension> fromDictionary(const nlohmann::ordered_json& j);
  bool operator==(const DUZEProtocolExtension&) const = default;
};

// Metadata extension ("metadata"): the type tree of the data's fields.
class DUZEMetadataExtension {
  DUZE_PROPERTY(nlohmann::ordered_json, metadata, Metadata)

 public:
  nlohmann::ordered_json serializeToDictionary() const;
  bool operator==(const DUZEMetadataExtension&) const = default;
};

// The extensions of a Common Schema log ("ext").
class DUZECSExtensions {
  DUZE_PROPERTY(std::shared_ptr<DUZEProtocolExtension>, protocolExt, ProtocolExt)
  DUZE_PROPERTY(std::shared_ptr<DUZEUserExtension>, userExt, UserExt)
  DUZE_PROPERTY(std::shared_ptr<DUZEDeviceExtension>, deviceExt, DeviceExt)
  DUZE_PROPERTY(std::shared_ptr<DUZEAppExtension>, appExt, AppExt)
  DUZE_PROPERTY(std::shared_ptr<DUZEMetadataExtension>, metadataExt, MetadataExt)

 public:
  // "metadata", "protocol", "user", "device", "app", each when set.
  nlohmann::ordered_json serializeToDictionary() const;
  static std::shared_ptr<DUZECSExtensions> fromDictionary(const nlohmann::ordered_json& j);
  bool isEqual(const DUZECSExtensions& other) const;
};

// The data part ("data") of a Common Schema log: a JSON object.
class DUZECSData {
  DUZE_PROPERTY(nlohmann::ordered_json, properties, Properties)

 public:
  // The properties with "baseType" and "baseData" first, then the others in
  // their order.
  nlohmann::ordered_json serializeToDictionary() const;
  bool operator==(const DUZECSData&) const = default;
};

// A log in Common Schema form, sent to the collector for a transmission
// target. Its time is the base log's timestamp.
class DUZECommonSchemaLog : public DUZEAbstractLog {
  DUZE_CLASS_NAME("DUZECommonSchemaLog")
  DUZE_PROPERTY(std::optional<std::string>, ver, Ver)
  DUZE_PROPERTY(std::optional<std::string>, name, Name)
  DUZE_PROPERTY(std::optional<double>, popSample, PopSample)
  DUZE_PROPERTY(std::optional<std::string>, iKey, IKey)
  DUZE_PROPERTY(std::optional<int64_t>, flags, Flags)
  DUZE_PROPERTY(std::optional<std::string>, cV, CV)
  DUZE_PROPERTY(std::shared_ptr<DUZECSExtensions>, ext, Ext)
  DUZE_PROPERTY(std::shared_ptr<DUZECSData>, data, Data)

 public:
  static constexpr std::string_view kCommonSchemaVersion = "3.0";
  static std::shared_ptr<DUZECommonSchemaLog> create() {
    return std::make_shared<DUZECommonSchemaLog>();
  }

  // "ver", "name", "time", "popSample", "iKey", "flags", "cV", "ext", "data",
  // each when set.
  nlohmann::ordered_json serializeToDictionary() const override;
  // YES when "ver", "name", "time" and "iKey" are present.
  bool isValid() const override;
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
  // A Common Schema log is not converted again.
  bool supportsCommonSchemaConversion() const override { return false; }
};
