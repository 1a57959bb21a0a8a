#include "appkit/NSNotification.h"

#include "Selectors.h"
#include "objc/NSString.h"

namespace appkit {

using objc::Ref;
using objc::SEL;

struct NSNotificationMethods {
  static Ref<objc::NSString> name(NSNotification* self, SEL) {
    return objc::NSString::stringWithString(self->name_);
  }
  static Ref<objc::Object> object(NSNotification* self, SEL) { return self->object_; }
  static Ref<objc::NSDictionary> userInfo(NSNotification* self, SEL) { return self->userInfo_; }
  static Ref<objc::NSString> description(NSNotification* self, SEL) {
    return objc::NSString::stringWithString("NSNotification " + self->name_ + " " +
                                            objc::describe(self->object_.get()));
  }
};

objc::Class NSNotification::classObject() {
  using M = NSNotificationMethods;
  static const objc::Class cls =
      objc::ClassBuilder<NSNotification>("NSNotification", objc::NSObject::classObject())
          .method("name", &M::name)
          .method("object", &M::object)
          .method("userInfo", &M::userInfo)
          .method("description", &M::description)
          .property("name", "T@\"NSString\",R,C,N")
          .property("object", "T@,R,N")
          .property("userInfo", "T@\"NSDictionary\",R,C,N")
          .build();
  return cls;
}

Ref<NSNotification> NSNotification::notificationWithName(std::string name, objc::id object,
                                                         objc::NSDictionary* userInfo) {
  Ref<NSNotification> notification = objc::make<NSNotification>();
  notification->name_ = std::move(name);
  notification->object_ = object;
  notification->userInfo_ = userInfo;
  return notification;
}

std::string NSNotification::name() {
  static const SEL s = detail::sel("name");
  Ref<objc::NSString> text = objc::send<Ref<objc::NSString>()>(this, s);
  return text ? text->string() : std::string();
}

Ref<objc::Object> NSNotification::object() {
  static const SEL s = detail::sel("object");
  return objc::send<Ref<objc::Object>()>(this, s);
}

Ref<objc::NSDictionary> NSNotification::userInfo() {
  static const SEL s = detail::sel("userInfo");
  return objc::send<Ref<objc::NSDictionary>()>(this, s);
}

}  // namespace appkit
