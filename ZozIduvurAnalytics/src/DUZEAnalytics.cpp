#include "ZozIduvurAnalytics/DUZEAnalytics.h"

#include "ZozIduvur/DUZEAbstractLog.h"
#include "ZozIduvur/DUZEDevice.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZESessionHistoryInfo.h"
#include "ZozIduvur/DUZEUserIdContext.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsCategory.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsTransmissionTarget.h"
#include "ZozIduvurAnalytics/DUZEEventLog.h"
#include "ZozIduvurAnalytics/DUZEPageLog.h"
#include "ZozIduvurAnalytics/DUZEStartSessionLog.h"
#include "dispatch/DispatchQueue.h"
#include "foundation/StringFormat.h"
#include "foundation/UUID.h"

namespace {

using foundation::ArchivableClass;

base::Mutex gSharedMutex;
std::shared_ptr<DUZEAnalytics> gShared KX_GUARDED_BY(gSharedMutex);

// The suffix the core gives the Common Schema mirror of a unit.
constexpr std::string_view kCollectorMirrorSuffix = "/one";

std::string criticalGroupId() {
  return foundation::stringWithFormat("%@_%@", kDUZEAnalyticsGroupId,
                                      kDUZEAnalyticsCriticalGroupSuffix);
}

}  // namespace

// Construction and the shared instance -----------------------------------------

void DUZEAnalyticsArchiverUtil::addAllowedAnalyitcsModuleClasses() {
  DUZEUtility::addAllowedClasses({
      ArchivableClass::of<DUZESessionHistoryInfo>(),
      ArchivableClass::named("NSDate"),
      ArchivableClass::of<DUZEDevice>(),
      ArchivableClass::of<DUZEAbstractLog>(),
      ArchivableClass::of<DUZEEventLog>(),
      ArchivableClass::of<DUZEPageLog>(),
      ArchivableClass::of<DUZEEventProperties>(),
      ArchivableClass::of<DUZELogWithNameAndProperties>(),
      ArchivableClass::of<DUZEBooleanTypedProperty>(),
      ArchivableClass::of<DUZEDateTimeTypedProperty>(),
      ArchivableClass::of<DUZEDoubleTypedProperty>(),
      ArchivableClass::of<DUZELongTypedProperty>(),
      ArchivableClass::of<DUZEStringTypedProperty>(),
      ArchivableClass::of<DUZETypedProperty>(),
      ArchivableClass::of<DUZEStartSessionLog>(),
      ArchivableClass::named("NSDictionary"),
      ArchivableClass::of<DUZEStartSessionLog>(),
      ArchivableClass::named("NSString"),
      ArchivableClass::named("NSNumber"),
      ArchivableClass::named("NSMutableArray"),
  });
}

DUZEAnalytics::DUZEAnalytics() : sessionTracker_(DUZESessionTracker::create()) {
  DUZEZozIduvurUserDefaults::shared()->migrateKeys(
      {
          {"RADuzOzezadAnalyticsIsEnabled", DUZEUserDefaultsPrefixKey("kZIAnalyticsIsEnabledKey")},
          {"RADuzOzezadPastSessions", std::string("pastSessionsKey")},
      },
      kDUZEAnalyticsServiceName);
  // Logs stored by older versions were archived under these class names.
  DUZEUtility::addMigrationClasses({
      {"ZISessionHistoryInfo", ArchivableClass::of<DUZESessionHistoryInfo>()},
      {"ZIAbstractLog", ArchivableClass::of<DUZEAbstractLog>()},
      {"ZIEventLog", ArchivableClass::of<DUZEEventLog>()},
      {"ZIPageLog", ArchivableClass::of<DUZEPageLog>()},
      {"ZIEventProperties", ArchivableClass::of<DUZEEventProperties>()},
      {"ZILogWithNameAndProperties", ArchivableClass::of<DUZELogWithNameAndProperties>()},
      {"ZIBooleanTypedProperty", ArchivableClass::of<DUZEBooleanTypedProperty>()},
      {"ZIDateTimeTypedProperty", ArchivableClass::of<DUZEDateTimeTypedProperty>()},
      {"ZIDoubleTypedProperty", ArchivableClass::of<DUZEDoubleTypedProperty>()},
      {"ZILongTypedProperty", ArchivableClass::of<DUZELongTypedProperty>()},
      {"ZIStringTypedProperty", ArchivableClass::of<DUZEStringTypedProperty>()},
      {"ZITypedProperty", ArchivableClass::of<DUZETypedProperty>()},
      {"ZIStartSessionLog", ArchivableClass::of<DUZEStartSessionLog>()},
  });
  DUZEAnalyticsArchiverUtil::addAllowedAnalyitcsModuleClasses();
}

