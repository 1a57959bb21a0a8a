#include "ZozIduvurCrashes/DUZECrashes.h"

#include <signal.h>

#include <charconv>

#include "DUZEApplicationForwarder.h"
#include "DUZECrashesKeys.h"
#include "DUZECrashesLogBuffer.h"
#include "DUZECrashesUtil.h"
#include "DUZEErrorLogFormatter.h"
#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZEDispatcherUtil.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZEUserIdContext.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurCrashes/DUZECrashesUncaughtCXXExceptionHandlerManager.h"
#include "ZozIduvurCrashes/DUZEHandledErrorLog.h"
#include "ZozIduvurCrashes/DUZEWrapperCrashesHelper.h"
#include "ZozIduvurCrashes/DUZEWrapperExceptionManager.h"
#include "base/BuildFacts.h"
#include "dispatch/DispatchQueue.h"
#include "dispatch/OnceToken.h"
#include "foundation/StringFormat.h"
#include "foundation/UUID.h"

#ifdef KX_TEST_SEAMS
#include "ZozIduvurCrashes/TestSeams.h"
#endif

namespace {

// `gSharedMutex` guards the pointer only and is held for no call. Making the
// instance takes the instance's own lock (the log buffer's set-up), and a
// delegate may ask for the shared instance while that lock is held, so
// construction runs outside `gSharedMutex`, serialised by `gMakingMutex`.
base::Mutex gMakingMutex;
base::Mutex gSharedMutex;
std::shared_ptr<DUZECrashes> gShared KX_GUARDED_BY(gSharedMutex);

base::Mutex gSeamMutex;
std::optional<dispatch::DispatchTimeInterval> gProcessingDelay KX_GUARDED_BY(gSeamMutex);
std::optional<bool> gDebuggerAttached KX_GUARDED_BY(gSeamMutex);

}  // namespace

// Tells the crash engine, which refers to it weakly, that the program has
// this service: the engine then keeps the service's names for it from the
// start of the process (the link decides, before any initialiser runs).
extern "C" __attribute__((used, visibility("default")))
const char kestrix_crash_service_annotations = 1;

namespace {

// The crash engine's names this service has for one id: the id itself,
// and, for an id the reports cannot carry, when its history entry was
// recorded. The engine keeps them for this service from the start of the
// process, so that a host's annotations neither take their room nor change
// them, whatever runs first.
using ServiceAnnotation = ROReradUzerirud::ServiceAnnotation;
struct IdAnnotations {
  ServiceAnnotation id;
  ServiceAnnotation recordedAt;
};
constexpr IdAnnotations kSessionAnnotations{ServiceAnnotation::sessionId,
                                            ServiceAnnotation::sessionIdSetAt};
constexpr IdAnnotations kUserAnnotations{ServiceAnnotation::userId, ServiceAnnotation::userIdSetAt};

// Makes the annotations say `value`: the id, none, or, for one a report
// cannot carry (too long, or not text), the time its entry was `recorded`,
// which finds that entry in the history its process stores, and nothing in
// a forked child's, which is not stored (its report then says no id, never
// its parent's). The time goes first and the id last, so that a report
// written between says one or the other.
void annotate(const IdAnnotations& names, const std::optional<std::string>& value,
              std::optional<dispatch::Date> recorded) {
  const auto id = ROReradUzerirud::serviceAnnotationKey(names.id);
  const auto recordedAt = ROReradUzerirud::serviceAnnotationKey(names.recordedAt);
  if (value && id.set(*value)) {
    recordedAt.remove();
    return;
  }
  if (value && recorded) {
    recordedAt.set(duzecrashes::recordedAtText(*recorded));
  } else {
    recordedAt.remove();
  }
  id.remove();
}
}  // namespace

