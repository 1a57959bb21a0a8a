#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ZozIduvurCrashes/DUZECrashHandlerSetupDelegate.h"
#include "ZozIduvurCrashes/DUZECrashes.h"
#include "base/Mutex.h"

// How a wrapper SDK steers crash processing: it takes part in setting up the
// crash handlers, turns automatic processing off, and then sends or drops
// the stored crashes itself. Class operations, forwarding to the helper's
// singleton or to the crash service's shared instance. Thread-safe.
class DUZEWrapperCrashesHelper {
 public:
  static std::shared_ptr<DUZEWrapperCrashesHelper> sharedInstance();

  // Held weakly.
  static void setCrashHandlerSetupDelegate(
      const std::shared_ptr<DUZECrashHandlerSetupDelegate>& delegate);
  static std::shared_ptr<DUZECrashHandlerSetupDelegate> crashHandlerSetupDelegate();
  static std::shared_ptr<DUZECrashHandlerSetupDelegate> getCrashHandlerSetupDelegate();

  static void setAutomaticProcessing(bool automaticProcessing);
  static bool automaticProcessing();
  // Blocks until the crash service's first processing has ended.
  static DUZEErrorReports unprocessedCrashReports();
  static bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
      const std::vector<std::string>& filteredIds);
  static void sendErrorAttachments(const DUZEErrorAttachmentLogs& errorAttachments,
                                   const std::string& incidentIdentifier);
  static std::shared_ptr<DUZEErrorReport> buildHandledErrorReportWithErrorID(
      const std::string& errorId);

 private:
  base::Mutex mutex_;
  std::weak_ptr<DUZECrashHandlerSetupDelegate> crashHandlerSetupDelegate_ KX_GUARDED_BY(mutex_);
};
