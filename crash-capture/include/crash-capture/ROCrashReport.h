#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash-capture/ROReradUzerirudError.h"
#include "dispatch/Time.h"

struct Rocrash__CrashReport;

// A decoded crash report and its immutable info objects. Each info class is
// made by one initialiser that stores its arguments; a missing optional value
// is std::nullopt, a missing object a null pointer.

enum ROCrashReportOperatingSystem : uint32_t {
  ROCrashReportOperatingSystemMacOSX = 0,
  ROCrashReportOperatingSystemiPhoneOS = 1,
  ROCrashReportOperatingSystemiPhoneSimulator = 2,
  ROCrashReportOperatingSystemUnknown = 3,
  ROCrashReportOperatingSystemAppleTVOS = 4,
};

enum ROCrashReportArchitecture : uint32_t {
  ROCrashReportArchitectureX86_32 = 0,
  ROCrashReportArchitectureX86_64 = 1,
  ROCrashReportArchitectureARMv6 = 2,
  ROCrashReportArchitecturePPC = 3,
  ROCrashReportArchitecturePPC64 = 4,
  ROCrashReportArchitectureARMv7 = 5,
  ROCrashReportArchitectureUnknown = 6,
};

enum ROCrashReportProcessorTypeEncoding : uint32_t {
  ROCrashReportProcessorTypeEncodingUnknown = 0,
  ROCrashReportProcessorTypeEncodingMach = 1,
};

class ROCrashReportProcessorInfo {
 public:
  ROCrashReportProcessorInfo(ROCrashReportProcessorTypeEncoding typeEncoding, uint64_t type,
                             uint64_t subtype)
      : typeEncoding_(typeEncoding), type_(type), subtype_(subtype) {}
  ROCrashReportProcessorTypeEncoding typeEncoding() const { return typeEncoding_; }
  uint64_t type() const { return type_; }
  uint64_t subtype() const { return subtype_; }

 private:
  ROCrashReportProcessorTypeEncoding typeEncoding_;
  uint64_t type_;
  uint64_t subtype_;
};

class ROCrashReportSystemInfo {
 public:
  ROCrashReportSystemInfo(ROCrashReportOperatingSystem operatingSystem,
                          std::string operatingSystemVersion,
                          std::optional<std::string> operatingSystemBuild,
                          ROCrashReportArchitecture architecture,
                          std::shared_ptr<ROCrashReportProcessorInfo> processorInfo,
                          std::optional<dispatch::Date> timestamp)
      : operatingSystem_(operatingSystem),
        operatingSystemVersion_(std::move(operatingSystemVersion)),
        operatingSystemBuild_(std::move(operatingSystemBuild)),
        architecture_(architecture),
        timestamp_(timestamp),
        processorInfo_(std::move(processorInfo)) {}
  ROCrashReportSystemInfo(ROCrashReportOperatingSystem operatingSystem,
                          std::string operatingSystemVersion,
                          ROCrashReportArchitecture architecture,
                          std::optional<dispatch::Date> timestamp)
      : ROCrashReportSystemInfo(operatingSystem, std::move(operatingSystemVersion), std::nullopt,
                                architecture, nullptr, timestamp) {}
  ROCrashReportSystemInfo(ROCrashReportOperatingSystem operatingSystem,
                          std::string operatingSystemVersion,
                          std::optional<std::string> operatingSystemBuild,
                          ROCrashReportArchitecture architecture,
                          std::optional<dispatch::Date> timestamp)
      : ROCrashReportSystemInfo(operatingSystem, std::move(operatingSystemVersion),
                                std::move(operatingSystemBuild), architecture, nullptr, timestamp) {
  }

  ROCrashReportOperatingSystem operatingSystem() const { return operatingSystem_; }
  const std::string& operatingSystemVersion() const { return operatingSystemVersion_; }
  const std::optional<std::string>& operatingSystemBuild() const { return operatingSystemBuild_; }
  ROCrashReportArchitecture architecture() const { return architecture_; }
  std::optional<dispatch::Date> timestamp() const { return timestamp_; }
  const std::shared_ptr<ROCrashReportProcessorInfo>& processorInfo() const {
    return processorInfo_;
  }

 private:
  ROCrashReportOperatingSystem operatingSystem_;
  std::string operatingSystemVersion_;
  std::optional<std::string> operatingSystemBuild_;
  ROCrashReportArchitecture architecture_;
  std::optional<dispatch::Date> timestamp_;
  std::shared_ptr<ROCrashReportProcessorInfo> processorInfo_;
};

