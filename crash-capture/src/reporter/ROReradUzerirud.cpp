#include "crash-capture/ROReradUzerirud.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ROReradUzerirudCrashTime.h"
#include "ROReradUzerirudGate.h"
#include "base/Mutex.h"
#include "crash-capture/ROReradUzerirudError.h"
#include "foundation/Bundle.h"
#include "foundation/Paths.h"
#include "log/ROCrashLog.h"
#include "objc/NSException.h"
#include "safe/Assert.h"
#include "system/ImageEvents.h"
#include "system/ReservedDescriptors.h"
#include "system/SystemFacts.h"
#include "system/ThreadStacks.h"
#include "system/Threads.h"
#include "writer/ROCrashAnnotations.h"
#include "writer/ROCrashLogWriter.h"
#include "writer/ROCrashProcessInfo.h"

// The reporter: where its reports live, the last run's reports, and enabling,
// which fills the record the crash-time callbacks read
// (ROReradUzerirudCrashTime.h) and then installs them.

using namespace rocrash::reporter;

namespace {

// The engine's own folder under the caches folder.
constexpr const char* kDataFolderName = "org.kestrix.crash-capture";
constexpr const char* kExceptionName = "ROReradUzerirudException";

base::Mutex gEnableLock;
bool gEnabledOnce KX_GUARDED_BY(gEnableLock) = false;
// In Mach mode the server lives as long as the process, through the static
// destruction at exit too: a crash in a global destructor still has it.
std::shared_ptr<ROCrashMachExceptionServer>& gMachServer =
    *new std::shared_ptr<ROCrashMachExceptionServer>();

std::once_flag gInitializeOnce;

void initializeClass() {
  std::call_once(gInitializeOnce, [] {
    rocrash_async_image_list_init(&gImageList, sys::mach_task_self());
    rocrash_async_image_list_register_notifications(&gImageList);
  });
}

// Where reports are kept unless the configuration says: beside the
// application's data when a data folder is named for the run (so that two
// data folders never share a pending report), else the user's caches.
std::string userCachesFolder() {
  const std::string dataVariable(foundation::kDataDirectoryEnvironmentVariable);
  if (const char* data = getenv(dataVariable.c_str()); data != nullptr && data[0] != '\0') {
    return data;
  }
  const char* xdg = getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = getenv("HOME");
  return std::string(home != nullptr ? home : "/tmp") + "/.cache";
}

void raiseEngineException(const std::string& reason) {
  objc::NSException::raise(kExceptionName, reason);
}

std::shared_ptr<foundation::NSError> fileError(const std::string& path, int errorNumber) {
  return foundation::NSError::create(std::string(foundation::NSPOSIXErrorDomain), errorNumber,
                                     path + ": " + strerror(errorNumber));
}

}  // namespace

std::shared_ptr<ROReradUzerirud> ROReradUzerirud::sharedReporter() {
  static std::shared_ptr<ROReradUzerirud> shared = initWithBundle(
      foundation::NSBundle::mainBundle(), ROReradUzerirudConfig::defaultConfiguration());
  return shared;
}

std::shared_ptr<ROReradUzerirud> ROReradUzerirud::init() {
  return initWithConfiguration(ROReradUzerirudConfig::defaultConfiguration());
}

std::shared_ptr<ROReradUzerirud> ROReradUzerirud::initWithConfiguration(
    std::shared_ptr<ROReradUzerirudConfig> configuration) {
  return initWithBundle(foundation::NSBundle::mainBundle(), std::move(configuration));
}

std::shared_ptr<ROReradUzerirud> ROReradUzerirud::initWithBundle(
    const std::shared_ptr<foundation::NSBundle>& bundle,
    std::shared_ptr<ROReradUzerirudConfig> configuration) {
  std::string identifier = bundle ? bundle->bundleIdentifier() : std::string();
  if (identifier.empty()) {
    auto process = ROCrashProcessInfo::currentProcessInfo();
    if (!process || !process->processName()) {
      raiseEngineException("Can not determine process identifier or process name");
    }
    identifier = *process->processName();
    ROCrashLog("[ROReradUzerirud] Warning -- bundle identifier, using process name " + identifier);
  }
  std::string version;
  std::optional<std::string> marketing;
  if (bundle) {
    if (auto v = bundle->objectForInfoDictionaryKey(foundation::kCFBundleVersionKey)) {
      if (const std::string* s = v->stringValue()) version = *s;
    }
    if (auto m = bundle->objectForInfoDictionaryKey(foundation::kCFBundleShortVersionStringKey)) {
      if (const std::string* s = m->stringValue()) marketing = *s;
    }
  }
  if (version.empty()) ROCrashLog("[ROReradUzerirud] Warning -- bundle version unavailable");
  return initWithApplicationIdentifier(identifier, version, marketing, std::move(configuration));
}

