// The crash service's processing of the crashes of earlier runs: taking over
// the engine's pending report, turning stored reports into crash logs, asking
// the delegate and the user, and sending the logs with their attachments.

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>

#include "DUZECrashesKeys.h"
#include "DUZECrashesUtil.h"
#include "DUZEErrorLogFormatter.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZEUserIdContext.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurCrashes/DUZECrashes.h"
#include "ZozIduvurCrashes/DUZEWrapperExceptionManager.h"
#include "crash-capture/ROCrashReport.h"
#include "crash-capture/ROReradUzerirud.h"
#include "dispatch/DispatchQueue.h"
#include "foundation/StringFormat.h"
#include "foundation/UUID.h"

namespace {

namespace fs = std::filesystem;

// Names of files in the crash folder that are never reports.
constexpr std::string_view kIgnoredSuffixes[] = {".DS_Store", ".analyzer", ".plist",
                                                 ".data",     ".meta",     ".desc"};

bool hasIgnoredSuffix(std::string_view name) {
  return std::any_of(std::begin(kIgnoredSuffixes), std::end(kIgnoredSuffixes),
                     [name](std::string_view suffix) { return name.ends_with(suffix); });
}

std::optional<std::vector<uint8_t>> readFile(const fs::path& url) {
  std::ifstream in(url, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

// How a decoded report reads in a debug line: the engine's report has no
// text of its own.
std::string debugDescription(const ROCrashReport& report) {
  return foundation::stringWithFormat(
      "<ROCrashReport: 0x%llx>",
      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&report)));
}

std::string errorText(const std::shared_ptr<foundation::NSError>& error) {
  return error ? error->localizedDescription() : std::string();
}

// The value of a report's annotation `annotation`; none when it has none.
std::optional<std::string> annotationOf(const std::map<std::string, std::string>& annotations,
                                        ROReradUzerirud::ServiceAnnotation annotation) {
  const auto found = annotations.find(ROReradUzerirud::serviceAnnotationKey(annotation).name());
  if (found == annotations.end()) return std::nullopt;
  return found->second;
}

// The id a report says its process had: for an id the report could not
// carry, the one of the entry the history of `Context` recorded at the time
// the report names (`recordedAt`); else (no such entry, or no plausible time,
// a damaged report's) the id it carries, or none.
template <class Context>
std::optional<std::string> reportedId(const std::map<std::string, std::string>& annotations,
                                      ROReradUzerirud::ServiceAnnotation id,
                                      ROReradUzerirud::ServiceAnnotation recordedAt,
                                      std::optional<std::string> (Context::*fromHistory)(double)) {
  const auto text = annotationOf(annotations, recordedAt);
  if (const auto seconds = text ? duzecrashes::recordedAtFromText(*text) : std::nullopt) {
    if (auto recorded = (*Context::sharedInstance().*fromHistory)(*seconds)) return recorded;
  }
  return annotationOf(annotations, id);
}

}  // namespace

// Taking over and listing -----------------------------------------------------------

namespace {

// Saves a taken-over report under the seconds of the takeover and a part of
// its own: no stored report has that name, however fast the process crashes
// again, and reports taken over together each keep their own.
bool saveTakenOverReport(const std::string& crashesPathComponent,
                         const std::vector<uint8_t>& data) {
  const std::string name = foundation::stringWithFormat(
      "%.0f-%@", dispatch::Date::now().timeIntervalSinceReferenceDate(),
      foundation::NSUUID().UUIDString());
  return DUZEUtility::createNewFileDurablyAtPathComponent(
             foundation::stringWithFormat("%@/%@", crashesPathComponent, name), data)
      .has_value();
}

}  // namespace

