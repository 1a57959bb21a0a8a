#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "ZozIduvurCrashes/DUZECrashes.h"

// The crash service's own steps (processing of stored reports, the
// crash-time buffer), for the component's code outside the class (the
// wrapper helper) and for its tests. Each call runs the step of the same
// name on the instance given, on the caller's thread.
class DUZECrashesInternal {
 public:
  explicit DUZECrashesInternal(DUZECrashes& crashes) : crashes_(crashes) {}

  void handleLatestCrashReport() { crashes_.handleLatestCrashReport(); }
  std::vector<std::filesystem::path> persistedCrashReports() {
    return crashes_.persistedCrashReports();
  }
  void processCrashReports() { crashes_.processCrashReports(); }
  bool sendCrashReportsOrAwaitUserConfirmation() {
    return crashes_.sendCrashReportsOrAwaitUserConfirmation();
  }
  bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
      const std::vector<std::string>& filteredIds) {
    return crashes_.sendCrashReportsOrAwaitUserConfirmationForFilteredIds(filteredIds);
  }
  bool shouldAlwaysSend() { return crashes_.shouldAlwaysSend(); }
  DUZEErrorReports unprocessedCrashReports() { return crashes_.unprocessedCrashReports(); }
  void clearUnprocessedReports() { crashes_.clearUnprocessedReports(); }
  void processMemoryWarningInLastSession() { crashes_.processMemoryWarningInLastSession(); }
  void emptyLogBufferFiles() { crashes_.emptyLogBufferFiles(); }

 private:
  DUZECrashes& crashes_;
};