namespace duzecrashes {

dispatch::OnceToken& delayedProcessingToken() {
  static dispatch::OnceToken token;
  return token;
}

dispatch::DispatchTimeInterval processingDelay() {
  base::LockGuard lock(gSeamMutex);
  return gProcessingDelay.value_or(dispatch::DispatchTimeInterval::nanoseconds(1000000000));
}

std::string recordedAtText(dispatch::Date recorded) {
  char text[64];
  const auto written = std::to_chars(text, text + sizeof text, recorded.timeIntervalSince1970(),
                                     std::chars_format::fixed);
  return std::string(text, written.ec == std::errc() ? written.ptr : text);
}

std::optional<double> recordedAtFromText(std::string_view text) {
  // Decimals without an exponent, as written; "nan" and "inf", which
  // from_chars takes too, are out of the range.
  double seconds = 0;
  const char* const end = text.data() + text.size();
  const auto read = std::from_chars(text.data(), end, seconds, std::chars_format::fixed);
  if (read.ec != std::errc() || read.ptr != end || !(seconds > 0) ||
      seconds >= dispatch::Date::distantFuture().timeIntervalSince1970()) {
    return std::nullopt;
  }
  return seconds;
}

}  // namespace duzecrashes

// Construction and the shared instance -------------------------------------------

DUZECrashes::DUZECrashes()
    : appStartTime_(dispatch::Date::now()),
      delayedProcessingSemaphore_(std::make_shared<dispatch::DispatchSemaphore>(0)),
      targetTokenEncrypter_(DUZEEncrypter::create()),
      bufferFileQueue_(dispatch::OperationQueue::create()) {
  DUZEZozIduvurUserDefaults::shared()->migrateKeys(
      {
          {"RADuzOzezadCrashesIsEnabled", std::string("kZORodozidIsEnabledKey")},
          {"RADuzOzezadAppDidReceiveMemoryWarning", std::string("ZIAppDidReceiveMemoryWarning")},
          {"RADuzOzezadCrashesUserConfirmation", std::string("ZIUserConfirmation")},
      },
      kDUZECrashesServiceName);
  DUZECrashesArchiverUtil::addMigrationClasses();
  DUZECrashesArchiverUtil::addAllowedCrashesModuleClasses();

  crashesPathComponent_ = DUZECrashesUtil::crashesDir();
  logBufferPathComponent_ = DUZECrashesUtil::logBufferDir();
  analyzerInProgressFilePathComponent_ =
      foundation::stringWithFormat("%@/%@", crashesPathComponent_, duzecrashes::kAnalyzerFileName);

  channelUnitConfiguration_ =
      DUZEChannelUnitConfiguration(std::string(kDUZECrashesGroupId), 2, 1, 1, 3);
  bufferFileQueue_->setMaxConcurrentOperationCount(5);
  setupLogBuffer();
}

DUZECrashes::~DUZECrashes() {
  // Buffer files still being made belong to this instance's folders.
  bufferFileQueue_->waitUntilAllOperationsAreFinished();
  if (memoryPressureSource_) memoryPressureSource_->cancel();
}

std::shared_ptr<DUZECrashes> DUZECrashes::sharedInstance() {
  const auto current = [] {
    base::LockGuard lock(gSharedMutex);
    return gShared;
  };
  if (auto instance = current()) return instance;
  base::LockGuard making(gMakingMutex);
  if (auto instance = current()) return instance;
  auto instance = std::shared_ptr<DUZECrashes>(new DUZECrashes());
  base::LockGuard lock(gSharedMutex);
  gShared = instance;
  return instance;
}

void DUZECrashes::resetSharedInstance() {
  std::shared_ptr<DUZECrashes> old;
  {
    base::LockGuard lock(gSharedMutex);
    old = std::move(gShared);
  }
  duzecrashes::delayedProcessingToken().reset();
}

std::shared_ptr<DUZECrashes> DUZECrashes::self() {
  return std::static_pointer_cast<DUZECrashes>(shared_from_this());
}

std::string_view DUZECrashes::logTag() const { return kDUZECrashesLogTag; }

#ifdef KX_TEST_SEAMS
void DUZECrashesSeams::setProcessingDelayForTesting(
    std::optional<dispatch::DispatchTimeInterval> delay) {
  base::LockGuard lock(gSeamMutex);
  gProcessingDelay = delay;
}

void DUZECrashesSeams::setDebuggerAttachedForTesting(std::optional<bool> attached) {
  base::LockGuard lock(gSeamMutex);
  gDebuggerAttached = attached;
}
#endif

