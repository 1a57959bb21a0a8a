#pragma once

// The hooks the tests steer the analytics service with; built only with the tests.

#include "ZozIduvurAnalytics/DUZEAnalyticsClock.h"
#include "ZozIduvurAnalytics/DUZEPropertyConfigurator.h"

struct DUZEPropertyConfiguratorSeams {
  // Reads the platform UUID from another file (tests); none restores
  // /etc/machine-id.
  static void setMachineIdPathForTesting(std::optional<std::string> path);
};

struct DUZEAnalyticsClockSeams {
  // Installs `clock` (an empty function restores the wall clock).
  static void setClockForTesting(std::function<dispatch::Date()> clock);
};
