#pragma once

#include "ZozIduvur/DUZELogger.h"
#include "base/FatalError.h"
#include "foundation/StringFormat.h"

// A programming error: a debug build stops with the message; a release build
// logs it at assert level and carries on.
#ifndef NDEBUG
#define DUZE_ASSERT(condition, ...)                                                    \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      base::fatalError(foundation::stringWithFormat(__VA_ARGS__), __FILE__, __LINE__); \
    }                                                                                  \
  } while (0)
#else
#define DUZE_ASSERT(condition, ...)                            \
  do {                                                         \
    if (!(condition)) DUZELogAssert(kDUZELogTag, __VA_ARGS__); \
  } while (0)
#endif
