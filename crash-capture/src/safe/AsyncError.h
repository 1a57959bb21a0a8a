#pragma once

#include <cstdint>

// The result of every crash-time operation of the engine.
// (Left unformatted: clang-format 14 breaks an attribute before an underlying type.)
// clang-format off
enum [[nodiscard]] rocrash_error_t : uint32_t {
  ROCRASH_ERR_NONE = 0,
  ROCRASH_ERR_UNKNOWN = 1,
  ROCRASH_ERR_OUTPUT = 2,
  ROCRASH_ERR_NOMEM = 3,
  ROCRASH_ERR_NOTSUP = 4,
  ROCRASH_ERR_INVAL = 5,
  ROCRASH_ERR_INTERNAL = 6,
  ROCRASH_ERR_ACCESS = 7,
  ROCRASH_ERR_NOTFOUND = 8,
  ROCRASH_ERR_INVALID_DATA = 9,
};
// clang-format on

// The fixed, static message of `error`; any value past the table gives
// "Unhandled error code". Async-signal-safe.
const char* rocrash_async_strerror(rocrash_error_t error) noexcept;
