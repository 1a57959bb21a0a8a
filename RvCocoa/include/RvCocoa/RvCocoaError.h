#pragma once

// The error type the Cocoa layer and the interception runtime share, the
// checked conversions of the untyped values the object runtime hands over,
// and the reports of errors that reach a binding.

#include <any>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "RvCocoa/CocoaFatalError.h"
#include "RvStreams/Base.h"
#include "RvStreams/Describe.h"
#include "foundation/NSError.h"
#include "objc/NSNumber.h"
#include "objc/NSObject.h"
#include "objc/NSString.h"

namespace rv {

namespace cocoa_detail {

template <class T>
struct IsObjcRef : std::false_type {};
template <class T>
struct IsObjcRef<objc::Ref<T>> : std::true_type {
  using Element = T;
};

template <class T>
concept ObjcObjectPointer = std::is_pointer_v<T> &&
    std::is_base_of_v<objc::Object, std::remove_cv_t<std::remove_pointer_t<T>>>;

// A type's name without namespace qualifiers.
std::string unqualifiedName(const std::type_info& type);

// Writes `line` and a newline to standard output at once (the reports and
// warnings of this component; lines of concurrent callers never interleave).
void printLine(const std::string& line);

}  // namespace cocoa_detail

// The textual description of any value: an object's `description` ("nil" for
// none), otherwise what `describe` gives.
template <class V>
std::string describeValue(const V& value) {
  if constexpr (cocoa_detail::IsObjcRef<V>::value) {
    return value ? objc::describe(value.get()) : std::string("nil");
  } else if constexpr (cocoa_detail::ObjcObjectPointer<V>) {
    return value
               ? objc::describe(const_cast<objc::Object*>(static_cast<const objc::Object*>(value)))
               : std::string("nil");
  } else if constexpr (std::is_same_v<V, std::nullptr_t>) {
    return "nil";
  } else {
    return describe(value);
  }
}

// The unqualified name of a type; for an object reference (`objc::Ref<U>` or
// `U*`) the name of U.
template <class T>
std::string typeDisplayName() {
  if constexpr (requires {
                  { T::typeDisplayName() } -> std::convertible_to<std::string>;
                }) {
    return T::typeDisplayName();
  } else if constexpr (cocoa_detail::IsObjcRef<T>::value) {
    return cocoa_detail::unqualifiedName(typeid(typename cocoa_detail::IsObjcRef<T>::Element));
  } else if constexpr (cocoa_detail::ObjcObjectPointer<T>) {
    return cocoa_detail::unqualifiedName(typeid(std::remove_cv_t<std::remove_pointer_t<T>>));
  } else {
    return cocoa_detail::unqualifiedName(typeid(T));
  }
}

// `what()` is the case's debug description.
class RvCocoaError : public std::exception {
 public:
  enum class Kind {
    invalidOperation,
    itemsNotYetBound,
    invalidPropertyName,
    invalidObjectOnKeyPath,
    castingError,
    unknown,
    errorDuringSwizzling,
  };

  // The domain the error has when bridged to an error object.
  static constexpr std::string_view domain = "RvCocoa.RvCocoaError";

  template <class V>
  static RvCocoaError invalidOperation(const V& object) {
    return RvCocoaError(Kind::invalidOperation, object);
  }
  template <class V>
  static RvCocoaError itemsNotYetBound(const V& object) {
    return RvCocoaError(Kind::itemsNotYetBound, object);
  }
  template <class V>
  static RvCocoaError invalidPropertyName(const V& object, std::string propertyName) {
    RvCocoaError error(Kind::invalidPropertyName, object);
    error.propertyName_ = std::move(propertyName);
    error.describeSelf();
    return error;
  }
  template <class V>
  static RvCocoaError invalidObjectOnKeyPath(const V& object, objc::id sourceObject,
                                             std::string propertyName) {
    RvCocoaError error(Kind::invalidObjectOnKeyPath, object);
    error.sourceObject_ = objc::Ref<objc::Object>(sourceObject);
    error.propertyName_ = std::move(propertyName);
    error.describeSelf();
    return error;
  }
  // `T` is the type the value could not be converted to.
  template <class T, class V>
  static RvCocoaError castingError(const V& object) {
    RvCocoaError error(Kind::castingError, object);
    error.targetType_ = &typeid(T);
    error.targetTypeName_ = typeDisplayName<T>();
    error.describeSelf();
    return error;
  }
  static RvCocoaError unknown() { return RvCocoaError(Kind::unknown); }
  static RvCocoaError errorDuringSwizzling() { return RvCocoaError(Kind::errorDuringSwizzling); }

  Kind kind() const noexcept { return kind_; }
  // The payload; each is empty for the cases that do not carry it.
  const std::any& object() const noexcept { return object_; }
  const std::string& objectDescription() const noexcept { return objectDescription_; }
  const objc::Ref<objc::Object>& sourceObject() const noexcept { return sourceObject_; }
  const std::string& propertyName() const noexcept { return propertyName_; }
  const std::type_info* targetType() const noexcept { return targetType_; }
  const std::string& targetTypeName() const noexcept { return targetTypeName_; }

