#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ZozIduvur/DUZEDevice.h"
#include "ZozIduvurCrashes/DUZEAppleErrorLog.h"
#include "ZozIduvurCrashes/DUZEErrorReport.h"
#include "crash-capture/ROCrashCpuNames.h"
#include "crash-capture/ROCrashReport.h"
#include "dispatch/Time.h"

// Mach-O CPU types the formatter names (the crash engine's names of them).
enum : uint64_t {
  DUZECPUTypeX86 = ROCrashCpuTypeX86,
  DUZECPUTypeARM = ROCrashCpuTypeARM,
  DUZECPUTypePowerPC = ROCrashCpuTypePowerPC,
  DUZECPUTypeX86_64 = ROCrashCpuTypeX86_64,
  DUZECPUTypeARM64 = ROCrashCpuTypeARM64,
};

// Image kinds of `imageTypeForImagePath`.
enum DUZEBinaryImageType : int {
  DUZEBinaryImageTypeAppBinary = 0,     // the process's own executable
  DUZEBinaryImageTypeAppFramework = 1,  // another image inside the application bundle
  DUZEBinaryImageTypeOther = 2,         // system libraries and bundled language runtimes
};

// Turns a decoded crash report into the crash log that is sent and into the
// summary shown to the crash delegate. Stateless; any thread; never used at
// crash time. "???" stands for every value the report does not give.
class DUZEErrorLogFormatter {
 public:
  // A new, fully filled apple-error log.
  static std::shared_ptr<DUZEAppleErrorLog> errorLogFromCrashReport(const ROCrashReport& report);
  // Null for null, else `errorReportFromLog` of `errorLogFromCrashReport`.
  static std::shared_ptr<DUZEErrorReport> errorReportFromCrashReport(
      const std::shared_ptr<ROCrashReport>& report);
  static std::shared_ptr<DUZEErrorReport> errorReportFromLog(const DUZEAppleErrorLog& log);

  // The steps of the above, each with fixed behaviour ---------------------

  // The report UUID's text, else a new random UUID's text.
  static std::string errorIdForCrashReport(const ROCrashReport& report);
  // Process id, names, parent and application path (defaults 0 and "???").
  static std::shared_ptr<DUZEAppleErrorLog> addProcessInfoAndApplicationPathTo(
      std::shared_ptr<DUZEAppleErrorLog> log, const ROCrashReport& report);
  // The process start time when the report has process info (even when that
  // time is absent), else the crash time.
  static std::optional<dispatch::Date> getAppLaunchTimeFromReport(const ROCrashReport& report);
  // The crash time; a whole number of seconds gets 0.999 seconds added.
  static std::optional<dispatch::Date> getCrashTimeFromReport(const ROCrashReport& report);
  // The first thread whose crashed flag is set, or null.
  static std::shared_ptr<ROCrashReportThreadInfo> findCrashedThreadInReport(
      const ROCrashReport& report);
  static bool isCodeType64bit(uint64_t type);
  // "X86", "ARM", "PPC", "X86-64", "ARM-64" or "Unknown (<type>)".
  static std::string convertCodeTypeToString(uint64_t type);
  // The architecture name of a type and subtype (capability bits dropped).
  static std::string convertArchNameToString(uint64_t type, uint64_t subtype);
  static DUZEThreads extractThreadsFromReport(
      const ROCrashReport& report, const std::shared_ptr<ROCrashReportThreadInfo>& crashedThread,
      bool is64bit);
  // "<symbol> + <offset>" for a symbolicated frame outside the application,
  // else "0x<image base> + <offset>".
  static std::string formatStackFrame(const ROCrashReportStackFrameInfo& frame,
                                      const ROCrashReport& report);
  static DUZERegisters extractRegistersFromCrashedThread(
      const std::shared_ptr<ROCrashReportThreadInfo>& crashedThread, bool is64bit);
  static std::optional<std::string> extractExceptionReasonFromReport(const ROCrashReport& report);
  // The selector name that the crashed thread's selector register points at,
  // looked up in the matching image loaded in this process; none otherwise.
  static std::optional<std::string> selectorRegisterValueFromReport(
      const ROCrashReport& report, const std::shared_ptr<ROCrashReportThreadInfo>& crashedThread,
      uint64_t codeType);
  static std::optional<std::string> selectorForRegisterWithName(
      const std::string& registerName, const std::shared_ptr<ROCrashReportThreadInfo>& thread,
      const ROCrashReport& report);
  // The application's images always; other images only when an address of
  // the report lies within them. Sorted by base address.
  static DUZEBinaries extractBinaryImagesFromReport(const ROCrashReport& report, bool is64bit);
  // Exception frames, then per thread its frames and its register values.
  static std::vector<uint64_t> addressesFromReport(const ROCrashReport& report);
  static bool isBinaryWithStart(uint64_t start, uint64_t end,
                                const std::vector<uint64_t>& addresses);
  static DUZEBinaryImageType imageTypeForImagePath(const std::optional<std::string>& imagePath,
                                                   const std::optional<std::string>& processPath);
  // A path under "/Users/<name>/" gets "/Users/USER/"; any other path that
  // contains "Users" becomes empty; in other paths every home folder reads
  // "/home/USER/" ($HOME and "/root/" at the start, unless $HOME is a
  // folder of the system's own files, and each "/home/<name>/").
  static std::string anonymizedPathFromPath(const std::string& path);
  // A new device: the report's OS version and build, model, application
  // version, marketing version and identifier when present, everything else
  // from the device recorded for that time.
  static std::shared_ptr<DUZEDevice> deviceForTimestamp(
      const std::optional<dispatch::Date>& timestamp, const ROCrashReport& report);
  // The standard 36-character upper-case text, or none.
  static std::optional<std::string> uuidRefToString(const std::optional<ROCrashReport::UUID>& uuid);
  // "0x%0*llx": 16 digits for 64-bit, 8 otherwise.
  static std::string formatAddress(uint64_t address, bool is64bit);
};