bool DUZECrashes::isDebuggerAttached() {
  {
    base::LockGuard lock(gSeamMutex);
    if (gDebuggerAttached) return *gDebuggerAttached;
  }
  return DUZEZozIduvur::isDebuggerAttached();
}

// Class-level interface -------------------------------------------------------------

void DUZECrashes::setDelegate(const std::shared_ptr<DUZECrashesDelegate>& delegate) {
  sharedInstance()->setDelegateOnInstance(delegate);
}

std::shared_ptr<DUZECrashesDelegate> DUZECrashes::delegate() {
  return sharedInstance()->delegateOnInstance();
}

void DUZECrashes::setUserConfirmationHandler(DUZEUserConfirmationHandler handler) {
  sharedInstance()->setUserConfirmationHandlerOnInstance(std::move(handler));
}

DUZEUserConfirmationHandler DUZECrashes::userConfirmationHandler() {
  return sharedInstance()->userConfirmationHandlerOnInstance();
}

void DUZECrashes::notifyWithUserConfirmation(DUZEUserConfirmation userConfirmation) {
  sharedInstance()->notifyWithUserConfirmationOnInstance(userConfirmation);
}

bool DUZECrashes::hasCrashedInLastSession() { return sharedInstance()->didCrashInLastSession(); }

bool DUZECrashes::hasReceivedMemoryWarningInLastSession() {
  return sharedInstance()->didReceiveMemoryWarningInLastSession();
}

std::shared_ptr<DUZEErrorReport> DUZECrashes::lastSessionCrashReport() {
  return sharedInstance()->getLastSessionCrashReport();
}

void DUZECrashes::disableMachExceptionHandler() {
  sharedInstance()->setEnableMachExceptionHandler(false);
}

std::optional<std::string> DUZECrashes::trackError(
    const std::shared_ptr<foundation::NSError>& error,
    const std::optional<DUZEProperties>& properties,
    const std::optional<DUZEErrorAttachmentLogs>& attachments) {
  auto exception =
      error ? DUZEExceptionModel::createWithError(*error) : DUZEExceptionModel::create();
  return sharedInstance()->trackErrorOnInstance(exception, properties, attachments);
}

std::optional<std::string> DUZECrashes::trackException(
    const std::shared_ptr<DUZEExceptionModel>& exception,
    const std::optional<DUZEProperties>& properties,
    const std::optional<DUZEErrorAttachmentLogs>& attachments) {
  return sharedInstance()->trackErrorOnInstance(exception, properties, attachments);
}

void DUZECrashes::generateTestCrash() {
  auto instance = sharedInstance();
  base::LockGuard lock(instance->instanceLock());
  if (!instance->canBeUsed()) return;
  if (DUZEUtility::currentAppEnvironment() == DUZEEnvironmentAppStore) {
    DUZELogWarning(kDUZECrashesLogTag,
                   "GenerateTestCrash was just called in an App Store environment. The call will "
                   "be ignored.");
    return;
  }
  if (isDebuggerAttached()) {
    DUZELogWarning(kDUZECrashesLogTag,
                   "The debugger is attached. The following crash cannot be detected by the SDK!");
  }
  // Let the line above reach its handler: the process ends here.
  DUZELogger::flush();
#if KX_X86_64
  __asm__ volatile("int3");
#elif KX_AARCH64
  __asm__ volatile("brk #0");
#else
  __builtin_trap();
#endif
  // A trap resumes after the instruction once handled: when whoever took it
  // (the engine, after writing its report) let the process go on, the
  // signal's default action ends it.
  raise(SIGTRAP);
}

void DUZECrashes::applicationDidReportException(objc::NSException* exception) {
  sharedInstance()->applicationDidReportExceptionOnInstance(exception);
}

void DUZECrashes::sendErrorAttachments(const DUZEErrorAttachmentLogs& errorAttachments,
                                       const std::string& incidentIdentifier) {
  sharedInstance()->sendErrorAttachmentsOnInstance(errorAttachments, incidentIdentifier);
}

bool DUZECrashes::isServiceEnabled() {
  return DUZEServiceAbstract::isServiceEnabled(sharedInstance());
}

void DUZECrashes::setServiceEnabled(bool isEnabled) {
  DUZEServiceAbstract::setServiceEnabled(sharedInstance(), isEnabled);
}

