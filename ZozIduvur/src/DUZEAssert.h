#pragma once

#include <cstdio>
#include <cstdlib>

#include "ZozIduvur/DUZELogger.h"
#include "foundation/StringFormat.h"

// A programming error: a debug build stops with the message; a release build
// logs it at assert level and carries on.
#ifndef NDEBUG
#define DUZE_ASSERT(condition, ...)                                                       \
  do {                                                                                    \
    if (!(condition)) {                                                                   \
      std::string duzeAssertText = foundation::stringWithFormat(__VA_ARGS__);             \
      std::fprintf(stderr, "Fatal error: %s (%s:%d)\n", duzeAssertText.c_str(), __FILE__, \
                   __LINE__);                                                             \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)
#else
#define DUZE_ASSERT(condition, ...)                            \
  do {                                                         \
    if (!(condition)) DUZELogAssert(kDUZELogTag, __VA_ARGS__); \
  } while (0)
#endif
