#pragma once

// ZozIduvurAnalytics, the usage analytics service of the telemetry client.
// `DUZEAnalytics` (this header) tracks events and pages (DUZEEventLog.h,
// DUZEPageLog.h) within sessions that DUZESessionTracker.h keeps;
// transmission targets (DUZEAnalyticsTransmissionTarget.h) address events to
// further ingestion tokens, with properties of their own
// (DUZEPropertyConfigurator.h).

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ZozIduvur/DUZEAbstractLog.h"
#include "ZozIduvur/DUZEChannelDelegate.h"
#include "ZozIduvur/DUZEServiceAbstract.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsConstants.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsDelegate.h"
#include "ZozIduvurAnalytics/DUZEEventProperties.h"
#include "ZozIduvurAnalytics/DUZESessionTracker.h"
#include "base/Mutex.h"

class DUZEAnalyticsTransmissionTarget;
class DUZELogWithNameAndProperties;
class DUZETypedProperty;

// The usage analytics service: turns the class-level calls below into event
// and page logs, keeps the user's session going, and hands every log to its
// channel units ("Analytics" for normal logs, "Analytics_critical" for
// critical events). Events addressed to a transmission target travel on as
// Common Schema logs through the core's mirror units.
//
// One shared instance lives for the process; the telemetry entry object
// starts it (`DUZEServiceClass::of<DUZEAnalytics>()`). The tracking
// operations, `pause` and `resume` hold the instance lock from the usability
// check to the enqueue; transmission targets and property configurators take
// the same lock. Channel-delegate calls come on the core's logs queue.
class DUZEAnalytics : public DUZEServiceAbstract,
                      public DUZESessionTrackerDelegate,
                      public DUZEChannelDelegate {
 public:
  static constexpr std::string_view kClassName = "DUZEAnalytics";

  // The process's instance, made on first use.
  static std::shared_ptr<DUZEAnalytics> sharedInstance();
  // Stops the current instance's session tracker and drops the instance; the
  // next `sharedInstance` builds a new one.
  static void resetSharedInstance();

  // Class-level interface -------------------------------------------------
  // Each operation forwards to the shared instance. Until the service is
  // started, tracking, pausing and resuming log the core's not-started error
  // and do nothing.

  static void trackEvent(const std::string& eventName);
  static void trackEventWithProperties(const std::string& eventName,
                                       const std::optional<DUZEProperties>& properties);
  static void trackEventWithProperties(const std::string& eventName,
                                       const std::optional<DUZEProperties>& properties,
                                       uint64_t flags);
  static void trackEventWithProperties(
      const std::string& eventName, const std::optional<DUZEProperties>& properties,
      const std::shared_ptr<DUZEAnalyticsTransmissionTarget>& transmissionTarget, uint64_t flags);
  static void trackEventWithTypedProperties(const std::string& eventName,
                                            const std::shared_ptr<DUZEEventProperties>& properties);
  static void trackEventWithTypedProperties(const std::string& eventName,
                                            const std::shared_ptr<DUZEEventProperties>& properties,
                                            uint64_t flags);
  static void trackEventWithTypedProperties(
      const std::string& eventName, const std::shared_ptr<DUZEEventProperties>& properties,
      const std::shared_ptr<DUZEAnalyticsTransmissionTarget>& transmissionTarget, uint64_t flags);
  static void trackPage(const std::string& pageName);
  static void trackPageWithProperties(const std::string& pageName,
                                      const std::optional<DUZEProperties>& properties);

  // Pause and resume sending of both units (and their mirrors).
  static void pause();
  static void resume();

  // Session control (see DUZESessionTracker).
  static void startSession();
  static void enableManualSessionTracker();

  static void setAutoPageTrackingEnabled(bool isEnabled);
  static bool isAutoPageTrackingEnabled();

  // Seconds between batches of the main unit; only before the start, and
  // only from 6 to 86400.
  static uint64_t transmissionInterval();
  static void setTransmissionInterval(uint64_t interval);

  // The target of a token (made and kept on first request).
  static std::shared_ptr<DUZEAnalyticsTransmissionTarget> transmissionTargetForToken(
      const std::string& token);
  // Pause and resume the sending of a token's target key in both mirrors.
  static void pauseTransmissionTargetForToken(const std::string& token);
  static void resumeTransmissionTargetForToken(const std::string& token);

  // Held strongly.
  static void setDelegate(std::shared_ptr<DUZEAnalyticsDelegate> delegate);

  // The class-level enabled state (refused while the service cannot be used).
  static bool isServiceEnabled();
  static void setServiceEnabled(bool isEnabled);

  // DUZEServiceAbstract ----------------------------------------------------
  std::string_view className() const override { return kClassName; }
  std::string serviceName() const override { return std::string(kDUZEAnalyticsServiceName); }
  std::string groupId() const override { return std::string(kDUZEAnalyticsGroupId); }
  std::string_view logTag() const override { return kDUZEAnalyticsLogTag; }
  // The service may start with a transmission target token only.
  bool isAppSecretRequired() const override { return false; }
  // The main unit's configuration, built at start.
  std::optional<DUZEChannelUnitConfiguration> channelUnitConfiguration() const override;
  void startWithChannelGroup(std::shared_ptr<DUZEChannelGroupProtocol> channelGroup,
                             std::optional<std::string> appSecret,
                             std::optional<std::string> transmissionTargetToken,
                             bool fromApplication) override;
  void updateConfigurationWithAppSecret(
      std::optional<std::string> appSecret,
      std::optional<std::string> transmissionTargetToken) override;
  // The base's switch, then the same value for every known target.
  void setEnabled(bool isEnabled) override;
  void applyEnabledState(bool isEnabled) override;

  // The instance operations the class-level ones forward to ---------------
  void trackEventWithPropertiesOnInstance(
      const std::string& eventName, const std::optional<DUZEProperties>& properties,
      const std::shared_ptr<DUZEAnalyticsTransmissionTarget>& transmissionTarget, uint64_t flags);
  void trackEventWithTypedPropertiesOnInstance(
      const std::string& eventName, std::shared_ptr<DUZEEventProperties> properties,
      std::shared_ptr<DUZEAnalyticsTransmissionTarget> transmissionTarget, uint64_t flags);
  void trackPageWithPropertiesOnInstance(const std::string& pageName,
                                         const std::optional<DUZEProperties>& properties);
  void pauseOnInstance();
  void resumeOnInstance();
  void setTransmissionIntervalOnInstance(uint64_t interval);
  std::shared_ptr<DUZEAnalyticsTransmissionTarget> transmissionTargetForTokenOnInstance(
      const std::string& token);
  void pauseTransmissionTargetForTokenOnInstance(const std::string& token);
  void resumeTransmissionTargetForTokenOnInstance(const std::string& token);

  // Internal operations ------------------------------------------------------

  // Enqueues the log in the critical unit when `flags` has the critical bit,
  // else in the main unit.
  void sendLog(const std::shared_ptr<DUZEAbstractLog>& log, uint64_t flags);
  // A top-level target on the service's channel group.
  std::shared_ptr<DUZEAnalyticsTransmissionTarget> createTransmissionTargetForToken(
      const std::string& token);
  // The core's mirrors of the two units, looked up on first use.
  std::shared_ptr<DUZEChannelUnitProtocol> collectorChannelUnit();
  std::shared_ptr<DUZEChannelUnitProtocol> collectorCriticalChannelUnit();
  std::shared_ptr<DUZEChannelUnitProtocol> criticalChannelUnit();
  std::shared_ptr<DUZEAnalyticsTransmissionTarget> defaultTransmissionTarget();
  const std::shared_ptr<DUZESessionTracker>& sessionTracker() const { return sessionTracker_; }
  uint64_t flushInterval() const { return flushInterval_.load(); }
  std::shared_ptr<DUZEAnalyticsDelegate> delegate();
  // The string properties that can be sent: only string keys and values
  // exist in a DUZEProperties, so this is a copy.
  static DUZEProperties removeInvalidProperties(const DUZEProperties& properties);

  // Validation -----------------------------------------------------------------

  // YES (drop the log) for an event or page log that `validateLog` refuses.
  bool channelUnitShouldFilterLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                  const std::shared_ptr<DUZEAbstractLog>& log) override;
  // Checks and cuts the name and the string properties in place; NO when the
  // log has no usable name.
  static bool validateLog(DUZELogWithNameAndProperties& log);
  // The name to use (cut to 256 UTF-16 code units), or none when it is
  // missing or empty.
  static std::optional<std::string> validateEventName(const std::optional<std::string>& eventName,
                                                      std::string_view logType);
  static DUZEProperties validateProperties(const std::optional<DUZEProperties>& properties,
                                           std::string_view logName, std::string_view logType);
  // At most 20 properties, keys and string values cut to 125 code units.
  static std::shared_ptr<DUZEEventProperties> validateZozIduvurEventProperties(
      const DUZEEventProperties& properties);
  // A new property of the same kind with a checked name (and value), or null
  // for a kind the service does not know.
  static std::shared_ptr<DUZETypedProperty> validateZozIduvurTypedProperty(
      const DUZETypedProperty& property);
  static std::string validateZozIduvurPropertyName(const std::string& key);
  static std::string validateZozIduvurStringTypedPropertyValue(const std::string& value);

  // DUZEChannelDelegate: sending reports for event and page logs ---------------
  void channelWillSendLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                          const std::shared_ptr<DUZEAbstractLog>& log) override;
  void channelDidSucceedSendingLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                   const std::shared_ptr<DUZEAbstractLog>& log) override;
  void channelDidFailSendingLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                const std::shared_ptr<DUZEAbstractLog>& log,
                                const std::shared_ptr<foundation::NSError>& error) override;

  // DUZESessionTrackerDelegate: sends the start-session log as a normal log.
  void sessionTrackerProcessLog(const std::shared_ptr<DUZESessionTracker>& sessionTracker,
                                const std::shared_ptr<DUZEStartSessionLog>& log) override;

  ~DUZEAnalytics() override;

 private:
  // Migrates the old keys, registers the archive classes and makes the
  // session tracker; run once through `sharedInstance`.
  DUZEAnalytics();

  std::shared_ptr<DUZEAnalytics> self();
  std::shared_ptr<DUZEChannelUnitProtocol> mainUnit();
  // The channel group, read under the instance lock (the start writes it).
  std::shared_ptr<DUZEChannelGroupProtocol> startedChannelGroup();

  std::atomic<bool> autoPageTrackingEnabled_{false};
  std::optional<DUZEChannelUnitConfiguration> channelUnitConfiguration_;  // instance lock
  const std::shared_ptr<DUZESessionTracker> sessionTracker_;
  base::Mutex delegateMutex_;
  std::shared_ptr<DUZEAnalyticsDelegate> delegate_ KX_GUARDED_BY(delegateMutex_);
  std::atomic<uint64_t> flushInterval_{kDUZEDefaultFlushInterval};
  std::map<std::string, std::shared_ptr<DUZEAnalyticsTransmissionTarget>> transmissionTargets_
      KX_GUARDED_BY(instanceLock());
  std::shared_ptr<DUZEAnalyticsTransmissionTarget> defaultTransmissionTarget_
      KX_GUARDED_BY(instanceLock());
  // The units, read on any thread (the session tracker sends from the main
  // thread without the instance lock).
  base::Mutex unitsMutex_;
  std::shared_ptr<DUZEChannelUnitProtocol> mainChannelUnit_ KX_GUARDED_BY(unitsMutex_);
  std::shared_ptr<DUZEChannelUnitProtocol> criticalChannelUnit_ KX_GUARDED_BY(unitsMutex_);
  std::shared_ptr<DUZEChannelUnitProtocol> collectorChannelUnit_ KX_GUARDED_BY(unitsMutex_);
  std::shared_ptr<DUZEChannelUnitProtocol> collectorCriticalChannelUnit_ KX_GUARDED_BY(unitsMutex_);
};

// Registers the classes that stored analytics logs and histories may hold.
class DUZEAnalyticsArchiverUtil {
 public:
  static void addAllowedAnalyitcsModuleClasses();
};
