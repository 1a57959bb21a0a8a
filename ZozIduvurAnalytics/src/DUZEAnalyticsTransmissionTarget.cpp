#include "ZozIduvurAnalytics/DUZEAnalyticsTransmissionTarget.h"

#include "ZozIduvur/DUZECommonSchemaLog.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurAnalytics/DUZEAnalytics.h"
#include "foundation/StringFormat.h"

namespace {

base::RecursiveMutex gProviderMutex;
std::shared_ptr<DUZEAnalyticsAuthenticationProvider> gProvider KX_GUARDED_BY(gProviderMutex);

// The analytics service's lock, which guards every target's enabled state.
base::RecursiveMutex& analyticsLock() { return DUZEAnalytics::sharedInstance()->instanceLock(); }

// "AnalyticsIsEnabled/<target key>". A token without a target key (nothing
// before its first "-") formats its missing key as "(null)"; such tokens
// share one flag.
std::string enabledKeyFor(const std::string& token) {
  return foundation::stringWithFormat("%@/%@", DUZEAnalytics::sharedInstance()->isEnabledKey(),
                                      DUZEUtility::targetKeyFromTargetToken(token));
}

}  // namespace

DUZEAnalyticsTransmissionTarget::DUZEAnalyticsTransmissionTarget(
    std::string transmissionTargetToken,
    std::shared_ptr<DUZEAnalyticsTransmissionTarget> parentTarget,
    std::shared_ptr<DUZEChannelGroupProtocol> channelGroup)
    : parentTarget_(std::move(parentTarget)),
      isEnabledKey_(enabledKeyFor(transmissionTargetToken)),
      channelGroup_(std::move(channelGroup)),
      transmissionTargetToken_(std::move(transmissionTargetToken)) {}

std::shared_ptr<DUZEAnalyticsTransmissionTarget> DUZEAnalyticsTransmissionTarget::create(
    std::string transmissionTargetToken,
    std::shared_ptr<DUZEAnalyticsTransmissionTarget> parentTarget,
    std::shared_ptr<DUZEChannelGroupProtocol> channelGroup) {
  auto target = std::make_shared<DUZEAnalyticsTransmissionTarget>(
      std::move(transmissionTargetToken), std::move(parentTarget), std::move(channelGroup));
  target->propertyConfigurator_ = std::make_shared<DUZEPropertyConfigurator>(target);
  // A target made under a disabled parent (or service) starts disabled.
  if (!target->isImmediateParent()) {
    DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value(false), target->isEnabledKey_);
  }
  if (target->channelGroup_) {
    target->channelGroup_->addDelegate(target->propertyConfigurator_);
    target->channelGroup_->addDelegate(target);
  }
  return target;
}

// Tracking -------------------------------------------------------------------------

void DUZEAnalyticsTransmissionTarget::trackEvent(const std::string& eventName) {
  trackEventWithProperties(eventName, std::nullopt);
}

void DUZEAnalyticsTransmissionTarget::trackEventWithProperties(
    const std::string& eventName, const std::optional<DUZEProperties>& properties) {
  trackEventWithProperties(eventName, properties, DUZEFlagsNormal);
}

void DUZEAnalyticsTransmissionTarget::trackEventWithProperties(
    const std::string& eventName, const std::optional<DUZEProperties>& properties, uint64_t flags) {
  std::shared_ptr<DUZEEventProperties> typed;
  if (properties) {
    typed = DUZEEventProperties::create();
    for (const auto& [key, value] : *properties) typed->setString(value, key);
  }
  trackEventWithTypedProperties(eventName, typed, flags);
}

void DUZEAnalyticsTransmissionTarget::trackEventWithTypedProperties(
    const std::string& eventName, const std::shared_ptr<DUZEEventProperties>& properties) {
  trackEventWithTypedProperties(eventName, properties, DUZEFlagsNormal);
}

void DUZEAnalyticsTransmissionTarget::trackEventWithTypedProperties(
    const std::string& eventName, const std::shared_ptr<DUZEEventProperties>& properties,
    uint64_t flags) {
  auto merged = DUZEEventProperties::create();
  // Nearest first: a child's value wins over its ancestors'.
  for (auto target = shared_from_this(); target; target = target->parentTarget()) {
    target->propertyConfigurator_->mergeTypedPropertiesWith(*merged);
  }
  if (properties) {
    merged->mergeEventProperties(*properties);
  } else if (merged->isEmpty()) {
    merged.reset();
  }
  DUZEAnalytics::trackEventWithTypedProperties(eventName, merged, shared_from_this(), flags);
}

