// A plugin the crash tests open after the reporter is enabled, built twice
// (KESTRIX_PLUGIN a and b) so that each copy has names of its own. It has no
// frame pointers: only its call-frame information walks through it. It can
// open another plugin itself and call into it, so that the other plugin's
// frames lie above its own. One more copy (KESTRIX_PLUGIN_FAULTS_WHEN_LOADED)
// faults in its constructor.
#include <dlfcn.h>
#include <stdint.h>

#define JOIN2(a, b) a##b
#define JOIN(a, b) JOIN2(a, b)
#define NAME(name) JOIN(JOIN(kx_plugin_, KESTRIX_PLUGIN), JOIN(_, name))

// 0, read at run time: the store below is not known to fault.
volatile uintptr_t NAME(low_address) = 0;
volatile int NAME(sink) = 0;

__attribute__((noinline)) void NAME(fault)(void) {
  *(volatile int*)(NAME(low_address) + 0x10) = 1;
  NAME(sink)++;
}

// Ordinary frames down to the fault; the store after each call keeps it a
// call.
__attribute__((noinline)) void NAME(descend)(int depth) {
  if (depth <= 0) {
    NAME(fault)();
  } else {
    NAME(descend)(depth - 1);
  }
  NAME(sink)++;
}

__attribute__((noinline)) int NAME(run)(int depth) {
  NAME(descend)(depth);
  return NAME(sink);
}

#ifdef KESTRIX_PLUGIN_FAULTS_WHEN_LOADED
// Run by the loader inside the dlopen that loads this copy, before any
// notice of it.
__attribute__((constructor)) void NAME(loaded)(void) {
  NAME(fault)();
  NAME(sink)++;
}
#endif

// Opens another library from here (this library is the loader's caller).
void* NAME(open)(const char* path, int flags) { return dlopen(path, flags); }

// Calls `symbol` of `handle` (an int function of a depth) from here.
__attribute__((noinline)) int NAME(call)(void* handle, const char* symbol, int depth) {
  int (*function)(int) = (int (*)(int))dlsym(handle, symbol);
  if (function == 0) return -1;
  int result = function(depth);
  NAME(sink)++;
  return result;
}

// More functions, so that the search table has entries on both sides of
// those the tests crash in.
#define FILLER(n)                                              \
  __attribute__((noinline)) int NAME(JOIN(filler, n))(int x) { \
    NAME(sink) += x * (n + 1);                                 \
    return NAME(sink);                                         \
  }
FILLER(0)
FILLER(1)
FILLER(2)
FILLER(3)
FILLER(4)
FILLER(5)
FILLER(6)
FILLER(7)
