#pragma once

// crash-capture, the crash capture engine. `ROReradUzerirud` (this header) is
// its front: enabling, where reports live, the last run's report, live
// reports. At a crash the engine's own signal handlers (or, in Mach mode, its
// exception server, ROCrashMachExceptionServer.h) have the report written,
// allocating nothing and taking no lock. ROCrashReport.h decodes a report;
// ROCrashReportTextFormatter.h prints it. These headers, with
// ROReradUzerirudError.h, ROCrashCpuNames.h and the report schema's
// crash_report.pb-c.h, are the engine's whole interface.

#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash-capture/ROCrashMachExceptionServer.h"
#include "foundation/NSError.h"
#include "system/Task.h"

namespace foundation {
class NSBundle;
}
namespace objc {
class NSException;
}

// The process's uncaught object-runtime exception handler: a plain function
// of one exception object. The engine installs its own at enabling; the crash
// service reads it back and calls it on.
using NSUncaughtExceptionHandler = void (*)(objc::NSException* exception);
namespace rocrash {
void NSSetUncaughtExceptionHandler(NSUncaughtExceptionHandler handler);
NSUncaughtExceptionHandler NSGetUncaughtExceptionHandler();
}  // namespace rocrash

// Which handlers catch crashes.
enum ROReradUzerirudSignalHandlerType : uint64_t {
  ROReradUzerirudSignalHandlerTypeBSD = 0,
  ROReradUzerirudSignalHandlerTypeMach = 1,
};

// Which symbol sources the crash-time writer may use.
enum ROReradUzerirudSymbolicationStrategy : uint64_t {
  ROReradUzerirudSymbolicationStrategyNone = 0,
  ROReradUzerirudSymbolicationStrategySymbolTable = 1 << 0,
  ROReradUzerirudSymbolicationStrategyObjC = 1 << 1,
  ROReradUzerirudSymbolicationStrategyAll = 3,
};

// The reporter's choices. Immutable.
class ROReradUzerirudConfig {
 public:
  static std::shared_ptr<ROReradUzerirudConfig> defaultConfiguration();
  static std::shared_ptr<ROReradUzerirudConfig> init();
  static std::shared_ptr<ROReradUzerirudConfig> initWithBasePath(std::string basePath);
  static std::shared_ptr<ROReradUzerirudConfig> initWithSignalHandlerType(
      uint64_t signalHandlerType, uint64_t symbolicationStrategy);
  static std::shared_ptr<ROReradUzerirudConfig> initWithSignalHandlerType(
      uint64_t signalHandlerType, uint64_t symbolicationStrategy, std::string basePath);
  static std::shared_ptr<ROReradUzerirudConfig> initWithSignalHandlerType(
      uint64_t signalHandlerType, uint64_t symbolicationStrategy,
      bool shouldRegisterUncaughtExceptionHandler);
  static std::shared_ptr<ROReradUzerirudConfig> initWithSignalHandlerType(
      uint64_t signalHandlerType, uint64_t symbolicationStrategy,
      bool shouldRegisterUncaughtExceptionHandler, std::optional<std::string> basePath);

  uint64_t signalHandlerType() const { return signalHandlerType_; }
  uint64_t symbolicationStrategy() const { return symbolicationStrategy_; }
  bool shouldRegisterUncaughtExceptionHandler() const {
    return shouldRegisterUncaughtExceptionHandler_;
  }
  const std::optional<std::string>& basePath() const { return basePath_; }

 private:
  ROReradUzerirudConfig() = default;
  uint64_t signalHandlerType_ = ROReradUzerirudSignalHandlerTypeBSD;
  uint64_t symbolicationStrategy_ = ROReradUzerirudSymbolicationStrategyNone;
  bool shouldRegisterUncaughtExceptionHandler_ = true;
  std::optional<std::string> basePath_;
};

// The crash-time callback record. `handleSignal` runs after the report is
// written, in the crashed context; it must be async-signal-safe. Should it
// fault, the process ends with the crash's own signal.
struct ROReradUzerirudCallbacks {
  uint16_t version;  // must be 0
  void* context;
  void (*handleSignal)(siginfo_t* info, void* uap, void* context);
};

// The running kernel's version, from "kern.osrelease".
class ROCrashHostInfo {
 public:
  struct Version {
    int64_t major = 0;
    int64_t minor = 0;
    int64_t revision = 0;
  };
  // Null (after a log line) when the release text cannot be read.
  static std::shared_ptr<ROCrashHostInfo> currentHostInfo();
  Version darwinVersion() const { return version_; }

 private:
  ROCrashHostInfo() = default;
  Version version_;
};