std::shared_ptr<ROReradUzerirud> ROReradUzerirud::initWithApplicationIdentifier(
    std::string applicationIdentifier, std::string appVersion,
    std::optional<std::string> appMarketingVersion,
    std::shared_ptr<ROReradUzerirudConfig> configuration) {
  initializeClass();
  std::shared_ptr<ROReradUzerirud> reporter(new ROReradUzerirud());
  reporter->config_ = std::move(configuration);
  reporter->applicationIdentifier_ = std::move(applicationIdentifier);
  reporter->applicationVersion_ = std::move(appVersion);
  reporter->applicationMarketingVersion_ = std::move(appMarketingVersion);
  std::string folder = reporter->applicationIdentifier_;
  for (char& c : folder) {
    if (c == '/') c = '_';
  }
  std::string base = reporter->config_->basePath().value_or(userCachesFolder());
  reporter->crashReportDirectory_ =
      (std::filesystem::path(base) / kDataFolderName / folder).string();
  return reporter;
}

std::string ROReradUzerirud::queuedCrashReportDirectory() const {
  return (std::filesystem::path(crashReportDirectory_) / "queued_reports").string();
}

std::string ROReradUzerirud::crashReportPath() const {
  return (std::filesystem::path(crashReportDirectory_) / "live_report.rocrash").string();
}

uint32_t ROReradUzerirud::mapToAsyncSymbolicationStrategy(uint64_t strategy) const {
  return static_cast<uint32_t>(strategy & ROReradUzerirudSymbolicationStrategyAll);
}

bool ROReradUzerirud::hasPendingCrashReport() const {
  struct stat st;
  return stat(crashReportPath().c_str(), &st) == 0;
}

std::optional<std::vector<uint8_t>> ROReradUzerirud::loadPendingCrashReportData() const {
  return loadPendingCrashReportDataAndReturnError(nullptr);
}

std::optional<std::vector<uint8_t>> ROReradUzerirud::loadPendingCrashReportDataAndReturnError(
    std::shared_ptr<foundation::NSError>* error) const {
  std::string path = crashReportPath();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    foundation::setError(error, fileError(path, errno != 0 ? errno : ENOENT));
    return std::nullopt;
  }
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool ROReradUzerirud::purgePendingCrashReport() {
  return purgePendingCrashReportAndReturnError(nullptr);
}

bool ROReradUzerirud::purgePendingCrashReportAndReturnError(
    std::shared_ptr<foundation::NSError>* error) {
  std::string path = crashReportPath();
  if (unlink(path.c_str()) != 0) {
    foundation::setError(error, fileError(path, errno));
    return false;
  }
  return true;
}

std::vector<std::string> ROReradUzerirud::queuedCrashReportPaths() const {
  std::vector<std::pair<std::filesystem::file_time_type, std::string>> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(queuedCrashReportDirectory(), ec)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file(ec) || name.size() <= 8 || name[0] == '.' ||
        name.compare(name.size() - 8, 8, ".rocrash") != 0) {
      continue;
    }
    found.emplace_back(entry.last_write_time(ec), entry.path().string());
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  for (auto& [time, path] : found) paths.push_back(std::move(path));
  return paths;
}

bool ROReradUzerirud::purgeQueuedCrashReports() {
  bool purged = true;
  for (const auto& path : queuedCrashReportPaths()) purged = unlink(path.c_str()) == 0 && purged;
  return purged;
}

bool ROReradUzerirud::populateCrashReportDirectoryAndReturnError(
    std::shared_ptr<foundation::NSError>* error) {
  // Owner-only from their mkdir on, with the missing folders above them; the
  // engine's own folders are tightened when an earlier version left them open.
  const std::string engineFolder = std::filesystem::path(crashReportDirectory_).parent_path();
  for (const std::string& folder :
       {engineFolder, crashReportDirectory_, queuedCrashReportDirectory()}) {
    std::error_code ec;
    if (!foundation::createPrivateDirectory(folder, foundation::ExistingFolder::makePrivate, &ec)) {
      foundation::setError(error, fileError(folder, ec.value()));
      return false;
    }
  }
  return true;
}

bool ROReradUzerirud::enableCrashReporter() { return enableCrashReporterAndReturnError(nullptr); }

