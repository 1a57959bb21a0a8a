#include "appkit/NotificationObject.h"

#include "Selectors.h"
#include "objc/NSObject.h"

namespace appkit {

namespace {

// The deleter of a handle: it frees nothing (the handle does not own the
// object) and remembers the object weakly, so the handle can be loaded back.
struct HandleOwner {
  objc::Weak<objc::Object> object;
  void operator()(void*) const noexcept {}
};

// Carries an object's handle as an associated object, so the handle lives as
// long as the object and no longer.
class NotificationHandleHolder final : public objc::NSObject {
 public:
  static objc::Class classObject() {
    static const objc::Class cls = objc::ClassBuilder<NotificationHandleHolder>(
                                       "AKNotificationHandleHolder", objc::NSObject::classObject())
                                       .build();
    return cls;
  }
  std::shared_ptr<void> handle;

 private:
  friend struct objc::detail::InstanceAccess;
  NotificationHandleHolder() = default;
};

const char kHandleKey = 0;

}  // namespace

std::shared_ptr<void> notificationObject(objc::id object) {
  if (object == nullptr) return nullptr;
  objc::Synchronized guard(object);
  objc::Ref<objc::Object> stored = objc::objc_getAssociatedObject(object, &kHandleKey);
  if (auto* holder = dynamic_cast<NotificationHandleHolder*>(stored.get())) return holder->handle;
  auto holder = objc::make<NotificationHandleHolder>();
  holder->handle = std::shared_ptr<void>(static_cast<void*>(object), HandleOwner{object});
  objc::objc_setAssociatedObject(object, &kHandleKey, holder.get(),
                                 objc::OBJC_ASSOCIATION_RETAIN_NONATOMIC);
  return holder->handle;
}

objc::Ref<objc::Object> objectFromNotificationObject(const std::shared_ptr<void>& handle) {
  const HandleOwner* owner = std::get_deleter<HandleOwner>(handle);
  return owner ? owner->object.load() : nullptr;
}

}  // namespace appkit
