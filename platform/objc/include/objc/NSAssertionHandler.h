#pragma once

#include <string>

#include "objc/NSObject.h"

namespace objc {

// Reports failed assertions: logs "*** Assertion failure in ..." with NSLog
// and raises NSInternalInconsistencyException whose reason is the
// description. The members send their messages, so a replaced
// implementation can change what a failure does.
class NSAssertionHandler : public NSObject {
 public:
  static Class classObject();
  // The calling thread's handler, made on first use.
  static Ref<NSAssertionHandler> currentHandler();

  void handleFailureInMethod(SEL selector, id object, const std::string& fileName, NSInteger line,
                             const std::string& description);
  void handleFailureInFunction(const std::string& functionName, const std::string& fileName,
                               NSInteger line, const std::string& description);

 protected:
  NSAssertionHandler() = default;

 private:
  friend struct detail::InstanceAccess;
  friend struct NSAssertionHandlerMethods;
};

}  // namespace objc