namespace {

// The exception server and its port, made before anything in the process
// changes (they are what fails, short of descriptors or threads), and
// registered for the task once the signal handlers are in place.
struct MachParts {
  std::shared_ptr<ROCrashMachExceptionServer> server;
  std::shared_ptr<ROCrashMachExceptionPort> port;
};

bool makeMachParts(ROCrashMachExceptionHandlerCallback callback, void* context, MachParts* parts,
                   std::shared_ptr<foundation::NSError>* error) {
  sys::exception_mask_t mask = sys::EXC_MASK_BAD_ACCESS | sys::EXC_MASK_BAD_INSTRUCTION |
                               sys::EXC_MASK_ARITHMETIC | sys::EXC_MASK_SOFTWARE |
                               sys::EXC_MASK_BREAKPOINT;
  auto host = ROCrashHostInfo::currentHostInfo();
  if (host && host->darwinVersion().major >= 13) mask |= sys::EXC_MASK_GUARD;

  std::shared_ptr<foundation::NSError> cause;
  parts->server = ROCrashMachExceptionServer::initWithCallBack(callback, context, &cause);
  if (!parts->server) {
    ROCrashPopulateError(error, ROReradUzerirudErrorOperatingSystem,
                         "Failed to instantiate the Mach exception server.", cause);
    return false;
  }
  parts->port = parts->server->exceptionPortWithMask(mask, &cause);
  if (!parts->port) {
    parts->server.reset();
    ROCrashPopulateError(error, ROReradUzerirudErrorOperatingSystem,
                         "Failed to instantiate the Mach exception port.", cause);
    return false;
  }
  return true;
}

bool registerMachParts(const MachParts& parts,
                       std::shared_ptr<ROCrashMachExceptionPortSet>* previousPortSet,
                       std::shared_ptr<foundation::NSError>* error) {
  std::shared_ptr<foundation::NSError> cause;
  if (!parts.port->registerForTask(sys::mach_task_self(), previousPortSet, &cause)) {
    ROCrashPopulateError(error, ROReradUzerirudErrorOperatingSystem,
                         "Failed to set the target task's mach exception ports.", cause);
    return false;
  }
  return true;
}

// Gives back what the record the crash-time callbacks read holds. Only while
// no callback may read it: before enabling installs them, or once they are
// out of the chain and no thread may still be running one.
void releaseCrashRecord() {
  if (gStorage.reportFile >= 0 &&
      sys::descriptor_still_names(gStorage.reportFile, gStorage.reportFileIdentity, true)) {
    close(gStorage.reportFile);
  }
  gStorage.reportFile = -1;
  closePreparedFile();
  for (char** path : {&gStorage.reportPath, &gStorage.dataFolder, &gStorage.queueFolder}) {
    free(*path);
    *path = nullptr;
  }
  rocrash_log_writer_free(&gStorage.writer);
}

// The crash gate, held for the whole of an enabling as a live report holds
// it: a crash that reaches the callbacks meanwhile writes once the record is
// whole, or left as it was, and the record is never changed under a crash
// that is being written.
struct CrashGateHold {
  CrashGateHold() { beginLiveReport(); }
  ~CrashGateHold() { endLiveReport(); }
  CrashGateHold(const CrashGateHold&) = delete;
  CrashGateHold& operator=(const CrashGateHold&) = delete;
};

// What enabling changed in the process so far, to be undone when a later
// step fails: a failed enabling leaves masks, descriptors and signal actions
// as it found them.
struct EnablingUndo {
  sigset_t callerMask;
  bool keptFaultsDeliverable = false;
  bool openedTaskFolder = false;
  int registered = 0;  // kFatalSignals[0, registered) have the signal callback

  void undo() {
    auto handler = ROCrashSignalHandler::sharedHandler();
    while (registered > 0) {
      handler->unregisterHandlerForSignal(kFatalSignals[--registered], signalCallback, &gStorage);
    }
    if (keptFaultsDeliverable) {
      sys::thread_fault_signals_stop_keeping();
      pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
    }
    if (openedTaskFolder) sys::thread_parking_release_folder();
    // A crash that reached a callback before it left the chain writes with
    // the record once this enabling lets go of the gate: the record then
    // stays, until a later enabling replaces it.
    if (!ROCrashSignalHandler::callbacksMayRun()) releaseCrashRecord();
  }
};

}  // namespace