DUZEAnalytics::~DUZEAnalytics() = default;

std::shared_ptr<DUZEAnalytics> DUZEAnalytics::sharedInstance() {
  base::LockGuard lock(gSharedMutex);
  if (!gShared) {
    gShared = std::shared_ptr<DUZEAnalytics>(new DUZEAnalytics());
    gShared->sessionTracker_->setDelegate(gShared);
  }
  return gShared;
}

void DUZEAnalytics::resetSharedInstance() {
  std::shared_ptr<DUZEAnalytics> old;
  {
    base::LockGuard lock(gSharedMutex);
    old = std::move(gShared);
  }
  if (old) old->sessionTracker_->stop();
}

std::shared_ptr<DUZEAnalytics> DUZEAnalytics::self() {
  return std::static_pointer_cast<DUZEAnalytics>(shared_from_this());
}

// Class-level interface ------------------------------------------------------------

void DUZEAnalytics::trackEvent(const std::string& eventName) {
  trackEventWithProperties(eventName, std::nullopt);
}

void DUZEAnalytics::trackEventWithProperties(const std::string& eventName,
                                             const std::optional<DUZEProperties>& properties) {
  trackEventWithProperties(eventName, properties, DUZEFlagsNormal);
}

void DUZEAnalytics::trackEventWithProperties(const std::string& eventName,
                                             const std::optional<DUZEProperties>& properties,
                                             uint64_t flags) {
  trackEventWithProperties(eventName, properties, nullptr, flags);
}

void DUZEAnalytics::trackEventWithProperties(
    const std::string& eventName, const std::optional<DUZEProperties>& properties,
    const std::shared_ptr<DUZEAnalyticsTransmissionTarget>& transmissionTarget, uint64_t flags) {
  sharedInstance()->trackEventWithPropertiesOnInstance(eventName, properties, transmissionTarget,
                                                       flags);
}

void DUZEAnalytics::trackEventWithTypedProperties(
    const std::string& eventName, const std::shared_ptr<DUZEEventProperties>& properties) {
  trackEventWithTypedProperties(eventName, properties, DUZEFlagsNormal);
}

void DUZEAnalytics::trackEventWithTypedProperties(
    const std::string& eventName, const std::shared_ptr<DUZEEventProperties>& properties,
    uint64_t flags) {
  trackEventWithTypedProperties(eventName, properties, nullptr, flags);
}

void DUZEAnalytics::trackEventWithTypedProperties(
    const std::string& eventName, const std::shared_ptr<DUZEEventProperties>& properties,
    const std::shared_ptr<DUZEAnalyticsTransmissionTarget>& transmissionTarget, uint64_t flags) {
  sharedInstance()->trackEventWithTypedPropertiesOnInstance(eventName, properties,
                                                            transmissionTarget, flags);
}

void DUZEAnalytics::trackPage(const std::string& pageName) {
  trackPageWithProperties(pageName, std::nullopt);
}

void DUZEAnalytics::trackPageWithProperties(const std::string& pageName,
                                            const std::optional<DUZEProperties>& properties) {
  sharedInstance()->trackPageWithPropertiesOnInstance(pageName, properties);
}

void DUZEAnalytics::pause() { sharedInstance()->pauseOnInstance(); }
void DUZEAnalytics::resume() { sharedInstance()->resumeOnInstance(); }

void DUZEAnalytics::startSession() { sharedInstance()->sessionTracker_->startSession(); }

void DUZEAnalytics::enableManualSessionTracker() {
  sharedInstance()->sessionTracker_->enableManualSessionTracker();
}

