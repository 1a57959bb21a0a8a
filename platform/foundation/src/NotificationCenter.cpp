#include "foundation/NotificationCenter.h"

#include <algorithm>

namespace foundation {

std::shared_ptr<NotificationCenter> NotificationCenter::defaultCenter() {
  static const auto center = std::make_shared<NotificationCenter>();
  return center;
}

void NotificationCenter::addObserver(const void* observer, std::string name, Handler handler,
                                     std::shared_ptr<void> sender) {
  if (!handler) return;
  std::lock_guard lock(mutex_);
  registrations_.push_back({nextId_++, observer, std::move(name), sender, sender == nullptr,
                            std::make_shared<const Handler>(std::move(handler))});
}

void NotificationCenter::removeObserver(const void* observer) {
  std::lock_guard lock(mutex_);
  std::erase_if(registrations_, [&](const Registration& r) { return r.observer == observer; });
}

void NotificationCenter::removeObserver(const void* observer, std::string_view name) {
  std::lock_guard lock(mutex_);
  std::erase_if(registrations_,
                [&](const Registration& r) { return r.observer == observer && r.name == name; });
}

void NotificationCenter::postNotificationName(std::string_view name, std::shared_ptr<void> sender) {
  std::vector<std::shared_ptr<const Handler>> handlers;
  {
    std::lock_guard lock(mutex_);
    for (const auto& r : registrations_) {
      if (r.name != name) continue;
      // A registration for a sender that is gone matches nothing.
      if (!r.anySender && (!sender || r.sender.lock() != sender)) continue;
      handlers.push_back(r.handler);
    }
  }
  const NSNotification notification{std::string(name), std::move(sender)};
  for (const auto& handler : handlers) (*handler)(notification);
}

size_t NotificationCenter::observationCount(const void* observer) {
  std::lock_guard lock(mutex_);
  return static_cast<size_t>(
      std::count_if(registrations_.begin(), registrations_.end(),
                    [&](const Registration& r) { return r.observer == observer; }));
}

}  // namespace foundation
