#pragma once

// switcher, the application: its delegate (this header), which starts the
// telemetry client with its analytics and crash services at launch, its
// termination on SIGINT or SIGTERM (Termination.h), and its identifier and
// versions (ApplicationBundle.h). The program (src/main.cpp) sets them up and
// runs the main loop; it switches no windows yet.

#include <memory>
#include <optional>
#include <string_view>

#include "ZozIduvurCrashes/DUZECrashesDelegate.h"

// The secret the telemetry client presents to the ingestion service.
inline constexpr std::string_view kApplicationSecret = "81859cc0-1664-4bff-8e2f-a3600ad646e9";

// The application's delegate: it sets up the telemetry client once the
// application has finished launching, and is the crash service's delegate,
// which lets every crash report of the last run be sent.
//
// The crash service holds its delegate weakly: whoever runs the application
// keeps this object alive for the life of the process.
class AppDelegate : public DUZECrashesDelegate, public std::enable_shared_from_this<AppDelegate> {
 public:
  static std::shared_ptr<AppDelegate> create();

  // The launch-completion steps, on the main thread, once: registers the
  // standard default that has exceptions of the main thread reported as
  // crashes (the crash service reads it while it starts), starts the
  // telemetry client with its analytics and crash services, and becomes the
  // crash service's delegate.
  void applicationDidFinishLaunching();
  // The application is about to end (on the main thread, once the main loop
  // has returned): the telemetry client is torn down, its log store closed
  // cleanly. Unsent logs wait in the store for the next run.
  void applicationWillTerminate();

  // DUZECrashesDelegate:
  // Every report is processed (and so sent).
  std::optional<bool> crashesShouldProcessErrorReport(
      const std::shared_ptr<DUZECrashes>& crashes,
      const std::shared_ptr<DUZEErrorReport>& errorReport) override;

 private:
  AppDelegate() = default;
};