void DUZEAnalytics::setAutoPageTrackingEnabled(bool isEnabled) {
  sharedInstance()->autoPageTrackingEnabled_ = isEnabled;
}

bool DUZEAnalytics::isAutoPageTrackingEnabled() {
  return sharedInstance()->autoPageTrackingEnabled_.load();
}

uint64_t DUZEAnalytics::transmissionInterval() { return sharedInstance()->flushInterval(); }

void DUZEAnalytics::setTransmissionInterval(uint64_t interval) {
  sharedInstance()->setTransmissionIntervalOnInstance(interval);
}

std::shared_ptr<DUZEAnalyticsTransmissionTarget> DUZEAnalytics::transmissionTargetForToken(
    const std::string& token) {
  return sharedInstance()->transmissionTargetForTokenOnInstance(token);
}

void DUZEAnalytics::pauseTransmissionTargetForToken(const std::string& token) {
  sharedInstance()->pauseTransmissionTargetForTokenOnInstance(token);
}

void DUZEAnalytics::resumeTransmissionTargetForToken(const std::string& token) {
  sharedInstance()->resumeTransmissionTargetForTokenOnInstance(token);
}

void DUZEAnalytics::setDelegate(std::shared_ptr<DUZEAnalyticsDelegate> delegate) {
  auto instance = sharedInstance();
  base::LockGuard lock(instance->delegateMutex_);
  instance->delegate_ = std::move(delegate);
}

bool DUZEAnalytics::isServiceEnabled() {
  return DUZEServiceAbstract::isServiceEnabled(sharedInstance());
}

void DUZEAnalytics::setServiceEnabled(bool isEnabled) {
  DUZEServiceAbstract::setServiceEnabled(sharedInstance(), isEnabled);
}

// Service life --------------------------------------------------------------------

std::optional<DUZEChannelUnitConfiguration> DUZEAnalytics::channelUnitConfiguration() const {
  return channelUnitConfiguration_;
}

void DUZEAnalytics::startWithChannelGroup(std::shared_ptr<DUZEChannelGroupProtocol> channelGroup,
                                          std::optional<std::string> appSecret,
                                          std::optional<std::string> transmissionTargetToken,
                                          bool fromApplication) {
  base::LockGuard lock(instanceLock());
  channelUnitConfiguration_ = DUZEChannelUnitConfiguration::defaultConfiguration(
      std::string(kDUZEAnalyticsGroupId), flushInterval());
  {
    // The base start may already send (the first session's start-session
    // log) through the main unit.
    base::LockGuard units(unitsMutex_);
    if (channelGroup) {
      mainChannelUnit_ = channelGroup->addChannelUnitWithConfiguration(*channelUnitConfiguration_);
    }
  }
  DUZEServiceAbstract::startWithChannelGroup(channelGroup, std::move(appSecret),
                                             transmissionTargetToken, fromApplication);
  if (transmissionTargetToken) {
    defaultTransmissionTarget_ = createTransmissionTargetForToken(*transmissionTargetToken);
  }
  if (channelGroup) {
    auto critical = channelGroup->addChannelUnitWithConfiguration(
        DUZEChannelUnitConfiguration::defaultConfiguration(criticalGroupId()));
    base::LockGuard units(unitsMutex_);
    criticalChannelUnit_ = std::move(critical);
  }
  DUZELogVerbose(kDUZEAnalyticsLogTag, "Started Analytics service.");
}

void DUZEAnalytics::updateConfigurationWithAppSecret(
    std::optional<std::string> appSecret, std::optional<std::string> transmissionTargetToken) {
  base::LockGuard lock(instanceLock());
  DUZEServiceAbstract::updateConfigurationWithAppSecret(std::move(appSecret),
                                                        transmissionTargetToken);
  if (transmissionTargetToken && !defaultTransmissionTarget_) {
    defaultTransmissionTarget_ = createTransmissionTargetForToken(*transmissionTargetToken);
  }
}

void DUZEAnalytics::setEnabled(bool isEnabled) {
  base::LockGuard lock(instanceLock());
  DUZEServiceAbstract::setEnabled(isEnabled);
  for (const auto& [token, target] : transmissionTargets_) target->setEnabled(isEnabled);
  if (defaultTransmissionTarget_) defaultTransmissionTarget_->setEnabled(isEnabled);
}

