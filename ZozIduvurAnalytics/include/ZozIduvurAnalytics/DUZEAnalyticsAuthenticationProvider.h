#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Mutex.h"
#include "dispatch/Time.h"

class DUZEAnalyticsAuthenticationProvider;

// Called by the host, once, when it has a token: the token and its expiry
// date (either may be missing when the host failed to get one).
using DUZEAnalyticsAuthenticationProviderCompletionBlock =
    std::function<void(std::optional<std::string> token, std::optional<dispatch::Date> expiryDate)>;

// The host's source of tokens.
class DUZEAnalyticsAuthenticationProviderDelegate {
 public:
  virtual ~DUZEAnalyticsAuthenticationProviderDelegate() = default;
  // Asked for a token; the host calls `completionHandler` (on any thread)
  // once it has one.
  virtual void authenticationProviderAcquireTokenWithCompletionHandler(
      const std::shared_ptr<DUZEAnalyticsAuthenticationProvider>& authenticationProvider,
      DUZEAnalyticsAuthenticationProviderCompletionBlock completionHandler) = 0;
};

// Gets tokens from the host's delegate for the Common Schema logs of the
// transmission targets and keeps the resulting ticket in the core's ticket
// cache under the hash of its ticket key, asking again when the token is ten
// minutes or less from expiring.
class DUZEAnalyticsAuthenticationProvider
    : public std::enable_shared_from_this<DUZEAnalyticsAuthenticationProvider> {
 public:
  // Kinds of token, by the prefix their tickets carry.
  static constexpr uint64_t kTypeP = 0;  // tickets "p:<token>"
  static constexpr uint64_t kTypeD = 1;  // tickets "d:<token>"

  // `type` is 0 or 1; the delegate is held weakly.
  static std::shared_ptr<DUZEAnalyticsAuthenticationProvider> create(
      uint64_t type, std::optional<std::string> ticketKey,
      std::weak_ptr<DUZEAnalyticsAuthenticationProviderDelegate> delegate);

  uint64_t type() const { return type_; }
  const std::optional<std::string>& ticketKey() const { return ticketKey_; }
  // SHA-256 of the ticket key as 64 lowercase hexadecimal digits; none
  // without a ticket key.
  const std::optional<std::string>& ticketKeyHash() const { return ticketKeyHash_; }
  std::shared_ptr<DUZEAnalyticsAuthenticationProviderDelegate> delegate() const {
    return delegate_.lock();
  }
  std::optional<dispatch::Date> expiryDate();

  // Asks the delegate for a token unless a request is pending. Takes the
  // provider's lock only to start the request; the delegate is called
  // outside it unless the caller holds it (`checkTokenExpiry`).
  void acquireTokenAsync();
  // Takes a token delivered through `completionHandler`, which must be the
  // pending request's handler (compared by identity); otherwise nothing.
  void handleTokenUpdateWithToken(
      const std::optional<std::string>& token, const std::optional<dispatch::Date>& expiryDate,
      const std::shared_ptr<const DUZEAnalyticsAuthenticationProviderCompletionBlock>&
          completionHandler);
  // Requests a new token when the current one expires within 600 seconds.
  void checkTokenExpiry();

  // The pending request's handler, or null.
  std::shared_ptr<const DUZEAnalyticsAuthenticationProviderCompletionBlock> completionHandler();

  DUZEAnalyticsAuthenticationProvider(
      uint64_t type, std::optional<std::string> ticketKey,
      std::weak_ptr<DUZEAnalyticsAuthenticationProviderDelegate> delegate);

 private:
  const uint64_t type_;
  const std::optional<std::string> ticketKey_;
  const std::optional<std::string> ticketKeyHash_;
  const std::weak_ptr<DUZEAnalyticsAuthenticationProviderDelegate> delegate_;
  base::RecursiveMutex lock_;
  std::optional<dispatch::Date> expiryDate_ KX_GUARDED_BY(lock_);
  std::shared_ptr<const DUZEAnalyticsAuthenticationProviderCompletionBlock> completionHandler_
      KX_GUARDED_BY(lock_);
};
