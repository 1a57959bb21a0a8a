#include "AsyncDwarfCFA.h"

#include <stdlib.h>

#include "AsyncDwarfEntries.h"
#include "AsyncDwarfPrimitives.h"

namespace rocrash::async {

// --- encoded pointers --------------------------------------------------------

template <typename machine_ptr>
rocrash_error_t gnu_ehptr_reader<machine_ptr>::read(const rocrash_async_mobject* mobj,
                                                    rocrash_vm_address_t location,
                                                    rocrash_vm_off_t offset, DW_EH_PE encoding,
                                                    machine_ptr* result,
                                                    size_t* size) const noexcept {
  if (encoding == DW_EH_PE_omit) return ROCRASH_ERR_NOTFOUND;
  rocrash_vm_address_t position;
  if (!rocrash_async_address_apply_offset(location, offset, &position)) return ROCRASH_ERR_INVAL;

  machine_ptr base = 0;
  size_t padding = 0;
  switch (encoding & 0x70) {
    case DW_EH_PE_absptr:
      break;
    case DW_EH_PE_pcrel:
      base = static_cast<machine_ptr>(position);
      break;
    case DW_EH_PE_textrel:
      if (!text_base_.valid) return ROCRASH_ERR_NOTSUP;
      base = text_base_.value;
      break;
    case DW_EH_PE_datarel:
      if (!data_base_.valid) return ROCRASH_ERR_NOTSUP;
      base = data_base_.value;
      break;
    case DW_EH_PE_funcrel:
      if (!func_base_.valid) return ROCRASH_ERR_NOTSUP;
      base = func_base_.value;
      break;
    case DW_EH_PE_aligned: {
      // Alignment is a property of the image's own addresses, not of where
      // the section happens to be mapped for reading.
      if (!frame_section_.valid) return ROCRASH_ERR_NOTSUP;
      const machine_ptr vmPosition = static_cast<machine_ptr>(
          static_cast<machine_ptr>(position) - frame_section_.address + frame_section_.vm_address);
      const machine_ptr width = sizeof(machine_ptr);
      const machine_ptr aligned = static_cast<machine_ptr>((vmPosition + width - 1) & ~(width - 1));
      padding = static_cast<size_t>(static_cast<machine_ptr>(aligned - vmPosition));
      position += padding;
      break;
    }
    default:
      return ROCRASH_ERR_NOTSUP;
  }

  uint64_t raw = 0;
  size_t length = 0;
  rocrash_error_t err;
  switch (encoding & 0x0F) {
    case DW_EH_PE_absptr:
      length = sizeof(machine_ptr);
      err = rocrash_async_dwarf_read_uintmax(mobj, byteorder_, position, 0, sizeof(machine_ptr),
                                             &raw);
      break;
    case DW_EH_PE_uleb128: {
      rocrash_vm_size_t n;
      err = rocrash_async_dwarf_read_uleb128(mobj, position, 0, &raw, &n);
      length = n;
      break;
    }
    case DW_EH_PE_sleb128: {
      rocrash_vm_size_t n;
      int64_t value;
      err = rocrash_async_dwarf_read_sleb128(mobj, position, 0, &value, &n);
      raw = static_cast<uint64_t>(value);
      length = n;
      break;
    }
    case DW_EH_PE_udata2:
    case DW_EH_PE_sdata2:
      length = 2;
      err = rocrash_async_dwarf_read_uintmax(mobj, byteorder_, position, 0, 2, &raw);
      if ((encoding & 0x0F) == DW_EH_PE_sdata2)
        raw = static_cast<uint64_t>(int64_t{static_cast<int16_t>(raw)});
      break;
    case DW_EH_PE_udata4:
    case DW_EH_PE_sdata4:
      length = 4;
      err = rocrash_async_dwarf_read_uintmax(mobj, byteorder_, position, 0, 4, &raw);
      if ((encoding & 0x0F) == DW_EH_PE_sdata4)
        raw = static_cast<uint64_t>(int64_t{static_cast<int32_t>(raw)});
      break;
    case DW_EH_PE_udata8:
    case DW_EH_PE_sdata8:
      length = 8;
      err = rocrash_async_dwarf_read_uintmax(mobj, byteorder_, position, 0, 8, &raw);
      break;
    default:
      return ROCRASH_ERR_NOTSUP;
  }
  if (err != ROCRASH_ERR_NONE) return err;

  machine_ptr value = static_cast<machine_ptr>(base + static_cast<machine_ptr>(raw));
  if (encoding & DW_EH_PE_indirect) {
    const sys::task_t task = rocrash_async_mobject_task(mobj);
    if constexpr (sizeof(machine_ptr) == 8) {
      uint64_t target;
      err = rocrash_async_task_read_uint64(task, byteorder_, value, 0, &target);
      if (err != ROCRASH_ERR_NONE) return err;
      value = target;
    } else {
      uint32_t target;
      err = rocrash_async_task_read_uint32(task, byteorder_, value, 0, &target);
      if (err != ROCRASH_ERR_NONE) return err;
      value = target;
    }
  }
  *result = value;
  *size = padding + length;
  return ROCRASH_ERR_NONE;
}

template class gnu_ehptr_reader<uint32_t>;
template class gnu_ehptr_reader<uint64_t>;

// --- CIEs and FDEs -------------------------------------------------------------

namespace detail {

rocrash_error_t readEntryLength(const rocrash_async_mobject* mobj,
                                const rocrash_async_byteorder* byteorder,
                                rocrash_vm_address_t address, EntryLength* out) {
  uint32_t length32;
  if (rocrash_async_mobject_read_uint32(mobj, byteorder, address, 0, &length32) !=
      ROCRASH_ERR_NONE) {
    return ROCRASH_ERR_INVAL;
  }
  if (length32 != 0xFFFFFFFF) {
    *out = {length32, 4, false};
    return ROCRASH_ERR_NONE;
  }
  uint64_t length64;
  if (rocrash_async_mobject_read_uint64(mobj, byteorder, address, 4, &length64) !=
      ROCRASH_ERR_NONE) {
    return ROCRASH_ERR_INVAL;
  }
  *out = {length64, 12, true};
  return ROCRASH_ERR_NONE;
}

rocrash_error_t readIdField(const rocrash_async_mobject* mobj,
                            const rocrash_async_byteorder* byteorder, rocrash_vm_address_t address,
                            bool is64, uint64_t* value) {
  return rocrash_async_dwarf_read_uintmax(mobj, byteorder, address, 0, is64 ? 8 : 4, value) ==
                 ROCRASH_ERR_NONE
             ? ROCRASH_ERR_NONE
             : ROCRASH_ERR_INVAL;
}

}  // namespace detail

using detail::EntryLength;
using detail::readEntryLength;
using detail::readIdField;

template <typename machine_ptr>
rocrash_error_t rocrash_async_dwarf_cie_info_init(rocrash_async_dwarf_cie_info* info,
                                                  const rocrash_async_mobject* mobj,
                                                  const rocrash_async_byteorder* byteorder,
                                                  const gnu_ehptr_reader<machine_ptr>* reader,
                                                  rocrash_vm_address_t cie_address) noexcept {
  rocrash_async_memset(info, 0, sizeof *info);
  const rocrash_vm_address_t section = rocrash_async_mobject_base_address(mobj);
  if (cie_address < section) return ROCRASH_ERR_INVAL;

  EntryLength length;
  rocrash_error_t err = readEntryLength(mobj, byteorder, cie_address, &length);
  if (err != ROCRASH_ERR_NONE) return err;
  const rocrash_vm_address_t content = cie_address + length.header;
  info->cie_offset = content - section;
  info->cie_length = length.length;

  // Reads below advance `at`, an offset from the content's start.
  uint64_t at = 0;
  if (readIdField(mobj, byteorder, content, length.is64, &info->cie_id) != ROCRASH_ERR_NONE) {
    return ROCRASH_ERR_INVAL;
  }
  const uint64_t allOnes = length.is64 ? ~0ULL : 0xFFFFFFFFULL;
  if (info->cie_id != 0 && info->cie_id != allOnes) return ROCRASH_ERR_INVAL;
  at += length.is64 ? 8 : 4;

  if (rocrash_async_mobject_read_uint8(mobj, content, static_cast<int64_t>(at),
                                       &info->cie_version) != ROCRASH_ERR_NONE) {
    return ROCRASH_ERR_INVAL;
  }
  at += 1;
  if (info->cie_version != 1 && info->cie_version != 3 && info->cie_version != 4) {
    return ROCRASH_ERR_INVAL;
  }

  // The augmentation string: empty, or "z" followed by the characters that
  // describe the augmentation data.
  const uint64_t augmentation = at;
  uint8_t c;
  if (rocrash_async_mobject_read_uint8(mobj, content, static_cast<int64_t>(at), &c) !=
      ROCRASH_ERR_NONE) {
    return ROCRASH_ERR_INVAL;
  }
  if (c != 0 && c != 'z') return ROCRASH_ERR_NOTSUP;
  info->has_eh_augmentation = c == 'z';
  while (c != 0) {
    ++at;
    if (rocrash_async_mobject_read_uint8(mobj, content, static_cast<int64_t>(at), &c) !=
        ROCRASH_ERR_NONE) {
      return ROCRASH_ERR_INVAL;
    }
  }
  at += 1;

  if (info->cie_version == 4) {
    if (rocrash_async_mobject_read_uint8(mobj, content, static_cast<int64_t>(at),
                                         &info->address_size) != ROCRASH_ERR_NONE ||
        rocrash_async_mobject_read_uint8(mobj, content, static_cast<int64_t>(at + 1),
                                         &info->segment_size) != ROCRASH_ERR_NONE) {
      return ROCRASH_ERR_INVAL;
    }
    at += 2;
  }

  rocrash_vm_size_t size;
  err = rocrash_async_dwarf_read_uleb128(mobj, content, static_cast<int64_t>(at),
                                         &info->code_alignment_factor, &size);
  if (err != ROCRASH_ERR_NONE) return err;
  at += size;
  err = rocrash_async_dwarf_read_sleb128(mobj, content, static_cast<int64_t>(at),
                                         &info->data_alignment_factor, &size);
  if (err != ROCRASH_ERR_NONE) return err;
  at += size;
  err = rocrash_async_dwarf_read_uleb128(mobj, content, static_cast<int64_t>(at),
                                         &info->return_address_register, &size);
  if (err != ROCRASH_ERR_NONE) return err;
  at += size;

  if (info->has_eh_augmentation) {
    uint64_t dataLength;
    err = rocrash_async_dwarf_read_uleb128(mobj, content, static_cast<int64_t>(at), &dataLength,
                                           &size);
    if (err != ROCRASH_ERR_NONE) return err;
    at += size;
    uint64_t data = at;
    // Each character after the "z" takes its part of the data in order; an
    // unknown one ends the interpretation (the data's length still skips
    // the rest).
    for (uint64_t i = augmentation + 1;; ++i) {
      if (rocrash_async_mobject_read_uint8(mobj, content, static_cast<int64_t>(i), &c) !=
          ROCRASH_ERR_NONE) {
        return ROCRASH_ERR_INVAL;
      }
      if (c == 'L') {
        if (rocrash_async_mobject_read_uint8(mobj, content, static_cast<int64_t>(data),
                                             &info->eh_augmentation.lsda_encoding) !=
            ROCRASH_ERR_NONE) {
          return ROCRASH_ERR_INVAL;
        }
        info->eh_augmentation.has_lsda_encoding = true;
        data += 1;
      } else if (c == 'P') {
        uint8_t encoding;
        if (rocrash_async_mobject_read_uint8(mobj, content, static_cast<int64_t>(data),
                                             &encoding) != ROCRASH_ERR_NONE) {
          return ROCRASH_ERR_INVAL;
        }
        data += 1;
        machine_ptr personality;
        size_t pointerSize;
        err = reader->read(mobj, content, static_cast<int64_t>(data),
                           static_cast<DW_EH_PE>(encoding), &personality, &pointerSize);
        if (err != ROCRASH_ERR_NONE) return err;
        info->eh_augmentation.has_personality_address = true;
        info->eh_augmentation.personality_address = personality;
        data += pointerSize;
      } else if (c == 'R') {
        if (rocrash_async_mobject_read_uint8(mobj, content, static_cast<int64_t>(data),
                                             &info->eh_augmentation.pointer_encoding) !=
            ROCRASH_ERR_NONE) {
          return ROCRASH_ERR_INVAL;
        }
        info->eh_augmentation.has_pointer_encoding = true;
        data += 1;
      } else if (c == 'S') {
        info->eh_augmentation.signal_frame = true;
      } else {
        break;  // the end of the string, or a character we do not interpret
      }
    }
    at += dataLength;
  }

  if (info->cie_length < at) return ROCRASH_ERR_INVAL;
  info->initial_instructions_offset = info->cie_offset + at;
  info->initial_instructions_length = info->cie_length - at;
  return ROCRASH_ERR_NONE;
}

namespace detail {

template <typename machine_ptr>
rocrash_error_t parseFde(rocrash_async_dwarf_fde_info* info, const rocrash_async_mobject* mobj,
                         const rocrash_async_byteorder* byteorder, rocrash_vm_address_t fde_address,
                         bool debug_frame, CieCache* cache) {
  rocrash_async_memset(info, 0, sizeof *info);
  const rocrash_vm_address_t section = rocrash_async_mobject_base_address(mobj);
  if (fde_address < section) return ROCRASH_ERR_INVAL;

  EntryLength length;
  rocrash_error_t err = readEntryLength(mobj, byteorder, fde_address, &length);
  if (err != ROCRASH_ERR_NONE) return err;
  const rocrash_vm_address_t content = fde_address + length.header;
  info->fde_offset = content - section;
  info->fde_length = length.length;

  uint64_t ciePointer;
  if (readIdField(mobj, byteorder, content, length.is64, &ciePointer) != ROCRASH_ERR_NONE) {
    return ROCRASH_ERR_INVAL;
  }
  rocrash_vm_address_t cieAddress;
  if (debug_frame) {
    // An offset from the section's start.
    if (static_cast<int64_t>(ciePointer) < 0 ||
        !rocrash_async_address_apply_offset(section, static_cast<int64_t>(ciePointer),
                                            &cieAddress)) {
      return ROCRASH_ERR_INVAL;
    }
  } else {
    // A distance back from the pointer field itself.
    if (ciePointer > content) return ROCRASH_ERR_INVAL;
    cieAddress = content - ciePointer;
  }
  if (cieAddress < section) return ROCRASH_ERR_INVAL;
  info->cie_offset = cieAddress - section;

  gnu_ehptr_reader<machine_ptr> reader(byteorder);
  CieCache local;
  if (cache == nullptr) cache = &local;
  if (!cache->valid || cache->address != cieAddress) {
    cache->error =
        rocrash_async_dwarf_cie_info_init(&cache->info, mobj, byteorder, &reader, cieAddress);
    cache->address = cieAddress;
    cache->valid = true;
  }
  if (cache->error != ROCRASH_ERR_NONE) return cache->error;
  const rocrash_async_dwarf_cie_info& cie = cache->info;

  uint64_t at = length.is64 ? 8 : 4;
  const uint8_t encoding = cie.has_eh_augmentation && cie.eh_augmentation.has_pointer_encoding
                               ? cie.eh_augmentation.pointer_encoding
                               : static_cast<uint8_t>(DW_EH_PE_absptr);
  machine_ptr pcStart;
  size_t size;
  err = reader.read(mobj, content, static_cast<int64_t>(at), static_cast<DW_EH_PE>(encoding),
                    &pcStart, &size);
  if (err != ROCRASH_ERR_NONE) return err;
  at += size;
  // The range is a plain number of the same format.
  machine_ptr range;
  err = reader.read(mobj, content, static_cast<int64_t>(at), static_cast<DW_EH_PE>(encoding & 0x0F),
                    &range, &size);
  if (err != ROCRASH_ERR_NONE) return err;
  at += size;
  const machine_ptr pcEnd = static_cast<machine_ptr>(pcStart + range);
  if (pcEnd < pcStart) return ROCRASH_ERR_INVAL;

  if (cie.has_eh_augmentation) {
    uint64_t dataLength;
    rocrash_vm_size_t lebSize;
    err = rocrash_async_dwarf_read_uleb128(mobj, content, static_cast<int64_t>(at), &dataLength,
                                           &lebSize);
    if (err != ROCRASH_ERR_NONE) return err;
    at += lebSize + dataLength;
  }
  if (info->fde_length < at) return ROCRASH_ERR_INVAL;

  info->pc_start = pcStart;
  info->pc_end = pcEnd;
  info->instructions_offset = info->fde_offset + at;
  info->instructions_length = info->fde_length - at;
  return ROCRASH_ERR_NONE;
}

template rocrash_error_t parseFde<uint32_t>(rocrash_async_dwarf_fde_info*,
                                            const rocrash_async_mobject*,
                                            const rocrash_async_byteorder*, rocrash_vm_address_t,
                                            bool, CieCache*);
template rocrash_error_t parseFde<uint64_t>(rocrash_async_dwarf_fde_info*,
                                            const rocrash_async_mobject*,
                                            const rocrash_async_byteorder*, rocrash_vm_address_t,
                                            bool, CieCache*);

}  // namespace detail

template <typename machine_ptr>
rocrash_error_t rocrash_async_dwarf_fde_info_init(rocrash_async_dwarf_fde_info* info,
                                                  const rocrash_async_mobject* mobj,
                                                  const rocrash_async_byteorder* byteorder,
                                                  rocrash_vm_address_t fde_address,
                                                  bool debug_frame) noexcept {
  return detail::parseFde<machine_ptr>(info, mobj, byteorder, fde_address, debug_frame, nullptr);
}

template rocrash_error_t rocrash_async_dwarf_cie_info_init<uint32_t>(
    rocrash_async_dwarf_cie_info*, const rocrash_async_mobject*, const rocrash_async_byteorder*,
    const gnu_ehptr_reader<uint32_t>*, rocrash_vm_address_t) noexcept;
template rocrash_error_t rocrash_async_dwarf_cie_info_init<uint64_t>(
    rocrash_async_dwarf_cie_info*, const rocrash_async_mobject*, const rocrash_async_byteorder*,
    const gnu_ehptr_reader<uint64_t>*, rocrash_vm_address_t) noexcept;
template rocrash_error_t rocrash_async_dwarf_fde_info_init<uint32_t>(rocrash_async_dwarf_fde_info*,
                                                                     const rocrash_async_mobject*,
                                                                     const rocrash_async_byteorder*,
                                                                     rocrash_vm_address_t,
                                                                     bool) noexcept;
template rocrash_error_t rocrash_async_dwarf_fde_info_init<uint64_t>(rocrash_async_dwarf_fde_info*,
                                                                     const rocrash_async_mobject*,
                                                                     const rocrash_async_byteorder*,
                                                                     rocrash_vm_address_t,
                                                                     bool) noexcept;

}  // namespace rocrash::async