void DUZEAnalytics::applyEnabledState(bool isEnabled) {
  base::LockGuard lock(instanceLock());
  DUZEServiceAbstract::applyEnabledState(isEnabled);
  if (auto critical = criticalChannelUnit()) critical->setEnabled(isEnabled, true);
  if (startedFromApplication()) {
    auto group = channelGroup();
    if (isEnabled) {
      resumeOnInstance();
      sessionTracker_->start();
      if (group) {
        group->addDelegate(sessionTracker_);
        group->addDelegate(std::static_pointer_cast<DUZEChannelDelegate>(self()));
      }
      if (autoPageTrackingEnabled_) {
        // A page that appeared before the service could track it.
        dispatch::DispatchQueue::main()->async([] {
          const std::string missed = DUZEAnalyticsCategory::missedPageViewName();
          if (!missed.empty()) DUZEAnalytics::trackPage(missed);
        });
      }
    } else {
      if (group) {
        group->removeDelegate(sessionTracker_);
        group->removeDelegate(std::static_pointer_cast<DUZEChannelDelegate>(self()));
      }
      sessionTracker_->stop();
      sessionTracker_->context()->clearSessionHistoryAndKeepCurrentSession(false);
    }
  }
  if (isEnabled) {
    DUZELogInfo(kDUZEAnalyticsLogTag, "Analytics service has been enabled.");
  } else {
    DUZELogInfo(kDUZEAnalyticsLogTag, "Analytics service has been disabled.");
  }
}

// Tracking ------------------------------------------------------------------------

DUZEProperties DUZEAnalytics::removeInvalidProperties(const DUZEProperties& properties) {
  return properties;
}

void DUZEAnalytics::trackEventWithPropertiesOnInstance(
    const std::string& eventName, const std::optional<DUZEProperties>& properties,
    const std::shared_ptr<DUZEAnalyticsTransmissionTarget>& transmissionTarget, uint64_t flags) {
  std::shared_ptr<DUZEEventProperties> typed;
  if (properties) {
    typed = DUZEEventProperties::createWithStringDictionary(removeInvalidProperties(*properties));
  }
  trackEventWithTypedPropertiesOnInstance(eventName, std::move(typed), transmissionTarget, flags);
}

void DUZEAnalytics::trackEventWithTypedPropertiesOnInstance(
    const std::string& eventName, std::shared_ptr<DUZEEventProperties> properties,
    std::shared_ptr<DUZEAnalyticsTransmissionTarget> transmissionTarget, uint64_t flags) {
  base::LockGuard lock(instanceLock());
  if (!canBeUsed() || !isEnabled()) return;
  if (!transmissionTarget) transmissionTarget = defaultTransmissionTarget_;
  uint64_t persistence = flags & DUZEFlagsPersistenceMask;
  if (persistence != DUZEFlagsNormal && persistence != DUZEFlagsCritical) {
    DUZELogWarning(kDUZEAnalyticsLogTag, "Invalid flags (%u) received, using normal as a default.",
                   static_cast<unsigned>(persistence));
    persistence = DUZEFlagsNormal;
  }
  auto log = DUZEEventLog::create();
  if (transmissionTarget) {
    if (!transmissionTarget->isEnabled()) {
      DUZELogError(kDUZEAnalyticsLogTag, "This transmission target is disabled.");
      return;
    }
    log->addTransmissionTargetToken(transmissionTarget->transmissionTargetToken());
    log->setTag(transmissionTarget);
    if (transmissionTarget == defaultTransmissionTarget_) {
      log->setUserId(DUZEUserIdContext::sharedInstance()->userId());
    }
  } else if (properties) {
    properties = validateZozIduvurEventProperties(*properties);
  }
  log->setName(eventName);
  log->setEventId(foundation::NSUUID().UUIDString());
  if (properties && !properties->isEmpty()) log->setTypedProperties(std::move(properties));
  sendLog(log, persistence);
}

