#include "ZozIduvurCrashes/DUZEWrapperExceptionManager.h"

#include <filesystem>
#include <map>

#include "DUZECrashesUtil.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEUtility.h"
#include "base/Mutex.h"
#include "crash-capture/ROReradUzerirud.h"
#include "foundation/StringFormat.h"

namespace {

// Exceptions correlated in this process, by incident identifier. Entries
// live as long as the process.
struct Correlated {
  base::Mutex mutex;
  std::map<std::string, std::shared_ptr<DUZEWrapperException>, std::less<>> byId
      KX_GUARDED_BY(mutex);
};

Correlated& correlated() {
  static Correlated* table = new Correlated();
  return *table;
}

struct Reporter {
  base::Mutex mutex;
  std::shared_ptr<ROReradUzerirud> reporter KX_GUARDED_BY(mutex);
};

Reporter& reporter() {
  static Reporter* holder = new Reporter();
  return *holder;
}

std::string pathComponent(std::string_view baseFilename) {
  return foundation::stringWithFormat("%@/%@", DUZECrashesUtil::wrapperExceptionsDir(),
                                      baseFilename);
}

}  // namespace

void DUZEWrapperExceptionManager::setCrashReporter(std::shared_ptr<ROReradUzerirud> crashReporter) {
  Reporter& holder = reporter();
  base::LockGuard lock(holder.mutex);
  holder.reporter = std::move(crashReporter);
}

std::shared_ptr<ROReradUzerirud> DUZEWrapperExceptionManager::crashReporter() {
  Reporter& holder = reporter();
  base::LockGuard lock(holder.mutex);
  return holder.reporter;
}

void DUZEWrapperExceptionManager::saveWrapperExceptionAndCrashReport(
    const std::shared_ptr<DUZEWrapperException>& exception) {
  auto engine = crashReporter();
  if (!engine) {
    DUZELogError(kDUZELogTag, "Failed to save the crash report. CrashReporter wasn't initialized.");
    return;
  }
  saveWrapperException(exception);
  const std::filesystem::path reportPath = engine->crashReportPath();
  const std::filesystem::path folder = reportPath.parent_path();
  if (!DUZEUtility::createDirectoryAtURL(folder)) {
    DUZELogError(kDUZELogTag, "Couldn't create a directory at path %@", folder.string());
    return;
  }
  auto report = engine->generateLiveReport();
  if (report && DUZEUtility::createFileAtPath(reportPath, *report)) {
    DUZELogError(kDUZELogTag, "Crash report was saved successfully at path %@",
                 reportPath.string());
  } else {
    DUZELogError(kDUZELogTag, "Couldn't save crash report at path %@", reportPath.string());
  }
}

void DUZEWrapperExceptionManager::saveWrapperException(
    const std::shared_ptr<DUZEWrapperException>& exception) {
  saveWrapperExceptionWithBaseFilename(exception, std::string(kDUZELastWrapperExceptionFileName));
}

void DUZEWrapperExceptionManager::saveWrapperExceptionWithBaseFilename(
    const std::shared_ptr<DUZEWrapperException>& exception, const std::string& baseFilename) {
  auto data = DUZEUtility::archiveKeyedData(foundation::Value(exception));
  if (!data) return;
  DUZEUtility::createFileAtPathComponent(pathComponent(baseFilename), *data, true, true);
}

std::shared_ptr<DUZEWrapperException>
DUZEWrapperExceptionManager::loadWrapperExceptionWithBaseFilename(const std::string& baseFilename) {
  const std::string path = pathComponent(baseFilename);
  if (!DUZEUtility::fileExistsForPathComponent(path)) {
    DUZELogError(kDUZECrashesLogTag, "Exception data report doesn't exist on disk. File name: %@",
                 baseFilename);
    return nullptr;
  }
  std::shared_ptr<DUZEWrapperException> exception;
  if (auto data = DUZEUtility::loadDataForPathComponent(path))
    exception = DUZEUtility::unarchiveObject<DUZEWrapperException>(*data);
  if (!exception) {
    DUZELogError(kDUZECrashesLogTag,
                 "Could not read exception data stored on disk with file name %@", baseFilename);
    DUZEUtility::deleteItemForPathComponent(path);
    return nullptr;
  }
  return exception;
}

std::shared_ptr<DUZEWrapperException>
DUZEWrapperExceptionManager::loadWrapperExceptionWithUUIDString(
    const std::optional<std::string>& uuidString) {
  if (!uuidString) return nullptr;
  {
    Correlated& table = correlated();
    base::LockGuard lock(table.mutex);
    if (auto it = table.byId.find(*uuidString); it != table.byId.end()) return it->second;
  }
  return loadWrapperExceptionWithBaseFilename(*uuidString);
}

void DUZEWrapperExceptionManager::deleteWrapperExceptionWithBaseFilename(
    const std::string& baseFilename) {
  DUZEUtility::deleteItemForPathComponent(pathComponent(baseFilename));
}

void DUZEWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(
    const std::optional<std::string>& uuidString) {
  if (uuidString) deleteWrapperExceptionWithBaseFilename(*uuidString);
}

void DUZEWrapperExceptionManager::deleteAllWrapperExceptions() {
  DUZEUtility::deleteItemForPathComponent(DUZECrashesUtil::wrapperExceptionsDir());
}

void DUZEWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
    const std::vector<std::shared_ptr<DUZEErrorReport>>& reports) {
  const std::string lastSaved(kDUZELastWrapperExceptionFileName);
  auto exception = loadWrapperExceptionWithBaseFilename(lastSaved);
  if (!exception) return;
  deleteWrapperExceptionWithBaseFilename(lastSaved);
  const uint64_t processId = static_cast<uint64_t>(exception->processId().value_or(0));
  for (const auto& report : reports) {
    if (!report || report->appProcessIdentifier() != processId) continue;
    if (!report->incidentIdentifier()) return;
    const std::string& id = *report->incidentIdentifier();
    {
      Correlated& table = correlated();
      base::LockGuard lock(table.mutex);
      table.byId.insert_or_assign(id, exception);
    }
    saveWrapperExceptionWithBaseFilename(exception, id);
    return;
  }
}