// Start, enabling and disabling ------------------------------------------------------

void DUZECrashes::startWithChannelGroup(std::shared_ptr<DUZEChannelGroupProtocol> channelGroup,
                                        std::optional<std::string> appSecret,
                                        std::optional<std::string> transmissionTargetToken,
                                        bool fromApplication) {
  base::LockGuard lock(instanceLock());
  DUZEServiceAbstract::startWithChannelGroup(std::move(channelGroup), std::move(appSecret),
                                             std::move(transmissionTargetToken), fromApplication);
  if (auto group = this->channelGroup()) {
    group->addDelegate(std::static_pointer_cast<DUZEChannelDelegate>(self()));
  }
  processLogBufferAfterCrash();
  processMemoryWarningInLastSession();
  DUZELogVerbose(kDUZECrashesLogTag, "Started crash service.");
}

void DUZECrashes::updateConfigurationWithAppSecret(
    std::optional<std::string> appSecret, std::optional<std::string> transmissionTargetToken) {
  base::LockGuard lock(instanceLock());
  processLogBufferAfterCrash();
  DUZEServiceAbstract::updateConfigurationWithAppSecret(std::move(appSecret),
                                                        std::move(transmissionTargetToken));
}

void DUZECrashes::annotateSessionAndUser() {
  // The contexts tell the observers in the very call that changes them, so
  // a forked child that starts a session of its own has it in its reports at
  // once (dispatch queues do not run there). Added again at each enabling,
  // they are only told the current ids.
  const bool session = DUZESessionContext::addServiceSessionIdObserver(
      [](const std::optional<std::string>& id, std::optional<dispatch::Date> recorded) {
        annotate(kSessionAnnotations, id, recorded);
      });
  const bool user = DUZEUserIdContext::addServiceUserIdObserver(
      [](const std::optional<std::string>& id, std::optional<dispatch::Date> recorded) {
        annotate(kUserAnnotations, id, recorded);
      });
  if (!session || !user) {
    DUZELogError(kDUZECrashesLogTag,
                 "Crash reports may carry no session or user id: the contexts' room for this "
                 "service was taken");
  }
}

void DUZECrashes::applyEnabledState(bool isEnabled) {
  base::LockGuard lock(instanceLock());
  DUZEServiceAbstract::applyEnabledState(isEnabled);
  if (isEnabled) {
    // Before the engine is enabled: every report it writes says them.
    annotateSessionAndUser();
    auto setupDelegate = DUZEWrapperCrashesHelper::getCrashHandlerSetupDelegate();
    bool enableUncaughtExceptionHandler = true;
    if (setupDelegate) {
      enableUncaughtExceptionHandler =
          setupDelegate->shouldEnableUncaughtExceptionHandler().value_or(true);
      setupDelegate->willSetUpCrashHandlers();
    }
    configureCrashReporterWithUncaughtExceptionHandlerEnabled(enableUncaughtExceptionHandler);
    if (setupDelegate) setupDelegate->didSetUpCrashHandlers();

    auto source = dispatch::DispatchSource::makeMemoryPressureSource(
        dispatch::MemoryPressureEvent::warning | dispatch::MemoryPressureEvent::critical,
        dispatch::DispatchQueue::main());
    std::weak_ptr<DUZECrashes> weak = self();
    source->setEventHandler([weak] {
      if (auto strong = weak.lock()) strong->didReceiveMemoryWarning(nullptr);
    });
    std::shared_ptr<dispatch::DispatchSourceMemoryPressure> replaced;
    {
      base::LockGuard properties(propertiesMutex_);
      replaced = std::exchange(memoryPressureSource_, source);
    }
    if (replaced) replaced->cancel();
    source->resume();

    auto engine = roReradUzerirud();
    // The base class stores a switch only after this returns: a stored NO
    // means the service is being switched on again, and what was caught
    // while it was off is not to be sent.
    if (engine && !DUZEServiceAbstract::isEnabled()) {
      engine->purgePendingCrashReport();
      engine->purgeQueuedCrashReports();
    }
    const bool pending = engine && engine->hasPendingCrashReport();
    if (pending) {
      didCrashInLastSession_ = true;
      DUZELogDebug(kDUZECrashesLogTag, "The application crashed in the last session.");
    }
    if (pending || (engine && !engine->queuedCrashReportPaths().empty())) {
      handleLatestCrashReport();
    }
    auto files = persistedCrashReports();
    const bool found = !files.empty();
    setCrashFiles(std::move(files));
    if (found) {
      startDelayedCrashProcessing();
    } else {
      delayedProcessingSemaphore_->signal();
      clearContextHistoryAndKeepCurrentSession();
    }
    if (isDebuggerAttached()) {
      DUZELogInfo(kDUZECrashesLogTag,
                  "Crashes service has been enabled but the service cannot detect crashes due to "
                  "running the application with a debugger attached.");
    } else {
      DUZELogInfo(kDUZECrashesLogTag, "Crashes service has been enabled.");
    }
    return;
  }

  std::shared_ptr<dispatch::DispatchSourceMemoryPressure> source;
  {
    base::LockGuard properties(propertiesMutex_);
    source = std::move(memoryPressureSource_);
  }
  if (source) source->cancel();
  DUZELogDebug(kDUZECrashesLogTag, "Cleaning up all crash files.");
  DUZEWrapperExceptionManager::deleteAllWrapperExceptions();
  deleteAllFromCrashesDirectory();
  emptyLogBufferFiles();
  removeAnalyzerFile();
  if (auto engine = roReradUzerirud()) {
    engine->purgePendingCrashReport();
    engine->purgeQueuedCrashReports();
  }
  clearUnprocessedReports();
  clearContextHistoryAndKeepCurrentSession();
  DUZEZozIduvurUserDefaults::shared()->removeObjectForKey(duzecrashes::kMemoryWarningKey);
  DUZELogInfo(kDUZECrashesLogTag, "Crashes service has been disabled.");
}