void DUZEAnalytics::trackPageWithPropertiesOnInstance(
    const std::string& pageName, const std::optional<DUZEProperties>& properties) {
  base::LockGuard lock(instanceLock());
  if (!canBeUsed() || !isEnabled()) return;
  auto log = DUZEPageLog::create();
  log->setName(pageName);
  if (properties && !properties->empty()) log->setProperties(removeInvalidProperties(*properties));
  sendLog(log, DUZEFlagsNormal);
}

std::shared_ptr<DUZEChannelGroupProtocol> DUZEAnalytics::startedChannelGroup() {
  base::LockGuard lock(instanceLock());
  return channelGroup();
}

std::shared_ptr<DUZEChannelUnitProtocol> DUZEAnalytics::mainUnit() {
  base::LockGuard lock(unitsMutex_);
  return mainChannelUnit_;
}

std::shared_ptr<DUZEChannelUnitProtocol> DUZEAnalytics::criticalChannelUnit() {
  base::LockGuard lock(unitsMutex_);
  return criticalChannelUnit_;
}

void DUZEAnalytics::sendLog(const std::shared_ptr<DUZEAbstractLog>& log, uint64_t flags) {
  auto unit = (flags & DUZEFlagsCritical) != 0 ? criticalChannelUnit() : mainUnit();
  if (unit) unit->enqueueItem(log, flags);
}

void DUZEAnalytics::sessionTrackerProcessLog(const std::shared_ptr<DUZESessionTracker>&,
                                             const std::shared_ptr<DUZEStartSessionLog>& log) {
  sendLog(log, DUZEFlagsNormal);
}

void DUZEAnalytics::pauseOnInstance() {
  base::LockGuard lock(instanceLock());
  if (!canBeUsed()) return;
  auto identity = std::static_pointer_cast<void>(self());
  if (auto unit = mainUnit()) unit->pauseWithIdentifyingObject(identity);
  if (auto unit = criticalChannelUnit()) unit->pauseWithIdentifyingObject(identity);
}

void DUZEAnalytics::resumeOnInstance() {
  base::LockGuard lock(instanceLock());
  if (!canBeUsed()) return;
  auto identity = std::static_pointer_cast<void>(self());
  if (auto unit = mainUnit()) unit->resumeWithIdentifyingObject(identity);
  if (auto unit = criticalChannelUnit()) unit->resumeWithIdentifyingObject(identity);
}

void DUZEAnalytics::setTransmissionIntervalOnInstance(uint64_t interval) {
  if (isStarted()) {
    DUZELogError(kDUZEAnalyticsLogTag,
                 "The transmission interval should be set before the DUZEAnalytics service is "
                 "started.");
    return;
  }
  if (interval >= kDUZEMinTransmissionInterval && interval <= kDUZEMaxTransmissionInterval) {
    flushInterval_ = interval;
    DUZELogDebug(kDUZEAnalyticsLogTag, "Transmission interval set to %u second(s)",
                 static_cast<unsigned>(interval));
    return;
  }
  DUZELogError(kDUZEAnalyticsLogTag,
               "The transmission interval is not valid, it should be between %u second(s) and %u "
               "second(s) (%u day).",
               static_cast<unsigned>(kDUZEMinTransmissionInterval),
               static_cast<unsigned>(kDUZEMaxTransmissionInterval), 1u);
}

// Transmission targets ---------------------------------------------------------

std::shared_ptr<DUZEAnalyticsTransmissionTarget>
DUZEAnalytics::transmissionTargetForTokenOnInstance(const std::string& token) {
  base::LockGuard lock(instanceLock());
  if (auto it = transmissionTargets_.find(token); it != transmissionTargets_.end()) {
    DUZELogDebug(kDUZEAnalyticsLogTag, "Returning transmission target found with id %@.",
                 DUZEUtility::targetKeyFromTargetToken(token));
    return it->second;
  }
  auto target = createTransmissionTargetForToken(token);
  transmissionTargets_[token] = target;
  return target;
}

std::shared_ptr<DUZEAnalyticsTransmissionTarget> DUZEAnalytics::createTransmissionTargetForToken(
    const std::string& token) {
  auto target = DUZEAnalyticsTransmissionTarget::create(token, nullptr, channelGroup());
  DUZELogDebug(kDUZEAnalyticsLogTag, "Created transmission target with target key %@.",
               DUZEUtility::targetKeyFromTargetToken(token));
  return target;
}