std::shared_ptr<DUZEAnalyticsTransmissionTarget>
DUZEAnalyticsTransmissionTarget::transmissionTargetForToken(const std::string& token) {
  {
    base::LockGuard lock(childrenMutex_);
    if (auto it = childTransmissionTargets_.find(token); it != childTransmissionTargets_.end()) {
      return it->second;
    }
  }
  auto child = create(token, shared_from_this(), channelGroup_);
  base::LockGuard lock(childrenMutex_);
  // Another thread may have made the child meanwhile: the first one stays.
  return childTransmissionTargets_.emplace(token, std::move(child)).first->second;
}

// Enabled state ---------------------------------------------------------------------

bool DUZEAnalyticsTransmissionTarget::isImmediateParent() {
  auto parent = parentTarget();
  return parent ? parent->isEnabled() : DUZEAnalytics::isServiceEnabled();
}

bool DUZEAnalyticsTransmissionTarget::isEnabled() {
  base::LockGuard lock(analyticsLock());
  auto stored = DUZEZozIduvurUserDefaults::shared()->objectForKey(isEnabledKey_);
  return stored ? stored->asBool().value_or(true) : true;
}

void DUZEAnalyticsTransmissionTarget::setEnabled(bool isEnabled) {
  base::LockGuard lock(analyticsLock());
  if (isEnabled != this->isEnabled()) {
    if (isEnabled && !isImmediateParent()) {
      DUZELogWarning(kDUZEAnalyticsLogTag,
                     "Can't enable; parent transmission target and/or Analytics service is "
                     "disabled.");
      return;
    }
    DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value(isEnabled), isEnabledKey_);
    if (isEnabled) resume();
  }
  std::vector<std::shared_ptr<DUZEAnalyticsTransmissionTarget>> children;
  {
    base::LockGuard childrenLock(childrenMutex_);
    for (const auto& [token, child] : childTransmissionTargets_) children.push_back(child);
  }
  for (const auto& child : children) child->setEnabled(isEnabled);
}

void DUZEAnalyticsTransmissionTarget::pause() {
  if (isEnabled()) {
    DUZEAnalytics::pauseTransmissionTargetForToken(transmissionTargetToken_);
  } else {
    DUZELogError(kDUZEAnalyticsLogTag, "This transmission target is disabled.");
  }
}

void DUZEAnalyticsTransmissionTarget::resume() {
  if (isEnabled()) {
    DUZEAnalytics::resumeTransmissionTargetForToken(transmissionTargetToken_);
  } else {
    DUZELogError(kDUZEAnalyticsLogTag, "This transmission target is disabled.");
  }
}

// Tickets ------------------------------------------------------------------------------

void DUZEAnalyticsTransmissionTarget::addAuthenticationProvider(
    std::shared_ptr<DUZEAnalyticsAuthenticationProvider> authenticationProvider) {
  base::LockGuard lock(gProviderMutex);
  if (!authenticationProvider) {
    DUZELogError(kDUZEAnalyticsLogTag, "Authentication provider may not be null.");
    return;
  }
  gProvider = authenticationProvider;
  authenticationProvider->acquireTokenAsync();
}

std::shared_ptr<DUZEAnalyticsAuthenticationProvider>
DUZEAnalyticsTransmissionTarget::authenticationProvider() {
  base::LockGuard lock(gProviderMutex);
  return gProvider;
}

void DUZEAnalyticsTransmissionTarget::setAuthenticationProvider(
    std::shared_ptr<DUZEAnalyticsAuthenticationProvider> authenticationProvider) {
  base::LockGuard lock(gProviderMutex);
  gProvider = std::move(authenticationProvider);
}

void DUZEAnalyticsTransmissionTarget::channelPrepareLog(
    const std::shared_ptr<DUZEChannelUnitProtocol>&, const std::shared_ptr<DUZEAbstractLog>& log) {
  auto csLog = std::dynamic_pointer_cast<DUZECommonSchemaLog>(log);
  if (!csLog || !csLog->transmissionTargetTokens().contains(transmissionTargetToken_)) return;
  if (!isEnabled()) return;
  auto provider = authenticationProvider();
  // Without a ticket key there is no ticket to point at.
  if (!provider || !provider->ticketKeyHash()) return;
  if (!csLog->ext()) csLog->setExt(std::make_shared<DUZECSExtensions>());
  if (!csLog->ext()->protocolExt()) {
    csLog->ext()->setProtocolExt(std::make_shared<DUZEProtocolExtension>());
  }
  csLog->ext()->protocolExt()->setTicketKeys(std::vector<std::string>{*provider->ticketKeyHash()});
  provider->checkTokenExpiry();
}
