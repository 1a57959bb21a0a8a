#include "ZozIduvur/DUZEAbstractLog.h"

#include <optional>
#include <typeinfo>

#include "ZozIduvur/DUZECommonSchemaLog.h"
#include "ZozIduvur/DUZEDevice.h"
#include "ZozIduvur/DUZELogWithProperties.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEStartServiceLog.h"
#include "ZozIduvur/DUZEUserIdContext.h"
#include "ZozIduvur/DUZEUtility.h"
#include "foundation/KeyedArchive.h"

void DUZELogInvalidField(std::string_view className, std::string_view field) {
  DUZELogVerbose(kDUZELogTag, "%@: \"%@\" is not valid.", className, field);
}

namespace {

// The device description last archived on this thread, with its bytes:
// nearly every log carries the same description, which is archived once
// for as long as it stays equal (a description changed in place is archived
// anew).
struct ArchivedDevice {
  std::optional<DUZEDevice> device;
  foundation::Data bytes;
};
thread_local ArchivedDevice tArchivedDevice;

void encodeDevice(foundation::NSCoder& coder, const std::shared_ptr<DUZEDevice>& device) {
  // Only a plain description: the fields of a subclass are not compared.
  const DUZEDevice* plain = device.get();
  if (plain == nullptr || typeid(*plain) != typeid(DUZEDevice)) {
    coder.encodeObject(device, "device");
    return;
  }
  auto& archived = tArchivedDevice;
  if (!archived.device || !device->isEqual(*archived.device)) {
    auto bytes = foundation::NSKeyedArchiver::archivedDataWithRootObject(foundation::Value(device));
    if (!bytes) {
      archived.device.reset();
      coder.encodeObject(device, "device");
      return;
    }
    archived.bytes = std::move(*bytes);
    archived.device = *device;
  }
  coder.encodeArchivedObject(archived.bytes, "device");
}

}  // namespace

foundation::Value duze::stringDictionary(const std::map<std::string, std::string>& entries) {
  foundation::Value::Dictionary out;
  for (const auto& [key, value] : entries) out.emplace(key, foundation::Value(value));
  return foundation::Value(std::move(out));
}

// DUZEAbstractLog ----------------------------------------------------------

void DUZEAbstractLog::logInvalidField(std::string_view field) const {
  DUZELogInvalidField(className(), field);
}

nlohmann::ordered_json DUZEAbstractLog::serializeToDictionary() const {
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  duze::putIfPresent(out, "type", type_);
  if (timestamp_) out["timestamp"] = DUZEUtility::dateToISO8601(*timestamp_);
  duze::putIfPresent(out, "sid", sid_);
  duze::putIfPresent(out, "distributionGroupId", distributionGroupId_);
  duze::putIfPresent(out, "userId", userId_);
  if (device_) out["device"] = device_->serializeToDictionary();
  duze::putIfPresent(out, "dataResidencyRegion", dataResidencyRegion_);
  return out;
}

bool DUZEAbstractLog::isValid() const {
  if (!type_) {
    logInvalidField("type");
    return false;
  }
  if (!timestamp_) {
    logInvalidField("timestamp");
    return false;
  }
  if (!device_ || !device_->isValid()) {
    logInvalidField("device");
    return false;
  }
  return true;
}

bool DUZEAbstractLog::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEAbstractLog*>(&other);
  return o && type_ == o->type_ && timestamp_ == o->timestamp_ && sid_ == o->sid_ &&
         distributionGroupId_ == o->distributionGroupId_ && userId_ == o->userId_ &&
         duze::sameObject(device_, o->device_) && dataResidencyRegion_ == o->dataResidencyRegion_;
}

void DUZEAbstractLog::encodeWithCoder(foundation::NSCoder& coder) const {
  coder.encodeObject(type_, "type");
  coder.encodeObject(timestamp_, "timestamp");
  coder.encodeObject(sid_, "sid");
  coder.encodeObject(distributionGroupId_, "distributionGroupId");
  coder.encodeObject(userId_, "userId");
  encodeDevice(coder, device_);
  coder.encodeObject(dataResidencyRegion_, "dataResidencyRegion");
}

