// Built without frame pointers: only their call-frame information leads a
// walk through these functions.
#include "DwarfWalkFunctions.h"

#include <signal.h>

namespace rocrash::testing {

__attribute__((noinline)) void walk_leaf(WalkProbe probe, void* context) {
  probe(context);
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void walk_middle(WalkProbe probe, void* context) {
  // A frame of its own, so that the caller's return address is not at the
  // stack pointer.
  volatile char buffer[40];
  buffer[0] = 1;
  walk_leaf(probe, context);
  asm volatile("" ::: "memory");
  buffer[1] = buffer[0];
}

__attribute__((noinline)) void walk_outer(WalkProbe probe, void* context) {
  walk_middle(probe, context);
  asm volatile("" ::: "memory");
}

namespace {
struct Cleanup {
  ~Cleanup();
};
__attribute__((noinline)) Cleanup::~Cleanup() { asm volatile("" ::: "memory"); }
}  // namespace

__attribute__((noinline)) void walk_args(int depth, WalkProbe probe, void* context, long a, long b,
                                         long c, long d, long e, long f) {
  Cleanup cleanup;
  if (depth == 0) {
    probe(context);
  } else {
    walk_args(depth - 1, probe, context, a + 1, b, c, d, e, f + 1);
  }
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void walk_raise(int signal) {
  raise(signal);
  asm volatile("" ::: "memory");
}

}  // namespace rocrash::testing
