#pragma once

// ZozIduvurCrashes, the crash reporting service of the telemetry client.
// `DUZECrashes` (this header) keeps the crash engine (crash-capture) enabled,
// turns the last run's report into a crash log (DUZEAppleErrorLog.h) sent
// with its attachments, sends handled errors, and
// keeps the logs not yet stored at a crash, so that they are sent at the next
// start. Wrapper SDKs steer it through DUZEWrapperCrashesHelper.h.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ZozIduvur/DUZEChannelDelegate.h"
#include "ZozIduvur/DUZEEncrypter.h"
#include "ZozIduvur/DUZEServiceAbstract.h"
#include "ZozIduvurCrashes/DUZEAppleErrorLog.h"
#include "ZozIduvurCrashes/DUZECrashesDelegate.h"
#include "ZozIduvurCrashes/DUZEErrorAttachmentLog.h"
#include "ZozIduvurCrashes/DUZEErrorReport.h"
#include "ZozIduvurCrashes/DUZEExceptionModel.h"
#include "base/Mutex.h"
#include "crash-capture/ROReradUzerirud.h"
#include "dispatch/DispatchSemaphore.h"
#include "dispatch/DispatchSource.h"
#include "dispatch/OperationQueue.h"
#include "dispatch/Time.h"
#include "foundation/NSError.h"

namespace objc {
class NSException;
}

// The user's answer to "send the crash reports?".
enum DUZEUserConfirmation : uint64_t {
  DUZEUserConfirmationDontSend = 0,
  DUZEUserConfirmationSend = 1,
  // Send, and never ask again.
  DUZEUserConfirmationAlways = 2,
};

inline constexpr std::string_view kDUZECrashesServiceName = "Crashes";
inline constexpr std::string_view kDUZECrashesGroupId = "Crashes";
// The unit through which the logs buffered at a crash are sent again.
inline constexpr std::string_view kDUZECrashesBufferGroupId = "CrashesBuffer";
// Attachments with more data than this are dropped (7 MiB).
inline constexpr uint64_t kDUZEMaxAttachmentSize = 7 * 1024 * 1024;

using DUZEErrorReports = std::vector<std::shared_ptr<DUZEErrorReport>>;
using DUZEErrorAttachmentLogs = std::vector<std::shared_ptr<DUZEErrorAttachmentLog>>;
// Asked, on the main thread, whether the user is being asked to confirm the
// sending of the reports: YES means the application will call
// `notifyWithUserConfirmation` with the answer.
using DUZEUserConfirmationHandler = std::function<bool(const DUZEErrorReports& errorReports)>;

// The telemetry client's crash service. Started by the telemetry entry object
// (`DUZEServiceClass::of<DUZECrashes>()`, before the other services: its
// priority is 999). While enabled it keeps the crash engine installed, saves
// logs not yet stored when the process crashes, sends handled errors, and on
// the launch after a crash turns the engine's report into a crash log that it
// sends once the delegate and the user agree.
//
// One shared instance lives for the process. Start, enabling and disabling
// run on the caller's thread under the instance lock; processing of stored
// reports runs on a global queue one second after enabling; the delegate
// hears about sending on the main thread; channel-delegate calls come on the
// core's logs queue.
class DUZECrashes : public DUZEServiceAbstract, public DUZEChannelDelegate {
 public:
  static constexpr std::string_view kClassName = "DUZECrashes";

  // The process's instance, made on first use.
  static std::shared_ptr<DUZECrashes> sharedInstance();
  // Drops the instance and resets the delayed-processing once-token, so that
  // the next `sharedInstance` starts anew (the crash engine, once enabled,
  // stays enabled for the process).
  static void resetSharedInstance();

  // Class-level interface -------------------------------------------------
  // Each operation forwards to the shared instance.