using rocrash::async::rocrash_async_dwarf_cie_info;
using rocrash::async::rocrash_async_dwarf_fde_info;

uint64_t rocrash_async_dwarf_cie_info_initial_instructions_offset(
    const rocrash_async_dwarf_cie_info* info) noexcept {
  return info->initial_instructions_offset;
}

uint64_t rocrash_async_dwarf_cie_info_initial_instructions_length(
    const rocrash_async_dwarf_cie_info* info) noexcept {
  return info->initial_instructions_length;
}

uint64_t rocrash_async_dwarf_fde_info_instructions_offset(
    const rocrash_async_dwarf_fde_info* info) noexcept {
  return info->instructions_offset;
}

uint64_t rocrash_async_dwarf_fde_info_instructions_length(
    const rocrash_async_dwarf_fde_info* info) noexcept {
  return info->instructions_length;
}

rocrash_error_t rocrash_async_dwarf_frame_reader_init(rocrash_async_dwarf_frame_reader* reader,
                                                      const rocrash_async_mobject* mobj,
                                                      const rocrash_async_byteorder* byteorder,
                                                      bool m64, bool debug_frame) noexcept {
  reader->mobj = mobj;
  reader->byteorder = byteorder;
  reader->m64 = m64;
  reader->debug_frame = debug_frame;
  return ROCRASH_ERR_NONE;
}

