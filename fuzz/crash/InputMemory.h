#pragma once

// Where the crash-time readers' fuzz targets lay their input. The input is
// copied to a fixed address (below 2^32, so 32-bit images and the arm64
// state's 36-bit addresses can point into it) in the middle of a large
// inaccessible reservation: whatever a reader reaches from the input is the
// input itself or memory it cannot read, and an input holding absolute
// addresses means the same in every run. Memory objects work in copy mode,
// as for a foreign task, so a reader that wanders into the sanitizer's own
// shadow or poisoned heap reads a copy instead of tripping the sanitizer.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "safe/AsyncMObject.h"

namespace fuzzing {

inline constexpr uint64_t kReservationStart = 0x20000000;
inline constexpr uint64_t kReservationSize = 0x40000000;
// The input's first byte.
inline constexpr uint64_t kInputAddress = 0x40000000;
// A readable scratch stack, away from the input, for the unwinders' reads.
inline constexpr uint64_t kStackAddress = 0x30000000;
inline constexpr uint64_t kStackSize = 0x10000;

class InputMemory {
 public:
  static InputMemory& shared() {
    static InputMemory memory;
    return memory;
  }

  // Copies `size` bytes to kInputAddress; the pages that hold them become
  // readable (the tail of the last one zero), every other page of the
  // reservation stays inaccessible. Returns kInputAddress.
  uint64_t lay(const uint8_t* data, size_t size) {
    auto* base = reinterpret_cast<uint8_t*>(kInputAddress);
    size_t pages = roundUp(size);
    if (pages > laid_) mprotect(base + laid_, pages - laid_, PROT_READ | PROT_WRITE);
    if (laid_ > pages) mprotect(base + pages, laid_ - pages, PROT_NONE);
    if (pages != 0) {
      mprotect(base, pages, PROT_READ | PROT_WRITE);
      memcpy(base, data, size);
      memset(base + size, 0, pages - size);
      mprotect(base, pages, PROT_READ);
    }
    laid_ = pages;
    return kInputAddress;
  }

 private:
  InputMemory() {
    void* at = mmap(reinterpret_cast<void*>(kReservationStart), kReservationSize, PROT_NONE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
    if (at != reinterpret_cast<void*>(kReservationStart)) {
      fprintf(stderr, "cannot reserve the input area at %#llx\n",
              static_cast<unsigned long long>(kReservationStart));
      abort();
    }
    // The stack: words that point back into it, so frame chains can be
    // followed a few steps.
    auto* stack = reinterpret_cast<uint64_t*>(kStackAddress);
    mprotect(stack, kStackSize, PROT_READ | PROT_WRITE);
    for (size_t i = 0; i < kStackSize / 8; ++i) {
      stack[i] = (i % 2 == 0) ? kStackAddress + ((i * 8 + 0x40) % kStackSize) : kInputAddress + i;
    }
    mprotect(stack, kStackSize, PROT_READ);
    rocrash_async_mobject_set_copy_mode_for_testing(true);
  }

  static size_t roundUp(size_t size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
  }

  size_t laid_ = 0;
};

// Little-endian fields of an input's prefix.
inline uint64_t takeLE(const uint8_t*& data, size_t& size, size_t bytes) {
  uint64_t v = 0;
  for (size_t i = 0; i < bytes && size > 0; ++i, ++data, --size) v |= uint64_t{*data} << (8 * i);
  return v;
}

}  // namespace fuzzing