void DUZECrashes::handleLatestCrashReport() {
  auto engine = roReradUzerirud();
  bool purge = true;
  if (DUZEUtility::fileExistsForPathComponent(analyzerInProgressFilePathComponent_)) {
    // An earlier takeover did not finish: its report may be what stops it.
    DUZELogError(kDUZECrashesLogTag, "Error on loading the crash report, it will be purged.");
    if (engine) engine->purgeQueuedCrashReports();
  } else {
    createAnalyzerFile();
    const std::vector<std::string> queued =
        engine ? engine->queuedCrashReportPaths() : std::vector<std::string>();
    if (!engine || engine->hasPendingCrashReport() || queued.empty()) {
      std::shared_ptr<foundation::NSError> error;
      std::optional<std::vector<uint8_t>> data;
      if (engine) data = engine->loadPendingCrashReportDataAndReturnError(&error);
      if (!data) {
        DUZELogError(kDUZECrashesLogTag, "Couldn't load crash report: %@", errorText(error));
      } else if (auto report = ROCrashReport::create(*data, &error); !report) {
        DUZELogWarning(kDUZECrashesLogTag, "Couldn't parse crash report: %@", errorText(error));
      } else {
        if (!saveTakenOverReport(crashesPathComponent_, *data)) {
          // The engine's copy is all there is: it waits for the next launch.
          DUZELogError(kDUZECrashesLogTag,
                       "Couldn't save the crash report; it is kept for the next launch.");
          purge = false;
        }
        auto errorReport = DUZEErrorLogFormatter::errorReportFromCrashReport(report);
        {
          base::LockGuard lock(propertiesMutex_);
          lastSessionCrashReport_ = errorReport;
        }
        DUZEWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({errorReport});
      }
    }
    for (const auto& path : queued) {
      std::shared_ptr<foundation::NSError> error;
      auto data = readFile(path);
      if (!data) continue;  // gone meanwhile, or unreadable: it waits
      if (auto report = ROCrashReport::create(*data, &error); !report) {
        DUZELogWarning(kDUZECrashesLogTag, "Couldn't parse crash report: %@", errorText(error));
      } else if (!saveTakenOverReport(crashesPathComponent_, *data)) {
        DUZELogError(kDUZECrashesLogTag,
                     "Couldn't save the crash report; it is kept for the next launch.");
        continue;
      }
      std::error_code ec;
      fs::remove(path, ec);
    }
  }
  removeAnalyzerFile();
  if (engine && purge) engine->purgePendingCrashReport();
}

std::vector<fs::path> DUZECrashes::persistedCrashReports() {
  std::vector<fs::path> files;
  auto entries = DUZEUtility::contentsOfDirectory(crashesPathComponent_);
  if (!entries) {
    DUZELogError(kDUZECrashesLogTag, "No persisted crashes found.");
    return files;
  }
  for (const auto& entry : *entries) {
    if (entry.isRegularFile && entry.fileSize >= 1 && !hasIgnoredSuffix(entry.name)) {
      files.push_back(entry.url);
    }
  }
  return files;
}

// Processing -------------------------------------------------------------------------

void DUZECrashes::startDelayedCrashProcessing() {
  std::weak_ptr<DUZECrashes> weak = self();
  dispatch::DispatchQueue::global()->asyncAfter(
      dispatch::DispatchTime::now() + duzecrashes::processingDelay(), [weak] {
        auto strong = weak.lock();
        if (!strong) return;
        if (strong->isAutomaticProcessingEnabled() &&
            DUZEUtility::applicationState() == DUZEApplicationStateBackground) {
          DUZELogWarning(kDUZECrashesLogTag,
                         "Crashes will not be processed because the application is in the "
                         "background.");
          return;
        }
        duzecrashes::delayedProcessingToken().perform([&strong] {
          strong->startCrashProcessing();
          strong->delayedProcessingSemaphore_->signal();
        });
      });
}

void DUZECrashes::startCrashProcessing() {
  DUZELogDebug(kDUZECrashesLogTag, "Start delayed CrashManager processing");
  const NSUncaughtExceptionHandler handler = exceptionHandler_.load();
  if (handler != nullptr && handler != rocrash::NSGetUncaughtExceptionHandler()) {
    DUZELogWarning(kDUZECrashesLogTag,
                   "Another exception handler was added. If this invokes any kind of exit() after "
                   "processing the exception, which causes any subsequent error handler not to be "
                   "invoked, these crashes will NOT be reported to ZozIduvur!");
  }
  processCrashReports();
}

