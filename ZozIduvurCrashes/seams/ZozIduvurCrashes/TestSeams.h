#pragma once

// The hooks the tests steer the crash reporting service with; built only with the tests.

#include "ZozIduvurCrashes/DUZECrashes.h"

struct DUZECrashesSeams {
  // How long after enabling stored reports are processed (one second unless
  // set; std::nullopt restores it).
  static void setProcessingDelayForTesting(std::optional<dispatch::DispatchTimeInterval> delay);
  // Answers the debugger check instead of the kernel (std::nullopt restores
  // the real check).
  static void setDebuggerAttachedForTesting(std::optional<bool> attached);
};
