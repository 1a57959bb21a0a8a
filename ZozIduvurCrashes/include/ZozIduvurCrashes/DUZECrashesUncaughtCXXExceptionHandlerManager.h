#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "objc/NSException.h"

// What the terminate handler knows about an uncaught C++ exception. Built on
// the terminate handler's stack; every pointer stays valid while the
// handlers run (the exception is kept alive meanwhile).
struct CXXExceptionInfo {
  // The current exception (a pointer to the terminate handler's
  // `std::exception_ptr`).
  const void* thrownObject = nullptr;
  // The mangled type name.
  const char* typeName = nullptr;
  // The exception's text, or null when its type has none.
  const char* message = nullptr;
  uint32_t frameCount = 0;
  // The throw site's return addresses, innermost first (`frameCount` of
  // them); the terminate handler's own stack when the thread never threw
  // through the program's throw entry point.
  const uint64_t* frames = nullptr;
};

// Called with the uncaught exception, on the terminating thread, while the
// handler list is locked: a handler must not add or remove handlers.
using CXXExceptionHandler = void (*)(const CXXExceptionInfo* info);

// The handlers that hear about uncaught C++ exceptions. The terminate handler
// is installed with the first handler and the previous one put back when the
// last handler is removed (unless a third party replaced it meanwhile). While
// installed, every throw compiled into the program records the throwing
// thread's return addresses, so the handlers see the throw site's stack.
// Thread-safe.
class DUZECrashesUncaughtCXXExceptionHandlerManager {
 public:
  // Appends the handler (duplicates are kept and called twice).
  static void addCXXExceptionHandler(CXXExceptionHandler handler);
  // Removes the first entry equal to the handler, if any.
  static void removeCXXExceptionHandler(CXXExceptionHandler handler);
  static size_t countCXXExceptionHandler();
  // Whether the terminate handler is installed (tests).
  static bool isTerminateHandlerInstalled();
};

// The terminate handler installed by the manager.
void cxx_terminate_handler();

// The crash service's handler: hands the exception to the crash engine's
// uncaught-exception handler as a runtime exception (so the report shows the
// C++ type, its text and the throw site's stack), then aborts.
[[noreturn]] void uncaught_cxx_exception_handler(const CXXExceptionInfo* info);

// A runtime exception that stands for an uncaught C++ exception: its name is
// the demangled type name (the raw name when it does not demangle, empty
// without one), its reason the exception's text (empty without one), no user
// information, and its call stack the throw site's return addresses.
class DUZECrashesCXXExceptionWrapperException : public objc::NSException {
 public:
  static objc::Class classObject();

  // Keeps `info`, which must outlive the exception object.
  static objc::Ref<DUZECrashesCXXExceptionWrapperException> initWithCXXExceptionInfo(
      const CXXExceptionInfo* info);

  const CXXExceptionInfo* info() const { return info_; }

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct DUZECrashesCXXExceptionWrapperExceptionMethods;
  DUZECrashesCXXExceptionWrapperException() = default;

  const CXXExceptionInfo* info_ = nullptr;
  std::string wrappedName_;
  std::string wrappedReason_;
};
