#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ZozIduvurCrashes/DUZEAbstractErrorLog.h"
#include "ZozIduvurCrashes/DUZEBinary.h"
#include "ZozIduvurCrashes/DUZEExceptionModel.h"
#include "ZozIduvurCrashes/DUZEThread.h"

using DUZEThreads = std::vector<std::shared_ptr<DUZEThread>>;
using DUZEBinaries = std::vector<std::shared_ptr<DUZEBinary>>;
// Register name -> formatted value.
using DUZERegisters = std::map<std::string, std::string>;

// One crash of an earlier run, as sent: process, architecture, signal,
// exception, threads with their frames, the crashed thread's registers and
// the binaries involved. Keeps the session id it is given (no current
// session is stamped on it).
class DUZEAppleErrorLog : public DUZEAbstractErrorLog, public DUZENoAutoAssignSessionIdLog {
  DUZE_CLASS_NAME("DUZEAppleErrorLog")
  // The Mach-O CPU type and subtype.
  DUZE_PROPERTY(std::optional<uint64_t>, primaryArchitectureId, PrimaryArchitectureId)
  DUZE_PROPERTY(std::optional<uint64_t>, architectureVariantId, ArchitectureVariantId)
  DUZE_PROPERTY(std::optional<std::string>, applicationPath, ApplicationPath)
  // Signal name, signal code and fault address.
  DUZE_PROPERTY(std::optional<std::string>, osExceptionType, OsExceptionType)
  DUZE_PROPERTY(std::optional<std::string>, osExceptionCode, OsExceptionCode)
  DUZE_PROPERTY(std::optional<std::string>, osExceptionAddress, OsExceptionAddress)
  DUZE_PROPERTY(std::optional<std::string>, exceptionType, ExceptionType)
  DUZE_PROPERTY(std::optional<std::string>, exceptionReason, ExceptionReason)
  DUZE_PROPERTY(std::optional<std::string>, selectorRegisterValue, SelectorRegisterValue)
  DUZE_PROPERTY(std::optional<DUZEThreads>, threads, Threads)
  DUZE_PROPERTY(std::optional<DUZEBinaries>, binaries, Binaries)
  DUZE_PROPERTY(std::optional<DUZERegisters>, registers, Registers)
  DUZE_PROPERTY(std::shared_ptr<DUZEExceptionModel>, exception, Exception)

 public:
  static constexpr std::string_view kType = "appleError";

  DUZEAppleErrorLog() { setType(std::string(kType)); }
  static std::shared_ptr<DUZEAppleErrorLog> create() {
    return std::make_shared<DUZEAppleErrorLog>();
  }

  nlohmann::ordered_json serializeToDictionary() const override;
  // The error log's check, then primaryArchitectureId, applicationPath,
  // osExceptionType, osExceptionCode, osExceptionAddress. Nested objects are
  // not checked.
  bool isValid() const override;
  bool isEqual(const foundation::NSCoding& other) const override;
  void encodeWithCoder(foundation::NSCoder& coder) const override;
  bool initWithCoder(foundation::NSCoder& coder) override;
};
