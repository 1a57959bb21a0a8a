#pragma once

#include <optional>

// Lets a wrapper SDK take part in setting up the crash handlers. Every
// operation is optional; all are called on the thread that enables the crash
// service.
class DUZECrashHandlerSetupDelegate {
 public:
  virtual ~DUZECrashHandlerSetupDelegate() = default;

  // Just before and just after the crash engine is configured.
  virtual void willSetUpCrashHandlers() {}
  virtual void didSetUpCrashHandlers() {}
  // Whether the engine registers its uncaught-exception handler; not
  // implemented (std::nullopt) counts as YES.
  virtual std::optional<bool> shouldEnableUncaughtExceptionHandler() { return std::nullopt; }
};