class ROCrashReportMachineInfo {
 public:
  ROCrashReportMachineInfo(std::optional<std::string> modelName,
                           std::shared_ptr<ROCrashReportProcessorInfo> processorInfo,
                           uint32_t processorCount, uint32_t logicalProcessorCount)
      : modelName_(std::move(modelName)),
        processorInfo_(std::move(processorInfo)),
        processorCount_(processorCount),
        logicalProcessorCount_(logicalProcessorCount) {}
  const std::optional<std::string>& modelName() const { return modelName_; }
  const std::shared_ptr<ROCrashReportProcessorInfo>& processorInfo() const {
    return processorInfo_;
  }
  uint32_t processorCount() const { return processorCount_; }
  uint32_t logicalProcessorCount() const { return logicalProcessorCount_; }

 private:
  std::optional<std::string> modelName_;
  std::shared_ptr<ROCrashReportProcessorInfo> processorInfo_;
  uint32_t processorCount_;
  uint32_t logicalProcessorCount_;
};

class ROCrashReportApplicationInfo {
 public:
  ROCrashReportApplicationInfo(std::string applicationIdentifier, std::string applicationVersion,
                               std::optional<std::string> applicationMarketingVersion)
      : applicationIdentifier_(std::move(applicationIdentifier)),
        applicationVersion_(std::move(applicationVersion)),
        applicationMarketingVersion_(std::move(applicationMarketingVersion)) {}
  const std::string& applicationIdentifier() const { return applicationIdentifier_; }
  const std::string& applicationVersion() const { return applicationVersion_; }
  const std::optional<std::string>& applicationMarketingVersion() const {
    return applicationMarketingVersion_;
  }

 private:
  std::string applicationIdentifier_;
  std::string applicationVersion_;
  std::optional<std::string> applicationMarketingVersion_;
};

class ROCrashReportProcessInfo {
 public:
  // What tells the process from every other one of the machine, whatever the
  // wall clock did and however soon its id is used again: the boot's id and
  // the start in clock ticks since boot. For a forked child's report, the
  // same of the process the engine was set up in, which the child was forked
  // from. Each is none in reports of older versions, or where the system did
  // not say.
  struct Identity {
    std::optional<std::string> bootId;
    std::optional<uint64_t> startTicks;
    std::optional<uint64_t> forkedFromProcessID;
    std::optional<uint64_t> forkedFromStartTicks;
  };

  ROCrashReportProcessInfo(std::optional<std::string> processName, uint64_t processID,
                           std::optional<std::string> processPath,
                           std::optional<dispatch::Date> processStartTime,
                           std::optional<std::string> parentProcessName, uint64_t parentProcessID,
                           bool native, Identity identity = {})
      : processName_(std::move(processName)),
        processID_(processID),
        processPath_(std::move(processPath)),
        processStartTime_(processStartTime),
        parentProcessName_(std::move(parentProcessName)),
        parentProcessID_(parentProcessID),
        native_(native),
        identity_(std::move(identity)) {}
  const std::optional<std::string>& processName() const { return processName_; }
  uint64_t processID() const { return processID_; }
  const std::optional<std::string>& processPath() const { return processPath_; }
  std::optional<dispatch::Date> processStartTime() const { return processStartTime_; }
  const std::optional<std::string>& parentProcessName() const { return parentProcessName_; }
  uint64_t parentProcessID() const { return parentProcessID_; }
  bool native() const { return native_; }
  const Identity& identity() const { return identity_; }

 private:
  std::optional<std::string> processName_;
  uint64_t processID_;
  std::optional<std::string> processPath_;
  std::optional<dispatch::Date> processStartTime_;
  std::optional<std::string> parentProcessName_;
  uint64_t parentProcessID_;
  bool native_;
  Identity identity_;
};

class ROCrashReportSignalInfo {
 public:
  ROCrashReportSignalInfo(std::string name, std::string code, uint64_t address)
      : name_(std::move(name)), code_(std::move(code)), address_(address) {}
  const std::string& name() const { return name_; }
  const std::string& code() const { return code_; }
  uint64_t address() const { return address_; }

 private:
  std::string name_;
  std::string code_;
  uint64_t address_;
};

class ROCrashReportMachExceptionInfo {
 public:
  ROCrashReportMachExceptionInfo(uint64_t type, std::vector<uint64_t> codes)
      : type_(type), codes_(std::move(codes)) {}
  uint64_t type() const { return type_; }
  const std::vector<uint64_t>& codes() const { return codes_; }

