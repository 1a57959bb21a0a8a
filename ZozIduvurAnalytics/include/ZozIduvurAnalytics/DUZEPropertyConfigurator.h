#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ZozIduvur/DUZEChannelDelegate.h"
#include "ZozIduvurAnalytics/DUZEEventProperties.h"
#include "base/Mutex.h"
#include "dispatch/Time.h"

class DUZEAnalyticsTransmissionTarget;

// The overrides of one transmission target: the application version, name
// and locale and the user id written into the Common Schema logs of the
// target and its descendants (a descendant's own value wins), the device id
// sent for the target's own logs once collected, and event properties that
// every event tracked through the target or a descendant inherits.
//
// The event-property operations take the analytics service's lock; the
// overrides are written into logs on the core's logs queue.
class DUZEPropertyConfigurator : public DUZEChannelDelegate {
 public:
  // The owner is held weakly; a configurator whose target is gone does
  // nothing.
  explicit DUZEPropertyConfigurator(std::weak_ptr<DUZEAnalyticsTransmissionTarget> owner);

  // None clears an override.
  void setAppVersion(std::optional<std::string> appVersion);
  void setAppName(std::optional<std::string> appName);
  void setAppLocale(std::optional<std::string> appLocale);
  // Stored with its prefix ("c:" in front of an id without one); an id the
  // collector refuses is logged and the earlier value kept.
  void setUserId(const std::optional<std::string>& userId);
  std::optional<std::string> appVersion();
  std::optional<std::string> appName();
  std::optional<std::string> appLocale();
  std::optional<std::string> userId();

  // The setters of the inherited event properties (with their checks).
  void setEventPropertyString(const std::optional<std::string>& value,
                              const std::optional<std::string>& key);
  void setEventPropertyDouble(double value, const std::optional<std::string>& key);
  void setEventPropertyInt64(int64_t value, const std::optional<std::string>& key);
  void setEventPropertyBool(bool value, const std::optional<std::string>& key);
  void setEventPropertyDate(const std::optional<dispatch::Date>& value,
                            const std::optional<std::string>& key);
  void removeEventPropertyForKey(const std::optional<std::string>& key);
  const std::shared_ptr<DUZEEventProperties>& eventProperties() const { return eventProperties_; }

  // Sends the device id ("u:" and the machine's platform UUID) with the
  // target's Common Schema logs from now on.
  void collectDeviceId();
  std::optional<std::string> deviceId();
  // "u:<platform UUID>", or "u:(null)" when the machine has none.
  static std::string getDeviceIdentifier();
  // The platform UUID: /etc/machine-id in upper-case 8-4-4-4-12 form, or none.
  static std::optional<std::string> platformUUID();

  // Copies each own event property whose key `properties` lacks into it.
  void mergeTypedPropertiesWith(DUZEEventProperties& properties);

  // DUZEChannelDelegate: writes the overrides into the owner's Common Schema
  // logs.
  void channelPrepareLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                         const std::shared_ptr<DUZEAbstractLog>& log) override;

 private:
  // The first configurator from `target` up through its parents whose field
  // (read by `get`) is set.
  static std::optional<std::string> inherited(
      const std::shared_ptr<DUZEAnalyticsTransmissionTarget>& target,
      std::optional<std::string> (DUZEPropertyConfigurator::*get)());

  const std::weak_ptr<DUZEAnalyticsTransmissionTarget> transmissionTarget_;
  const std::shared_ptr<DUZEEventProperties> eventProperties_;
  base::Mutex mutex_;  // the overrides and the device id
  std::optional<std::string> appVersion_ KX_GUARDED_BY(mutex_);
  std::optional<std::string> appName_ KX_GUARDED_BY(mutex_);
  std::optional<std::string> appLocale_ KX_GUARDED_BY(mutex_);
  std::optional<std::string> userId_ KX_GUARDED_BY(mutex_);
  std::optional<std::string> deviceId_ KX_GUARDED_BY(mutex_);
};
