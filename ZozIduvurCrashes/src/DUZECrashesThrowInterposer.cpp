// The program's own throw entry point. The runtime's declaration must come
// before any throw expression of this file, so it is included first and
// nothing else that throws is.
#include <cxxabi.h>
#include <execinfo.h>

#include "DUZECrashesThrowRecording.h"
#include "base/FatalError.h"
#include "base/Sanitizers.h"

namespace duzecrashes {
void linkThrowInterposer() {}
}  // namespace duzecrashes

namespace __cxxabiv1 {

// Every throw compiled into the program enters here first.
extern "C" void __cxa_throw(void* thrownObject, std::type_info* type, void (*destructor)(void*)) {
  const duzecrashes::NextCxaThrow next = duzecrashes::resolveNextCxaThrow();
  if (duzecrashes::shouldRecordThrow(type)) {
    // Captured here, so that the first address is this function's own.
    void* frames[128];
    const int count = backtrace(frames, 128);
    duzecrashes::recordThrow(thrownObject, frames, count);
  }
#if KX_ASAN
  // The sanitizer's own entry point is passed over when its runtime is
  // linked into the program; the stack it would unpoison is unpoisoned here.
  __asan_handle_no_return();
#endif
  // Without the runtime's own there is nothing to throw with: the stop ends
  // the process by SIGABRT on this thread, as an uncaught exception would.
  if (next == nullptr) base::fatalError("no C++ runtime throw entry point after the program's own");
  next(thrownObject, type, destructor);
  __builtin_unreachable();
}

}  // namespace __cxxabiv1
