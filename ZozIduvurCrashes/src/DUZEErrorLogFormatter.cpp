#include "DUZEErrorLogFormatter.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "DUZECrashesUtil.h"
#include "DUZELoadedImages.h"
#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvurCrashes/DUZEWrapperExceptionManager.h"
#include "crash-capture/ROCrashCpuNames.h"
#include "foundation/StringFormat.h"
#include "foundation/UUID.h"

namespace {

constexpr const char* kUnknownValue = "???";

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The path with "." and ".." resolved and without a trailing slash, the way
// a standardised path reads.
std::string standardizedPath(const std::string& path) {
  if (path.empty()) return path;
  std::string out = std::filesystem::path(path).lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// Every "<prefix><name>/" (a name of at least one character, matches taken
// left to right without overlapping) becomes "<prefix>USER/".
std::string replacedUserFolders(const std::string& path, std::string_view prefix) {
  std::string out;
  size_t at = 0;
  while (at < path.size()) {
    if (path.compare(at, prefix.size(), prefix) == 0) {
      const size_t nameStart = at + prefix.size();
      const size_t slash = path.find('/', nameStart);
      if (slash != std::string::npos && slash > nameStart) {
        out.append(prefix).append("USER/");
        at = slash + 1;
        continue;
      }
    }
    out += path[at++];
  }
  return out;
}

// $HOME as "<folder>/", unless it is the root or a folder of the system's own
// files (a service's home may be /usr/sbin, say), which name nobody.
std::optional<std::string> homeFolder() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return std::nullopt;
  std::string folder = std::filesystem::path(home).lexically_normal().string();
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  if (folder.empty()) return std::nullopt;
  const std::string top = folder.substr(1, folder.find('/', 1) - 1);
  for (const char* system : {"usr", "bin", "sbin", "lib", "lib32", "lib64", "libx32", "etc", "boot",
                             "dev", "proc", "sys", "run"}) {
    if (top == system) return std::nullopt;
  }
  return folder + "/";
}

// A Linux path with every home folder written "/home/USER/": $HOME and
// "/root/" at its start, and each "/home/<name>/".
std::string withoutHomeFolders(const std::string& path) {
  static constexpr std::string_view kHidden = "/home/USER/";
  std::string out = path;
  if (auto home = homeFolder(); home && startsWith(out, *home)) {
    out = std::string(kHidden) + out.substr(home->size());
  } else if (startsWith(out, "/root/")) {
    out = std::string(kHidden) + out.substr(6);
  }
  return replacedUserFolders(out, "/home/");
}

}  // namespace

// The log and the report --------------------------------------------------------

std::shared_ptr<DUZEAppleErrorLog> DUZEErrorLogFormatter::errorLogFromCrashReport(
    const ROCrashReport& report) {
  auto log = DUZEAppleErrorLog::create();
  log->setErrorId(errorIdForCrashReport(report));
  addProcessInfoAndApplicationPathTo(log, report);

  auto crashedThread = findCrashedThreadInReport(report);
  log->setErrorThreadId(crashedThread ? crashedThread->threadNumber() : 0);
  log->setFatal(true);
  log->setAppLaunchTimestamp(getAppLaunchTimeFromReport(report));
  log->setTimestamp(getCrashTimeFromReport(report));

  // The machine's processor, unless an image says which code ran.
  uint64_t type = 0;
  uint64_t subtype = 0;
  if (report.machineInfo() && report.machineInfo()->processorInfo()) {
    type = report.machineInfo()->processorInfo()->type();
    subtype = report.machineInfo()->processorInfo()->subtype();
  }
  for (const auto& image : report.images()) {
    const auto& codeType = image->codeType();
    if (codeType && codeType->typeEncoding() == ROCrashReportProcessorTypeEncodingMach) {
      type = codeType->type();
      subtype = codeType->subtype();
      break;
    }
  }
  const bool is64bit = isCodeType64bit(type);
  log->setPrimaryArchitectureId(type);
  log->setArchitectureVariantId(subtype);

  if (const auto& signal = report.signalInfo()) {
    log->setOsExceptionType(signal->name());
    log->setOsExceptionCode(signal->code());
    log->setOsExceptionAddress(
        foundation::stringWithFormat("0x%llx", static_cast<unsigned long long>(signal->address())));
  }
  log->setExceptionReason(extractExceptionReasonFromReport(report));
  if (report.hasExceptionInfo()) log->setExceptionType(report.exceptionInfo()->exceptionName());
  log->setSelectorRegisterValue(selectorRegisterValueFromReport(report, crashedThread, type));
  log->setThreads(extractThreadsFromReport(report, crashedThread, is64bit));
  log->setRegisters(extractRegistersFromCrashedThread(crashedThread, is64bit));
  log->setBinaries(extractBinaryImagesFromReport(report, is64bit));
  log->setDevice(deviceForTimestamp(log->timestamp(), report));

  if (auto saved = DUZEWrapperExceptionManager::loadWrapperExceptionWithUUIDString(
          uuidRefToString(report.uuidRef()))) {
    log->setException(saved->modelException());
  }
  return log;
}

