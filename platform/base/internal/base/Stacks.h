#pragma once

// The stacks the tree makes for itself, beside the switch that calls on them
// (StackSwitch.h): mappings with an inaccessible guard below, placed where
// the kernel places other mappings or just below a caller's stack where that
// is safe; the bounds of a thread's own stack; and a lock-free list of spare
// stacks. The crash engine's handler stacks, the threads' alternate stacks
// and the reactive library's deletion segments are all made here; when to
// make, keep or give back one is each user's.

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/BuildFacts.h"

// A function that may run in a signal handler on the stack the signal
// arrived on, before it moves: not instrumented by the sanitizers, and
// called directly from within the program or library it is linked into,
// never through a table the loader fills in at the first call.
#define KX_BARE_ENTRY \
  __attribute__((no_sanitize("address", "thread", "undefined"), visibility("hidden")))

namespace base {

// The system call `number` made by the caller itself, no wrapper between;
// its result, or -errno. Elsewhere than on x86-64 and AArch64, through the
// C library's syscall.
KX_BARE_ENTRY inline long rawSystemCall(long number, long a = 0, long b = 0, long c = 0, long d = 0,
                                        long e = 0, long f = 0) noexcept {
#if KX_X86_64
  long result;
  register long r10 asm("r10") = d;
  register long r8 asm("r8") = e;
  register long r9 asm("r9") = f;
  asm volatile("syscall"
               : "=a"(result)
               : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
               : "rcx", "r11", "memory");
  return result;
#elif KX_AARCH64
  register long x8 asm("x8") = number;
  register long x0 asm("x0") = a;
  register long x1 asm("x1") = b;
  register long x2 asm("x2") = c;
  register long x3 asm("x3") = d;
  register long x4 asm("x4") = e;
  register long x5 asm("x5") = f;
  asm volatile("svc #0"
               : "+r"(x0)
               : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5)
               : "memory");
  return x0;
#else
  const long result = syscall(number, a, b, c, d, e, f);
  return result == -1 ? -errno : result;
#endif
}

// How the calls here reach the kernel. Through the C library, whose wrappers
// a sanitizer follows (ThreadSanitizer forgets what it knew of memory that is
// unmapped); or with the system calls themselves, for code in a signal
// handler or a forked child, where a wrapper may take a lock or the loader's
// first binding of a call needs more stack than is left. Raw calls need
// x86-64 or AArch64; elsewhere they go through the C library's syscall.
enum class SystemCalls { library, raw };

// Placements are made in these units, a multiple of every page size.
inline constexpr std::size_t kStackGranule = 64 * 1024;

// Maps `bytes` readable and writable (no swap reserved for them): just below
// `below`, the lowest address of a caller's stack, where a walk from the new
// stack climbs on to the caller's frames, when stackMayGoJustBelow(below)
// and such a place is free (`bytes` is then a multiple of kStackGranule);
// else, or when `below` is 0, where the kernel chooses. Null when no mapping
// can be had.
KX_BARE_ENTRY char* mapStackMemory(std::size_t bytes, std::uintptr_t below,
                                   SystemCalls calls) noexcept;
// Makes the lowest `guard` bytes of `mapping` inaccessible: without that a
// stack's user that needs more than the stack runs into whatever lies below.
KX_BARE_ENTRY bool protectStackGuard(char* mapping, std::size_t guard, SystemCalls calls) noexcept;
KX_BARE_ENTRY void unmapStackMemory(char* mapping, std::size_t bytes, SystemCalls calls) noexcept;
// The two at once: a mapping of `bytes` whose lowest `guard` are
// inaccessible, or null (nothing left mapped).
KX_BARE_ENTRY char* mapGuardedStack(std::size_t bytes, std::size_t guard, std::uintptr_t below,
                                    SystemCalls calls) noexcept;

// Whether a stack may go by address just below `below`, the lowest address
// of a caller's stack: only where that stack lies among the mappings the
// kernel placed, below the dynamic loader (the first it placed) or 2 GiB
// below the main thread's top. The main thread's stack may grow (to a
// RLIMIT_STACK the program raises later) through the room the kernel keeps
// free below it, and so may the stack of a program without this library.
bool stackMayGoJustBelow(std::uintptr_t below) noexcept;

// The calling thread's own stack: its lowest address, its size and the guard
// below it; all 0 where it cannot be learnt (the main thread's without
// /proc). Ordinary code only (it allocates).
struct StackBounds {
  std::uintptr_t low = 0;
  std::size_t size = 0;
  std::size_t guard = 0;
};
StackBounds threadStackBounds() noexcept;

// A spare stack on a KeptStacks list: its record, at an address that starts
// a page (the list keeps a count in the bits such an address leaves clear),
// within the stack's mapping. `bytes` is what a request is compared with.
struct KeptStack {
  std::atomic<std::uintptr_t> next{0};
  std::size_t bytes = 0;
};

// Spare stacks for any thread, lock-free, async-signal-safe: the first kept
// with at least the bytes asked for serves a request. A stack kept by one
// thread and taken by another is handed over as ThreadSanitizer asks.
class KeptStacks {
 public:
  constexpr KeptStacks() noexcept = default;
  // Keeps `stack`; false (not kept) where its address leaves no room for
  // the count (no such address is given on these processors).
  bool keep(KeptStack* stack) noexcept;
  // A kept stack of `bytes` at least, taken off the list; null if none.
  KeptStack* take(std::size_t bytes) noexcept;
  // Forgets every kept stack (left mapped).
  void forget() noexcept { head_.store(0); }

 private:
  void put(KeptStack* first, KeptStack* last) noexcept;
  std::atomic<std::uintptr_t> head_{0};
};

}  // namespace base
