#pragma once

#include "base/FatalError.h"

// Programming errors of the engine's C layer stop the process, whatever the
// build type, through the tree's one stop: "Fatal error: Assertion failed:
// (<expression>): file <file>, line <n>" on standard error, then abort. The
// message is a literal and the stop writes with write(2) only, so an assertion
// on a crash path stays async-signal-safe.
#define ROCRASH_ASSERT(expression)                                              \
  do {                                                                          \
    if (!(expression)) base::fatalError("Assertion failed: (" #expression ")"); \
  } while (0)
