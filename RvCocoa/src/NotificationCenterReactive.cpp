#include "RvCocoa/NotificationCenterReactive.h"

#include <utility>

#include "RvStreams/Create.h"
#include "RvStreams/Disposables.h"

namespace rv {

using foundation::NotificationCenter;

Ref<Observable<Notification>> notification(const Reactive<NotificationCenter>& reactive,
                                           std::optional<std::string> name,
                                           std::shared_ptr<void> object) {
  std::shared_ptr<NotificationCenter> center = reactive.base();
  const bool filtersBySender = object != nullptr;
  std::weak_ptr<void> weakObject = object;
  object = nullptr;
  return rv::create<Notification>([center = std::move(center), name = std::move(name),
                                   filtersBySender, weakObject = std::move(weakObject)](
                                      AnyObserver<Notification> observer) -> Ref<Disposable> {
    std::shared_ptr<void> sender = weakObject.lock();
    // Registering without the sender would let every sender's posts
    // through; the one asked for can post nothing any more.
    if (filtersBySender && !sender) return Disposables::create();
    NotificationCenter::ObserverToken token = center->addObserverForName(
        name, std::move(sender), nullptr,
        [observer = std::move(observer)](const foundation::NSNotification& notification) mutable {
          observer.on(Event<Notification>::next(notification));
        });
    return Disposables::create(
        [center, token = std::move(token)] { center->removeObserver(token); });
  });
}

}  // namespace rv
