#pragma once

#include <cstddef>
#include <cstdint>

#include "AsyncDwarfEncoding.h"
#include "safe/AsyncMObject.h"

// DWARF call-frame information as an image carries it: exception-frame data
// ("__eh_frame", `.eh_frame`) or debug-frame data ("__debug_frame"). This
// header parses CIEs and FDEs and finds the FDE covering a pc; the CFA row
// and its application to a frame are in AsyncDwarfCFAState.h. Every
// operation runs at crash time, reads only through the section's memory
// object and allocates nothing. Offsets are from the section's start.

namespace rocrash::async {

// A parsed Common Information Entry.
struct rocrash_async_dwarf_cie_info {
  uint64_t cie_offset;  // of the content, after the length field
  uint64_t cie_length;  // of the content
  uint64_t cie_id;
  uint8_t cie_version;
  uint8_t address_size;  // version 4 only, else 0
  uint8_t segment_size;  // version 4 only, else 0
  uint64_t code_alignment_factor;
  int64_t data_alignment_factor;
  uint64_t return_address_register;  // a DWARF register number

  bool has_eh_augmentation;  // the augmentation string starts with "z"
  struct {
    bool has_lsda_encoding;
    uint8_t lsda_encoding;
    bool has_personality_address;
    uint64_t personality_address;
    bool has_pointer_encoding;
    uint8_t pointer_encoding;  // of the FDEs' addresses
    bool signal_frame;         // the functions of its FDEs are signal trampolines
  } eh_augmentation;

  uint64_t initial_instructions_offset;
  uint64_t initial_instructions_length;
};

// A parsed Frame Description Entry.
struct rocrash_async_dwarf_fde_info {
  uint64_t fde_offset;  // of the content, after the length field
  uint64_t fde_length;  // of the content
  uint64_t cie_offset;  // of its CIE's first byte (its length field)
  uint64_t pc_start;
  uint64_t pc_end;  // the first address not covered
  uint64_t instructions_offset;
  uint64_t instructions_length;
};

// Parses the CIE whose first byte is at `cie_address` of `mobj`, reading
// encoded pointers with `reader`. ROCRASH_ERR_INVAL for a bad id or version,
// data outside the mapping, or a length shorter than its fields;
// ROCRASH_ERR_NOTSUP for an augmentation not starting with "z" and for
// pointer encodings that cannot be read.
template <typename machine_ptr>
rocrash_error_t rocrash_async_dwarf_cie_info_init(rocrash_async_dwarf_cie_info* info,
                                                  const rocrash_async_mobject* mobj,
                                                  const rocrash_async_byteorder* byteorder,
                                                  const gnu_ehptr_reader<machine_ptr>* reader,
                                                  rocrash_vm_address_t cie_address) noexcept;

// Parses the FDE whose first byte is at `fde_address` and its CIE.
// `debug_frame` tells how the CIE pointer is read (an offset from the section
// start, or a distance back from the pointer itself). The CIE's errors are
// returned; ROCRASH_ERR_INVAL for CIE pointers outside the section, a pc
// range that wraps, or a length shorter than its fields.
template <typename machine_ptr>
rocrash_error_t rocrash_async_dwarf_fde_info_init(rocrash_async_dwarf_fde_info* info,
                                                  const rocrash_async_mobject* mobj,
                                                  const rocrash_async_byteorder* byteorder,
                                                  rocrash_vm_address_t fde_address,
                                                  bool debug_frame) noexcept;

extern template rocrash_error_t rocrash_async_dwarf_cie_info_init<uint32_t>(
    rocrash_async_dwarf_cie_info*, const rocrash_async_mobject*, const rocrash_async_byteorder*,
    const gnu_ehptr_reader<uint32_t>*, rocrash_vm_address_t) noexcept;
extern template rocrash_error_t rocrash_async_dwarf_cie_info_init<uint64_t>(
    rocrash_async_dwarf_cie_info*, const rocrash_async_mobject*, const rocrash_async_byteorder*,
    const gnu_ehptr_reader<uint64_t>*, rocrash_vm_address_t) noexcept;
extern template rocrash_error_t rocrash_async_dwarf_fde_info_init<uint32_t>(
    rocrash_async_dwarf_fde_info*, const rocrash_async_mobject*, const rocrash_async_byteorder*,
    rocrash_vm_address_t, bool) noexcept;
extern template rocrash_error_t rocrash_async_dwarf_fde_info_init<uint64_t>(
    rocrash_async_dwarf_fde_info*, const rocrash_async_mobject*, const rocrash_async_byteorder*,
    rocrash_vm_address_t, bool) noexcept;

}  // namespace rocrash::async

// Where a CIE's initial instructions and an FDE's instructions lie.
uint64_t rocrash_async_dwarf_cie_info_initial_instructions_offset(
    const rocrash::async::rocrash_async_dwarf_cie_info* info) noexcept;
uint64_t rocrash_async_dwarf_cie_info_initial_instructions_length(
    const rocrash::async::rocrash_async_dwarf_cie_info* info) noexcept;
uint64_t rocrash_async_dwarf_fde_info_instructions_offset(
    const rocrash::async::rocrash_async_dwarf_fde_info* info) noexcept;
uint64_t rocrash_async_dwarf_fde_info_instructions_length(
    const rocrash::async::rocrash_async_dwarf_fde_info* info) noexcept;

// A call-frame section and how to read it.
struct rocrash_async_dwarf_frame_reader {
  const rocrash_async_mobject* mobj;  // borrowed
  const rocrash_async_byteorder* byteorder;
  bool m64;          // the image's width: 64-bit words and pointers
  bool debug_frame;  // debug-frame rather than exception-frame data
};

rocrash_error_t rocrash_async_dwarf_frame_reader_init(rocrash_async_dwarf_frame_reader* reader,
                                                      const rocrash_async_mobject* mobj,
                                                      const rocrash_async_byteorder* byteorder,
                                                      bool m64, bool debug_frame) noexcept;

// Walks the section's entries from `offset` and parses the first FDE with
// pc_start <= pc < pc_end into `fde_info`. ROCRASH_ERR_NOTFOUND when the
// section (or a zero terminator) ends first, ROCRASH_ERR_INVAL for a start
// past the section's end or entries that wrap, and the errors of an FDE that
// cannot be parsed.
rocrash_error_t rocrash_async_dwarf_frame_reader_find_fde(
    const rocrash_async_dwarf_frame_reader* reader, rocrash_vm_off_t offset,
    rocrash_vm_address_t pc, rocrash::async::rocrash_async_dwarf_fde_info* fde_info) noexcept;

void rocrash_async_dwarf_frame_reader_free(rocrash_async_dwarf_frame_reader* reader) noexcept;
