#pragma once

// A value of a protocol type of the object runtime (an object declared as
// `id<NSTextFieldDelegate>`): a strong reference to an object whose class, or
// one of its superclasses, adopts the protocol. Delegates are such values.
//
// `Tag` names the protocol:
//
//   struct NSTextFieldDelegate {
//     static objc::Protocol* protocol();   // the runtime's protocol object
//   };
//   using TextFieldDelegateRef = rv::ProtocolRef<NSTextFieldDelegate>;
//
// `castOrFatalError<ProtocolRef<Tag>>(object)` and the other checked
// conversions accept exactly the conforming objects, and name the protocol
// when they refuse one.

#include <concepts>
#include <optional>
#include <string>
#include <utility>

#include "objc/Ref.h"
#include "objc/Runtime.h"

namespace rv {

template <class Tag>
concept ProtocolTag = requires {
  { Tag::protocol() } -> std::same_as<objc::Protocol*>;
};

template <ProtocolTag Tag>
class ProtocolRef {
 public:
  // `object` when its class chain adopts the protocol (directly or through
  // a protocol that adopts it); absent for null and for other objects.
  static std::optional<ProtocolRef> fromObject(objc::id object) {
    if (object == nullptr || !conforms(object)) return std::nullopt;
    return ProtocolRef(objc::Ref<objc::Object>(object));
  }

  // The protocol's name, for the messages of refused conversions.
  static std::string typeDisplayName() { return objc::protocol_getName(Tag::protocol()); }

  const objc::Ref<objc::Object>& object() const noexcept { return object_; }
  objc::Object* get() const noexcept { return object_.get(); }

  friend bool operator==(const ProtocolRef& a, const ProtocolRef& b) noexcept {
    return a.object_ == b.object_;
  }

 private:
  explicit ProtocolRef(objc::Ref<objc::Object> object) : object_(std::move(object)) {}

  static bool conforms(objc::id object) {
    objc::Protocol* protocol = Tag::protocol();
    for (objc::Class cls = objc::object_getClass(object); cls != nullptr;
         cls = objc::class_getSuperclass(cls)) {
      if (objc::class_conformsToProtocol(cls, protocol)) return true;
    }
    return false;
  }

  objc::Ref<objc::Object> object_;
};

}  // namespace rv
