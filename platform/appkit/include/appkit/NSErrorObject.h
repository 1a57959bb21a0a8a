#pragma once

#include <memory>
#include <string>

#include "foundation/NSError.h"
#include "objc/NSObject.h"

namespace appkit {

// An error as an object of the runtime (class "NSError"), for the delegate
// messages that carry one: it wraps the project's one error value,
// `foundation::NSError`. Immutable.
class NSErrorObject : public objc::NSObject {
 public:
  static objc::Class classObject();

  // Null for a null error.
  static objc::Ref<NSErrorObject> errorWithError(std::shared_ptr<const foundation::NSError> error);

  const std::shared_ptr<const foundation::NSError>& error() const { return error_; }

  // These send their messages.
  std::string domain();
  objc::NSInteger code();
  std::string localizedDescription();

 protected:
  NSErrorObject() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct NSErrorObjectMethods;
  std::shared_ptr<const foundation::NSError> error_;
};

}  // namespace appkit
