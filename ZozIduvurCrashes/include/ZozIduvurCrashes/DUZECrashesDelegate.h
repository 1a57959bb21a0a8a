#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "ZozIduvurCrashes/DUZEErrorAttachmentLog.h"
#include "ZozIduvurCrashes/DUZEErrorReport.h"
#include "foundation/NSError.h"

class DUZECrashes;

// The application's crash delegate. Every operation is optional.
class DUZECrashesDelegate {
 public:
  virtual ~DUZECrashesDelegate() = default;

  // Asked once per stored crash report while automatic processing is on, on
  // the processing thread. NO discards the report; not implemented
  // (std::nullopt) counts as YES.
  virtual std::optional<bool> crashesShouldProcessErrorReport(
      const std::shared_ptr<DUZECrashes>& /*crashes*/,
      const std::shared_ptr<DUZEErrorReport>& /*errorReport*/) {
    return std::nullopt;
  }
  // Around the sending of a crash log; on the main thread.
  virtual void crashesWillSendErrorReport(const std::shared_ptr<DUZECrashes>& /*crashes*/,
                                          const std::shared_ptr<DUZEErrorReport>& /*errorReport*/) {
  }
  virtual void crashesDidSucceedSendingErrorReport(
      const std::shared_ptr<DUZECrashes>& /*crashes*/,
      const std::shared_ptr<DUZEErrorReport>& /*errorReport*/) {}
  virtual void crashesDidFailSendingErrorReport(
      const std::shared_ptr<DUZECrashes>& /*crashes*/,
      const std::shared_ptr<DUZEErrorReport>& /*errorReport*/,
      const std::shared_ptr<foundation::NSError>& /*error*/) {}
  // The attachments to send with a crash log (asked once per crash log being
  // sent); not implemented (std::nullopt) sends none.
  virtual std::optional<std::vector<std::shared_ptr<DUZEErrorAttachmentLog>>>
  attachmentsWithCrashes(const std::shared_ptr<DUZECrashes>& /*crashes*/,
                         const std::shared_ptr<DUZEErrorReport>& /*errorReport*/) {
    return std::nullopt;
  }
};