std::shared_ptr<DUZEErrorReport> DUZEErrorLogFormatter::errorReportFromCrashReport(
    const std::shared_ptr<ROCrashReport>& report) {
  if (!report) return nullptr;
  return errorReportFromLog(*errorLogFromCrashReport(*report));
}

std::shared_ptr<DUZEErrorReport> DUZEErrorLogFormatter::errorReportFromLog(
    const DUZEAppleErrorLog& log) {
  auto installId = DUZEZozIduvur::installId();
  std::string reporterKey = installId ? installId->UUIDString() : std::string();
  std::optional<std::string> codeType = kUnknownValue;
  std::optional<std::string> archName = kUnknownValue;
  if (log.primaryArchitectureId()) {
    codeType = convertCodeTypeToString(*log.primaryArchitectureId());
    if (log.architectureVariantId())
      archName =
          convertArchNameToString(*log.primaryArchitectureId(), *log.architectureVariantId());
  }
  return DUZEErrorReport::create(
      log.errorId(), std::move(reporterKey), log.osExceptionType(), log.exceptionType(),
      log.exceptionReason(), log.appLaunchTimestamp(), log.timestamp(), std::move(codeType),
      std::move(archName), log.applicationPath(), log.threads(), log.binaries(), log.device(),
      static_cast<uint64_t>(log.processId().value_or(0)));
}

// Identity, process and time ------------------------------------------------

std::string DUZEErrorLogFormatter::errorIdForCrashReport(const ROCrashReport& report) {
  if (auto text = uuidRefToString(report.uuidRef())) return *text;
  return foundation::NSUUID().UUIDString();
}

std::shared_ptr<DUZEAppleErrorLog> DUZEErrorLogFormatter::addProcessInfoAndApplicationPathTo(
    std::shared_ptr<DUZEAppleErrorLog> log, const ROCrashReport& report) {
  log->setProcessId(0);
  log->setProcessName(kUnknownValue);
  log->setParentProcessName(kUnknownValue);
  log->setParentProcessId(std::nullopt);
  log->setApplicationPath(kUnknownValue);
  if (report.hasProcessInfo()) {
    const auto& info = *report.processInfo();
    log->setProcessId(static_cast<int64_t>(info.processID()));
    if (info.processName()) log->setProcessName(*info.processName());
    if (info.processPath()) log->setApplicationPath(anonymizedPathFromPath(*info.processPath()));
    if (info.parentProcessName()) log->setParentProcessName(*info.parentProcessName());
    log->setParentProcessId(static_cast<int64_t>(info.parentProcessID()));
  }
  return log;
}

std::optional<dispatch::Date> DUZEErrorLogFormatter::getAppLaunchTimeFromReport(
    const ROCrashReport& report) {
  if (report.hasProcessInfo()) return report.processInfo()->processStartTime();
  return report.systemInfo() ? report.systemInfo()->timestamp() : std::nullopt;
}