namespace rocrash::async::detail {

template <typename machine_ptr>
rocrash_error_t findFde(const rocrash_async_dwarf_frame_reader* reader, rocrash_vm_off_t offset,
                        machine_ptr pc, rocrash_async_dwarf_fde_info* fde_info) {
  const rocrash_async_mobject* mobj = reader->mobj;
  if (offset < 0 || static_cast<uint64_t>(offset) >= rocrash_async_mobject_length(mobj)) {
    return ROCRASH_ERR_INVAL;
  }
  bool found = false;
  const rocrash_error_t err = walkFdes<machine_ptr>(
      reader, rocrash_async_mobject_base_address(mobj) + static_cast<uint64_t>(offset), fde_info,
      [&](rocrash_vm_address_t) {
        found = fde_info->pc_start <= pc && pc < fde_info->pc_end;
        return found;
      });
  if (err != ROCRASH_ERR_NONE) return err;
  return found ? ROCRASH_ERR_NONE : ROCRASH_ERR_NOTFOUND;
}

template rocrash_error_t findFde<uint32_t>(const rocrash_async_dwarf_frame_reader*,
                                           rocrash_vm_off_t, uint32_t,
                                           rocrash_async_dwarf_fde_info*);
template rocrash_error_t findFde<uint64_t>(const rocrash_async_dwarf_frame_reader*,
                                           rocrash_vm_off_t, uint64_t,
                                           rocrash_async_dwarf_fde_info*);

}  // namespace rocrash::async::detail

rocrash_error_t rocrash_async_dwarf_frame_reader_find_fde(
    const rocrash_async_dwarf_frame_reader* reader, rocrash_vm_off_t offset,
    rocrash_vm_address_t pc, rocrash_async_dwarf_fde_info* fde_info) noexcept {
  using rocrash::async::detail::findFde;
  if (reader->m64) return findFde<uint64_t>(reader, offset, pc, fde_info);
  return findFde<uint32_t>(reader, offset, static_cast<uint32_t>(pc), fde_info);
}

void rocrash_async_dwarf_frame_reader_free(rocrash_async_dwarf_frame_reader*) noexcept {}
