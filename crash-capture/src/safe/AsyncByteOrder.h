#pragma once

#include <cstdint>

// How multi-byte values of foreign data (Mach-O headers, symbol tables, unwind
// tables) become host values. Exactly two immutable instances exist.
struct rocrash_async_byteorder {
  uint16_t (*swap16)(uint16_t);
  uint32_t (*swap32)(uint32_t);
  uint64_t (*swap64)(uint64_t);
};

// Returns each value unchanged.
const rocrash_async_byteorder* rocrash_async_byteorder_direct() noexcept;
// Reverses the byte order of each value.
const rocrash_async_byteorder* rocrash_async_byteorder_swapped() noexcept;

// `value` through `byteorder`, at the width of its type.
template <class T>
T rocrash_async_swap(const rocrash_async_byteorder* byteorder, T value) noexcept {
  static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8, "2, 4 or 8 bytes");
  if constexpr (sizeof(T) == 2) {
    return byteorder->swap16(value);
  } else if constexpr (sizeof(T) == 4) {
    return byteorder->swap32(value);
  } else {
    return byteorder->swap64(value);
  }
}