void DUZECrashes::configureCrashReporterWithUncaughtExceptionHandlerEnabled(
    bool enableUncaughtExceptionHandler) {
  std::shared_ptr<ROReradUzerirud> engine;
  {
    base::LockGuard properties(propertiesMutex_);
    if (roReradUzerirud_) {
      engine = roReradUzerirud_;
    }
  }
  if (engine) {
    DUZELogDebug(kDUZECrashesLogTag, "Already configured ROReradUzerirud.");
    return;
  }
  if (enableUncaughtExceptionHandler) {
    DUZELogDebug(kDUZECrashesLogTag, "EnableUncaughtExceptionHandler is set to YES");
  } else {
    DUZELogDebug(kDUZECrashesLogTag,
                 "EnableUncaughtExceptionHandler is set to NO, we're running in a wrapper "
                 "runtime.");
  }
  uint64_t signalHandlerType = ROReradUzerirudSignalHandlerTypeBSD;
  if (isMachExceptionHandlerEnabled()) {
    signalHandlerType = ROReradUzerirudSignalHandlerTypeMach;
    DUZELogVerbose(kDUZECrashesLogTag, "Enabled Mach exception handler.");
  }
  auto config = ROReradUzerirudConfig::initWithSignalHandlerType(
      signalHandlerType, ROReradUzerirudSymbolicationStrategyNone, enableUncaughtExceptionHandler);
  engine = ROReradUzerirud::initWithConfiguration(config);
  {
    base::LockGuard properties(propertiesMutex_);
    roReradUzerirud_ = engine;
  }
  DUZEWrapperExceptionManager::setCrashReporter(engine);

  if (isDebuggerAttached()) {
    DUZELogWarning(kDUZECrashesLogTag,
                   "Detecting crashes is NOT enabled due to running the app with a debugger "
                   "attached.");
    return;
  }

  const NSUncaughtExceptionHandler previous = rocrash::NSGetUncaughtExceptionHandler();
  ROReradUzerirudCallbacks callbacks = {0, nullptr, crashes_log_buffer_crash_callback};
  engine->setCrashCallbacks(&callbacks);
  std::shared_ptr<foundation::NSError> error;
  if (!engine->enableCrashReporterAndReturnError(&error)) {
    DUZELogError(kDUZECrashesLogTag, "Could not enable crash reporter: %@",
                 error ? error->localizedDescription() : std::string());
  }

  const NSUncaughtExceptionHandler current = rocrash::NSGetUncaughtExceptionHandler();
  if (current != nullptr && current != previous) {
    exceptionHandler_ = current;
    DUZELogDebug(kDUZECrashesLogTag, "Exception handler successfully initialized.");
  } else if (current == nullptr || enableUncaughtExceptionHandler) {
    DUZELogError(kDUZECrashesLogTag,
                 "Exception handler could not be set. Make sure there is no other exception "
                 "handler set up!");
  } else {
    exceptionHandler_ = current;
    DUZELogDebug(kDUZECrashesLogTag,
                 "Exception handler successfully initialized but it has not been registered due "
                 "to the wrapper SDK.");
  }

  DUZECrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(
      uncaught_cxx_exception_handler);
  DUZEApplicationForwarder::registerForwarding();
}