std::optional<dispatch::Date> DUZEErrorLogFormatter::getCrashTimeFromReport(
    const ROCrashReport& report) {
  if (!report.systemInfo() || !report.systemInfo()->timestamp()) return std::nullopt;
  const dispatch::Date time = *report.systemInfo()->timestamp();
  const double seconds = time.timeIntervalSince1970();
  // Reports store whole seconds; the crash happened somewhere within that
  // second, so it is placed at its end (after anything logged in it).
  const bool fitsInt32 = seconds >= INT32_MIN && seconds <= INT32_MAX;
  if (fitsInt32 && seconds == static_cast<double>(static_cast<int32_t>(seconds)))
    return dispatch::Date::fromUnixTime(seconds + 0.999);
  return time;
}

std::shared_ptr<ROCrashReportThreadInfo> DUZEErrorLogFormatter::findCrashedThreadInReport(
    const ROCrashReport& report) {
  for (const auto& thread : report.threads())
    if (thread->crashed()) return thread;
  return nullptr;
}

// Architecture -----------------------------------------------------------------

bool DUZEErrorLogFormatter::isCodeType64bit(uint64_t type) { return ROCrashCpuIs64Bit(type); }

std::string DUZEErrorLogFormatter::convertCodeTypeToString(uint64_t type) {
  const char* name = ROCrashCpuCodeTypeName(type);
  return name != nullptr ? name : foundation::stringWithFormat("Unknown (%lu)", type);
}

std::string DUZEErrorLogFormatter::convertArchNameToString(uint64_t type, uint64_t subtype) {
  const char* name = ROCrashCpuArchitectureName(type, subtype);
  return name != nullptr ? name : kUnknownValue;
}

// Threads, frames and registers ----------------------------------------------

DUZEThreads DUZEErrorLogFormatter::extractThreadsFromReport(
    const ROCrashReport& report, const std::shared_ptr<ROCrashReportThreadInfo>& crashedThread,
    bool is64bit) {
  std::shared_ptr<DUZEExceptionModel> exceptionModel;
  const auto& exceptionInfo = report.exceptionInfo();
  if (report.hasExceptionInfo() && exceptionInfo->stackFrames() &&
      !exceptionInfo->stackFrames()->empty()) {
    DUZEStackFrames frames;
    for (const auto& frameInfo : *exceptionInfo->stackFrames()) {
      auto frame = DUZEStackFrame::create();
      frame->setAddress(formatAddress(frameInfo->instructionPointer(), is64bit));
      frames.push_back(std::move(frame));
    }
    exceptionModel = DUZEExceptionModel::create();
    exceptionModel->setMessage(exceptionInfo->exceptionReason());
    exceptionModel->setFrames(std::move(frames));
    if (!exceptionInfo->exceptionName().empty()) {
      exceptionModel->setType(exceptionInfo->exceptionName());
    } else if (report.signalInfo()) {
      exceptionModel->setType(report.signalInfo()->name());
    }
  }

  DUZEThreads threads;
  for (const auto& threadInfo : report.threads()) {
    auto thread = DUZEThread::create();
    thread->setThreadId(threadInfo->threadNumber());
    if (crashedThread && exceptionModel &&
        threadInfo->threadNumber() == crashedThread->threadNumber()) {
      thread->setException(exceptionModel);
    }
    for (const auto& frameInfo : threadInfo->stackFrames()) {
      auto frame = DUZEStackFrame::create();
      frame->setAddress(formatAddress(frameInfo->instructionPointer(), is64bit));
      frame->setCode(formatStackFrame(*frameInfo, report));
      thread->addFrame(std::move(frame));
    }
    threads.push_back(std::move(thread));
  }
  return threads;
}

