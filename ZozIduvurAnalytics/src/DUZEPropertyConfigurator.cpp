#include "ZozIduvurAnalytics/DUZEPropertyConfigurator.h"

#include <cctype>
#include <fstream>

#include "ZozIduvur/DUZECommonSchemaLog.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEUserIdContext.h"
#include "ZozIduvurAnalytics/DUZEAnalytics.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsTransmissionTarget.h"
#include "foundation/StringFormat.h"

#ifdef KX_TEST_SEAMS
#include "ZozIduvurAnalytics/TestSeams.h"
#endif

namespace {

constexpr const char* kMachineIdPath = "/etc/machine-id";

base::Mutex gMachineIdMutex;
std::optional<std::string> gMachineIdPath KX_GUARDED_BY(gMachineIdMutex);

base::RecursiveMutex& analyticsLock() { return DUZEAnalytics::sharedInstance()->instanceLock(); }

}  // namespace

DUZEPropertyConfigurator::DUZEPropertyConfigurator(
    std::weak_ptr<DUZEAnalyticsTransmissionTarget> owner)
    : transmissionTarget_(std::move(owner)), eventProperties_(DUZEEventProperties::create()) {}

// Overrides ----------------------------------------------------------------------------

void DUZEPropertyConfigurator::setAppVersion(std::optional<std::string> appVersion) {
  base::LockGuard lock(mutex_);
  appVersion_ = std::move(appVersion);
}

void DUZEPropertyConfigurator::setAppName(std::optional<std::string> appName) {
  base::LockGuard lock(mutex_);
  appName_ = std::move(appName);
}

void DUZEPropertyConfigurator::setAppLocale(std::optional<std::string> appLocale) {
  base::LockGuard lock(mutex_);
  appLocale_ = std::move(appLocale);
}

void DUZEPropertyConfigurator::setUserId(const std::optional<std::string>& userId) {
  if (!DUZEUserIdContext::isUserIdValidForEventCollector(userId)) return;
  base::LockGuard lock(mutex_);
  userId_ = DUZEUserIdContext::prefixedUserIdFromUserId(userId);
}

std::optional<std::string> DUZEPropertyConfigurator::appVersion() {
  base::LockGuard lock(mutex_);
  return appVersion_;
}

std::optional<std::string> DUZEPropertyConfigurator::appName() {
  base::LockGuard lock(mutex_);
  return appName_;
}

std::optional<std::string> DUZEPropertyConfigurator::appLocale() {
  base::LockGuard lock(mutex_);
  return appLocale_;
}

std::optional<std::string> DUZEPropertyConfigurator::userId() {
  base::LockGuard lock(mutex_);
  return userId_;
}

// Event properties ------------------------------------------------------------------

void DUZEPropertyConfigurator::setEventPropertyString(const std::optional<std::string>& value,
                                                      const std::optional<std::string>& key) {
  base::LockGuard lock(analyticsLock());
  eventProperties_->setString(value, key);
}

void DUZEPropertyConfigurator::setEventPropertyDouble(double value,
                                                      const std::optional<std::string>& key) {
  base::LockGuard lock(analyticsLock());
  eventProperties_->setDouble(value, key);
}

void DUZEPropertyConfigurator::setEventPropertyInt64(int64_t value,
                                                     const std::optional<std::string>& key) {
  base::LockGuard lock(analyticsLock());
  eventProperties_->setInt64(value, key);
}

void DUZEPropertyConfigurator::setEventPropertyBool(bool value,
                                                    const std::optional<std::string>& key) {
  base::LockGuard lock(analyticsLock());
  eventProperties_->setBool(value, key);
}

void DUZEPropertyConfigurator::setEventPropertyDate(const std::optional<dispatch::Date>& value,
                                                    const std::optional<std::string>& key) {
  base::LockGuard lock(analyticsLock());
  eventProperties_->setDate(value, key);
}