// The front of the crash capture engine: where reports live, enabling crash
// capture once per process, the crash-time callbacks that write the report,
// the pending report of the last run, and live reports on request.
//
// A report is written into a file without a name and named only when it is
// whole, so that a writer that is killed or faults leaves no cut report and
// replaces none. The enabling process's report becomes the pending report, or
// is queued beside an earlier run's pending one; a forked child's is always
// queued (it is another process, reported as itself).
//
// One report is written at a time. The first crash writes the report and
// ends the process with its signal; a thread that crashes meanwhile waits
// for that end without writing. A crash that meets a live report being
// written waits until it is done; a live report waits while another report
// is written (for ever, once a crash is).
class ROReradUzerirud {
 public:
  // Created once, with the main bundle and the default configuration.
  static std::shared_ptr<ROReradUzerirud> sharedReporter();
  static std::shared_ptr<ROReradUzerirud> init();
  static std::shared_ptr<ROReradUzerirud> initWithConfiguration(
      std::shared_ptr<ROReradUzerirudConfig> configuration);
  // Identifier and versions from `bundle`; raises "ROReradUzerirudException"
  // when neither an identifier nor a process name can be found.
  static std::shared_ptr<ROReradUzerirud> initWithBundle(
      const std::shared_ptr<foundation::NSBundle>& bundle,
      std::shared_ptr<ROReradUzerirudConfig> configuration);
  static std::shared_ptr<ROReradUzerirud> initWithApplicationIdentifier(
      std::string applicationIdentifier, std::string appVersion,
      std::optional<std::string> appMarketingVersion,
      std::shared_ptr<ROReradUzerirudConfig> configuration);

  bool hasPendingCrashReport() const;
  std::optional<std::vector<uint8_t>> loadPendingCrashReportData() const;
  std::optional<std::vector<uint8_t>> loadPendingCrashReportDataAndReturnError(
      std::shared_ptr<foundation::NSError>* error) const;
  bool purgePendingCrashReport();
  bool purgePendingCrashReportAndReturnError(std::shared_ptr<foundation::NSError>* error);

  // The whole reports waiting in `queuedCrashReportDirectory`, oldest first:
  // those of forked children, and a crash's report made while an earlier
  // run's was still pending (which it never replaces).
  std::vector<std::string> queuedCrashReportPaths() const;
  // Removes them; false when one could not be removed.
  bool purgeQueuedCrashReports();

  // Installs the crash handlers; once per process. A process that enables as
  // root (a daemon) and then gives up its user and group for one that may not
  // write the data folder still gets its reports: enabling prepares a file
  // with a hidden name there (empty until a crash, locked while the process
  // lives), the crash writes into it, and the next enabling names the report
  // as the pending one (or queues it). Not served then, with no file left
  // behind: children of such a process (forked, or in its memory), and a
  // process that gives up root without having enabled as root.
  bool enableCrashReporter();
  bool enableCrashReporterAndReturnError(std::shared_ptr<foundation::NSError>* error);

  // Raises "ROReradUzerirudException" once enabled; stops the process for a
  // version other than 0.
  void setCrashCallbacks(const ROReradUzerirudCallbacks* callbacks);
  const std::optional<std::vector<uint8_t>>& customData() const { return customData_; }
  void setCustomData(std::optional<std::vector<uint8_t>> data);

  // Annotations: named strings of the whole process that every report it
  // writes, crash or live, carries as they stand when it is written,
  // whichever reporter writes it. Any thread, at any time, before enabling
  // too. A change that races a crash leaves the old value or the new one in
  // the report, whole; reading them at a crash allocates nothing and takes no
  // lock. A forked child starts with its parent's, and its own changes are
  // its own.
  //
  // Sets `name` to `value` (an empty value is a value). A name is 1 to 64
  // bytes, a value at most 4,096, both valid UTF-8 without a zero byte
  // (ROReradUzerirudErrorInvalidAnnotation otherwise, and for a name kept by
  // a component or the crash service's, below); the host has 16 names over
  // the life of the process, a cleared one keeping its room
  // (ROReradUzerirudErrorTooManyAnnotations for a 17th). On failure the name
  // keeps the value it had, and the answer is false with `*error`.
  static bool setAnnotation(const std::string& name, const std::string& value,
                            std::shared_ptr<foundation::NSError>* error = nullptr);
  // Clears `name`: reports carry no value for it. A kept name is left as it
  // is.
  static void removeAnnotation(const std::string& name);
  // The host's names that have a value, with their values (kept names are
  // not among them).
  static std::map<std::string, std::string> annotations();

