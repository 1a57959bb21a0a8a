// The crash child's backtrace situations: the kinds of frames a debugger
// names one way and a careless walker another. Built optimised, as programs
// ship, once with frame pointers and once without (CRASH_CHILD_FRAMES_VARIANT
// is fp or nofp and is part of every name here), without the sanitizers.
#include "CrashChildFrames.h"

#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <stdexcept>

#define CRASH_CHILD_JOIN3(a, b, c) a##b##c
#define CRASH_CHILD_NAME3(a, b, c) CRASH_CHILD_JOIN3(a, b, c)
// kx_<variant>_<name>
#define FRAME(name) CRASH_CHILD_NAME3(kx_, CRASH_CHILD_FRAMES_VARIANT, _##name)
#define ENTRY CRASH_CHILD_NAME3(crash_child_frames_, CRASH_CHILD_FRAMES_VARIANT, )

namespace {

// 0, read at run time: the stores below are not known to fault.
volatile uintptr_t gLowAddress = 0;
// Null, read at run time: the call through it is not known to be one.
void (*volatile gNullFunction)() = nullptr;

ucontext_t gMainContext;
ucontext_t gFaultContext;

}  // namespace

extern "C" {

// A function that ends in a call that never returns: its return address is
// past its last byte, where the next function (or padding) begins.
[[noreturn]] __attribute__((noinline)) void FRAME(fault_noreturn)() {
  *reinterpret_cast<volatile int*>(gLowAddress + 0x10) = 1;
  __builtin_unreachable();
}

__attribute__((noinline)) void FRAME(ends_in_noreturn)(int value) {
  if (value == 7) *reinterpret_cast<volatile int*>(gLowAddress + 0x14) = value;
  FRAME(fault_noreturn)();
}

__attribute__((noinline)) void FRAME(after_noreturn)() { asm volatile("" ::: "memory"); }

__attribute__((noinline)) void FRAME(noreturn_scenario)() {
  FRAME(ends_in_noreturn)(1);
  asm volatile("" ::: "memory");
}

// An exception nobody catches: std::terminate and abort, called from
// __cxa_throw, itself the last call of the throwing function.
__attribute__((noinline)) void FRAME(throws)() { throw std::runtime_error("uncaught"); }

__attribute__((noinline)) void FRAME(terminate_scenario)() {
  FRAME(throws)();
  asm volatile("" ::: "memory");
}

// A fault in an exit handler: exit's own last call never returns either.
__attribute__((noinline)) void FRAME(atexit_handler)() {
  *reinterpret_cast<volatile int*>(gLowAddress + 0x18) = 1;
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void FRAME(exit_scenario)() {
  atexit(FRAME(atexit_handler));
  exit(0);
}

// Calls to where no image is: the fault is at the callee's first
// instruction, before it has a frame of its own.
__attribute__((noinline)) void FRAME(calls_null)() {
  gNullFunction();
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void FRAME(calls_heap)() {
  // Returns at once, were the heap executable.
  void* code = malloc(64);
  memset(code, 0xC3, 64);
  reinterpret_cast<void (*)()>(code)();
  asm volatile("" ::: "memory");
  free(code);
}

// A fault in a context of its own: its stack is a mapping apart, and its
// first frame returns to the C library's context start.
__attribute__((noinline)) void FRAME(context_fault)() {
  *reinterpret_cast<volatile int*>(gLowAddress + 0x1C) = 1;
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void FRAME(context_entry)() {
  FRAME(context_fault)();
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void FRAME(context_scenario)() {
  constexpr size_t kSize = 256 * 1024;
  void* stack =
      mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED || getcontext(&gFaultContext) != 0) return;
  gFaultContext.uc_stack.ss_sp = stack;
  gFaultContext.uc_stack.ss_size = kSize;
  gFaultContext.uc_link = &gMainContext;
  makecontext(&gFaultContext, FRAME(context_entry), 0);
  swapcontext(&gMainContext, &gFaultContext);
  asm volatile("" ::: "memory");
}

// abort from a nested call, and a fault in a handler the program installed,
// reached by raise: the C library names that function twice.
__attribute__((noinline)) void FRAME(aborts)() { abort(); }

__attribute__((noinline)) void FRAME(abort_scenario)() {
  FRAME(aborts)();
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void FRAME(handler_faults)(int) {
  *reinterpret_cast<volatile int*>(gLowAddress + 0x20) = 1;
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void FRAME(raises)() {
  raise(SIGUSR1);
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void FRAME(handler_scenario)() {
  signal(SIGUSR1, FRAME(handler_faults));
  FRAME(raises)();
  asm volatile("" ::: "memory");
}

// A fault in a library's constructor, which the loader runs inside the
// dlopen that loads it, before any notice lists the library.
__attribute__((noinline)) void FRAME(constructor_scenario)() {
  void* volatile handle = dlopen(ROCRASH_PLUGIN_C, RTLD_NOW);
  (void)handle;
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) int ENTRY(const char* kind) {
  if (strcmp(kind, "noreturn") == 0) {
    FRAME(noreturn_scenario)();
  } else if (strcmp(kind, "terminate") == 0) {
    FRAME(terminate_scenario)();
  } else if (strcmp(kind, "exit") == 0) {
    FRAME(exit_scenario)();
  } else if (strcmp(kind, "null") == 0) {
    FRAME(calls_null)();
  } else if (strcmp(kind, "heap") == 0) {
    FRAME(calls_heap)();
  } else if (strcmp(kind, "context") == 0) {
    FRAME(context_scenario)();
  } else if (strcmp(kind, "abort") == 0) {
    FRAME(abort_scenario)();
  } else if (strcmp(kind, "handler") == 0) {
    FRAME(handler_scenario)();
  } else if (strcmp(kind, "constructor") == 0) {
    FRAME(constructor_scenario)();
  } else {
    return 2;
  }
  asm volatile("" ::: "memory");
  return 1;
}

}  // extern "C"
