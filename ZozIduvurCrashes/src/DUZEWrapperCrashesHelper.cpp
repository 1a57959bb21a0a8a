#include "ZozIduvurCrashes/DUZEWrapperCrashesHelper.h"

#include "DUZECrashesInternal.h"

std::shared_ptr<DUZEWrapperCrashesHelper> DUZEWrapperCrashesHelper::sharedInstance() {
  static const std::shared_ptr<DUZEWrapperCrashesHelper> instance =
      std::make_shared<DUZEWrapperCrashesHelper>();
  return instance;
}

void DUZEWrapperCrashesHelper::setCrashHandlerSetupDelegate(
    const std::shared_ptr<DUZECrashHandlerSetupDelegate>& delegate) {
  auto helper = sharedInstance();
  base::LockGuard lock(helper->mutex_);
  helper->crashHandlerSetupDelegate_ = delegate;
}

std::shared_ptr<DUZECrashHandlerSetupDelegate>
DUZEWrapperCrashesHelper::crashHandlerSetupDelegate() {
  auto helper = sharedInstance();
  base::LockGuard lock(helper->mutex_);
  return helper->crashHandlerSetupDelegate_.lock();
}

std::shared_ptr<DUZECrashHandlerSetupDelegate>
DUZEWrapperCrashesHelper::getCrashHandlerSetupDelegate() {
  return crashHandlerSetupDelegate();
}

void DUZEWrapperCrashesHelper::setAutomaticProcessing(bool automaticProcessing) {
  DUZECrashes::sharedInstance()->setAutomaticProcessingEnabled(automaticProcessing);
}

bool DUZEWrapperCrashesHelper::automaticProcessing() {
  return DUZECrashes::sharedInstance()->isAutomaticProcessingEnabled();
}

DUZEErrorReports DUZEWrapperCrashesHelper::unprocessedCrashReports() {
  return DUZECrashesInternal(*DUZECrashes::sharedInstance()).unprocessedCrashReports();
}

bool DUZEWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
    const std::vector<std::string>& filteredIds) {
  return DUZECrashesInternal(*DUZECrashes::sharedInstance())
      .sendCrashReportsOrAwaitUserConfirmationForFilteredIds(filteredIds);
}

void DUZEWrapperCrashesHelper::sendErrorAttachments(const DUZEErrorAttachmentLogs& errorAttachments,
                                                    const std::string& incidentIdentifier) {
  DUZECrashes::sendErrorAttachments(errorAttachments, incidentIdentifier);
}

std::shared_ptr<DUZEErrorReport> DUZEWrapperCrashesHelper::buildHandledErrorReportWithErrorID(
    const std::string& errorId) {
  return DUZECrashes::sharedInstance()->buildHandledErrorReportWithErrorID(errorId);
}