 private:
  uint64_t type_;
  std::vector<uint64_t> codes_;
};

class ROCrashReportSymbolInfo {
 public:
  ROCrashReportSymbolInfo(std::string symbolName, uint64_t startAddress, uint64_t endAddress)
      : symbolName_(std::move(symbolName)), startAddress_(startAddress), endAddress_(endAddress) {}
  const std::string& symbolName() const { return symbolName_; }
  uint64_t startAddress() const { return startAddress_; }
  // 0 when the report gives none.
  uint64_t endAddress() const { return endAddress_; }

 private:
  std::string symbolName_;
  uint64_t startAddress_;
  uint64_t endAddress_;
};

class ROCrashReportStackFrameInfo {
 public:
  ROCrashReportStackFrameInfo(uint64_t instructionPointer,
                              std::shared_ptr<ROCrashReportSymbolInfo> symbolInfo)
      : instructionPointer_(instructionPointer), symbolInfo_(std::move(symbolInfo)) {}
  uint64_t instructionPointer() const { return instructionPointer_; }
  const std::shared_ptr<ROCrashReportSymbolInfo>& symbolInfo() const { return symbolInfo_; }

 private:
  uint64_t instructionPointer_;
  std::shared_ptr<ROCrashReportSymbolInfo> symbolInfo_;
};

class ROCrashReportRegisterInfo {
 public:
  ROCrashReportRegisterInfo(std::string registerName, uint64_t registerValue)
      : registerName_(std::move(registerName)), registerValue_(registerValue) {}
  const std::string& registerName() const { return registerName_; }
  uint64_t registerValue() const { return registerValue_; }

 private:
  std::string registerName_;
  uint64_t registerValue_;
};

using ROCrashReportStackFrames = std::vector<std::shared_ptr<ROCrashReportStackFrameInfo>>;

class ROCrashReportThreadInfo {
 public:
  ROCrashReportThreadInfo(int64_t threadNumber, ROCrashReportStackFrames stackFrames, bool crashed,
                          std::vector<std::shared_ptr<ROCrashReportRegisterInfo>> registers)
      : threadNumber_(threadNumber),
        stackFrames_(std::move(stackFrames)),
        crashed_(crashed),
        registers_(std::move(registers)) {}
  int64_t threadNumber() const { return threadNumber_; }
  const ROCrashReportStackFrames& stackFrames() const { return stackFrames_; }
  bool crashed() const { return crashed_; }
  const std::vector<std::shared_ptr<ROCrashReportRegisterInfo>>& registers() const {
    return registers_;
  }

 private:
  int64_t threadNumber_;
  ROCrashReportStackFrames stackFrames_;
  bool crashed_;
  std::vector<std::shared_ptr<ROCrashReportRegisterInfo>> registers_;
};

class ROCrashReportBinaryImageInfo {
 public:
  ROCrashReportBinaryImageInfo(std::shared_ptr<ROCrashReportProcessorInfo> codeType,
                               uint64_t baseAddress, uint64_t size, std::string name,
                               std::optional<std::vector<uint8_t>> uuid);
  const std::shared_ptr<ROCrashReportProcessorInfo>& codeType() const { return codeType_; }
  uint64_t imageBaseAddress() const { return imageBaseAddress_; }
  uint64_t imageSize() const { return imageSize_; }
  const std::string& imageName() const { return imageName_; }
  bool hasImageUUID() const { return hasImageUUID_; }
  // Lowercase hexadecimal, two digits per byte, no separators; empty without
  // a UUID.
  const std::string& imageUUID() const { return imageUUID_; }

 private:
  std::shared_ptr<ROCrashReportProcessorInfo> codeType_;
  uint64_t imageBaseAddress_;
  uint64_t imageSize_;
  std::string imageName_;
  bool hasImageUUID_;
  std::string imageUUID_;
};

class ROCrashReportExceptionInfo {
 public:
  ROCrashReportExceptionInfo(std::string exceptionName, std::string exceptionReason,
                             std::optional<ROCrashReportStackFrames> stackFrames)
      : exceptionName_(std::move(exceptionName)),
        exceptionReason_(std::move(exceptionReason)),
        stackFrames_(std::move(stackFrames)) {}
  ROCrashReportExceptionInfo(std::string exceptionName, std::string exceptionReason)
      : ROCrashReportExceptionInfo(std::move(exceptionName), std::move(exceptionReason),
                                   std::nullopt) {}
  const std::string& exceptionName() const { return exceptionName_; }
  const std::string& exceptionReason() const { return exceptionReason_; }
  const std::optional<ROCrashReportStackFrames>& stackFrames() const { return stackFrames_; }