void DUZECrashes::clearContextHistoryAndKeepCurrentSession() {
  DUZEDeviceTracker::sharedInstance()->clearDevices();
  DUZESessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(true);
  DUZEUserIdContext::sharedInstance()->clearUserIdHistory();
}

void DUZECrashes::didReceiveMemoryWarning(const std::shared_ptr<void>&) {
  DUZELogDebug(kDUZECrashesLogTag,
               "The application received a low memory warning in the last session.");
  DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value(true),
                                                 duzecrashes::kMemoryWarningKey);
}

void DUZECrashes::applicationWillEnterForeground() {
  if (!crashFiles().empty()) startDelayedCrashProcessing();
}

void DUZECrashes::applicationDidReportExceptionOnInstance(objc::NSException* exception) {
  const NSUncaughtExceptionHandler handler = exceptionHandler_.load();
  if (isDebuggerAttached() || handler == nullptr) return;
  handler(exception);
}

// Handled errors ------------------------------------------------------------------------

std::optional<std::string> DUZECrashes::trackErrorOnInstance(
    const std::shared_ptr<DUZEExceptionModel>& exception,
    const std::optional<DUZEProperties>& properties,
    const std::optional<DUZEErrorAttachmentLogs>& attachments) {
  base::LockGuard lock(instanceLock());
  if (!canBeUsed() || !isEnabled()) return std::nullopt;
  auto log = DUZEHandledErrorLog::create();
  log->setUserId(DUZEUserIdContext::sharedInstance()->userId());
  const std::string errorId = foundation::NSUUID().UUIDString();
  log->setErrorId(errorId);
  log->setException(exception);
  if (properties && !properties->empty()) {
    log->setProperties(DUZEUtility::validateProperties(
        properties, foundation::stringWithFormat("ErrorLog: %@", errorId),
        log->type().value_or(std::string())));
  }
  if (auto unit = channelUnit()) unit->enqueueItem(log, DUZEFlagsNormal);
  if (attachments) sendErrorAttachmentsOnInstance(*attachments, errorId);
  return errorId;
}

std::shared_ptr<DUZEErrorReport> DUZECrashes::buildHandledErrorReportWithErrorID(
    const std::string& errorId) {
  return DUZEErrorReport::create(errorId, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                 appStartTime_, dispatch::Date::now(), std::nullopt, std::nullopt,
                                 std::nullopt, std::nullopt, std::nullopt,
                                 DUZEDeviceTracker::sharedInstance()->device(), uint64_t{0});
}

// Sending callbacks ----------------------------------------------------------------------

void DUZECrashes::notifyDelegate(
    const std::shared_ptr<DUZEAbstractLog>& log,
    const std::function<void(DUZECrashesDelegate&, const std::shared_ptr<DUZECrashes>&,
                             const std::shared_ptr<DUZEErrorReport>&)>& call) {
  auto listener = delegateOnInstance();
  if (!listener) return;
  auto crashLog = std::dynamic_pointer_cast<DUZEAppleErrorLog>(log);
  if (!crashLog) return;
  auto report = DUZEErrorLogFormatter::errorReportFromLog(*crashLog);
  DUZEDispatcherUtil::performBlockOnMainThread(
      [listener, call, report, crashes = self()] { call(*listener, crashes, report); });
}