  // Held weakly: the application keeps its delegate alive.
  static void setDelegate(const std::shared_ptr<DUZECrashesDelegate>& delegate);
  static std::shared_ptr<DUZECrashesDelegate> delegate();
  static void setUserConfirmationHandler(DUZEUserConfirmationHandler handler);
  static DUZEUserConfirmationHandler userConfirmationHandler();
  // The application's answer to the confirmation handler.
  static void notifyWithUserConfirmation(DUZEUserConfirmation userConfirmation);
  static bool hasCrashedInLastSession();
  static bool hasReceivedMemoryWarningInLastSession();
  static std::shared_ptr<DUZEErrorReport> lastSessionCrashReport();
  // Chooses BSD signal handlers over the exception server; only before the
  // engine is configured (at the first enabling).
  static void disableMachExceptionHandler();
  // Tracks the error as a handled error; its id, or none when the service
  // cannot be used or is disabled.
  static std::optional<std::string> trackError(
      const std::shared_ptr<foundation::NSError>& error,
      const std::optional<DUZEProperties>& properties,
      const std::optional<DUZEErrorAttachmentLogs>& attachments);
  static std::optional<std::string> trackException(
      const std::shared_ptr<DUZEExceptionModel>& exception,
      const std::optional<DUZEProperties>& properties,
      const std::optional<DUZEErrorAttachmentLogs>& attachments);
  // Stops the process with a breakpoint trap, which the engine records as a
  // crash (ignored in a store build, and while the service cannot be used).
  static void generateTestCrash();
  // An exception the application object reported: recorded by the engine as
  // the crash (unless a debugger is attached or the engine's handler is
  // not installed).
  static void applicationDidReportException(objc::NSException* exception);
  static void sendErrorAttachments(const DUZEErrorAttachmentLogs& errorAttachments,
                                   const std::string& incidentIdentifier);
  // Error id, attachment id, data and content type are present and not
  // empty.
  static bool validatePropertiesForAttachment(const DUZEErrorAttachmentLog& attachment);
  static bool isServiceEnabled();
  static void setServiceEnabled(bool isEnabled);

  // DUZEServiceAbstract ----------------------------------------------------
  std::string_view className() const override { return kClassName; }
  std::string serviceName() const override { return std::string(kDUZECrashesServiceName); }
  std::string groupId() const override { return std::string(kDUZECrashesGroupId); }
  std::string_view logTag() const override;
  int64_t initializationPriority() const override { return 999; }
  std::optional<DUZEChannelUnitConfiguration> channelUnitConfiguration() const override {
    return channelUnitConfiguration_;
  }
  void startWithChannelGroup(std::shared_ptr<DUZEChannelGroupProtocol> channelGroup,
                             std::optional<std::string> appSecret,
                             std::optional<std::string> transmissionTargetToken,
                             bool fromApplication) override;
  void updateConfigurationWithAppSecret(
      std::optional<std::string> appSecret,
      std::optional<std::string> transmissionTargetToken) override;
  void applyEnabledState(bool isEnabled) override;

  // Set-up and life ---------------------------------------------------------

  // Creates, configures and enables the engine once per process (later calls
  // only log), then installs the C++ exception callback and the application
  // forwarder. `enableUncaughtExceptionHandler` says whether the engine
  // registers its uncaught-exception handler.
  void configureCrashReporterWithUncaughtExceptionHandlerEnabled(
      bool enableUncaughtExceptionHandler);
  // Drops the histories of devices, sessions (keeping the current one) and
  // user ids.
  void clearContextHistoryAndKeepCurrentSession();
  // Remembers, for the next launch, that memory ran low in this run.
  void didReceiveMemoryWarning(const std::shared_ptr<void>& notification);
  // Starts delayed processing when crash files wait.
  void applicationWillEnterForeground();
  void applicationDidReportExceptionOnInstance(objc::NSException* exception);

  // Handled errors ------------------------------------------------------------

  std::optional<std::string> trackErrorOnInstance(
      const std::shared_ptr<DUZEExceptionModel>& exception,
      const std::optional<DUZEProperties>& properties,
      const std::optional<DUZEErrorAttachmentLogs>& attachments);
  // A report for a handled error: the id, the instance's start time, now as
  // error time, the current device and process identifier 0.
  std::shared_ptr<DUZEErrorReport> buildHandledErrorReportWithErrorID(const std::string& errorId);

