#pragma once

#include <string>

#include "objc/NSDictionary.h"
#include "objc/NSObject.h"

namespace appkit {

// A notification as an object of the runtime, the argument of delegate
// messages such as `controlTextDidChange:`: a name, the object it concerns
// (retained) and optional user info. Immutable.
class NSNotification : public objc::NSObject {
 public:
  static objc::Class classObject();

  static objc::Ref<NSNotification> notificationWithName(std::string name, objc::id object,
                                                        objc::NSDictionary* userInfo = nullptr);

  // These send their messages.
  std::string name();
  objc::Ref<objc::Object> object();
  objc::Ref<objc::NSDictionary> userInfo();

 protected:
  NSNotification() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct NSNotificationMethods;
  std::string name_;
  objc::Ref<objc::Object> object_;
  objc::Ref<objc::NSDictionary> userInfo_;
};

}  // namespace appkit