bool ROReradUzerirud::enableCrashReporterAndReturnError(
    std::shared_ptr<foundation::NSError>* error) {
  // One enabling at a time, and only one that holds counts: a failed one
  // leaves nothing that blocks the next.
  base::LockGuard lock(gEnableLock);
  if (gEnabledOnce) {
    ROCrashPopulateError(error, ROReradUzerirudErrorBusy,
                         "A ROReradUzerirud instance has already been enabled");
    return false;
  }
  if (!populateCrashReportDirectoryAndReturnError(error)) return false;
  removeEndedWritersFiles(crashReportDirectory_.c_str(), crashReportPath().c_str(),
                          queuedCrashReportDirectory().c_str());
  CrashGateHold gate;
  // What a failed enabling before left to a crash that was in the callbacks
  // then (or a writer a setting gave custom data to).
  releaseCrashRecord();

  // What can fail comes before anything in the process changes: the
  // writer's facts (a process without /proc has none) and the exception
  // server (short of descriptors or threads).
  rocrash_error_t started = rocrash_log_writer_init(
      &gStorage.writer, applicationIdentifier_, applicationVersion_, applicationMarketingVersion_,
      mapToAsyncSymbolicationStrategy(config_->symbolicationStrategy()), false);
  if (started != ROCRASH_ERR_NONE) {
    // A writer without its process record would leave reports nobody can
    // place: stay disabled, with no handler installed, and say why.
    rocrash_log_writer_free(&gStorage.writer);
    ROCrashPopulateError(error, ROReradUzerirudErrorOperatingSystem,
                         std::string("Failed to initialize the crash log writer: ") +
                             rocrash_async_strerror(started));
    return false;
  }
  if (customData_) rocrash_log_writer_set_custom_data(&gStorage.writer, &*customData_);
  const uint64_t type = config_->signalHandlerType();
  MachParts mach;
  if (type == ROReradUzerirudSignalHandlerTypeMach &&
      !makeMachParts(machCallback, &gStorage, &mach, error)) {
    rocrash_log_writer_free(&gStorage.writer);
    return false;
  }

  EnablingUndo changes;
  pthread_sigmask(SIG_BLOCK, nullptr, &changes.callerMask);
  gStorage.reportPath = strdup(crashReportPath().c_str());
  gStorage.dataFolder = strdup(crashReportDirectory_.c_str());
  gStorage.queueFolder = strdup(queuedCrashReportDirectory().c_str());
  gStorage.reportFile = open(gStorage.dataFolder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (gStorage.reportFile >= 0 &&
      !sys::descriptor_identify(gStorage.reportFile, &gStorage.reportFileIdentity)) {
    close(gStorage.reportFile);
    gStorage.reportFile = -1;
  }
  prepareReportFile(gStorage.dataFolder);

  // The kernel ends a thread that faults with its fault signal blocked,
  // before any handler runs; the threads that exist now take their alternate
  // stacks (and leave the fault signals unblocked) with the handlers'
  // registration below.
  if (type == ROReradUzerirudSignalHandlerTypeBSD || type == ROReradUzerirudSignalHandlerTypeMach) {
    sys::thread_fault_signals_keep_deliverable();
    changes.keptFaultsDeliverable = true;
  }
  sys::sync_loaded_images();
  changes.openedTaskFolder = sys::thread_parking_prepare();
  // Before the crash's handlers: a crash is written whole before the program
  // can end.
  sys::process_crash_holds_exit();

  auto handler = ROCrashSignalHandler::sharedHandler();
  if (type == ROReradUzerirudSignalHandlerTypeBSD || type == ROReradUzerirudSignalHandlerTypeMach) {
    // In Mach mode SIGABRT never arrives as an exception. The fault signals
    // are caught as signals too, behind the exception bridge (installed
    // after them, so it hands them on here): for a process whose faults no
    // server of its own can take (a forked child), for a fault that could
    // not be sent, and to end the faulting thread once the server is done
    // with it.
    for (int signo : kFatalSignals) {
      if (!handler->registerHandlerForSignal(signo, signalCallback, &gStorage, error)) {
        changes.undo();
        return false;
      }
      ++changes.registered;
    }
  }
  if (type == ROReradUzerirudSignalHandlerTypeMach) {
    if (!registerMachParts(mach, &previousMachPorts_, error)) {
      changes.undo();
      return false;
    }
    machServer_ = mach.server;
    gMachServer = machServer_;
    if (previousMachPorts_) {
      gStorage.previousPorts = previousMachPorts_->asyncSafeRepresentation();
    } else {
      gStorage.previousPorts = {};
    }
  }
  if (config_->shouldRegisterUncaughtExceptionHandler()) {
    rocrash::NSSetUncaughtExceptionHandler(uncaught_exception_handler);
  }
  gEnabledOnce = true;
  enabled_ = true;
  return true;
}

std::shared_ptr<ROCrashMachExceptionServer>
ROReradUzerirud::enableMachExceptionServerWithPreviousPortSet(
    std::shared_ptr<ROCrashMachExceptionPortSet>* previousPortSet,
    ROCrashMachExceptionHandlerCallback callback, void* context,
    std::shared_ptr<foundation::NSError>* error) {
  MachParts parts;
  if (!makeMachParts(callback, context, &parts, error) ||
      !registerMachParts(parts, previousPortSet, error)) {
    return nullptr;
  }
  return parts.server;
}

void ROReradUzerirud::setCrashCallbacks(const ROReradUzerirudCallbacks* callbacks) {
  if (enabled_) raiseEngineException("The crash reporter has already been enabled");
  ROCRASH_ASSERT(callbacks->version == 0);
  gStorage.callbackContext = callbacks->context;
  gStorage.handleSignal = callbacks->handleSignal;
}

void ROReradUzerirud::setCustomData(std::optional<std::vector<uint8_t>> data) {
  customData_ = std::move(data);
  rocrash_log_writer_set_custom_data(&gStorage.writer, customData_ ? &*customData_ : nullptr);
}

namespace {

// The answer to a change of annotation `name`, with `*error` on failure.
bool annotationAnswer(rocrash::annotations::SetResult result, const std::string& name,
                      std::shared_ptr<foundation::NSError>* error) {
  using rocrash::annotations::SetResult;
  switch (result) {
    case SetResult::set:
      return true;
    case SetResult::badName:
      ROCrashPopulateError(error, ROReradUzerirudErrorInvalidAnnotation,
                           "An annotation's name is 1 to " +
                               std::to_string(rocrash::annotations::kMaxNameBytes) +
                               " bytes of UTF-8 without a zero byte");
      return false;
    case SetResult::badValue:
      ROCrashPopulateError(error, ROReradUzerirudErrorInvalidAnnotation,
                           "The value of annotation \"" + name + "\" is not at most " +
                               std::to_string(rocrash::annotations::kMaxValueBytes) +
                               " bytes of UTF-8 without a zero byte");
      return false;
    case SetResult::full:
      ROCrashPopulateError(error, ROReradUzerirudErrorTooManyAnnotations,
                           "No room for annotation \"" + name + "\": every name has been taken");
      return false;
    case SetResult::kept:
      ROCrashPopulateError(error, ROReradUzerirudErrorInvalidAnnotation,
                           "Annotation \"" + name + "\" is kept by a component of the program");
      return false;
    case SetResult::noMemory:
      break;
  }
  ROCrashPopulateError(error, ROReradUzerirudErrorOperatingSystem,
                       "No memory for annotation \"" + name + "\"");
  return false;
}

}  // namespace

bool ROReradUzerirud::setAnnotation(const std::string& name, const std::string& value,
                                    std::shared_ptr<foundation::NSError>* error) {
  return annotationAnswer(rocrash::annotations::set(name, value), name, error);
}

void ROReradUzerirud::removeAnnotation(const std::string& name) {
  rocrash::annotations::clear(name);
}

std::map<std::string, std::string> ROReradUzerirud::annotations() {
  return rocrash::annotations::current();
}

std::optional<ROReradUzerirud::AnnotationKey> ROReradUzerirud::keepAnnotation(
    const std::string& name, std::shared_ptr<foundation::NSError>* error) {
  size_t slot = 0;
  if (!annotationAnswer(rocrash::annotations::keep(name, &slot), name, error)) return std::nullopt;
  return AnnotationKey(slot);
}

bool ROReradUzerirud::AnnotationKey::set(const std::string& value,
                                         std::shared_ptr<foundation::NSError>* error) const {
  return annotationAnswer(rocrash::annotations::setKept(slot_, value),
                          rocrash::annotations::nameOf(slot_), error);
}

void ROReradUzerirud::AnnotationKey::remove() const { rocrash::annotations::clearKept(slot_); }

const char* ROReradUzerirud::AnnotationKey::name() const {
  return rocrash::annotations::nameOf(slot_);
}

ROReradUzerirud::AnnotationKey ROReradUzerirud::serviceAnnotationKey(ServiceAnnotation annotation) {
  static_assert(std::size(rocrash::annotations::kServiceNames) ==
                static_cast<size_t>(ServiceAnnotation::userIdSetAt) + 1);
  return AnnotationKey(rocrash::annotations::kFirstServiceSlot + static_cast<size_t>(annotation));
}