std::shared_ptr<DUZEAnalyticsTransmissionTarget> DUZEAnalytics::defaultTransmissionTarget() {
  base::LockGuard lock(instanceLock());
  return defaultTransmissionTarget_;
}

void DUZEAnalytics::pauseTransmissionTargetForTokenOnInstance(const std::string& token) {
  if (auto unit = collectorChannelUnit()) unit->pauseSendingLogsWithToken(token);
  if (auto unit = collectorCriticalChannelUnit()) unit->pauseSendingLogsWithToken(token);
}

void DUZEAnalytics::resumeTransmissionTargetForTokenOnInstance(const std::string& token) {
  if (auto unit = collectorChannelUnit()) unit->resumeSendingLogsWithToken(token);
  if (auto unit = collectorCriticalChannelUnit()) unit->resumeSendingLogsWithToken(token);
}

std::shared_ptr<DUZEChannelUnitProtocol> DUZEAnalytics::collectorChannelUnit() {
  auto group = startedChannelGroup();
  base::LockGuard lock(unitsMutex_);
  if (!collectorChannelUnit_ && group) {
    collectorChannelUnit_ = group->channelUnitForGroupId(
        foundation::stringWithFormat("%@%@", kDUZEAnalyticsGroupId, kCollectorMirrorSuffix));
  }
  return collectorChannelUnit_;
}

std::shared_ptr<DUZEChannelUnitProtocol> DUZEAnalytics::collectorCriticalChannelUnit() {
  auto group = startedChannelGroup();
  base::LockGuard lock(unitsMutex_);
  if (!collectorCriticalChannelUnit_ && group) {
    collectorCriticalChannelUnit_ = group->channelUnitForGroupId(
        foundation::stringWithFormat("%@_%@%@", kDUZEAnalyticsGroupId,
                                     kDUZEAnalyticsCriticalGroupSuffix, kCollectorMirrorSuffix));
  }
  return collectorCriticalChannelUnit_;
}

// Sending reports -----------------------------------------------------------------

std::shared_ptr<DUZEAnalyticsDelegate> DUZEAnalytics::delegate() {
  base::LockGuard lock(delegateMutex_);
  return delegate_;
}

void DUZEAnalytics::channelWillSendLog(const std::shared_ptr<DUZEChannelUnitProtocol>&,
                                       const std::shared_ptr<DUZEAbstractLog>& log) {
  auto listener = delegate();
  if (!listener) return;
  if (auto event = std::dynamic_pointer_cast<DUZEEventLog>(log)) {
    listener->analyticsWillSendEventLog(self(), event);
  } else if (auto page = std::dynamic_pointer_cast<DUZEPageLog>(log)) {
    listener->analyticsWillSendPageLog(self(), page);
  }
}

void DUZEAnalytics::channelDidSucceedSendingLog(const std::shared_ptr<DUZEChannelUnitProtocol>&,
                                                const std::shared_ptr<DUZEAbstractLog>& log) {
  auto listener = delegate();
  if (!listener) return;
  if (auto event = std::dynamic_pointer_cast<DUZEEventLog>(log)) {
    listener->analyticsDidSucceedSendingEventLog(self(), event);
  } else if (auto page = std::dynamic_pointer_cast<DUZEPageLog>(log)) {
    listener->analyticsDidSucceedSendingPageLog(self(), page);
  }
}

void DUZEAnalytics::channelDidFailSendingLog(const std::shared_ptr<DUZEChannelUnitProtocol>&,
                                             const std::shared_ptr<DUZEAbstractLog>& log,
                                             const std::shared_ptr<foundation::NSError>& error) {
  auto listener = delegate();
  if (!listener) return;
  if (auto event = std::dynamic_pointer_cast<DUZEEventLog>(log)) {
    listener->analyticsDidFailSendingEventLog(self(), event, error);
  } else if (auto page = std::dynamic_pointer_cast<DUZEPageLog>(log)) {
    listener->analyticsDidFailSendingPageLog(self(), page, error);
  }
}
