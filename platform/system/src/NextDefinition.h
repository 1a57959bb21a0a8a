#pragma once

#include <dlfcn.h>

// The functions this layer defines in front of the C library's (dlopen,
// dlclose, pthread_create, pthread_sigmask, sigprocmask) hand on to the
// definition they stand in front of.
namespace sys::detail {

// The definition of `name` that ours stands in front of: a sanitizer's
// interceptor where one is linked in, else the next one in line (the C
// library's). A sanitizer runtime linked statically into the program defines
// its interceptor beside ours, where looking for the next definition in line
// would pass it by, so `interceptor` (a weak reference, null when absent) is
// asked first. Asks the dynamic loader: found while the program loads or on
// first use, never in a signal handler.
template <typename Function>
Function next_definition(Function interceptor, const char* name) noexcept {
  return interceptor != nullptr ? interceptor : reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace sys::detail