void DUZECrashes::processCrashReports() {
  if (!isEnabled()) {
    DUZELogDebug(kDUZECrashesLogTag, "Crashes service is disabled; discard all crash reports");
    deleteAllFromCrashesDirectory();
    DUZEWrapperExceptionManager::deleteAllWrapperExceptions();
    return;
  }
  {
    base::LockGuard lock(propertiesMutex_);
    unprocessed_ = Unprocessed{};
  }

  struct Parsed {
    fs::path url;
    std::shared_ptr<ROCrashReport> report;
    std::shared_ptr<DUZEErrorReport> errorReport;
  };
  std::vector<Parsed> parsed;
  for (const auto& url : crashFiles()) {
    auto data = readFile(url);
    if (!data || data->empty()) continue;
    std::shared_ptr<foundation::NSError> error;
    if (auto report = ROCrashReport::create(*data, &error)) {
      parsed.push_back({url, report, DUZEErrorLogFormatter::errorReportFromCrashReport(report)});
    } else {
      DUZELogWarning(kDUZECrashesLogTag,
                     "Crash report found but couldn't parse it, discard the crash report: %@",
                     errorText(error));
      deleteCrashReportWithFileURL(url);
      removeCrashFile(url);
    }
  }

  DUZEErrorReports errorReports;
  for (const auto& entry : parsed) errorReports.push_back(entry.errorReport);
  DUZEWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(errorReports);

  for (const auto& entry : parsed) {
    DUZELogVerbose(kDUZECrashesLogTag, "Crash reports found");
    auto log = DUZEErrorLogFormatter::errorLogFromCrashReport(*entry.report);
    if (isAutomaticProcessingEnabled()) {
      if (!shouldProcessErrorReport(entry.errorReport)) {
        DUZELogDebug(kDUZECrashesLogTag,
                     "shouldProcessErrorReport returned NO, discard the crash report: %@",
                     debugDescription(*entry.report));
        DUZEWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(
            entry.errorReport->incidentIdentifier());
        deleteCrashReportWithFileURL(entry.url);
        removeCrashFile(entry.url);
        continue;
      }
      DUZELogDebug(kDUZECrashesLogTag,
                   "shouldProcessErrorReport is not implemented or returned YES, processing the "
                   "crash report: %@",
                   debugDescription(*entry.report));
    } else {
      DUZELogDebug(kDUZECrashesLogTag,
                   "Automatic crash processing is disabled, storing the crash report for later "
                   "processing: %@",
                   debugDescription(*entry.report));
    }
    // Reports of versions that did not write them have no annotations, nor
    // have those whose annotations were damaged.
    std::optional<ReportedIds> ids;
    if (const auto& annotations = entry.report->annotations()) {
      using Id = ROReradUzerirud::ServiceAnnotation;
      ids = ReportedIds{reportedId(*annotations, Id::sessionId, Id::sessionIdSetAt,
                                   &DUZESessionContext::sessionIdRecordedAt),
                        reportedId(*annotations, Id::userId, Id::userIdSetAt,
                                   &DUZEUserIdContext::userIdRecordedAt)};
    }
    appendUnprocessed(log, entry.errorReport, entry.url, ids);
  }
  if (isAutomaticProcessingEnabled()) sendCrashReportsOrAwaitUserConfirmation();
}

bool DUZECrashes::shouldProcessErrorReport(const std::shared_ptr<DUZEErrorReport>& errorReport) {
  auto listener = delegateOnInstance();
  if (!listener) return true;
  return listener->crashesShouldProcessErrorReport(self(), errorReport).value_or(true);
}

// Confirmation ----------------------------------------------------------------------------

bool DUZECrashes::shouldAlwaysSend() {
  auto stored =
      DUZEZozIduvurUserDefaults::shared()->objectForKey(duzecrashes::kUserConfirmationKey);
  return stored && stored->asBool().value_or(false);
}

bool DUZECrashes::sendCrashReportsOrAwaitUserConfirmation() {
  const bool alwaysSend = shouldAlwaysSend();
  if (unprocessedReports().empty()) return alwaysSend;
  if (alwaysSend) {
    DUZELogDebug(kDUZECrashesLogTag,
                 "The flag for user confirmation is set to DUZEUserConfirmationAlways, continue "
                 "sending logs");
    handleUserConfirmation(DUZEUserConfirmationSend);
    return true;
  }
  if (isAutomaticProcessingEnabled() &&
      (!userConfirmationHandlerOnInstance() || !userPromptedForConfirmation())) {
    DUZELogDebug(kDUZECrashesLogTag,
                 "The user confirmation handler is not implemented or returned NO, continue "
                 "sending logs");
    handleUserConfirmation(DUZEUserConfirmationSend);
    return false;
  }
  if (!isAutomaticProcessingEnabled()) {
    DUZELogDebug(kDUZECrashesLogTag,
                 "Automatic crash processing is disabled and \"AlwaysSend\" is false. Awaiting "
                 "user confirmation.");
  }
  return false;
}

bool DUZECrashes::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
    const std::vector<std::string>& filteredIds) {
  const auto reports = unprocessedReports();
  const auto paths = unprocessedFilePaths();
  std::vector<size_t> removed;
  for (size_t i = 0; i < reports.size(); ++i) {
    const auto& id = reports[i]->incidentIdentifier();
    if (id && std::find(filteredIds.begin(), filteredIds.end(), *id) != filteredIds.end()) {
      continue;
    }
    removed.push_back(i);
    DUZEWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(id);
    if (i < paths.size()) {
      deleteCrashReportWithFileURL(paths[i]);
      removeCrashFile(paths[i]);
    }
  }
  removeUnprocessedAt(removed);
  return sendCrashReportsOrAwaitUserConfirmation();
}

