#pragma once

#include <cstddef>
#include <cstdint>

#include "safe/AsyncMObject.h"

// Reading the building blocks of DWARF data at crash time: variable-length
// (LEB128) numbers, fixed-size values of any width, and a bounded forward
// stream over one block of a memory object. Async-signal-safe; nothing is
// allocated.

// A ULEB128 or SLEB128 number at address + offset of `mobj`: the value and the
// count of bytes it took. ROCRASH_ERR_INVAL when a byte lies outside the
// mapping, ROCRASH_ERR_NOTSUP when the number goes on past 64 bits of value.
// The signed form sign-extends from bit 6 of its last byte.
rocrash_error_t rocrash_async_dwarf_read_uleb128(const rocrash_async_mobject* mobj,
                                                 rocrash_vm_address_t location,
                                                 rocrash_vm_off_t offset, uint64_t* result,
                                                 rocrash_vm_size_t* size) noexcept;
rocrash_error_t rocrash_async_dwarf_read_sleb128(const rocrash_async_mobject* mobj,
                                                 rocrash_vm_address_t location,
                                                 rocrash_vm_off_t offset, int64_t* result,
                                                 rocrash_vm_size_t* size) noexcept;

// The same on task memory: the readable part of one page from address +
// offset is mapped for the read. ROCRASH_ERR_NOMEM when nothing there is
// readable.
rocrash_error_t rocrash_async_dwarf_read_task_uleb128(sys::task_t task,
                                                      rocrash_vm_address_t location,
                                                      rocrash_vm_off_t offset, uint64_t* result,
                                                      rocrash_vm_size_t* size) noexcept;
rocrash_error_t rocrash_async_dwarf_read_task_sleb128(sys::task_t task,
                                                      rocrash_vm_address_t location,
                                                      rocrash_vm_off_t offset, int64_t* result,
                                                      rocrash_vm_size_t* size) noexcept;

// An unsigned value of 1, 2, 4 or 8 bytes through `byteorder`, widened.
// ROCRASH_ERR_INVAL for any other size or a value outside the mapping.
rocrash_error_t rocrash_async_dwarf_read_uintmax(const rocrash_async_mobject* mobj,
                                                 const rocrash_async_byteorder* byteorder,
                                                 rocrash_vm_address_t base_addr,
                                                 rocrash_vm_off_t offset, uint8_t data_size,
                                                 uint64_t* dest) noexcept;

namespace rocrash::async {

// A forward reader over the block [address + offset, + length) of a memory
// object. Every read stays inside the block; a read that would leave it
// fails without moving the position.
class dwarf_opstream {
 public:
  dwarf_opstream() noexcept = default;

  // ROCRASH_ERR_INVAL when the block's start or end wraps, the length is
  // negative, or the block is not wholly inside the mapping.
  rocrash_error_t init(const rocrash_async_mobject* mobj, const rocrash_async_byteorder* byteorder,
                       rocrash_vm_address_t address, rocrash_vm_off_t offset,
                       rocrash_vm_off_t length) noexcept;

  // Reads a value of type T (1, 2, 4 or 8 bytes) through the byte order.
  template <typename T>
  bool read_intU(T* result) noexcept {
    if (remaining() < sizeof(T)) return false;
    T value;
    copyOut(&value, sizeof(T));
    *result = swap(value);
    return true;
  }
  // ROCRASH_ERR_INVAL past the end, ROCRASH_ERR_NOTSUP past 64 bits.
  rocrash_error_t read_uleb128(uint64_t* result) noexcept;
  rocrash_error_t read_sleb128(int64_t* result) noexcept;

  // Moves the position by `offset` (either way); false, not moving, when the
  // new position would lie outside [start, end].
  bool skip(rocrash_vm_off_t offset) noexcept;

  // The position, the start and the end as task addresses.
  rocrash_vm_address_t get_position() const noexcept { return taskStart_ + (position_ - start_); }
  rocrash_vm_address_t get_start() const noexcept { return taskStart_; }
  rocrash_vm_address_t get_end() const noexcept { return taskStart_ + (end_ - start_); }
  // The local pointer of the position (inside the memory object's window).
  const void* get_local_position() const noexcept {
    return reinterpret_cast<const void*>(position_);
  }
  bool at_end() const noexcept { return position_ >= end_; }
  size_t remaining() const noexcept { return end_ - position_; }

 private:
  void copyOut(void* destination, size_t n) noexcept;
  uint8_t swap(uint8_t v) const noexcept { return v; }
  uint16_t swap(uint16_t v) const noexcept { return byteorder_->swap16(v); }
  uint32_t swap(uint32_t v) const noexcept { return byteorder_->swap32(v); }
  uint64_t swap(uint64_t v) const noexcept { return byteorder_->swap64(v); }

  const rocrash_async_byteorder* byteorder_ = nullptr;
  rocrash_vm_address_t taskStart_ = 0;
  uintptr_t start_ = 0;  // local addresses
  uintptr_t end_ = 0;
  uintptr_t position_ = 0;
};

}  // namespace rocrash::async
