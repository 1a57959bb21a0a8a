#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ZozIduvur/DUZEAbstractLog.h"
#include "ZozIduvur/DUZEChannelDelegate.h"
#include "ZozIduvur/DUZEChannelGroupProtocol.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsAuthenticationProvider.h"
#include "ZozIduvurAnalytics/DUZEEventProperties.h"
#include "ZozIduvurAnalytics/DUZEPropertyConfigurator.h"
#include "base/Mutex.h"

// Sends events to the Common Schema collector under its own token. Targets
// come from the analytics service (`DUZEAnalytics::transmissionTargetForToken`)
// or from a parent target; each is switched on or off on its own (persisted
// per target key, "AnalyticsIsEnabled/<target key>") but can be enabled only
// while its parent chain and the service are; disabling reaches every
// descendant. Events tracked through a target inherit the event properties of
// its configurator and its ancestors'.
//
// A parent holds its children; a child refers to its parent weakly (the
// service holds the top-level targets, so a chain stays whole while the
// service lives). A child whose parent is gone counts as a top-level target.
//
// `isEnabled` and `setEnabled` take the analytics service's lock.
class DUZEAnalyticsTransmissionTarget
    : public DUZEChannelDelegate,
      public std::enable_shared_from_this<DUZEAnalyticsTransmissionTarget> {
 public:
  // Builds a target (persisted as disabled when its parent or the service is
  // not enabled) and adds its configurator and itself as delegates of the
  // group (a null group gets no delegates).
  static std::shared_ptr<DUZEAnalyticsTransmissionTarget> create(
      std::string transmissionTargetToken,
      std::shared_ptr<DUZEAnalyticsTransmissionTarget> parentTarget,
      std::shared_ptr<DUZEChannelGroupProtocol> channelGroup);

  void trackEvent(const std::string& eventName);
  void trackEventWithProperties(const std::string& eventName,
                                const std::optional<DUZEProperties>& properties);
  void trackEventWithProperties(const std::string& eventName,
                                const std::optional<DUZEProperties>& properties, uint64_t flags);
  void trackEventWithTypedProperties(const std::string& eventName,
                                     const std::shared_ptr<DUZEEventProperties>& properties);
  void trackEventWithTypedProperties(const std::string& eventName,
                                     const std::shared_ptr<DUZEEventProperties>& properties,
                                     uint64_t flags);

  // The child target of a token (made and kept on first request).
  std::shared_ptr<DUZEAnalyticsTransmissionTarget> transmissionTargetForToken(
      const std::string& token);

  // The persisted flag; YES when none is stored.
  bool isEnabled();
  void setEnabled(bool isEnabled);
  // Pause and resume the sending of this target's logs.
  void pause();
  void resume();
  // Whether the parent (or, for a top-level target, the service) is enabled.
  bool isImmediateParent();

  const std::shared_ptr<DUZEPropertyConfigurator>& propertyConfigurator() const {
    return propertyConfigurator_;
  }
  // The target this one was derived from, or null.
  std::shared_ptr<DUZEAnalyticsTransmissionTarget> parentTarget() const {
    return parentTarget_.lock();
  }
  const std::string& transmissionTargetToken() const { return transmissionTargetToken_; }
  const std::string& isEnabledKey() const { return isEnabledKey_; }

  // One provider for all targets: installs it (replacing any earlier one) and
  // asks it for a token.
  static void addAuthenticationProvider(
      std::shared_ptr<DUZEAnalyticsAuthenticationProvider> authenticationProvider);
  static std::shared_ptr<DUZEAnalyticsAuthenticationProvider> authenticationProvider();
  static void setAuthenticationProvider(
      std::shared_ptr<DUZEAnalyticsAuthenticationProvider> authenticationProvider);

  // DUZEChannelDelegate: puts the provider's ticket key into this target's
  // Common Schema logs.
  void channelPrepareLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                         const std::shared_ptr<DUZEAbstractLog>& log) override;

  DUZEAnalyticsTransmissionTarget(std::string transmissionTargetToken,
                                  std::shared_ptr<DUZEAnalyticsTransmissionTarget> parentTarget,
                                  std::shared_ptr<DUZEChannelGroupProtocol> channelGroup);

 private:
  std::shared_ptr<DUZEPropertyConfigurator> propertyConfigurator_;
  const std::weak_ptr<DUZEAnalyticsTransmissionTarget> parentTarget_;
  base::Mutex childrenMutex_;
  std::map<std::string, std::shared_ptr<DUZEAnalyticsTransmissionTarget>> childTransmissionTargets_
      KX_GUARDED_BY(childrenMutex_);
  const std::string isEnabledKey_;
  const std::shared_ptr<DUZEChannelGroupProtocol> channelGroup_;
  const std::string transmissionTargetToken_;
};