bool DUZECrashes::userPromptedForConfirmation() {
  auto handler = userConfirmationHandlerOnInstance();
  if (!handler) return false;
  const auto reports = unprocessedReports();
  if (dispatch::isMainThread()) return handler(reports);
  return dispatch::DispatchQueue::main()->sync([&] { return handler(reports); });
}

void DUZECrashes::notifyWithUserConfirmationOnInstance(DUZEUserConfirmation userConfirmation) {
  bool created = false;
  {
    base::LockGuard lock(propertiesMutex_);
    created = unprocessed_.has_value();
  }
  if (!userConfirmationHandlerOnInstance() && !created) {
    DUZELogError(kDUZECrashesLogTag,
                 "Incorrect usage of notifyWithUserConfirmation: it should only be called from "
                 "userConfirmationHandler. For more information refer to the documentation.");
    return;
  }
  handleUserConfirmation(userConfirmation);
}

void DUZECrashes::handleUserConfirmation(DUZEUserConfirmation userConfirmation) {
  if (userConfirmation == DUZEUserConfirmationAlways) {
    DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value(true),
                                                   duzecrashes::kUserConfirmationKey);
  }
  Unprocessed pending;
  {
    base::LockGuard lock(propertiesMutex_);
    if (unprocessed_) pending = *unprocessed_;
  }
  if (userConfirmation == DUZEUserConfirmationDontSend) {
    for (size_t i = 0; i < pending.filePaths.size(); ++i) {
      deleteCrashReportWithFileURL(pending.filePaths[i]);
      if (i < pending.reports.size()) {
        DUZEWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(
            pending.reports[i]->incidentIdentifier());
      }
      removeCrashFile(pending.filePaths[i]);
    }
  } else {
    auto unit = channelUnit();
    const size_t count = std::min({pending.logs.size(), pending.reports.size(),
                                   pending.filePaths.size(), pending.ids.size()});
    for (size_t i = 0; i < count; ++i) {
      const auto& log = pending.logs[i];
      const auto& report = pending.reports[i];
      const auto& url = pending.filePaths[i];

      DUZEErrorAttachmentLogs attachments;
      std::optional<DUZEErrorAttachmentLogs> answer;
      if (auto listener = delegateOnInstance())
        answer = listener->attachmentsWithCrashes(self(), report);
      if (answer) {
        attachments = std::move(*answer);
        for (const auto& attachment : attachments) {
          if (attachment && !attachment->device()) attachment->setDevice(log->device());
        }
      } else {
        DUZELogDebug(kDUZECrashesLogTag, "attachmentsWithCrashes is not implemented");
      }

      // The session and user the crashed process had: its report says them,
      // written by that process as it crashed. Only a report without them
      // (of a version that did not write them, or with its annotations
      // damaged) is judged by the histories, by time. Reports
      // keep the time to the whole second only, so a session that the
      // crashed run started within the crash's second (a crash at launch)
      // is its own.
      if (const auto& ids = pending.ids[i]) {
        log->setSid(ids->sessionId);
        log->setUserId(ids->userId);
      } else if (const auto& timestamp = log->timestamp()) {
        constexpr auto precision = DUZEDatePrecision::wholeSecond;
        log->setSid(
            DUZESessionContext::sharedInstance()->crashedSessionIdAt(*timestamp, precision));
        log->setUserId(DUZEUserIdContext::sharedInstance()->crashedUserIdAt(*timestamp, precision));
      }
      if (unit) unit->enqueueItem(log, DUZEFlagsCritical);
      sendErrorAttachmentsOnInstance(attachments, report->incidentIdentifier().value_or(""));

      deleteCrashReportWithFileURL(url);
      DUZEWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(
          report->incidentIdentifier());
      removeCrashFile(url);
    }
  }
  clearUnprocessedReports();
  clearContextHistoryAndKeepCurrentSession();
}

DUZEErrorReports DUZECrashes::unprocessedCrashReports() {
  delayedProcessingSemaphore_->wait();
  // Every later caller passes at once.
  delayedProcessingSemaphore_->signal();
  return unprocessedReports();
}

// Attachments -------------------------------------------------------------------------------

