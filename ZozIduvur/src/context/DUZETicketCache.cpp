#include "ZozIduvur/DUZETicketCache.h"

#include "DUZESharedInstance.h"

namespace {
DUZESharedInstance<DUZETicketCache> gSharedTicketCache;
}

std::shared_ptr<DUZETicketCache> DUZETicketCache::sharedInstance() {
  return gSharedTicketCache.get();
}
void DUZETicketCache::resetSharedInstance() { gSharedTicketCache.reset(); }

std::optional<std::string> DUZETicketCache::ticketFor(std::string_view key) {
  base::LockGuard lock(mutex_);
  auto it = tickets_.find(key);
  if (it == tickets_.end()) return std::nullopt;
  return it->second;
}

void DUZETicketCache::setTicket(std::string ticket, std::string key) {
  base::LockGuard lock(mutex_);
  tickets_.insert_or_assign(std::move(key), std::move(ticket));
}

void DUZETicketCache::clearCache() {
  base::LockGuard lock(mutex_);
  tickets_.clear();
}
