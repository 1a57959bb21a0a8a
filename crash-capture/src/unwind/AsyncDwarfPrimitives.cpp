#include "AsyncDwarfPrimitives.h"

namespace {

// Decodes a LEB128 number from bytes handed out by `next` (false: no byte
// left). Bits past the 64th are dropped; a number that still goes on after
// its 64th bit is refused.
template <class NextByte>
rocrash_error_t decodeLeb128(NextByte next, bool isSigned, uint64_t* result,
                             rocrash_vm_size_t* size) {
  uint64_t value = 0;
  unsigned shift = 0;
  rocrash_vm_size_t count = 0;
  uint8_t byte;
  for (;;) {
    if (!next(count, &byte)) return ROCRASH_ERR_INVAL;
    ++count;
    if (shift < 64) value |= static_cast<uint64_t>(byte & 0x7F) << shift;
    shift += 7;
    if ((byte & 0x80) == 0) break;
    if (shift >= 64) return ROCRASH_ERR_NOTSUP;
  }
  if (isSigned && shift < 64 && (byte & 0x40) != 0) value |= ~0ULL << shift;
  *result = value;
  *size = count;
  return ROCRASH_ERR_NONE;
}

rocrash_error_t readLeb128(const rocrash_async_mobject* mobj, rocrash_vm_address_t location,
                           rocrash_vm_off_t offset, bool isSigned, uint64_t* result,
                           rocrash_vm_size_t* size) {
  rocrash_vm_address_t start;
  if (!rocrash_async_address_apply_offset(location, offset, &start)) return ROCRASH_ERR_INVAL;
  auto next = [&](rocrash_vm_size_t index, uint8_t* byte) {
    return rocrash_async_mobject_read_uint8(mobj, start, static_cast<int64_t>(index), byte) ==
           ROCRASH_ERR_NONE;
  };
  return decodeLeb128(next, isSigned, result, size);
}

rocrash_error_t readTaskLeb128(sys::task_t task, rocrash_vm_address_t location,
                               rocrash_vm_off_t offset, bool isSigned, uint64_t* result,
                               rocrash_vm_size_t* size) {
  rocrash_vm_address_t start;
  if (!rocrash_async_address_apply_offset(location, offset, &start)) return ROCRASH_ERR_INVAL;
  rocrash_async_mobject mobj;
  rocrash_error_t err = rocrash_async_mobject_init(&mobj, task, start, sys::vm_page_size(), false);
  if (err != ROCRASH_ERR_NONE) return err;
  err = readLeb128(&mobj, start, 0, isSigned, result, size);
  rocrash_async_mobject_free(&mobj);
  return err;
}

}  // namespace

rocrash_error_t rocrash_async_dwarf_read_uleb128(const rocrash_async_mobject* mobj,
                                                 rocrash_vm_address_t location,
                                                 rocrash_vm_off_t offset, uint64_t* result,
                                                 rocrash_vm_size_t* size) noexcept {
  return readLeb128(mobj, location, offset, false, result, size);
}

rocrash_error_t rocrash_async_dwarf_read_sleb128(const rocrash_async_mobject* mobj,
                                                 rocrash_vm_address_t location,
                                                 rocrash_vm_off_t offset, int64_t* result,
                                                 rocrash_vm_size_t* size) noexcept {
  uint64_t value;
  rocrash_error_t err = readLeb128(mobj, location, offset, true, &value, size);
  if (err == ROCRASH_ERR_NONE) *result = static_cast<int64_t>(value);
  return err;
}

rocrash_error_t rocrash_async_dwarf_read_task_uleb128(sys::task_t task,
                                                      rocrash_vm_address_t location,
                                                      rocrash_vm_off_t offset, uint64_t* result,
                                                      rocrash_vm_size_t* size) noexcept {
  return readTaskLeb128(task, location, offset, false, result, size);
}

rocrash_error_t rocrash_async_dwarf_read_task_sleb128(sys::task_t task,
                                                      rocrash_vm_address_t location,
                                                      rocrash_vm_off_t offset, int64_t* result,
                                                      rocrash_vm_size_t* size) noexcept {
  uint64_t value;
  rocrash_error_t err = readTaskLeb128(task, location, offset, true, &value, size);
  if (err == ROCRASH_ERR_NONE) *result = static_cast<int64_t>(value);
  return err;
}

