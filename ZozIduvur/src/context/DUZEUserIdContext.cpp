#include "ZozIduvur/DUZEUserIdContext.h"

#include "DUZEContextShare.h"
#include "DUZEHistory.h"
#include "ZozIduvur/DUZELogger.h"
#include "base/ProcessToken.h"

namespace {
constexpr std::string_view kUserIdHistoryKey = "UserIdHistory";
constexpr std::string_view kCustomPrefix = "c";
using UserIdShare = DUZEContextShare<DUZEUserIdContext>;
}  // namespace

std::shared_ptr<DUZEUserIdContext> DUZEUserIdContext::sharedInstance() {
  return UserIdShare::of().get();
}
void DUZEUserIdContext::resetSharedInstance() { UserIdShare::of().reset(); }

bool DUZEUserIdContext::addUserIdObserver(Observer observer) {
  return UserIdShare::of().observe(observer);
}
bool DUZEUserIdContext::addServiceUserIdObserver(ServiceObserver observer) {
  return UserIdShare::of().observe(observer);
}
void DUZEUserIdContext::removeUserIdObserver(Observer observer) {
  UserIdShare::of().forget(observer);
}
void DUZEUserIdContext::removeUserIdObserver(ServiceObserver observer) {
  UserIdShare::of().forget(observer);
}

void DUZEUserIdContext::notifyLocked() { UserIdShare::of().changed(current_); }

DUZEUserIdContext::DUZEUserIdContext()
    : madeIn_(base::process_token()),
      history_(duze::loadHistory<DUZEUserIdHistoryInfo>(kUserIdHistoryKey)),
      loaded_(history_.size()) {}

DUZEUserIdContext::DUZEUserIdContext(std::shared_ptr<Entry> current) : madeIn_(0) {
  base::LockGuard lock(mutex_);
  if (current) history_.push_back(current);
  current_ = std::move(current);
}

std::optional<std::string> DUZEUserIdContext::userId() {
  base::LockGuard lock(mutex_);
  return current_ ? current_->userId() : std::nullopt;
}

void DUZEUserIdContext::setUserId(std::optional<std::string> userId) {
  base::LockGuard lock(mutex_);
  current_ = DUZEUserIdHistoryInfo::create(dispatch::Date::now(), std::move(userId));
  history_.push_back(current_);
  persistLocked();
  notifyLocked();
}

std::optional<std::string> DUZEUserIdContext::userIdAt(dispatch::Date date,
                                                       DUZEDatePrecision precision) {
  base::LockGuard lock(mutex_);
  auto entry = duze::entryAt(history_, date, precision);
  return entry ? entry->userId() : std::nullopt;
}

std::optional<std::string> DUZEUserIdContext::crashedUserIdAt(dispatch::Date date,
                                                              DUZEDatePrecision precision) {
  base::LockGuard lock(mutex_);
  auto entry = duze::earlierProcessEntryAt(history_, loaded_, date, precision);
  return entry ? entry->userId() : std::nullopt;
}

std::optional<std::string> DUZEUserIdContext::userIdRecordedAt(double secondsSince1970) {
  base::LockGuard lock(mutex_);
  auto entry = duze::entryRecordedAt(history_, secondsSince1970);
  return entry ? entry->userId() : std::nullopt;
}

void DUZEUserIdContext::clearUserIdHistory() {
  base::LockGuard lock(mutex_);
  history_.clear();
  loaded_ = 0;
  if (current_) history_.push_back(current_);
  persistLocked();
}

void DUZEUserIdContext::persistLocked() {
  if (base::process_token() == madeIn_) duze::storeHistory(kUserIdHistoryKey, history_);
}

bool DUZEUserIdContext::isUserIdValidForEventCollector(const std::optional<std::string>& userId) {
  if (!userId) return true;
  if (userId->empty()) {
    DUZELogError(kDUZELogTag, "userId must not be empty.");
    return false;
  }
  const auto colon = userId->find(':');
  if (colon == std::string::npos) return true;
  const std::string prefix = userId->substr(0, colon);
  if (prefix != kCustomPrefix) {
    DUZELogError(kDUZELogTag, "userId prefix must be '%@', '%@' is not supported.", kCustomPrefix,
                 prefix);
    return false;
  }
  if (colon == userId->size() - 1) {
    DUZELogError(kDUZELogTag, "userId must not be empty.");
    return false;
  }
  return true;
}

std::optional<std::string> DUZEUserIdContext::prefixedUserIdFromUserId(
    const std::optional<std::string>& userId) {
  if (!userId) return std::nullopt;
  if (userId->find(':') == std::string::npos) return std::string(kCustomPrefix) + ":" + *userId;
  return userId;
}
