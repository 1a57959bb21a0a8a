#include "ZozIduvurAnalytics/DUZEEventLog.h"

#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsConstants.h"
#include "foundation/KeyedArchive.h"

namespace {

using ojson = nlohmann::ordered_json;

constexpr std::string_view kBaseType = "baseType";
constexpr std::string_view kBaseData = "baseData";
// "baseType." and "baseData.": the prefixes of keys placed inside them.
const std::string kBaseTypePrefix = std::string(kBaseType) + ".";
const std::string kBaseDataPrefix = std::string(kBaseData) + ".";

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

std::vector<std::string> splitKeys(const std::string& name) {
  std::vector<std::string> keys;
  size_t start = 0;
  for (;;) {
    const size_t dot = name.find('.', start);
    keys.push_back(name.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) return keys;
    start = dot + 1;
  }
}

}  // namespace

DUZEEventLog::DUZEEventLog() {
  setType(std::string(kType));
  metadataTypeIdMapping_ = defaultMetadataTypeIdMapping();
}

const DUZEMetadataTypeIdMapping& DUZEEventLog::defaultMetadataTypeIdMapping() {
  static const DUZEMetadataTypeIdMapping mapping{
      {std::string(DUZELongTypedProperty::kType), 4},
      {std::string(DUZEDoubleTypedProperty::kType), 6},
      {std::string(DUZEDateTimeTypedProperty::kType), 9},
  };
  return mapping;
}

ojson DUZEEventLog::serializeToDictionary() const {
  ojson out = DUZELogWithNameAndProperties::serializeToDictionary();
  duze::putIfPresent(out, "id", eventId_);
  if (typedProperties_) out["typedProperties"] = typedProperties_->serializeToArray();
  return out;
}

bool DUZEEventLog::isValid() const {
  if (!DUZELogWithNameAndProperties::isValid()) return false;
  if (!eventId_) {
    logInvalidField("eventId");
    return false;
  }
  return true;
}

bool DUZEEventLog::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEEventLog*>(&other);
  return o && DUZELogWithNameAndProperties::isEqual(other) && eventId_ == o->eventId_;
}

void DUZEEventLog::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZELogWithNameAndProperties::encodeWithCoder(coder);
  coder.encodeObject(eventId_, "id");
  coder.encodeObject(typedProperties_, "typedProperties");
}

bool DUZEEventLog::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZELogWithNameAndProperties::initWithCoder(coder)) return false;
  eventId_ = coder.decodeStringForKey("id");
  typedProperties_ = coder.decodeObjectOfClass<DUZEEventProperties>("typedProperties");
  // The mapping is made by construction only: a decoded event has none.
  metadataTypeIdMapping_.reset();
  return true;
}

// Common Schema conversion ---------------------------------------------------

std::shared_ptr<DUZECommonSchemaLog> DUZEEventLog::toCommonSchemaLogForTargetToken(
    const std::string& token, uint64_t flags) const {
  auto log = DUZELogWithNameAndProperties::toCommonSchemaLogForTargetToken(token, flags);
  if (!log) return log;
  log->setName(name());
  setPropertiesAndMetadataForCSLog(*log);
  log->setTag(tag());
  return log;
}