bool DUZECrashes::validatePropertiesForAttachment(const DUZEErrorAttachmentLog& attachment) {
  auto present = [](const std::optional<std::string>& text) { return text && !text->empty(); };
  return present(attachment.errorId()) && present(attachment.attachmentId()) && attachment.data() &&
         !attachment.data()->empty() && present(attachment.contentType());
}

void DUZECrashes::sendErrorAttachmentsOnInstance(const DUZEErrorAttachmentLogs& errorAttachments,
                                                 const std::string& incidentIdentifier) {
  auto unit = channelUnit();
  for (const auto& attachment : errorAttachments) {
    if (!attachment) continue;
    attachment->setErrorId(incidentIdentifier);
    if (!validatePropertiesForAttachment(*attachment)) {
      DUZELogError(kDUZECrashesLogTag,
                   "Not all required fields are present in DUZEErrorAttachmentLog.");
      continue;
    }
    const uint64_t size = attachment->data()->size();
    if (size > kDUZEMaxAttachmentSize) {
      DUZELogError(kDUZECrashesLogTag,
                   "Discarding attachment with size above %u bytes: size=%tu, fileName=%@.",
                   static_cast<uint32_t>(kDUZEMaxAttachmentSize), size, attachment->filename());
      continue;
    }
    if (unit) unit->enqueueItem(attachment, DUZEFlagsNormal);
  }
}

// Housekeeping -------------------------------------------------------------------------------

void DUZECrashes::deleteAllFromCrashesDirectory() {
  DUZEUtility::deleteItemForPathComponent(crashesPathComponent_);
  setCrashFiles({});
}

void DUZECrashes::deleteCrashReportWithFileURL(const fs::path& fileURL) {
  DUZEUtility::deleteFileAtURL(fileURL);
}

void DUZECrashes::clearUnprocessedReports() {
  base::LockGuard lock(propertiesMutex_);
  if (!unprocessed_) return;
  unprocessed_->logs.clear();
  unprocessed_->reports.clear();
  unprocessed_->filePaths.clear();
  unprocessed_->ids.clear();
}

void DUZECrashes::appendUnprocessed(const std::shared_ptr<DUZEAppleErrorLog>& log,
                                    const std::shared_ptr<DUZEErrorReport>& report,
                                    const fs::path& url, const std::optional<ReportedIds>& ids) {
  base::LockGuard lock(propertiesMutex_);
  if (!unprocessed_) unprocessed_.emplace();
  unprocessed_->logs.push_back(log);
  unprocessed_->reports.push_back(report);
  unprocessed_->filePaths.push_back(url);
  unprocessed_->ids.push_back(ids);
}

void DUZECrashes::removeUnprocessedAt(const std::vector<size_t>& indexes) {
  base::LockGuard lock(propertiesMutex_);
  if (!unprocessed_) return;
  // From the back, so the earlier indexes stay right.
  for (auto it = indexes.rbegin(); it != indexes.rend(); ++it) {
    const auto at = static_cast<std::ptrdiff_t>(*it);
    if (*it < unprocessed_->logs.size()) unprocessed_->logs.erase(unprocessed_->logs.begin() + at);
    if (*it < unprocessed_->reports.size()) {
      unprocessed_->reports.erase(unprocessed_->reports.begin() + at);
    }
    if (*it < unprocessed_->filePaths.size()) {
      unprocessed_->filePaths.erase(unprocessed_->filePaths.begin() + at);
    }
    if (*it < unprocessed_->ids.size()) unprocessed_->ids.erase(unprocessed_->ids.begin() + at);
  }
}

void DUZECrashes::createAnalyzerFile() {
  if (!DUZEUtility::createFileAtPathComponent(analyzerInProgressFilePathComponent_, std::nullopt,
                                              false, false)) {
    DUZELogError(kDUZECrashesLogTag, "Couldn't create crash analyzer file.");
  }
}

void DUZECrashes::removeAnalyzerFile() {
  DUZEUtility::deleteItemForPathComponent(analyzerInProgressFilePathComponent_);
}

void DUZECrashes::processMemoryWarningInLastSession() {
  if (!isEnabled()) return;
  auto defaults = DUZEZozIduvurUserDefaults::shared();
  auto stored = defaults->objectForKey(duzecrashes::kMemoryWarningKey);
  const bool received = stored && stored->asBool().value_or(false);
  didReceiveMemoryWarningInLastSession_ = received;
  if (received) {
    DUZELogDebug(kDUZECrashesLogTag,
                 "The application received a low memory warning in the last session.");
  }
  defaults->removeObjectForKey(duzecrashes::kMemoryWarningKey);
}
