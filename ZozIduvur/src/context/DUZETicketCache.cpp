#include "ZozIduvur/DUZETicketCache.h"

#include "DUZESharedInstance.h"

std::shared_ptr<DUZETicketCache> DUZETicketCache::sharedInstance() {
  return DUZESharedInstance<DUZETicketCache>::ofProcess().get();
}
void DUZETicketCache::resetSharedInstance() {
  DUZESharedInstance<DUZETicketCache>::ofProcess().reset();
}

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
