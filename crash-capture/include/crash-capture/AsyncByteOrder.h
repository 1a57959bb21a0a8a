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
