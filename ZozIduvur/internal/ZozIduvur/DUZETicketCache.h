#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Mutex.h"
#include "base/ThreadSafety.h"

// Tickets of the collector ingestion, by ticket-key hash. In memory only.
// Thread-safe.
class DUZETicketCache {
 public:
  static std::shared_ptr<DUZETicketCache> sharedInstance();
  static void resetSharedInstance();

  std::optional<std::string> ticketFor(std::string_view key);
  // Stores (or replaces) the ticket under the key.
  void setTicket(std::string ticket, std::string key);
  void clearCache();

 private:
  base::Mutex mutex_;
  std::map<std::string, std::string, std::less<>> tickets_ KX_GUARDED_BY(mutex_);
};