std::string DUZEErrorLogFormatter::formatStackFrame(const ROCrashReportStackFrameInfo& frame,
                                                    const ROCrashReport& report) {
  const uint64_t pc = frame.instructionPointer();
  uint64_t base = 0;
  uint64_t offset = 0;
  std::optional<std::string> imageName;
  if (auto image = report.imageForAddress(pc)) {
    base = image->imageBaseAddress();
    offset = pc - base;
    imageName = image->imageName();
  } else if (pc != 0) {
    DUZELogWarning(kDUZECrashesLogTag, "Cannot find image for 0x%llx",
                   static_cast<unsigned long long>(pc));
  }
  std::optional<std::string> processPath;
  if (report.hasProcessInfo()) processPath = report.processInfo()->processPath();
  const DUZEBinaryImageType kind = imageTypeForImagePath(imageName, processPath);

  if (frame.symbolInfo() && kind == DUZEBinaryImageTypeOther) {
    std::string name = frame.symbolInfo()->symbolName();
    if (name.size() >= 2 && name[0] == '_') {
      const auto os = report.systemInfo() ? report.systemInfo()->operatingSystem()
                                          : ROCrashReportOperatingSystemUnknown;
      switch (os) {
        case ROCrashReportOperatingSystemMacOSX:
        case ROCrashReportOperatingSystemiPhoneOS:
        case ROCrashReportOperatingSystemiPhoneSimulator:
        case ROCrashReportOperatingSystemAppleTVOS:
          name.erase(0, 1);
          break;
        case ROCrashReportOperatingSystemUnknown:
          DUZELogWarning(kDUZECrashesLogTag, "Symbol \"%@\" prefix rules are unknown for this OS!",
                         name);
          break;
      }
    }
    return foundation::stringWithFormat(
        "%@ + %lld", name, static_cast<long long>(pc - frame.symbolInfo()->startAddress()));
  }
  return foundation::stringWithFormat("0x%llx + %lld", static_cast<unsigned long long>(base),
                                      static_cast<long long>(offset));
}

DUZERegisters DUZEErrorLogFormatter::extractRegistersFromCrashedThread(
    const std::shared_ptr<ROCrashReportThreadInfo>& crashedThread, bool is64bit) {
  DUZERegisters registers;
  if (!crashedThread) return registers;
  for (const auto& info : crashedThread->registers())
    registers.insert_or_assign(info->registerName(), formatAddress(info->registerValue(), is64bit));
  return registers;
}

std::optional<std::string> DUZEErrorLogFormatter::extractExceptionReasonFromReport(
    const ROCrashReport& report) {
  if (!report.hasExceptionInfo()) return std::nullopt;
  return report.exceptionInfo()->exceptionReason();
}

// Selector register -------------------------------------------------------------

std::optional<std::string> DUZEErrorLogFormatter::selectorRegisterValueFromReport(
    const ROCrashReport& report, const std::shared_ptr<ROCrashReportThreadInfo>& crashedThread,
    uint64_t codeType) {
  const char* first = nullptr;
  const char* second = nullptr;
  switch (codeType) {
    case DUZECPUTypeX86:
      first = "ecx";
      break;
    case DUZECPUTypeARM:
      first = "r1";
      second = "r2";
      break;
    case DUZECPUTypeX86_64:
      first = "rsi";
      second = "rdx";
      break;
    case DUZECPUTypeARM64:
      first = "x1";
      break;
    default:
      return std::nullopt;
  }
  auto value = selectorForRegisterWithName(first, crashedThread, report);
  if (!value && second) value = selectorForRegisterWithName(second, crashedThread, report);
  return value;
}

