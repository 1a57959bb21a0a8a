#include "ZozIduvur/DUZESessionContext.h"

#include "DUZEContextShare.h"
#include "DUZEHistory.h"
#include "base/ProcessToken.h"

namespace {
constexpr std::string_view kSessionHistoryKey = "SessionIdHistory";
using SessionShare = DUZEContextShare<DUZESessionContext>;
}  // namespace

std::shared_ptr<DUZESessionContext> DUZESessionContext::sharedInstance() {
  return SessionShare::of().get();
}
void DUZESessionContext::resetSharedInstance() { SessionShare::of().reset(); }

bool DUZESessionContext::addSessionIdObserver(Observer observer) {
  return SessionShare::of().observe(observer);
}
bool DUZESessionContext::addServiceSessionIdObserver(ServiceObserver observer) {
  return SessionShare::of().observe(observer);
}
void DUZESessionContext::removeSessionIdObserver(Observer observer) {
  SessionShare::of().forget(observer);
}
void DUZESessionContext::removeSessionIdObserver(ServiceObserver observer) {
  SessionShare::of().forget(observer);
}

void DUZESessionContext::notifyLocked() { SessionShare::of().changed(current_); }

DUZESessionContext::DUZESessionContext()
    : madeIn_(base::process_token()),
      history_(duze::loadHistory<DUZESessionHistoryInfo>(kSessionHistoryKey)),
      loaded_(history_.size()) {}

DUZESessionContext::DUZESessionContext(std::shared_ptr<Entry> current) : madeIn_(0) {
  base::LockGuard lock(mutex_);
  if (current) history_.push_back(current);
  current_ = std::move(current);
}

std::optional<std::string> DUZESessionContext::sessionId() {
  base::LockGuard lock(mutex_);
  return current_ ? current_->sessionId() : std::nullopt;
}

void DUZESessionContext::setSessionId(std::optional<std::string> sessionId) {
  base::LockGuard lock(mutex_);
  current_ = DUZESessionHistoryInfo::create(dispatch::Date::now(), std::move(sessionId));
  history_.push_back(current_);
  persistLocked();
  notifyLocked();
}

std::optional<std::string> DUZESessionContext::sessionIdAt(dispatch::Date date,
                                                           DUZEDatePrecision precision) {
  base::LockGuard lock(mutex_);
  auto entry = duze::entryAt(history_, date, precision);
  return entry ? entry->sessionId() : std::nullopt;
}

std::optional<std::string> DUZESessionContext::crashedSessionIdAt(dispatch::Date date,
                                                                  DUZEDatePrecision precision) {
  base::LockGuard lock(mutex_);
  auto entry = duze::earlierProcessEntryAt(history_, loaded_, date, precision);
  return entry ? entry->sessionId() : std::nullopt;
}

std::optional<std::string> DUZESessionContext::sessionIdRecordedAt(double secondsSince1970) {
  base::LockGuard lock(mutex_);
  auto entry = duze::entryRecordedAt(history_, secondsSince1970);
  return entry ? entry->sessionId() : std::nullopt;
}

void DUZESessionContext::clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession) {
  base::LockGuard lock(mutex_);
  history_.clear();
  loaded_ = 0;
  if (keepCurrentSession && current_) history_.push_back(current_);
  persistLocked();
}

void DUZESessionContext::persistLocked() {
  if (base::process_token() == madeIn_) duze::storeHistory(kSessionHistoryKey, history_);
}