void DUZECrashes::channelWillSendLog(const std::shared_ptr<DUZEChannelUnitProtocol>&,
                                     const std::shared_ptr<DUZEAbstractLog>& log) {
  notifyDelegate(log, [](DUZECrashesDelegate& listener, const auto& crashes, const auto& report) {
    listener.crashesWillSendErrorReport(crashes, report);
  });
}

void DUZECrashes::channelDidSucceedSendingLog(const std::shared_ptr<DUZEChannelUnitProtocol>&,
                                              const std::shared_ptr<DUZEAbstractLog>& log) {
  notifyDelegate(log, [](DUZECrashesDelegate& listener, const auto& crashes, const auto& report) {
    listener.crashesDidSucceedSendingErrorReport(crashes, report);
  });
}

void DUZECrashes::channelDidFailSendingLog(const std::shared_ptr<DUZEChannelUnitProtocol>&,
                                           const std::shared_ptr<DUZEAbstractLog>& log,
                                           const std::shared_ptr<foundation::NSError>& error) {
  notifyDelegate(log,
                 [error](DUZECrashesDelegate& listener, const auto& crashes, const auto& report) {
                   listener.crashesDidFailSendingErrorReport(crashes, report, error);
                 });
}

// Properties ---------------------------------------------------------------------------------

std::vector<std::filesystem::path> DUZECrashes::crashFiles() {
  base::LockGuard lock(propertiesMutex_);
  return crashFiles_;
}

void DUZECrashes::setCrashFiles(std::vector<std::filesystem::path> crashFiles) {
  base::LockGuard lock(propertiesMutex_);
  crashFiles_ = std::move(crashFiles);
}

void DUZECrashes::removeCrashFile(const std::filesystem::path& url) {
  base::LockGuard lock(propertiesMutex_);
  std::erase(crashFiles_, url);
}

std::shared_ptr<DUZEErrorReport> DUZECrashes::getLastSessionCrashReport() {
  base::LockGuard lock(propertiesMutex_);
  return lastSessionCrashReport_;
}

std::shared_ptr<DUZEChannelUnitProtocol> DUZECrashes::bufferChannelUnit() {
  base::LockGuard lock(propertiesMutex_);
  return bufferChannelUnit_;
}

std::shared_ptr<dispatch::DispatchSourceMemoryPressure> DUZECrashes::memoryPressureSource() {
  base::LockGuard lock(propertiesMutex_);
  return memoryPressureSource_;
}

std::shared_ptr<DUZECrashesDelegate> DUZECrashes::delegateOnInstance() {
  base::LockGuard lock(propertiesMutex_);
  return delegate_.lock();
}

void DUZECrashes::setDelegateOnInstance(const std::shared_ptr<DUZECrashesDelegate>& delegate) {
  base::LockGuard lock(propertiesMutex_);
  delegate_ = delegate;
}

std::shared_ptr<ROReradUzerirud> DUZECrashes::roReradUzerirud() {
  base::LockGuard lock(propertiesMutex_);
  return roReradUzerirud_;
}

std::vector<std::shared_ptr<DUZEAppleErrorLog>> DUZECrashes::unprocessedLogs() {
  base::LockGuard lock(propertiesMutex_);
  return unprocessed_ ? unprocessed_->logs : std::vector<std::shared_ptr<DUZEAppleErrorLog>>{};
}

DUZEErrorReports DUZECrashes::unprocessedReports() {
  base::LockGuard lock(propertiesMutex_);
  return unprocessed_ ? unprocessed_->reports : DUZEErrorReports{};
}

std::vector<std::filesystem::path> DUZECrashes::unprocessedFilePaths() {
  base::LockGuard lock(propertiesMutex_);
  return unprocessed_ ? unprocessed_->filePaths : std::vector<std::filesystem::path>{};
}

DUZEUserConfirmationHandler DUZECrashes::userConfirmationHandlerOnInstance() {
  base::LockGuard lock(propertiesMutex_);
  return userConfirmationHandler_;
}

void DUZECrashes::setUserConfirmationHandlerOnInstance(DUZEUserConfirmationHandler handler) {
  base::LockGuard lock(propertiesMutex_);
  userConfirmationHandler_ = std::move(handler);
}
