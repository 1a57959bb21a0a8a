#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ZozIduvur/DUZEChannelGroupProtocol.h"
#include "ZozIduvur/DUZEChannelUnitConfiguration.h"
#include "ZozIduvur/DUZEChannelUnitProtocol.h"
#include "base/Mutex.h"

// Services start in descending priority; this is the default.
inline constexpr int64_t kDUZEInitializationPriorityDefault = 500;

// The base of the telemetry services. A service is a process-wide shared
// instance; the entry object starts it with the channel group, and it keeps
// its enabled flag in user defaults under "<group id>IsEnabled".
//
// Start, enabling and the class-level operations run under the instance's
// recursive lock (`instanceLock`), which subclasses also take for their own
// operations.
class DUZEServiceAbstract : public std::enable_shared_from_this<DUZEServiceAbstract> {
 public:
  virtual ~DUZEServiceAbstract() = default;

  // Identity, given by each service.
  virtual std::string_view className() const = 0;
  virtual std::string serviceName() const = 0;
  virtual std::string groupId() const = 0;
  virtual std::string_view logTag() const = 0;
  virtual int64_t initializationPriority() const { return kDUZEInitializationPriorityDefault; }
  virtual bool isAppSecretRequired() const { return true; }
  // The configuration of the service's channel unit; a service without one
  // gets no unit.
  virtual std::optional<DUZEChannelUnitConfiguration> channelUnitConfiguration() const {
    return std::nullopt;
  }

  // "%@IsEnabled" with the group id.
  std::string isEnabledKey() const;
  // The stored flag; YES when none is stored.
  virtual bool isEnabled();
  // When the value differs from `isEnabled`: `applyEnabledState` with the new
  // value first, then the value is stored (so during that call `isEnabled`
  // still answers the old value).
  virtual void setEnabled(bool isEnabled);
  // Enables or disables the channel unit; disabling deletes its stored logs.
  virtual void applyEnabledState(bool isEnabled);
  // YES when the client is configured and the service started; otherwise
  // logs why at error level and answers NO.
  bool canBeUsed();
  // Enabled and started.
  bool isAvailable();

  // Stores the arguments, marks the service started, adds the channel unit
  // (when the service has a configuration) and, when enabled, applies the
  // enabled state.
  virtual void startWithChannelGroup(std::shared_ptr<DUZEChannelGroupProtocol> channelGroup,
                                     std::optional<std::string> appSecret,
                                     std::optional<std::string> transmissionTargetToken,
                                     bool fromApplication);
  // A later start from the application: marks it started from the
  // application, stores the new secret and token, and re-applies the enabled
  // state when enabled.
  virtual void updateConfigurationWithAppSecret(std::optional<std::string> appSecret,
                                                std::optional<std::string> transmissionTargetToken);

  bool isStarted() const { return started_; }
  bool startedFromApplication() const { return startedFromApplication_; }
  std::shared_ptr<DUZEChannelGroupProtocol> channelGroup() const { return channelGroup_; }
  std::shared_ptr<DUZEChannelUnitProtocol> channelUnit() const { return channelUnit_; }
  const std::optional<std::string>& appSecret() const { return appSecret_; }
  const std::optional<std::string>& defaultTransmissionTargetToken() const {
    return defaultTransmissionTargetToken_;
  }

  base::RecursiveMutex& instanceLock() KX_RETURN_CAPABILITY(lock_) { return lock_; }

  // The class-level `isEnabled` and `setEnabled:` of a service, given its
  // shared instance: under the instance's lock, refused (with the reason
  // logged) while the service cannot be used, and `setEnabled` also while
  // the whole client is disabled.
  static bool isServiceEnabled(const std::shared_ptr<DUZEServiceAbstract>& service);
  static void setServiceEnabled(const std::shared_ptr<DUZEServiceAbstract>& service,
                                bool isEnabled);

 private:
  base::RecursiveMutex lock_;
  // Written under the lock by the start; the getters above read them without
  // it, so the lock is not said to guard them.
  bool started_ = false;
  bool startedFromApplication_ = false;
  std::shared_ptr<DUZEChannelGroupProtocol> channelGroup_;
  std::shared_ptr<DUZEChannelUnitProtocol> channelUnit_;
  std::optional<std::string> appSecret_;
  std::optional<std::string> defaultTransmissionTargetToken_;
};
