#include "ZozIduvur/DUZESessionHistoryInfo.h"

#include "foundation/KeyedArchive.h"

bool DUZEHistoryInfo::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEHistoryInfo*>(&other);
  return o && o->className() == className() && timestamp_ == o->timestamp_;
}

void DUZEHistoryInfo::encodeWithCoder(foundation::NSCoder& coder) const {
  coder.encodeObject(foundation::Value(timestamp_), "timestamp");
}

bool DUZEHistoryInfo::initWithCoder(foundation::NSCoder& coder) {
  auto timestamp = coder.decodeDateForKey("timestamp");
  if (!timestamp) return false;  // an entry without its time cannot be placed
  timestamp_ = *timestamp;
  return true;
}

std::shared_ptr<DUZESessionHistoryInfo> DUZESessionHistoryInfo::create(
    dispatch::Date timestamp, std::optional<std::string> sessionId) {
  auto info = std::make_shared<DUZESessionHistoryInfo>();
  info->setTimestamp(timestamp);
  info->setSessionId(std::move(sessionId));
  return info;
}

bool DUZESessionHistoryInfo::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZESessionHistoryInfo*>(&other);
  return o && DUZEHistoryInfo::isEqual(other) && sessionId_ == o->sessionId_;
}

void DUZESessionHistoryInfo::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZEHistoryInfo::encodeWithCoder(coder);
  coder.encodeObject(sessionId_, "sessionId");
}

bool DUZESessionHistoryInfo::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZEHistoryInfo::initWithCoder(coder)) return false;
  sessionId_ = coder.decodeStringForKey("sessionId");
  return true;
}

std::shared_ptr<DUZEUserIdHistoryInfo> DUZEUserIdHistoryInfo::create(
    dispatch::Date timestamp, std::optional<std::string> userId) {
  auto info = std::make_shared<DUZEUserIdHistoryInfo>();
  info->setTimestamp(timestamp);
  info->setUserId(std::move(userId));
  return info;
}

bool DUZEUserIdHistoryInfo::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEUserIdHistoryInfo*>(&other);
  return o && DUZEHistoryInfo::isEqual(other) && userId_ == o->userId_;
}

void DUZEUserIdHistoryInfo::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZEHistoryInfo::encodeWithCoder(coder);
  coder.encodeObject(userId_, "userId");
}

bool DUZEUserIdHistoryInfo::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZEHistoryInfo::initWithCoder(coder)) return false;
  userId_ = coder.decodeStringForKey("userId");
  return true;
}

std::shared_ptr<DUZEDeviceHistoryInfo> DUZEDeviceHistoryInfo::create(
    dispatch::Date timestamp, std::shared_ptr<DUZEDevice> device) {
  auto info = std::make_shared<DUZEDeviceHistoryInfo>();
  info->setTimestamp(timestamp);
  info->setDevice(std::move(device));
  return info;
}

bool DUZEDeviceHistoryInfo::isEqual(const foundation::NSCoding& other) const {
  const auto* o = dynamic_cast<const DUZEDeviceHistoryInfo*>(&other);
  return o && DUZEHistoryInfo::isEqual(other) && duze::sameObject(device_, o->device_);
}

void DUZEDeviceHistoryInfo::encodeWithCoder(foundation::NSCoder& coder) const {
  DUZEHistoryInfo::encodeWithCoder(coder);
  coder.encodeObject(device_, "device");
}

bool DUZEDeviceHistoryInfo::initWithCoder(foundation::NSCoder& coder) {
  if (!DUZEHistoryInfo::initWithCoder(coder)) return false;
  device_ = coder.decodeObjectOfClass<DUZEDevice>("device");
  return device_ != nullptr;
}