std::optional<std::string> DUZEErrorLogFormatter::selectorForRegisterWithName(
    const std::string& registerName, const std::shared_ptr<ROCrashReportThreadInfo>& thread,
    const ROCrashReport& report) {
  if (!thread) return std::nullopt;
  uint64_t value = 0;
  bool found = false;
  for (const auto& info : thread->registers()) {
    if (info->registerName() == registerName) {
      value = info->registerValue();
      found = true;
      break;
    }
  }
  if (!found || value == 0) return std::nullopt;
  auto image = report.imageForAddress(value);
  if (!image) return std::nullopt;
  const uint64_t offset = value - image->imageBaseAddress();

  for (const auto& loaded : duzecrashes::loadedImages()) {
    if (loaded.header == 0 || loaded.name.empty() || loaded.name != image->imageName()) continue;
    uint8_t uuid[16];
    if (!duzecrashes::machOUUID(loaded.header, uuid)) continue;
    std::string text;
    for (uint8_t byte : uuid) text += foundation::stringWithFormat("%02X", byte);
    if (lowercased(text) != image->imageUUID()) continue;

    duzecrashes::MachOSection section;
    if (!duzecrashes::machOSection(loaded.header, "__TEXT", "__objc_methname", &section))
      return std::nullopt;
    const uint64_t start = section.address + static_cast<uint64_t>(loaded.slide);
    const uint64_t end = start + section.size;
    const uint64_t candidate = loaded.header + offset;
    if (candidate < start || candidate >= end) return std::nullopt;
    const auto* text0 = reinterpret_cast<const char*>(candidate);
    const void* terminator = std::memchr(text0 + 1, 0, end - candidate - 1);
    if (!terminator) return std::nullopt;
    return std::string(text0);
  }
  return std::nullopt;
}

// Binaries -------------------------------------------------------------------------

DUZEBinaries DUZEErrorLogFormatter::extractBinaryImagesFromReport(const ROCrashReport& report,
                                                                  bool is64bit) {
  const std::vector<uint64_t> addresses = addressesFromReport(report);
  auto images = report.images();
  std::stable_sort(images.begin(), images.end(), [](const auto& a, const auto& b) {
    return a->imageBaseAddress() < b->imageBaseAddress();
  });
  std::optional<std::string> processPath;
  if (report.hasProcessInfo()) processPath = report.processInfo()->processPath();

  DUZEBinaries binaries;
  for (const auto& image : images) {
    const uint64_t start = image->imageBaseAddress();
    const uint64_t end = start + std::max<uint64_t>(image->imageSize(), 1) - 1;
    if (!isBinaryWithStart(start, end, addresses) &&
        imageTypeForImagePath(image->imageName(), processPath) == DUZEBinaryImageTypeOther) {
      continue;
    }
    auto binary = DUZEBinary::create();
    binary->setBinaryId(image->hasImageUUID() ? image->imageUUID() : kUnknownValue);
    binary->setStartAddress(formatAddress(start, is64bit));
    binary->setEndAddress(formatAddress(end, is64bit));
    const std::string& name = image->imageName();
    binary->setPath(name.empty() ? std::string() : anonymizedPathFromPath(name));
    binary->setName(name.empty() ? std::string(kUnknownValue)
                                 : std::filesystem::path(name).filename().string());
    const auto& codeType = image->codeType();
    binary->setPrimaryArchitectureId(codeType ? codeType->type() : 0);
    binary->setArchitectureVariantId(codeType ? codeType->subtype() : 0);
    binaries.push_back(std::move(binary));
  }
  return binaries;
}

std::vector<uint64_t> DUZEErrorLogFormatter::addressesFromReport(const ROCrashReport& report) {
  std::vector<uint64_t> addresses;
  if (report.hasExceptionInfo() && report.exceptionInfo()->stackFrames()) {
    for (const auto& frame : *report.exceptionInfo()->stackFrames())
      addresses.push_back(frame->instructionPointer());
  }
  for (const auto& thread : report.threads()) {
    for (const auto& frame : thread->stackFrames())
      addresses.push_back(frame->instructionPointer());
    for (const auto& info : thread->registers()) addresses.push_back(info->registerValue());
  }
  return addresses;
}

bool DUZEErrorLogFormatter::isBinaryWithStart(uint64_t start, uint64_t end,
                                              const std::vector<uint64_t>& addresses) {
  return std::any_of(addresses.begin(), addresses.end(),
                     [&](uint64_t address) { return address >= start && address <= end; });
}

