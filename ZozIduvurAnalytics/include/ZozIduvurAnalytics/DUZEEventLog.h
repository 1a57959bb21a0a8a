#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ZozIduvur/DUZECommonSchemaLog.h"
#include "ZozIduvurAnalytics/DUZEEventProperties.h"
#include "ZozIduvurAnalytics/DUZELogWithNameAndProperties.h"

// The Common Schema type id of each typed-property type that carries one:
// "long" 4, "double" 6, "dateTime" 9 (strings and booleans carry none).
using DUZEMetadataTypeIdMapping = std::map<std::string, int64_t, std::less<>>;

// A custom event ("event"): a name, an id and typed properties. Converted to
// a Common Schema log for each transmission target it was tracked for.
class DUZEEventLog : public DUZELogWithNameAndProperties {
  DUZE_CLASS_NAME("DUZEEventLog")
  DUZE_PROPERTY(std::optional<std::string>, eventId, EventId)
  DUZE_PROPERTY(std::shared_ptr<DUZEEventProperties>, typedProperties, TypedProperties)
  // Set by construction; not archived, so an event read back from the store
  // has none (and converts without metadata).
  DUZE_PROPERTY(std::optional<DUZEMetadataTypeIdMapping>, metadataTypeIdMapping,
                MetadataTypeIdMapping)

 public:
  static constexpr std::string_view kType = "event";
  DUZEEventLog();
  static std::shared_ptr<DUZEEventLog> create() { return std::make_shared<DUZEEventLog>(); }
  static const DUZEMetadataTypeIdMapping& defaultMetadataTypeIdMapping();

  // Adds "id" and "typedProperties" (each property's dictionary) when present.
  nlohmann::ordered_json serializeToDictionary() const override;
  // The named log's validity and an event id ("eventId" otherwise).
  bool isValid() const override;
  // Named-log equality and equal event ids.
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;

  // The base conversion with the event's name, its typed properties as data
  // (dotted keys become nested objects) with their type ids as metadata, and
  // the event's tag. May remove "baseType" and "baseData.*" properties that
  // cannot be sent from the event's own property set (each with a warning).
  std::shared_ptr<DUZECommonSchemaLog> toCommonSchemaLogForTargetToken(
      const std::string& token, uint64_t flags) const override;

  // Fills the data and metadata of `log` from the typed properties.
  void setPropertiesAndMetadataForCSLog(DUZECommonSchemaLog& log) const;

 private:
  void addTypedProperty(const DUZETypedProperty& property, nlohmann::ordered_json& metadata,
                        nlohmann::ordered_json& properties) const;
  static bool addTypedPropertyToTree(const DUZETypedProperty& property,
                                     nlohmann::ordered_json* tree, const std::string& key);
};
