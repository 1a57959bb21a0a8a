#include "ZozIduvurAnalytics/DUZEAnalyticsAuthenticationProvider.h"

#include <cmath>

#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZETicketCache.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsClock.h"
#include "ZozIduvurAnalytics/DUZEAnalyticsConstants.h"
#include "foundation/StringFormat.h"

namespace {

// A token is renewed when it expires within this many seconds.
constexpr int64_t kRefreshThreshold = 10 * 60;

int64_t wholeSecondsSince1970(dispatch::Date date) {
  return static_cast<int64_t>(std::trunc(date.timeIntervalSince1970()));
}

}  // namespace

DUZEAnalyticsAuthenticationProvider::DUZEAnalyticsAuthenticationProvider(
    uint64_t type, std::optional<std::string> ticketKey,
    std::weak_ptr<DUZEAnalyticsAuthenticationProviderDelegate> delegate)
    : type_(type),
      ticketKey_(std::move(ticketKey)),
      ticketKeyHash_(ticketKey_ ? std::optional(DUZEUtility::sha256(*ticketKey_)) : std::nullopt),
      delegate_(std::move(delegate)) {}

std::shared_ptr<DUZEAnalyticsAuthenticationProvider> DUZEAnalyticsAuthenticationProvider::create(
    uint64_t type, std::optional<std::string> ticketKey,
    std::weak_ptr<DUZEAnalyticsAuthenticationProviderDelegate> delegate) {
  return std::make_shared<DUZEAnalyticsAuthenticationProvider>(type, std::move(ticketKey),
                                                               std::move(delegate));
}

std::optional<dispatch::Date> DUZEAnalyticsAuthenticationProvider::expiryDate() {
  base::LockGuard lock(lock_);
  return expiryDate_;
}

std::shared_ptr<const DUZEAnalyticsAuthenticationProviderCompletionBlock>
DUZEAnalyticsAuthenticationProvider::completionHandler() {
  base::LockGuard lock(lock_);
  return completionHandler_;
}

void DUZEAnalyticsAuthenticationProvider::acquireTokenAsync() {
  auto delegate = delegate_.lock();
  if (!delegate) {
    DUZELogError(kDUZEAnalyticsLogTag, "No completionhandler to acquire token has been set.");
    return;
  }
  std::weak_ptr<DUZEAnalyticsAuthenticationProvider> weak = weak_from_this();
  DUZEAnalyticsAuthenticationProviderCompletionBlock block =
      [weak](std::optional<std::string> token, std::optional<dispatch::Date> expiryDate) {
        auto self = weak.lock();
        if (!self) return;
        self->handleTokenUpdateWithToken(token, expiryDate, self->completionHandler());
      };
  {
    base::LockGuard lock(lock_);
    if (completionHandler_) return;
    completionHandler_ =
        std::make_shared<const DUZEAnalyticsAuthenticationProviderCompletionBlock>(block);
  }
  delegate->authenticationProviderAcquireTokenWithCompletionHandler(shared_from_this(),
                                                                    std::move(block));
}

void DUZEAnalyticsAuthenticationProvider::handleTokenUpdateWithToken(
    const std::optional<std::string>& token, const std::optional<dispatch::Date>& expiryDate,
    const std::shared_ptr<const DUZEAnalyticsAuthenticationProviderCompletionBlock>&
        completionHandler) {
  base::LockGuard lock(lock_);
  if (completionHandler != completionHandler_) return;
  completionHandler_.reset();
  DUZELogDebug(kDUZEAnalyticsLogTag, "Got result back from ZIAcquireTokenCompletionBlock.");
  if (!token) {
    DUZELogError(kDUZEAnalyticsLogTag, "Token must not be null");
    return;
  }
  if (!expiryDate) {
    DUZELogError(kDUZEAnalyticsLogTag, "Date must not be null");
    return;
  }
  if (type_ != kTypeP && type_ != kTypeD) {
    DUZELogError(kDUZEAnalyticsLogTag, "Unknown authentication type %llu; the token is not used.",
                 static_cast<unsigned long long>(type_));
    return;
  }
  // Without a ticket key there is nothing to file the ticket under.
  if (ticketKeyHash_) {
    const std::string ticket =
        foundation::stringWithFormat("%@:%@", type_ == kTypeP ? "p" : "d", *token);
    DUZETicketCache::sharedInstance()->setTicket(ticket, *ticketKeyHash_);
  }
  expiryDate_ = expiryDate;
}

void DUZEAnalyticsAuthenticationProvider::checkTokenExpiry() {
  base::LockGuard lock(lock_);
  if (!expiryDate_) return;
  if (wholeSecondsSince1970(DUZEAnalyticsClock::now()) + kRefreshThreshold >=
      wholeSecondsSince1970(*expiryDate_)) {
    acquireTokenAsync();
  }
}
