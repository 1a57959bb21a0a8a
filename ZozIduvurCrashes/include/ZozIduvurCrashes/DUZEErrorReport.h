#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ZozIduvur/DUZEDevice.h"
#include "ZozIduvurCrashes/DUZEAppleErrorLog.h"
#include "dispatch/Time.h"
#include "foundation/Value.h"

// The read-only summary of one crash (or handled error) that the crash
// service hands to its delegate. Only the signal may be changed.
class DUZEErrorReport {
 public:
  DUZEErrorReport(std::optional<std::string> errorId, std::optional<std::string> reporterKey,
                  std::optional<std::string> signal, std::optional<std::string> exceptionName,
                  std::optional<std::string> exceptionReason,
                  std::optional<dispatch::Date> appStartTime,
                  std::optional<dispatch::Date> appErrorTime, std::optional<std::string> codeType,
                  std::optional<std::string> archName, std::optional<std::string> applicationPath,
                  std::optional<DUZEThreads> threads, std::optional<DUZEBinaries> binaries,
                  std::shared_ptr<DUZEDevice> device, uint64_t appProcessIdentifier);

  template <class... Args>
  static std::shared_ptr<DUZEErrorReport> create(Args&&... args) {
    return std::make_shared<DUZEErrorReport>(std::forward<Args>(args)...);
  }

  // The error id of the log.
  const std::optional<std::string>& incidentIdentifier() const { return incidentIdentifier_; }
  // The telemetry client's install id, or the empty string.
  const std::optional<std::string>& reporterKey() const { return reporterKey_; }
  const std::optional<std::string>& signal() const { return signal_; }
  void setSignal(std::optional<std::string> signal) { signal_ = std::move(signal); }
  const std::optional<std::string>& exceptionName() const { return exceptionName_; }
  const std::optional<std::string>& exceptionReason() const { return exceptionReason_; }
  const std::optional<dispatch::Date>& appStartTime() const { return appStartTime_; }
  const std::optional<dispatch::Date>& appErrorTime() const { return appErrorTime_; }
  const std::optional<std::string>& archName() const { return archName_; }
  const std::optional<std::string>& codeType() const { return codeType_; }
  const std::optional<std::string>& applicationPath() const { return applicationPath_; }
  const std::optional<DUZEThreads>& threads() const { return threads_; }
  const std::optional<DUZEBinaries>& binaries() const { return binaries_; }
  const std::shared_ptr<DUZEDevice>& device() const { return device_; }
  uint64_t appProcessIdentifier() const { return appProcessIdentifier_; }
  // YES when the signal, upper-cased, is "SIGKILL".
  bool isAppKill() const;

  // Used for `description` only: the present properties under their names
  // (the objects themselves), then "appProcessIdentifier" as decimal text
  // when it is not zero.
  foundation::Value::Dictionary serializeToDictionary() const;
  // The text form of that dictionary.
  std::string description() const;

 private:
  std::optional<std::string> incidentIdentifier_;
  std::optional<std::string> reporterKey_;
  std::optional<std::string> signal_;
  std::optional<std::string> exceptionName_;
  std::optional<std::string> exceptionReason_;
  std::optional<dispatch::Date> appStartTime_;
  std::optional<dispatch::Date> appErrorTime_;
  std::optional<std::string> codeType_;
  std::optional<std::string> archName_;
  std::optional<std::string> applicationPath_;
  std::optional<DUZEThreads> threads_;
  std::optional<DUZEBinaries> binaries_;
  std::shared_ptr<DUZEDevice> device_;
  uint64_t appProcessIdentifier_;
};
