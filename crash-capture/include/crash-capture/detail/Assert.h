#pragma once

#include <cstdio>
#include <cstdlib>

// Programming errors of the engine's C layer stop the process, whatever the
// build type: "Assertion failed: (<expression>), function <f>, file <file>,
// line <n>." on standard error, then abort.
#define ROCRASH_ASSERT(expression)                                                     \
  do {                                                                                 \
    if (!(expression)) {                                                               \
      std::fprintf(stderr, "Assertion failed: (%s), function %s, file %s, line %d.\n", \
                   #expression, __func__, __FILE__, __LINE__);                         \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)
