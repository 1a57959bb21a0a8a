#include "foundation/NotificationCenter.h"

#include <algorithm>

#include "dispatch/OperationQueue.h"

namespace foundation {

std::shared_ptr<NotificationCenter> NotificationCenter::defaultCenter() {
  // Never destroyed: threads that still run while the process exits post.
  static const auto* const center =
      new std::shared_ptr<NotificationCenter>(std::make_shared<NotificationCenter>());
  return *center;
}

void NotificationCenter::addObserver(const void* observer, std::string name, Handler handler,
                                     std::shared_ptr<void> sender) {
  if (!handler) return;
  base::LockGuard lock(mutex_);
  registrations_.push_back({nextId_++,
                            observer,
                            std::move(name),
                            false,
                            sender,
                            sender == nullptr,
                            std::make_shared<const Handler>(std::move(handler)),
                            {}});
}

namespace {
// What a block registration's token points at: only its address matters.
struct BlockObserver {};
}  // namespace

NotificationCenter::ObserverToken NotificationCenter::addObserverForName(
    std::optional<std::string> name, std::shared_ptr<void> object,
    std::shared_ptr<dispatch::OperationQueue> queue, Handler block) {
  auto token = std::make_shared<const BlockObserver>();
  if (!block) return token;
  Handler handler = std::move(block);
  if (queue) {
    handler = [queue = std::move(queue), block = std::move(handler)](const NSNotification& n) {
      auto operation = dispatch::BlockOperation::create([&block, &n] { block(n); });
      queue->addOperation(operation);
      operation->waitUntilFinished();
    };
  }
  base::LockGuard lock(mutex_);
  const bool anyName = !name.has_value();
  registrations_.push_back({nextId_++, token.get(), std::move(name).value_or(std::string()),
                            anyName, object, object == nullptr,
                            std::make_shared<const Handler>(std::move(handler)), token});
  return token;
}

void NotificationCenter::removeObserver(const ObserverToken& token) {
  if (!token) return;
  base::LockGuard lock(mutex_);
  std::erase_if(registrations_, [&](const Registration& r) {
    return r.observer == token.get() && !r.token.owner_before(token) &&
           !token.owner_before(r.token);
  });
}

void NotificationCenter::removeObserver(const void* observer) {
  base::LockGuard lock(mutex_);
  std::erase_if(registrations_, [&](const Registration& r) { return r.observer == observer; });
}

void NotificationCenter::removeObserver(const void* observer, std::string_view name) {
  base::LockGuard lock(mutex_);
  std::erase_if(registrations_, [&](const Registration& r) {
    return r.observer == observer && !r.anyName && r.name == name;
  });
}

void NotificationCenter::postNotificationName(std::string_view name, std::shared_ptr<void> sender) {
  std::vector<std::shared_ptr<const Handler>> handlers;
  {
    base::LockGuard lock(mutex_);
    for (const auto& r : registrations_) {
      if (!r.anyName && r.name != name) continue;
      // A registration for a sender that is gone matches nothing, and one for
      // a sender that shares no ownership with this one matches nothing
      // either, even at the same address.
      if (!r.anySender && (!sender || r.sender.expired() || r.sender.owner_before(sender) ||
                           sender.owner_before(r.sender))) {
        continue;
      }
      handlers.push_back(r.handler);
    }
  }
  const NSNotification notification{std::string(name), std::move(sender)};
  for (const auto& handler : handlers) (*handler)(notification);
}

size_t NotificationCenter::observationCount(const void* observer) {
  base::LockGuard lock(mutex_);
  return static_cast<size_t>(
      std::count_if(registrations_.begin(), registrations_.end(),
                    [&](const Registration& r) { return r.observer == observer; }));
}

}  // namespace foundation
