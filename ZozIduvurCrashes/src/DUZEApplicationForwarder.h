#pragma once

#include <string_view>

// Info.plist switch that turns the forwarder off (absent counts as on).
inline constexpr std::string_view kDUZEApplicationForwarderEnabledKey =
    "ZozIduvurApplicationForwarderEnabled";
// Standard user default the application registers as YES to have exceptions
// of the main thread reported as crashes.
inline constexpr std::string_view kDUZEApplicationCrashOnExceptionsKey =
    "NSApplicationCrashOnExceptions";

// Replaces `reportException:` and `sendEvent:` of `NSApplication` so that
// exceptions the application object reports, and those that escape event
// dispatch, reach the crash service (and through it the crash engine) before
// the application's own reporting of them. Each replacement happens at most
// once per process and stays for its life.
class DUZEApplicationForwarder {
 public:
  // Called by the crash service once the engine is enabled. Any thread.
  static void registerForwarding();
};
