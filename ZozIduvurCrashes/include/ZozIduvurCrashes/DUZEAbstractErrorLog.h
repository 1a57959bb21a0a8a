#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ZozIduvur/DUZELogWithProperties.h"
#include "dispatch/Time.h"

// The base of the crash log: which process failed, on which thread, and
// when it was launched. It sets no log type of its own.
class DUZEAbstractErrorLog : public DUZELogWithProperties {
  DUZE_CLASS_NAME("DUZEAbstractErrorLog")
  // "id" in JSON and archives.
  DUZE_PROPERTY(std::optional<std::string>, errorId, ErrorId)
  DUZE_PROPERTY(std::optional<int64_t>, processId, ProcessId)
  DUZE_PROPERTY(std::optional<std::string>, processName, ProcessName)
  DUZE_PROPERTY(std::optional<int64_t>, parentProcessId, ParentProcessId)
  DUZE_PROPERTY(std::optional<std::string>, parentProcessName, ParentProcessName)
  DUZE_PROPERTY(std::optional<int64_t>, errorThreadId, ErrorThreadId)
  DUZE_PROPERTY(std::optional<std::string>, errorThreadName, ErrorThreadName)
  DUZE_PROPERTY(bool, fatal, Fatal)
  DUZE_PROPERTY(std::optional<dispatch::Date>, appLaunchTimestamp, AppLaunchTimestamp)
  DUZE_PROPERTY(std::optional<std::string>, architecture, Architecture)

 public:
  bool isFatal() const { return fatal(); }

  // The base log's keys, then "id", "processId", "processName",
  // "parentProcessId", "parentProcessName", "errorThreadId",
  // "errorThreadName", "fatal" (always), "appLaunchTimestamp" (ISO 8601),
  // "architecture".
  nlohmann::ordered_json serializeToDictionary() const override;
  // The base log's check, then errorId, processId, processName.
  bool isValid() const override;
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};