DUZEBinaryImageType DUZEErrorLogFormatter::imageTypeForImagePath(
    const std::optional<std::string>& imagePath, const std::optional<std::string>& processPath) {
  if (!imagePath || !processPath) return DUZEBinaryImageTypeOther;
  const std::string standardized = lowercased(standardizedPath(*imagePath));
  const std::string image = lowercased(*imagePath);
  const std::string process = lowercased(*processPath);
  if (standardized.find(".app/") == std::string::npos ||
      (standardized.find("frameworks/libswift") != std::string::npos &&
       endsWith(standardized, ".dylib"))) {
    return DUZEBinaryImageTypeOther;
  }
  if (standardized == process || startsWith(image, process)) return DUZEBinaryImageTypeAppBinary;
  return DUZEBinaryImageTypeAppFramework;
}

std::string DUZEErrorLogFormatter::anonymizedPathFromPath(const std::string& path) {
  if (path.empty()) return std::string();
  if (startsWith(path, "/Users/")) return replacedUserFolders(path, "/Users/");
  if (path.find("Users") != std::string::npos) return std::string();
  return withoutHomeFolders(path);
}

// Device, UUIDs, addresses --------------------------------------------------------

std::shared_ptr<DUZEDevice> DUZEErrorLogFormatter::deviceForTimestamp(
    const std::optional<dispatch::Date>& timestamp, const ROCrashReport& report) {
  auto tracked = DUZEDeviceTracker::sharedInstance()->deviceForTimestamp(timestamp);
  if (!tracked) tracked = DUZEDevice::create();
  auto device = DUZEDevice::create();
  const auto& system = report.systemInfo();
  const auto& machine = report.machineInfo();
  const auto& application = report.applicationInfo();
  device->setOsVersion(system ? std::optional(system->operatingSystemVersion())
                              : tracked->osVersion());
  device->setOsBuild(system && system->operatingSystemBuild() ? system->operatingSystemBuild()
                                                              : tracked->osBuild());
  device->setModel(machine && machine->modelName() ? machine->modelName() : tracked->model());
  device->setAppBuild(application ? std::optional(application->applicationVersion())
                                  : tracked->appBuild());
  device->setAppVersion(application && application->applicationMarketingVersion()
                            ? application->applicationMarketingVersion()
                            : tracked->appVersion());
  device->setAppNamespace(application ? std::optional(application->applicationIdentifier())
                                      : tracked->appNamespace());
  device->setSdkName(tracked->sdkName());
  device->setSdkVersion(tracked->sdkVersion());
  device->setOemName(tracked->oemName());
  device->setOsName(tracked->osName());
  device->setOsApiLevel(tracked->osApiLevel());
  device->setLocale(tracked->locale());
  device->setTimeZoneOffset(tracked->timeZoneOffset());
  device->setScreenSize(tracked->screenSize());
  device->setCarrierName(tracked->carrierName());
  device->setCarrierCountry(tracked->carrierCountry());
  device->setWrapperSdkName(tracked->wrapperSdkName());
  device->setWrapperSdkVersion(tracked->wrapperSdkVersion());
  device->setWrapperRuntimeVersion(tracked->wrapperRuntimeVersion());
  device->setLiveUpdatePackageHash(tracked->liveUpdatePackageHash());
  device->setLiveUpdateReleaseLabel(tracked->liveUpdateReleaseLabel());
  device->setLiveUpdateDeploymentKey(tracked->liveUpdateDeploymentKey());
  return device;
}

std::optional<std::string> DUZEErrorLogFormatter::uuidRefToString(
    const std::optional<ROCrashReport::UUID>& uuid) {
  if (!uuid) return std::nullopt;
  return foundation::NSUUID(*uuid).UUIDString();
}

std::string DUZEErrorLogFormatter::formatAddress(uint64_t address, bool is64bit) {
  return foundation::stringWithFormat("0x%0*llx", is64bit ? 16 : 8,
                                      static_cast<unsigned long long>(address));
}