 private:
  std::string exceptionName_;
  std::string exceptionReason_;
  std::optional<ROCrashReportStackFrames> stackFrames_;
};

// A crash report read back from the bytes of a report file. Immutable once
// built; owns the unpacked message until it is destroyed. Any thread.
class ROCrashReport {
 public:
  using UUID = std::array<uint8_t, 16>;

  // Decodes `data`. Null with `*error` (code ROReradUzerirudErrorInvalidCrashReport
  // and a fixed description) when the bytes or any section the report's
  // readers depend on are missing or malformed; nothing is returned partly.
  static std::shared_ptr<ROCrashReport> create(const std::vector<uint8_t>& data,
                                               std::shared_ptr<foundation::NSError>* error);
  ~ROCrashReport();
  ROCrashReport(const ROCrashReport&) = delete;
  ROCrashReport& operator=(const ROCrashReport&) = delete;

  const std::shared_ptr<ROCrashReportSystemInfo>& systemInfo() const { return systemInfo_; }
  bool hasMachineInfo() const { return machineInfo_ != nullptr; }
  const std::shared_ptr<ROCrashReportMachineInfo>& machineInfo() const { return machineInfo_; }
  const std::shared_ptr<ROCrashReportApplicationInfo>& applicationInfo() const {
    return applicationInfo_;
  }
  bool hasProcessInfo() const { return processInfo_ != nullptr; }
  const std::shared_ptr<ROCrashReportProcessInfo>& processInfo() const { return processInfo_; }
  const std::shared_ptr<ROCrashReportSignalInfo>& signalInfo() const { return signalInfo_; }
  const std::shared_ptr<ROCrashReportMachExceptionInfo>& machExceptionInfo() const {
    return machExceptionInfo_;
  }
  const std::vector<std::shared_ptr<ROCrashReportThreadInfo>>& threads() const { return threads_; }
  const std::vector<std::shared_ptr<ROCrashReportBinaryImageInfo>>& images() const {
    return images_;
  }
  bool hasExceptionInfo() const { return exceptionInfo_ != nullptr; }
  const std::shared_ptr<ROCrashReportExceptionInfo>& exceptionInfo() const {
    return exceptionInfo_;
  }
  const std::optional<std::vector<uint8_t>>& customData() const { return customData_; }
  // The annotations the process had when the report was written (see
  // ROReradUzerirud::setAnnotation): empty when it had none; none in a report
  // of an older version, which did not keep them, in one that had no room
  // for them under the file-size limit, and in one whose annotations cannot
  // be told apart (the rest of it is read). An entry whose name or value
  // setAnnotation would refuse (a zero byte, not UTF-8, too long) is left
  // out, the others read. Of a name given twice, the first value.
  const std::optional<std::map<std::string, std::string>>& annotations() const {
    return annotations_;
  }
  // The report's own UUID; none when the report carries no report info UUID.
  const std::optional<UUID>& uuidRef() const { return uuid_; }

  // The first image, in `images()` order, with base <= address < base + size.
  std::shared_ptr<ROCrashReportBinaryImageInfo> imageForAddress(uint64_t address) const;

 private:
  struct MessageDeleter {
    void operator()(Rocrash__CrashReport* message) const;
  };
  ROCrashReport() = default;

  std::unique_ptr<Rocrash__CrashReport, MessageDeleter> decoder_;
  std::shared_ptr<ROCrashReportSystemInfo> systemInfo_;
  std::shared_ptr<ROCrashReportMachineInfo> machineInfo_;
  std::shared_ptr<ROCrashReportApplicationInfo> applicationInfo_;
  std::shared_ptr<ROCrashReportProcessInfo> processInfo_;
  std::shared_ptr<ROCrashReportSignalInfo> signalInfo_;
  std::shared_ptr<ROCrashReportMachExceptionInfo> machExceptionInfo_;
  std::vector<std::shared_ptr<ROCrashReportThreadInfo>> threads_;
  std::vector<std::shared_ptr<ROCrashReportBinaryImageInfo>> images_;
  std::shared_ptr<ROCrashReportExceptionInfo> exceptionInfo_;
  std::optional<std::vector<uint8_t>> customData_;
  std::optional<std::map<std::string, std::string>> annotations_;
  std::optional<UUID> uuid_;
};