bool DUZEAbstractLog::initWithCoder(foundation::NSCoder& coder) {
  type_ = coder.decodeStringForKey("type");
  timestamp_ = coder.decodeDateForKey("timestamp");
  sid_ = coder.decodeStringForKey("sid");
  distributionGroupId_ = coder.decodeStringForKey("distributionGroupId");
  userId_ = coder.decodeStringForKey("userId");
  device_ = coder.decodeObjectOfClass<DUZEDevice>("device");
  dataResidencyRegion_ = coder.decodeStringForKey("dataResidencyRegion");
  return true;
}

std::vector<std::shared_ptr<DUZECommonSchemaLog>> DUZEAbstractLog::toCommonSchemaLogsWithFlags(
    uint64_t flags) const {
  std::vector<std::shared_ptr<DUZECommonSchemaLog>> out;
  for (const auto& token : transmissionTargetTokens_) {
    if (auto log = toCommonSchemaLogForTargetToken(token, flags)) out.push_back(std::move(log));
  }
  return out;
}

std::shared_ptr<DUZECommonSchemaLog> DUZEAbstractLog::toCommonSchemaLogForTargetToken(
    const std::string& token, uint64_t flags) const {
  auto log = DUZECommonSchemaLog::create();
  log->setVer(std::string(DUZECommonSchemaLog::kCommonSchemaVersion));
  log->setTimestamp(timestamp_);
  if (auto targetKey = DUZEUtility::targetKeyFromTargetToken(token))
    log->setIKey("o:" + *targetKey);
  log->setFlags(static_cast<int64_t>(flags));
  log->setDevice(device_);
  log->setSid(sid_);
  log->setUserId(userId_);
  log->addTransmissionTargetToken(token);
  log->setTag(tag_);

  auto ext = std::make_shared<DUZECSExtensions>();
  ext->setProtocolExt(std::make_shared<DUZEProtocolExtension>());
  auto userExt = std::make_shared<DUZEUserExtension>();
  userExt->setLocalId(DUZEUserIdContext::prefixedUserIdFromUserId(userId_));
  ext->setUserExt(std::move(userExt));
  ext->setDeviceExt(std::make_shared<DUZEDeviceExtension>());
  auto appExt = std::make_shared<DUZEAppExtension>();
  if (device_) {
    appExt->setVer(device_->appVersion());
    appExt->setName(device_->appNamespace());
    appExt->setLocale(device_->locale());
  }
  ext->setAppExt(std::move(appExt));
  log->setExt(std::move(ext));
  return log;
}

// DUZELogWithProperties -------------------------------------------------------

nlohmann::ordered_json DUZELogWithProperties::serializeToDictionary() const {
  nlohmann::ordered_json out = DUZEAbstractLog::serializeToDictionary();
  if (properties_ && !properties_->empty()) {
    nlohmann::ordered_json props = nlohmann::ordered_json::object();
    for (const auto& [key, value] : *properties_) props[key] = value;
    out["properties"] = std::move(props);
  }
  return out;
}

bool DUZELogWithProperties::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZELogWithProperties*>(&other);
  return o && DUZEAbstractLog::isEqual(other) && properties_ == o->properties_;
}

void DUZELogWithProperties::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZEAbstractLog::encodeWithCoder(coder);
  if (properties_) coder.encodeStringDictionary(*properties_, "properties");
}

bool DUZELogWithProperties::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZEAbstractLog::initWithCoder(coder)) return false;
  properties_ = coder.decodeStringDictionaryForKey("properties");
  return true;
}

// DUZEStartServiceLog -------------------------------------------------------

DUZEStartServiceLog::DUZEStartServiceLog() { setType(std::string(kType)); }

nlohmann::ordered_json DUZEStartServiceLog::serializeToDictionary() const {
  nlohmann::ordered_json out = DUZEAbstractLog::serializeToDictionary();
  if (services_) out["services"] = *services_;
  return out;
}

bool DUZEStartServiceLog::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEStartServiceLog*>(&other);
  return o && DUZEAbstractLog::isEqual(other) && services_ == o->services_;
}

void DUZEStartServiceLog::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZEAbstractLog::encodeWithCoder(coder);
  if (services_) {
    foundation::Value::Array names;
    for (const auto& name : *services_) names.emplace_back(name);
    coder.encodeObject(foundation::Value(std::move(names)), "services");
  }
}

bool DUZEStartServiceLog::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZEAbstractLog::initWithCoder(coder)) return false;
  services_ = coder.decodeStringArrayForKey("services");
  return true;
}