void DUZEEventLog::setPropertiesAndMetadataForCSLog(DUZECommonSchemaLog& log) const {
  if (!typedProperties_) return;
  auto& properties = *typedProperties_;

  // Part A: "baseType" names the schema of "baseData"; one without the other
  // cannot be sent, so the lone half is dropped.
  auto baseType = std::dynamic_pointer_cast<DUZEStringTypedProperty>(
      properties.propertyForKey(std::string(kBaseType)));
  const auto all = properties.properties();
  if (baseType) {
    bool hasBaseData = false;
    for (const auto& [key, property] : all) {
      if (startsWith(property->name().value_or(key), kBaseDataPrefix)) hasBaseData = true;
    }
    if (!hasBaseData) {
      DUZELogWarning(kDUZEAnalyticsLogTag, "baseType was set but baseData is missing.");
      properties.removePropertyForKey(std::string(kBaseType));
    }
  } else {
    bool removed = false;
    for (const auto& [key, property] : all) {
      if (startsWith(property->name().value_or(key), kBaseDataPrefix)) {
        properties.removePropertyForKey(key);
        removed = true;
      }
    }
    if (removed) {
      DUZELogWarning(kDUZEAnalyticsLogTag, "baseData was set but baseType is missing or invalid.");
    }
    properties.removePropertyForKey(std::string(kBaseType));
  }

  ojson propertyTree = ojson::object();
  ojson metadataTree = ojson::object();
  for (const auto& [key, property] : properties.properties()) {
    const std::string name = property->name().value_or(key);
    if (startsWith(name, kBaseTypePrefix)) {
      DUZELogWarning(kDUZEAnalyticsLogTag, "baseType must not be an object.");
    } else if (name == kBaseData) {
      DUZELogWarning(kDUZEAnalyticsLogTag, "baseData must be an object.");
    } else {
      addTypedProperty(*property, metadataTree, propertyTree);
    }
  }
  if (!propertyTree.empty()) {
    auto data = std::make_shared<DUZECSData>();
    data->setProperties(std::move(propertyTree));
    log.setData(std::move(data));
  }
  if (!metadataTree.empty()) {
    if (!log.ext()) log.setExt(std::make_shared<DUZECSExtensions>());
    auto metadata = std::make_shared<DUZEMetadataExtension>();
    metadata->setMetadata(std::move(metadataTree));
    log.ext()->setMetadataExt(std::move(metadata));
  }
}

void DUZEEventLog::addTypedProperty(const DUZETypedProperty& property, ojson& metadata,
                                    ojson& properties) const {
  std::optional<int64_t> typeId;
  if (metadataTypeIdMapping_ && property.type()) {
    if (auto it = metadataTypeIdMapping_->find(*property.type());
        it != metadataTypeIdMapping_->end()) {
      typeId = it->second;
    }
  }
  const std::vector<std::string> keys = splitKeys(property.name().value_or(""));
  // Pointers into the trees stay valid: a node only gains entries while the
  // walk is at it or above it, never below a node a pointer refers to.
  ojson* propertyNode = &properties;
  ojson* metadataNode = &metadata;
  ojson* createdF = nullptr;
  for (size_t i = 0; i + 1 < keys.size(); ++i) {
    const std::string& key = keys[i];
    auto it = propertyNode->find(key);
    if (it == propertyNode->end()) {
      (*propertyNode)[key] = ojson::object();
    } else if (!it->is_object()) {
      propertyNode = nullptr;  // blocked: a value sits where an object should be
      break;
    }
    propertyNode = &(*propertyNode)[key];
    if (typeId) {
      if (!metadataNode->contains("f")) {
        (*metadataNode)["f"] = ojson::object();
        if (!createdF) createdF = metadataNode;
      }
      ojson& f = (*metadataNode)["f"];
      if (!f.contains(key)) f[key] = ojson::object();
      metadataNode = &f[key];
    }
  }
  const std::string& lastKey = keys.back();
  const bool added = addTypedPropertyToTree(property, propertyNode, lastKey);
  if (added && typeId) {
    if (!metadataNode->contains("f")) (*metadataNode)["f"] = ojson::object();
    (*metadataNode)["f"][lastKey] = *typeId;
  } else if (!added && createdF) {
    createdF->erase("f");
  }
}

bool DUZEEventLog::addTypedPropertyToTree(const DUZETypedProperty& property, ojson* tree,
                                          const std::string& key) {
  if (!tree || tree->contains(key)) {
    DUZELogWarning(kDUZEAnalyticsLogTag, "Property key '%@' already has a value, choosing one.",
                   key);
    return false;
  }
  ojson& slot = (*tree)[key];
  if (const auto* p = dynamic_cast<const DUZEStringTypedProperty*>(&property)) {
    if (p->value()) slot = *p->value();
  } else if (const auto* p = dynamic_cast<const DUZEBooleanTypedProperty*>(&property)) {
    slot = p->value();
  } else if (const auto* p = dynamic_cast<const DUZELongTypedProperty*>(&property)) {
    slot = p->value();
  } else if (const auto* p = dynamic_cast<const DUZEDoubleTypedProperty*>(&property)) {
    slot = p->value();
  } else if (const auto* p = dynamic_cast<const DUZEDateTimeTypedProperty*>(&property)) {
    if (p->value()) slot = DUZEUtility::dateToISO8601(*p->value());
  }
  return true;
}
