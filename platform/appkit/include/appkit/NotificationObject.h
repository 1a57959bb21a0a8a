#pragma once

// Objects of the runtime as senders in the notification centre of
// platform/foundation, which knows senders only as `std::shared_ptr<void>`.

#include <memory>

#include "objc/Ref.h"
#include "objc/Runtime.h"

namespace appkit {

// The handle that stands for `object` in the notification centre, for posting
// and for registering alike: the same handle for the same object on every
// call, pointing at the object, expiring when the object is deallocated (so
// registrations made for it match nothing afterwards, not even an object
// that later takes its address). The handle does not keep the object alive;
// load the object with `objectFromNotificationObject`. Null for null. Any
// thread.
std::shared_ptr<void> notificationObject(objc::id object);

// The object a handle of `notificationObject` stands for, retained; null for
// null, for a pointer that is no such handle, and once the object began
// deallocating.
objc::Ref<objc::Object> objectFromNotificationObject(const std::shared_ptr<void>& handle);

}  // namespace appkit
