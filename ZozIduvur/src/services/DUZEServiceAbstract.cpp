#include "ZozIduvur/DUZEServiceAbstract.h"

#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "foundation/StringFormat.h"

std::string DUZEServiceAbstract::isEnabledKey() const {
  return foundation::stringWithFormat("%@IsEnabled", groupId());
}

bool DUZEServiceAbstract::isEnabled() {
  auto stored = DUZEZozIduvurUserDefaults::shared()->objectForKey(isEnabledKey());
  return stored ? stored->asBool().value_or(true) : true;
}

void DUZEServiceAbstract::setEnabled(bool enabled) {
  base::LockGuard lock(lock_);
  if (enabled == isEnabled()) return;
  applyEnabledState(enabled);
  DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value(enabled), isEnabledKey());
}

void DUZEServiceAbstract::applyEnabledState(bool enabled) {
  if (channelUnit_) channelUnit_->setEnabled(enabled, true);
}

bool DUZEServiceAbstract::canBeUsed() {
  if (DUZEZozIduvur::isConfigured() && started_) return true;
  const std::string_view name = className();
  DUZELogError(kDUZELogTag,
               "%@ service hasn't been started. You need to call [DUZEZozIduvur "
               "start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first.",
               name.size() > 4 ? name.substr(4) : name);
  return false;
}

bool DUZEServiceAbstract::isAvailable() { return isEnabled() && started_; }

void DUZEServiceAbstract::startWithChannelGroup(
    std::shared_ptr<DUZEChannelGroupProtocol> channelGroup, std::optional<std::string> appSecret,
    std::optional<std::string> transmissionTargetToken, bool fromApplication) {
  base::LockGuard lock(lock_);
  startedFromApplication_ = fromApplication;
  channelGroup_ = std::move(channelGroup);
  appSecret_ = std::move(appSecret);
  defaultTransmissionTargetToken_ = std::move(transmissionTargetToken);
  started_ = true;
  if (auto configuration = channelUnitConfiguration(); configuration && channelGroup_) {
    channelUnit_ = channelGroup_->addChannelUnitWithConfiguration(*configuration);
  }
  if (isEnabled()) applyEnabledState(true);
}

void DUZEServiceAbstract::updateConfigurationWithAppSecret(
    std::optional<std::string> appSecret, std::optional<std::string> transmissionTargetToken) {
  base::LockGuard lock(lock_);
  startedFromApplication_ = true;
  appSecret_ = std::move(appSecret);
  defaultTransmissionTargetToken_ = std::move(transmissionTargetToken);
  if (isEnabled()) applyEnabledState(true);
}

bool DUZEServiceAbstract::isServiceEnabled(const std::shared_ptr<DUZEServiceAbstract>& service) {
  base::LockGuard lock(service->lock_);
  if (!service->canBeUsed()) return false;
  return service->isEnabled();
}

void DUZEServiceAbstract::setServiceEnabled(const std::shared_ptr<DUZEServiceAbstract>& service,
                                            bool isEnabled) {
  base::LockGuard lock(service->lock_);
  if (!service->canBeUsed()) return;
  if (!DUZEZozIduvur::isEnabled() && !DUZEZozIduvur::isEnabledStateChanging()) {
    DUZELogError(kDUZELogTag,
                 "The SDK is disabled. Re-enable the whole SDK from ZozIduvur first before "
                 "enabling %@ service.",
                 service->serviceName());
    return;
  }
  service->setEnabled(isEnabled);
}
