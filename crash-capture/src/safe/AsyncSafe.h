#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "AsyncByteOrder.h"
#include "AsyncError.h"
#include "system/Task.h"

// Async-signal-safe building blocks of crash-time code: no heap, no locks,
// no thread-local state but the pointer to a crash write's read cache
// (AsyncReadCache.h), which the task reads below consult. Foreign memory is
// only ever read through those reads, which report a bad address instead of
// faulting.

using rocrash_vm_address_t = uint64_t;
using rocrash_vm_off_t = int64_t;
using rocrash_vm_size_t = uint64_t;

// Adds a signed offset to an address. False, leaving `*out` alone, when a
// positive offset wraps past the top of the address space or a negative one
// reaches below zero; else stores the sum (when `out` is given) and is true.
bool rocrash_async_address_apply_offset(rocrash_vm_address_t base, rocrash_vm_off_t offset,
                                        rocrash_vm_address_t* out) noexcept;

// The calling thread's name, good for comparison only.
sys::thread_t rocrash_async_mach_thread_self() noexcept;

// The engine's error for what a kernel read of task memory answered:
// ROCRASH_ERR_NOTFOUND for an unmapped page, ROCRASH_ERR_ACCESS for a
// protected one, ROCRASH_ERR_UNKNOWN for any other failure.
inline rocrash_error_t rocrash_async_task_read_error(sys::kern_return_t kr) noexcept {
  switch (kr) {
    case sys::KERN_SUCCESS:
      return ROCRASH_ERR_NONE;
    case sys::KERN_INVALID_ADDRESS:
      return ROCRASH_ERR_NOTFOUND;
    case sys::KERN_PROTECTION_FAILURE:
      return ROCRASH_ERR_ACCESS;
    default:
      return ROCRASH_ERR_UNKNOWN;
  }
}

// Copies `length` bytes at address + offset of `task` into `destination`.
// ROCRASH_ERR_NOMEM when address + offset wraps (no kernel call is made);
// ROCRASH_ERR_NOTFOUND for an unmapped page, ROCRASH_ERR_ACCESS for a
// protected one, ROCRASH_ERR_UNKNOWN otherwise. On failure the destination
// is undefined.
rocrash_error_t rocrash_async_task_read(sys::task_t task, rocrash_vm_address_t address,
                                        rocrash_vm_off_t offset, void* destination,
                                        rocrash_vm_size_t length) noexcept;

// Reads of 1, 2, 4 and 8 bytes; the wider ones go through `byteorder`. The
// result is written even on failure; use it only on success.
rocrash_error_t rocrash_async_task_read_uint8(sys::task_t task, rocrash_vm_address_t address,
                                              rocrash_vm_off_t offset, uint8_t* result) noexcept;
rocrash_error_t rocrash_async_task_read_uint16(sys::task_t task,
                                               const rocrash_async_byteorder* byteorder,
                                               rocrash_vm_address_t address,
                                               rocrash_vm_off_t offset, uint16_t* result) noexcept;
rocrash_error_t rocrash_async_task_read_uint32(sys::task_t task,
                                               const rocrash_async_byteorder* byteorder,
                                               rocrash_vm_address_t address,
                                               rocrash_vm_off_t offset, uint32_t* result) noexcept;
rocrash_error_t rocrash_async_task_read_uint64(sys::task_t task,
                                               const rocrash_async_byteorder* byteorder,
                                               rocrash_vm_address_t address,
                                               rocrash_vm_off_t offset, uint64_t* result) noexcept;

// Byte-wise compare up to the first difference or the end of `a`: the
// difference of the first unequal bytes as unsigned values, else 0.
int rocrash_async_strcmp(const char* a, const char* b) noexcept;
// The same over at most `n` bytes.
int rocrash_async_strncmp(const char* a, const char* b, size_t n) noexcept;
// Copy and fill without a library call; n = 0 does nothing. Overlapping
// ranges are copied byte by byte from the first byte on.
void* rocrash_async_memcpy(void* destination, const void* source, size_t n) noexcept;
void* rocrash_async_memset(void* destination, uint8_t value, size_t n) noexcept;

// Writes all `length` bytes to `fd`, repeating on EINTR. The count written,
// or -1 on any other failure (bytes already written stay written). Length 0
// returns 0 without a call.
ssize_t rocrash_async_writen(int fd, const void* data, size_t length) noexcept;