  // DUZEChannelDelegate -------------------------------------------------------
  // Keeps a copy of each prepared log (but crash logs and attachments) until
  // the unit is done with it.
  void channelDidPrepareLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                            const std::shared_ptr<DUZEAbstractLog>& log,
                            const std::string& internalId, uint64_t flags) override;
  void channelDidCompleteEnqueueingLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                       const std::shared_ptr<DUZEAbstractLog>& log,
                                       const std::string& internalId) override;
  // Tell the delegate about crash logs, on the main thread.
  void channelWillSendLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                          const std::shared_ptr<DUZEAbstractLog>& log) override;
  void channelDidSucceedSendingLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                   const std::shared_ptr<DUZEAbstractLog>& log) override;
  void channelDidFailSendingLog(const std::shared_ptr<DUZEChannelUnitProtocol>& unit,
                                const std::shared_ptr<DUZEAbstractLog>& log,
                                const std::shared_ptr<foundation::NSError>& error) override;

  // Properties ------------------------------------------------------------------

  dispatch::Date appStartTime() const { return appStartTime_; }
  std::vector<std::filesystem::path> crashFiles();
  void setCrashFiles(std::vector<std::filesystem::path> crashFiles);
  const std::string& crashesPathComponent() const { return crashesPathComponent_; }
  const std::string& logBufferPathComponent() const { return logBufferPathComponent_; }
  const std::string& analyzerInProgressFilePathComponent() const {
    return analyzerInProgressFilePathComponent_;
  }
  bool didCrashInLastSession() const { return didCrashInLastSession_.load(); }
  bool didReceiveMemoryWarningInLastSession() const {
    return didReceiveMemoryWarningInLastSession_.load();
  }
  std::shared_ptr<DUZEErrorReport> getLastSessionCrashReport();
  const std::shared_ptr<dispatch::OperationQueue>& bufferFileQueue() const {
    return bufferFileQueue_;
  }
  std::shared_ptr<DUZEChannelUnitProtocol> bufferChannelUnit();
  const std::shared_ptr<DUZEEncrypter>& targetTokenEncrypter() const {
    return targetTokenEncrypter_;
  }
  std::shared_ptr<dispatch::DispatchSourceMemoryPressure> memoryPressureSource();
  bool isMachExceptionHandlerEnabled() const { return enableMachExceptionHandler_.load(); }
  void setEnableMachExceptionHandler(bool enable) { enableMachExceptionHandler_.store(enable); }
  std::shared_ptr<DUZECrashesDelegate> delegateOnInstance();
  void setDelegateOnInstance(const std::shared_ptr<DUZECrashesDelegate>& delegate);
  std::shared_ptr<ROReradUzerirud> roReradUzerirud();
  NSUncaughtExceptionHandler exceptionHandler() const { return exceptionHandler_.load(); }
  std::vector<std::shared_ptr<DUZEAppleErrorLog>> unprocessedLogs();
  DUZEErrorReports unprocessedReports();
  std::vector<std::filesystem::path> unprocessedFilePaths();
  DUZEUserConfirmationHandler userConfirmationHandlerOnInstance();
  void setUserConfirmationHandlerOnInstance(DUZEUserConfirmationHandler handler);
  bool isAutomaticProcessingEnabled() const { return automaticProcessingEnabled_.load(); }
  void setAutomaticProcessingEnabled(bool enabled) { automaticProcessingEnabled_.store(enabled); }

  ~DUZECrashes() override;

 private:
  // Migrates the old keys and archive classes, registers the archive
  // allow-list, makes the folders and sets up the crash-time buffer; run once
  // through `sharedInstance`.
  DUZECrashes();

  // The steps of processing and of the crash-time buffer are the service's
  // own, not its interface: the wrapper helper and the component's tests
  // reach them through DUZECrashesInternal (src/DUZECrashesInternal.h).
  friend class DUZECrashesInternal;

  // Processing of the last session's crash ---------------------------------------

  // Moves the engine's pending report into the crash folder (and purges it
  // from the engine in every case), and each report the engine queued (a
  // forked child's, or one made beside an earlier pending report) into a
  // file of its own, so that each is sent as its own crash log. A queued
  // report leaves the queue once saved, or when it does not parse.
  void handleLatestCrashReport();
  // The report files of the crash folder, in listing order.
  std::vector<std::filesystem::path> persistedCrashReports();
  // Processing, on a global queue after the processing delay, at most once
  // per process.
  void startDelayedCrashProcessing();
  void startCrashProcessing();
  void processCrashReports();
  bool shouldProcessErrorReport(const std::shared_ptr<DUZEErrorReport>& errorReport);
  // YES when the stored choice is to always send.
  bool sendCrashReportsOrAwaitUserConfirmation();
  // Keeps only the reports with the given incident ids (the others are
  // deleted), then as above.
  bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
      const std::vector<std::string>& filteredIds);
  // Runs the confirmation handler on the main thread and answers it.
  bool userPromptedForConfirmation();
  bool shouldAlwaysSend();
  void notifyWithUserConfirmationOnInstance(DUZEUserConfirmation userConfirmation);
  void handleUserConfirmation(DUZEUserConfirmation userConfirmation);
  // Waits until the first processing has ended (or was not needed).
  DUZEErrorReports unprocessedCrashReports();
  void sendErrorAttachmentsOnInstance(const DUZEErrorAttachmentLogs& errorAttachments,
                                      const std::string& incidentIdentifier);
  void deleteAllFromCrashesDirectory();
  void deleteCrashReportWithFileURL(const std::filesystem::path& fileURL);
  void clearUnprocessedReports();
  void createAnalyzerFile();
  void removeAnalyzerFile();
  void processMemoryWarningInLastSession();

  // Crash-time log buffer -------------------------------------------------------

  // Gives the 60 slots their files (created on `bufferFileQueue`, never
  // overwritten) and empties them.
  void setupLogBuffer();
  // Adds the "CrashesBuffer" unit and enqueues into it the logs that the
  // buffer files of the previous run hold; then empties the files.
  void processLogBufferAfterCrash();
  // Rewrites every non-empty buffer file empty.
  void emptyLogBufferFiles();

  std::shared_ptr<DUZECrashes> self();
  static bool isDebuggerAttached();
  void removeCrashFile(const std::filesystem::path& url);
  // The session and user id a report says its process had when it was
  // written (an absent one: it had none).
  struct ReportedIds {
    std::optional<std::string> sessionId;
    std::optional<std::string> userId;
  };
  // Appends one crash to the parallel unprocessed arrays; `ids` none for a
  // report of a version that did not write them.
  void appendUnprocessed(const std::shared_ptr<DUZEAppleErrorLog>& log,
                         const std::shared_ptr<DUZEErrorReport>& report,
                         const std::filesystem::path& url, const std::optional<ReportedIds>& ids);
  // Keeps the crash engine's annotations of the session and user id current,
  // from now on.
  static void annotateSessionAndUser();
  // Removes the entries at the given indexes from the arrays.
  void removeUnprocessedAt(const std::vector<size_t>& indexes);
  void notifyDelegate(
      const std::shared_ptr<DUZEAbstractLog>& log,
      const std::function<void(DUZECrashesDelegate&, const std::shared_ptr<DUZECrashes>&,
                               const std::shared_ptr<DUZEErrorReport>&)>& call);

  const dispatch::Date appStartTime_;
  std::string crashesPathComponent_;
  std::string logBufferPathComponent_;
  std::string analyzerInProgressFilePathComponent_;
  std::atomic<bool> didCrashInLastSession_{false};
  std::atomic<bool> didReceiveMemoryWarningInLastSession_{false};
  std::atomic<bool> enableMachExceptionHandler_{true};
  std::atomic<bool> automaticProcessingEnabled_{true};
  std::atomic<NSUncaughtExceptionHandler> exceptionHandler_{nullptr};
  const std::shared_ptr<dispatch::DispatchSemaphore> delayedProcessingSemaphore_;
  const std::shared_ptr<DUZEEncrypter> targetTokenEncrypter_;
  const std::shared_ptr<dispatch::OperationQueue> bufferFileQueue_;
  std::optional<DUZEChannelUnitConfiguration> channelUnitConfiguration_;

  // The values that several threads read and write, each taken and replaced
  // whole under this lock (no call goes out while it is held).
  mutable base::Mutex propertiesMutex_;
  std::vector<std::filesystem::path> crashFiles_ KX_GUARDED_BY(propertiesMutex_);
  std::shared_ptr<DUZEErrorReport> lastSessionCrashReport_ KX_GUARDED_BY(propertiesMutex_);
  std::shared_ptr<DUZEChannelUnitProtocol> bufferChannelUnit_ KX_GUARDED_BY(propertiesMutex_);
  std::shared_ptr<dispatch::DispatchSourceMemoryPressure> memoryPressureSource_
      KX_GUARDED_BY(propertiesMutex_);
  std::weak_ptr<DUZECrashesDelegate> delegate_ KX_GUARDED_BY(propertiesMutex_);
  std::shared_ptr<ROReradUzerirud> roReradUzerirud_ KX_GUARDED_BY(propertiesMutex_);
  DUZEUserConfirmationHandler userConfirmationHandler_ KX_GUARDED_BY(propertiesMutex_);
  // Absent until the first processing made them.
  struct Unprocessed {
    std::vector<std::shared_ptr<DUZEAppleErrorLog>> logs;
    DUZEErrorReports reports;
    std::vector<std::filesystem::path> filePaths;
    // The session and user id the reports say.
    std::vector<std::optional<ReportedIds>> ids;
  };
  std::optional<Unprocessed> unprocessed_ KX_GUARDED_BY(propertiesMutex_);
};