  const std::string& debugDescription() const noexcept { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

  // The error as an error object: `domain`, and the case's position
  // (counted from 0) as its code.
  std::shared_ptr<foundation::NSError> toNSError() const;

 private:
  explicit RvCocoaError(Kind kind) : kind_(kind) { describeSelf(); }
  template <class V>
  RvCocoaError(Kind kind, const V& object)
      : kind_(kind), object_(object), objectDescription_(describeValue(object)) {
    describeSelf();
  }
  void describeSelf();

  Kind kind_;
  std::any object_;
  std::string objectDescription_;
  objc::Ref<objc::Object> sourceObject_;
  std::string propertyName_;
  const std::type_info* targetType_ = nullptr;
  std::string targetTypeName_;
  std::string text_;
};

namespace cocoa_detail {

// The platform's conditional cast of `value` to `T`: the value itself when it
// already is a T; an object of T's class or a subclass; a string or number
// object as the plain string or number it holds; the content of a std::any.
template <class T, class V>
std::optional<T> conditionalCast(const V& value) {
  if constexpr (std::is_same_v<T, V>) {
    return value;
  } else if constexpr (std::is_same_v<V, std::any>) {
    if (const T* content = std::any_cast<T>(&value)) return *content;
    if (const auto* object = std::any_cast<objc::Ref<objc::Object>>(&value)) {
      return conditionalCast<T>(*object);
    }
    return std::nullopt;
  } else if constexpr (IsObjcRef<V>::value || ObjcObjectPointer<V>) {
    objc::Object* object = [&]() -> objc::Object* {
      if constexpr (IsObjcRef<V>::value) {
        return value.get();
      } else {
        return const_cast<objc::Object*>(static_cast<const objc::Object*>(value));
      }
    }();
    if (object == nullptr) return std::nullopt;
    if constexpr (IsObjcRef<T>::value) {
      using U = typename IsObjcRef<T>::Element;
      if (auto* cast = dynamic_cast<U*>(object)) return T(cast);
      return std::nullopt;
    } else if constexpr (ObjcObjectPointer<T>) {
      if (auto* cast = dynamic_cast<T>(object)) return cast;
      return std::nullopt;
    } else if constexpr (requires {
                           { T::fromObject(object) } -> std::same_as<std::optional<T>>;
                         }) {
      // A type that decides itself which objects it accepts (a protocol type).
      return T::fromObject(object);
    } else if constexpr (std::is_same_v<T, std::string>) {
      if (auto* string = dynamic_cast<objc::NSString*>(object)) return string->string();
      return std::nullopt;
    } else if constexpr (std::is_same_v<T, bool>) {
      if (auto* number = dynamic_cast<objc::NSNumber*>(object)) return number->boolValue();
      return std::nullopt;
    } else if constexpr (std::is_integral_v<T>) {
      if (auto* number = dynamic_cast<objc::NSNumber*>(object)) {
        return static_cast<T>(number->longLongValue());
      }
      return std::nullopt;
    } else if constexpr (std::is_floating_point_v<T>) {
      if (auto* number = dynamic_cast<objc::NSNumber*>(object)) {
        return static_cast<T>(number->doubleValue());
      }
      return std::nullopt;
    } else {
      return std::nullopt;
    }
  } else if constexpr (IsObjcRef<T>::value && std::is_same_v<V, std::nullptr_t>) {
    return std::nullopt;
  } else {
    return std::nullopt;
  }
}

}  // namespace cocoa_detail

// `value` as a T; stops the process with "Failure converting from <value> to
// <T>" when it is not one (a delegate or parent object of the wrong class is
// a programming error).
template <class T, class V>
T castOrFatalError(const V& value) {
  if (auto cast = cocoa_detail::conditionalCast<T>(value)) return std::move(*cast);
  cocoaFatalError("Failure converting from " + describeValue(value) + " to " +
                  typeDisplayName<T>());
}

// Absent stays absent (T is not looked at); otherwise castOrFatalError.
template <class T, class V>
std::optional<T> castOptionalOrFatalError(const std::optional<V>& value) {
  if (!value) return std::nullopt;
  return castOrFatalError<T>(*value);
}
// An object reference is absent when it is null.
template <class T, class U>
std::optional<T> castOptionalOrFatalError(const objc::Ref<U>& value) {
  if (!value) return std::nullopt;
  return castOrFatalError<T>(value);
}

// `value` as a T; throws `RvCocoaError::castingError` with the value and T
// when it is not one.
template <class T, class V>
T castOrThrow(const V& value) {
  if (auto cast = cocoa_detail::conditionalCast<T>(value)) return std::move(*cast);
  throw RvCocoaError::castingError<T>(value);
}

// Writes "Binding error: <error>" as one line to standard output.
void printBindingError(const Error& error);
// Writes "<file>:<line>: Binding error: <error>" as one line to standard output.
void printBindingError(const Error& error, const char* file, int line);

}  // namespace rv