rocrash_error_t rocrash_async_dwarf_read_uintmax(const rocrash_async_mobject* mobj,
                                                 const rocrash_async_byteorder* byteorder,
                                                 rocrash_vm_address_t base_addr,
                                                 rocrash_vm_off_t offset, uint8_t data_size,
                                                 uint64_t* dest) noexcept {
  rocrash_error_t err;
  switch (data_size) {
    case 1: {
      uint8_t v;
      err = rocrash_async_mobject_read_uint8(mobj, base_addr, offset, &v);
      *dest = v;
      return err;
    }
    case 2: {
      uint16_t v;
      err = rocrash_async_mobject_read_uint16(mobj, byteorder, base_addr, offset, &v);
      *dest = v;
      return err;
    }
    case 4: {
      uint32_t v;
      err = rocrash_async_mobject_read_uint32(mobj, byteorder, base_addr, offset, &v);
      *dest = v;
      return err;
    }
    case 8:
      return rocrash_async_mobject_read_uint64(mobj, byteorder, base_addr, offset, dest);
    default:
      return ROCRASH_ERR_INVAL;
  }
}

namespace rocrash::async {

rocrash_error_t dwarf_opstream::init(const rocrash_async_mobject* mobj,
                                     const rocrash_async_byteorder* byteorder,
                                     rocrash_vm_address_t address, rocrash_vm_off_t offset,
                                     rocrash_vm_off_t length) noexcept {
  if (length < 0) return ROCRASH_ERR_INVAL;
  rocrash_vm_address_t start;
  rocrash_vm_address_t end;
  if (!rocrash_async_address_apply_offset(address, offset, &start) ||
      !rocrash_async_address_apply_offset(start, length, &end)) {
    return ROCRASH_ERR_INVAL;
  }
  void* local = rocrash_async_mobject_remap_address(mobj, start, 0, end - start);
  if (local == nullptr) return ROCRASH_ERR_INVAL;
  byteorder_ = byteorder;
  taskStart_ = start;
  start_ = reinterpret_cast<uintptr_t>(local);
  end_ = start_ + (end - start);
  position_ = start_;
  return ROCRASH_ERR_NONE;
}

void dwarf_opstream::copyOut(void* destination, size_t n) noexcept {
  rocrash_async_memcpy(destination, reinterpret_cast<const void*>(position_), n);
  position_ += n;
}

rocrash_error_t dwarf_opstream::read_uleb128(uint64_t* result) noexcept {
  auto next = [this](rocrash_vm_size_t index, uint8_t* byte) {
    if (index >= remaining()) return false;
    *byte = *reinterpret_cast<const uint8_t*>(position_ + index);
    return true;
  };
  rocrash_vm_size_t size;
  rocrash_error_t err = decodeLeb128(next, false, result, &size);
  if (err == ROCRASH_ERR_NONE) position_ += size;
  return err;
}

rocrash_error_t dwarf_opstream::read_sleb128(int64_t* result) noexcept {
  auto next = [this](rocrash_vm_size_t index, uint8_t* byte) {
    if (index >= remaining()) return false;
    *byte = *reinterpret_cast<const uint8_t*>(position_ + index);
    return true;
  };
  rocrash_vm_size_t size;
  uint64_t value;
  rocrash_error_t err = decodeLeb128(next, true, &value, &size);
  if (err == ROCRASH_ERR_NONE) {
    position_ += size;
    *result = static_cast<int64_t>(value);
  }
  return err;
}

bool dwarf_opstream::skip(rocrash_vm_off_t offset) noexcept {
  if (offset >= 0) {
    if (static_cast<uint64_t>(offset) > end_ - position_) return false;
  } else {
    if (0 - static_cast<uint64_t>(offset) > position_ - start_) return false;
  }
  position_ += static_cast<uintptr_t>(offset);
  return true;
}

}  // namespace rocrash::async
