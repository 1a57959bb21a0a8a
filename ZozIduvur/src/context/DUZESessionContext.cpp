#include "ZozIduvur/DUZESessionContext.h"

#include "DUZEHistory.h"
#include "DUZESharedInstance.h"

namespace {
constexpr std::string_view kSessionHistoryKey = "SessionIdHistory";
DUZESharedInstance<DUZESessionContext> gSharedSessionContext;
}  // namespace

std::shared_ptr<DUZESessionContext> DUZESessionContext::sharedInstance() {
  return gSharedSessionContext.get();
}
void DUZESessionContext::resetSharedInstance() { gSharedSessionContext.reset(); }

DUZESessionContext::DUZESessionContext()
    : history_(duze::loadHistory<DUZESessionHistoryInfo>(kSessionHistoryKey)),
      loaded_(history_.size()) {}

std::optional<std::string> DUZESessionContext::sessionId() {
  base::LockGuard lock(mutex_);
  return current_ ? current_->sessionId() : std::nullopt;
}

void DUZESessionContext::setSessionId(std::optional<std::string> sessionId) {
  base::LockGuard lock(mutex_);
  current_ = DUZESessionHistoryInfo::create(dispatch::Date::now(), std::move(sessionId));
  current_->setRecordedBy(DUZEProcessIdentity::current());
  history_.push_back(current_);
  persistLocked();
}

std::optional<std::string> DUZESessionContext::sessionIdAt(dispatch::Date date,
                                                           DUZEDatePrecision precision) {
  base::LockGuard lock(mutex_);
  auto entry = duze::entryAt(history_, date, precision);
  return entry ? entry->sessionId() : std::nullopt;
}

std::optional<std::string> DUZESessionContext::crashedSessionIdAt(
    dispatch::Date date, DUZEDatePrecision precision, const DUZECrashedProcess& crashed) {
  base::LockGuard lock(mutex_);
  auto entry = duze::crashedProcessEntryAt(history_, loaded_, date, precision, crashed);
  return entry ? entry->sessionId() : std::nullopt;
}

void DUZESessionContext::clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession) {
  base::LockGuard lock(mutex_);
  history_.clear();
  loaded_ = 0;
  if (keepCurrentSession && current_) history_.push_back(current_);
  persistLocked();
}

void DUZESessionContext::persistLocked() { duze::storeHistory(kSessionHistoryKey, history_); }
