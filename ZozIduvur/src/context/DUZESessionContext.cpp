#include "ZozIduvur/DUZESessionContext.h"

#include <pthread.h>
#include <unistd.h>

#include "DUZEContextObserver.h"
#include "DUZEHistory.h"
#include "DUZESharedInstance.h"

namespace {
constexpr std::string_view kSessionHistoryKey = "SessionIdHistory";
DUZESharedInstance<DUZESessionContext> gSharedSessionContext;
DUZEContextObserver<DUZESessionContext::Observer> gSessionIdObserver;
}  // namespace

std::shared_ptr<DUZESessionContext> DUZESessionContext::sharedInstance() {
  return gSharedSessionContext.get();
}
void DUZESessionContext::resetSharedInstance() {
  gSharedSessionContext.reset();
  gSessionIdObserver.tell(std::nullopt);
}

void DUZESessionContext::setSessionIdObserver(Observer observer) {
  auto context = sharedInstance();
  base::LockGuard lock(context->mutex_);
  gSessionIdObserver.replace(std::move(observer));
  context->notifyLocked();
}

void DUZESessionContext::notifyLocked() {
  gSessionIdObserver.tell(current_ ? current_->sessionId() : std::nullopt);
}

DUZESessionContext::DUZESessionContext()
    : madeIn_(::getpid()),
      history_(duze::loadHistory<DUZESessionHistoryInfo>(kSessionHistoryKey)),
      loaded_(history_.size()) {}

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

void DUZESessionContext::clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession) {
  base::LockGuard lock(mutex_);
  history_.clear();
  loaded_ = 0;
  if (keepCurrentSession && current_) history_.push_back(current_);
  persistLocked();
}

void DUZESessionContext::persistLocked() {
  if (::getpid() == madeIn_) duze::storeHistory(kSessionHistoryKey, history_);
}

const int DUZESessionContext::forkHandlers_ =
    ::pthread_atfork(&DUZESessionContext::holdAcrossFork, &DUZESessionContext::releaseInParent,
                     &DUZESessionContext::releaseInChild);

void DUZESessionContext::holdAcrossFork() {
  gSharedSessionContext.holdAcrossFork(&lockOf);
  gSessionIdObserver.holdAcrossFork();
}

void DUZESessionContext::releaseInParent() {
  gSessionIdObserver.releaseAfterFork();
  gSharedSessionContext.releaseAfterFork(&lockOf, false);
}

void DUZESessionContext::releaseInChild() {
  gSessionIdObserver.releaseAfterFork();
  gSharedSessionContext.releaseAfterFork(&lockOf, true);
}
