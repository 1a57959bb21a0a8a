#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "ZozIduvur/DUZEChannelDelegate.h"
#include "ZozIduvur/DUZEChannelUnitConfiguration.h"
#include "ZozIduvur/DUZEChannelUnitProtocol.h"

// The suffix of the Common Schema mirror of a unit: "<group id>/one".
inline constexpr std::string_view kDUZECommonSchemaMirrorSuffix = "/one";

// The channel units of the client and their delegates.
class DUZEChannelGroupProtocol {
 public:
  virtual ~DUZEChannelGroupProtocol() = default;

  // Creates, registers and returns a unit (the existing one when a unit of
  // that group id was added before).
  virtual std::shared_ptr<DUZEChannelUnitProtocol> addChannelUnitWithConfiguration(
      const DUZEChannelUnitConfiguration& configuration) = 0;
  // The unit of the group id, or null.
  virtual std::shared_ptr<DUZEChannelUnitProtocol> channelUnitForGroupId(
      std::string_view groupId) = 0;
  // Delegates of every unit of the group, held weakly.
  virtual void addDelegate(const std::shared_ptr<DUZEChannelDelegate>& delegate) = 0;
  virtual void removeDelegate(const std::shared_ptr<DUZEChannelDelegate>& delegate) = 0;
  // Enables or disables every unit.
  virtual void setEnabled(bool isEnabled, bool deleteDataOnDisabled) = 0;
};
