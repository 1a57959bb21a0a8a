#include "appkit/NSErrorObject.h"

#include "Selectors.h"
#include "objc/NSString.h"

namespace appkit {

using objc::Ref;
using objc::SEL;

struct NSErrorObjectMethods {
  static Ref<objc::NSString> domain(NSErrorObject* self, SEL) {
    return objc::NSString::stringWithString(self->error_ ? self->error_->domain() : "");
  }
  static objc::NSInteger code(NSErrorObject* self, SEL) {
    return self->error_ ? static_cast<objc::NSInteger>(self->error_->code()) : 0;
  }
  static Ref<objc::NSString> localizedDescription(NSErrorObject* self, SEL) {
    return objc::NSString::stringWithString(self->error_ ? self->error_->localizedDescription()
                                                         : "");
  }
  static Ref<objc::NSString> description(NSErrorObject* self, SEL) {
    return objc::NSString::stringWithString(self->error_ ? self->error_->description() : "");
  }
};

objc::Class NSErrorObject::classObject() {
  using M = NSErrorObjectMethods;
  static const objc::Class cls =
      objc::ClassBuilder<NSErrorObject>("NSError", objc::NSObject::classObject())
          .method("domain", &M::domain)
          .method("code", &M::code)
          .method("localizedDescription", &M::localizedDescription)
          .method("description", &M::description)
          .property("domain", "T@\"NSString\",R,C,N")
          .property("code", "Tq,R,N")
          .build();
  return cls;
}

Ref<NSErrorObject> NSErrorObject::errorWithError(std::shared_ptr<const foundation::NSError> error) {
  if (!error) return nullptr;
  Ref<NSErrorObject> object = objc::make<NSErrorObject>();
  object->error_ = std::move(error);
  return object;
}

std::string NSErrorObject::domain() {
  static const SEL s = detail::sel("domain");
  Ref<objc::NSString> text = objc::send<Ref<objc::NSString>()>(this, s);
  return text ? text->string() : std::string();
}

objc::NSInteger NSErrorObject::code() {
  static const SEL s = detail::sel("code");
  return objc::send<objc::NSInteger()>(this, s);
}

std::string NSErrorObject::localizedDescription() {
  static const SEL s = detail::sel("localizedDescription");
  Ref<objc::NSString> text = objc::send<Ref<objc::NSString>()>(this, s);
  return text ? text->string() : std::string();
}

}  // namespace appkit
