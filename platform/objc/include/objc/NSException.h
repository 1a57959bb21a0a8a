#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "objc/NSDictionary.h"
#include "objc/NSObject.h"

namespace objc {

inline constexpr const char* NSGenericException = "NSGenericException";
inline constexpr const char* NSInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* NSInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr const char* NSRangeException = "NSRangeException";

// The runtime's exception object. Raising throws the object itself as a C++
// exception of type `Ref<NSException>` (whatever its class), so
//
//   try { ... } catch (const objc::Ref<objc::NSException>& exception) { ... }
//
// catches exactly the runtime's exceptions; it is not a std::exception.
class NSException : public NSObject {
 public:
  static Class classObject();

  static Ref<NSException> exceptionWithName(std::string name, std::string reason,
                                            Ref<NSDictionary> userInfo = nullptr);
  // Makes and raises an exception (the reason already formatted).
  [[noreturn]] static void raise(std::string name, std::string reason,
                                 Ref<NSDictionary> userInfo = nullptr);
  // Records the return addresses of the raising thread (on the first raise)
  // and throws this exception.
  [[noreturn]] void raise();

  // These send their messages, so subclasses may answer differently.
  std::string name();
  std::string reason();
  Ref<NSDictionary> userInfo();
  std::vector<uintptr_t> callStackReturnAddresses();

 protected:
  NSException() = default;

 private:
  friend struct detail::InstanceAccess;
  friend struct NSExceptionMethods;
  std::string name_;
  std::string reason_;
  Ref<NSDictionary> userInfo_;
  std::vector<uintptr_t> returnAddresses_;
};

}  // namespace objc