  // A name a component of the program keeps for itself, beside the host's
  // sixteen: reports carry the value set through the key, and the calls
  // above neither change it nor list it. Copies are the same key.
  class AnnotationKey {
   public:
    // As setAnnotation, for the kept name.
    bool set(const std::string& value, std::shared_ptr<foundation::NSError>* error = nullptr) const;
    void remove() const;
    const char* name() const;

   private:
    friend class ROReradUzerirud;
    explicit AnnotationKey(size_t slot) : slot_(slot) {}
    size_t slot_;
  };
  // Keeps `name` (its rules as setAnnotation's) for the caller, for the life
  // of the process; a value the host gave it is dropped. None, with
  // `*error`, for a name kept already or the crash service's
  // (ROReradUzerirudErrorInvalidAnnotation), or past four kept names
  // (ROReradUzerirudErrorTooManyAnnotations).
  static std::optional<AnnotationKey> keepAnnotation(
      const std::string& name, std::shared_ptr<foundation::NSError>* error = nullptr);

  // The telemetry client's crash service's names: its session and user ids,
  // and, for an id a report cannot carry, when the service's history
  // recorded it ("sessionId", "userId", "sessionIdSetAt", "userIdSetAt").
  // In a program linked with the service they are its own from the start of
  // the process, whatever runs first, beside the host's sixteen names and
  // the four kept ones: the calls above refuse them (setAnnotation,
  // keepAnnotation), leave them as they are (removeAnnotation) or leave them
  // out (annotations()), and only the service changes them, through these
  // keys. A program without the service may use them as names of its own.
  enum class ServiceAnnotation { sessionId, userId, sessionIdSetAt, userIdSetAt };
  static AnnotationKey serviceAnnotationKey(ServiceAnnotation annotation);

  // A complete report file of the running process, or none with an error.
  std::optional<std::vector<uint8_t>> generateLiveReportWithThread(
      sys::thread_t thread, objc::NSException* exception,
      std::shared_ptr<foundation::NSError>* error);
  std::optional<std::vector<uint8_t>> generateLiveReportWithThread(
      sys::thread_t thread, std::shared_ptr<foundation::NSError>* error);
  std::optional<std::vector<uint8_t>> generateLiveReportWithThread(sys::thread_t thread);
  std::optional<std::vector<uint8_t>> generateLiveReportWithException(
      objc::NSException* exception, std::shared_ptr<foundation::NSError>* error);
  std::optional<std::vector<uint8_t>> generateLiveReportAndReturnError(
      std::shared_ptr<foundation::NSError>* error);
  std::optional<std::vector<uint8_t>> generateLiveReport();

  // The two lowest bits of the configured strategy.
  uint32_t mapToAsyncSymbolicationStrategy(uint64_t strategy) const;
  const std::string& crashReportDirectory() const { return crashReportDirectory_; }
  std::string queuedCrashReportDirectory() const;
  std::string crashReportPath() const;
  bool populateCrashReportDirectoryAndReturnError(std::shared_ptr<foundation::NSError>* error);
  std::shared_ptr<ROCrashMachExceptionServer> enableMachExceptionServerWithPreviousPortSet(
      std::shared_ptr<ROCrashMachExceptionPortSet>* previousPortSet,
      ROCrashMachExceptionHandlerCallback callback, void* context,
      std::shared_ptr<foundation::NSError>* error);

  const std::shared_ptr<ROReradUzerirudConfig>& config() const { return config_; }
  const std::string& applicationIdentifier() const { return applicationIdentifier_; }
  const std::string& applicationVersion() const { return applicationVersion_; }
  const std::optional<std::string>& applicationMarketingVersion() const {
    return applicationMarketingVersion_;
  }

 private:
  ROReradUzerirud() = default;
  std::optional<std::vector<uint8_t>> liveReport(sys::thread_t thread, objc::NSException* exception,
                                                 uint64_t returnAddress,
                                                 std::shared_ptr<foundation::NSError>* error);

  std::shared_ptr<ROReradUzerirudConfig> config_;
  bool enabled_ = false;
  std::shared_ptr<ROCrashMachExceptionServer> machServer_;
  std::shared_ptr<ROCrashMachExceptionPortSet> previousMachPorts_;
  std::string applicationIdentifier_;
  std::string applicationVersion_;
  std::optional<std::string> applicationMarketingVersion_;
  std::string crashReportDirectory_;
  std::optional<std::vector<uint8_t>> customData_;
};

// The engine's uncaught-exception handler: the first call in the process
// records the exception for the crash report and aborts; later calls return.
void uncaught_exception_handler(objc::NSException* exception);