void DUZEPropertyConfigurator::removeEventPropertyForKey(const std::optional<std::string>& key) {
  base::LockGuard lock(analyticsLock());
  if (!key) {
    DUZELogError(kDUZEAnalyticsLogTag, "Event property key to remove cannot be nil.");
    return;
  }
  eventProperties_->removePropertyForKey(*key);
}

void DUZEPropertyConfigurator::mergeTypedPropertiesWith(DUZEEventProperties& properties) {
  base::LockGuard lock(analyticsLock());
  for (const auto& [key, property] : eventProperties_->properties()) {
    if (!properties.propertyForKey(key)) properties.setTypedProperty(property, key);
  }
}

// Device id ----------------------------------------------------------------------------

#ifdef KX_TEST_SEAMS
void DUZEPropertyConfiguratorSeams::setMachineIdPathForTesting(std::optional<std::string> path) {
  base::LockGuard lock(gMachineIdMutex);
  gMachineIdPath = std::move(path);
}
#endif

std::optional<std::string> DUZEPropertyConfigurator::platformUUID() {
  std::string path;
  {
    base::LockGuard lock(gMachineIdMutex);
    path = gMachineIdPath.value_or(kMachineIdPath);
  }
  std::ifstream file(path);
  std::string id;
  if (!(file >> id) || id.size() != 32) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < id.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(id[i]))) return std::nullopt;
    if (i == 8 || i == 12 || i == 16 || i == 20) out += '-';
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(id[i])));
  }
  return out;
}

std::string DUZEPropertyConfigurator::getDeviceIdentifier() {
  return foundation::stringWithFormat("%c:%@", 'u', platformUUID());
}

void DUZEPropertyConfigurator::collectDeviceId() {
  std::string id = getDeviceIdentifier();
  base::LockGuard lock(mutex_);
  deviceId_ = std::move(id);
}

std::optional<std::string> DUZEPropertyConfigurator::deviceId() {
  base::LockGuard lock(mutex_);
  return deviceId_;
}

// Writing the overrides -------------------------------------------------------------

std::optional<std::string> DUZEPropertyConfigurator::inherited(
    const std::shared_ptr<DUZEAnalyticsTransmissionTarget>& target,
    std::optional<std::string> (DUZEPropertyConfigurator::*get)()) {
  for (auto t = target; t; t = t->parentTarget()) {
    if (auto value = (t->propertyConfigurator().get()->*get)()) return value;
  }
  return std::nullopt;
}

void DUZEPropertyConfigurator::channelPrepareLog(const std::shared_ptr<DUZEChannelUnitProtocol>&,
                                                 const std::shared_ptr<DUZEAbstractLog>& log) {
  auto owner = transmissionTarget_.lock();
  auto csLog = std::dynamic_pointer_cast<DUZECommonSchemaLog>(log);
  if (!owner || !csLog || !owner->isEnabled() || log->tag().get() != owner.get()) return;
  if (!csLog->ext()) csLog->setExt(std::make_shared<DUZECSExtensions>());
  auto& ext = *csLog->ext();
  if (!ext.appExt()) ext.setAppExt(std::make_shared<DUZEAppExtension>());
  if (!ext.userExt()) ext.setUserExt(std::make_shared<DUZEUserExtension>());
  if (!ext.deviceExt()) ext.setDeviceExt(std::make_shared<DUZEDeviceExtension>());
  if (auto value = inherited(owner, &DUZEPropertyConfigurator::appVersion)) {
    ext.appExt()->setVer(value);
  }
  if (auto value = inherited(owner, &DUZEPropertyConfigurator::appName)) {
    ext.appExt()->setName(value);
  }
  if (auto value = inherited(owner, &DUZEPropertyConfigurator::appLocale)) {
    ext.appExt()->setLocale(value);
  }
  if (auto value = inherited(owner, &DUZEPropertyConfigurator::userId)) {
    ext.userExt()->setLocalId(value);
  }
  // Only the target's own device id: a child does not inherit it.
  ext.deviceExt()->setLocalId(deviceId());
}
