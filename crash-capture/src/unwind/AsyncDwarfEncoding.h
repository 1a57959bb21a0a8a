#pragma once

#include <cstddef>
#include <cstdint>

#include "safe/AsyncMObject.h"

namespace rocrash::async {

// Pointer encodings of exception-frame data: the low four bits give the
// value's format, bits 4 to 6 what it is relative to, bit 7 an indirection.
enum DW_EH_PE : uint8_t {
  DW_EH_PE_absptr = 0x00,
  DW_EH_PE_uleb128 = 0x01,
  DW_EH_PE_udata2 = 0x02,
  DW_EH_PE_udata4 = 0x03,
  DW_EH_PE_udata8 = 0x04,
  DW_EH_PE_sleb128 = 0x09,
  DW_EH_PE_sdata2 = 0x0A,
  DW_EH_PE_sdata4 = 0x0B,
  DW_EH_PE_sdata8 = 0x0C,

  DW_EH_PE_pcrel = 0x10,
  DW_EH_PE_textrel = 0x20,
  DW_EH_PE_datarel = 0x30,
  DW_EH_PE_funcrel = 0x40,
  DW_EH_PE_aligned = 0x50,

  DW_EH_PE_indirect = 0x80,
  DW_EH_PE_omit = 0xFF,
};

// Reads encoded pointers of one width (`machine_ptr`: uint32_t or uint64_t).
// Text-, data- and function-relative values need their base set first;
// aligned values need the frame section's base (to count alignment in
// virtual addresses). Async-signal-safe.
template <typename machine_ptr>
class gnu_ehptr_reader {
 public:
  explicit gnu_ehptr_reader(const rocrash_async_byteorder* byteorder) noexcept
      : byteorder_(byteorder) {}

  // `frame_section_addr` is the section's address as the memory object maps
  // it, `frame_section_vm_addr` its address in the image's own layout.
  void set_frame_section_base(machine_ptr frame_section_addr,
                              machine_ptr frame_section_vm_addr) noexcept {
    frame_section_ = {true, frame_section_addr, frame_section_vm_addr};
  }
  void set_text_base(machine_ptr text_base) noexcept { text_base_ = {true, text_base}; }
  void set_data_base(machine_ptr data_base) noexcept { data_base_ = {true, data_base}; }
  void set_func_base(machine_ptr func_base) noexcept { func_base_ = {true, func_base}; }

  // Reads the value encoded with `encoding` at location + offset of `mobj`;
  // `*size` is the count of bytes taken (alignment padding included).
  // ROCRASH_ERR_NOTFOUND for DW_EH_PE_omit, ROCRASH_ERR_NOTSUP for unknown
  // formats, unknown applications and bases that are not set,
  // ROCRASH_ERR_INVAL for a value outside the mapping, and the task read's
  // error when an indirect pointer cannot be read.
  rocrash_error_t read(const rocrash_async_mobject* mobj, rocrash_vm_address_t location,
                       rocrash_vm_off_t offset, DW_EH_PE encoding, machine_ptr* result,
                       size_t* size) const noexcept;

 private:
  struct Base {
    bool valid = false;
    machine_ptr value = 0;
  };
  struct FrameSectionBase {
    bool valid = false;
    machine_ptr address = 0;
    machine_ptr vm_address = 0;
  };

  const rocrash_async_byteorder* byteorder_;
  FrameSectionBase frame_section_;
  Base text_base_;
  Base data_base_;
  Base func_base_;
};

extern template class gnu_ehptr_reader<uint32_t>;
extern template class gnu_ehptr_reader<uint64_t>;

}  // namespace rocrash::async
