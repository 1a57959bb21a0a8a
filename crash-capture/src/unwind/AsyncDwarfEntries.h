#pragma once

#include <cstdint>

#include "AsyncDwarfCFA.h"

// The entry readers of a call-frame section that both the search over the
// section (AsyncDwarfCFA.cpp) and the FDE index (AsyncDwarfFdeIndex.cpp) use.
// Crash-time safe: they read only through the section's memory object.
namespace rocrash::async::detail {

// The length field of an entry: 4 bytes, or 0xFFFFFFFF and 8 more bytes.
struct EntryLength {
  uint64_t length;
  uint64_t header;  // 4 or 12
  bool is64;
};

rocrash_error_t readEntryLength(const rocrash_async_mobject* mobj,
                                const rocrash_async_byteorder* byteorder,
                                rocrash_vm_address_t address, EntryLength* out);

// The CIE id or CIE pointer that follows the length: as wide as the length.
rocrash_error_t readIdField(const rocrash_async_mobject* mobj,
                            const rocrash_async_byteorder* byteorder, rocrash_vm_address_t address,
                            bool is64, uint64_t* value);

// The last CIE an FDE search parsed: FDEs mostly share a few CIEs, and
// parsing one may read the task (an indirect personality pointer).
struct CieCache {
  bool valid = false;
  rocrash_vm_address_t address = 0;
  rocrash_error_t error = ROCRASH_ERR_NONE;
  rocrash_async_dwarf_cie_info info;
};

// Parses the FDE whose first byte is at `fde_address`, its CIE through
// `cache` (null: no cache).
template <typename machine_ptr>
rocrash_error_t parseFde(rocrash_async_dwarf_fde_info* info, const rocrash_async_mobject* mobj,
                         const rocrash_async_byteorder* byteorder, rocrash_vm_address_t fde_address,
                         bool debug_frame, CieCache* cache);

// Walks the entries of the section from `entry` to its terminator or its
// end, parsing each FDE into `info` and handing its address to `visit`,
// which answers whether to stop there. Answers ROCRASH_ERR_NONE when the
// walk ended or `visit` stopped it, else the error of the entry that could
// not be read.
template <typename machine_ptr, typename Visit>
rocrash_error_t walkFdes(const rocrash_async_dwarf_frame_reader* reader, rocrash_vm_address_t entry,
                         rocrash_async_dwarf_fde_info* info, Visit&& visit) {
  const rocrash_async_mobject* mobj = reader->mobj;
  const rocrash_vm_address_t end =
      rocrash_async_mobject_base_address(mobj) + rocrash_async_mobject_length(mobj);
  CieCache cache;
  while (entry < end) {
    EntryLength length;
    rocrash_error_t err = readEntryLength(mobj, reader->byteorder, entry, &length);
    if (err != ROCRASH_ERR_NONE) return err;
    if (length.length == 0) break;  // the terminator
    rocrash_vm_address_t next;
    if (__builtin_add_overflow(entry, length.header, &next) ||
        __builtin_add_overflow(next, length.length, &next)) {
      return ROCRASH_ERR_INVAL;
    }
    uint64_t id;
    if (readIdField(mobj, reader->byteorder, entry + length.header, length.is64, &id) !=
        ROCRASH_ERR_NONE) {
      return ROCRASH_ERR_INVAL;
    }
    const uint64_t cieId = reader->debug_frame ? (length.is64 ? ~0ULL : 0xFFFFFFFFULL) : 0;
    if (id != cieId) {
      err =
          parseFde<machine_ptr>(info, mobj, reader->byteorder, entry, reader->debug_frame, &cache);
      if (err != ROCRASH_ERR_NONE) return err;
      if (visit(entry)) break;
    }
    entry = next;
  }
  return ROCRASH_ERR_NONE;
}

// The walk over the section from `offset`: the first FDE covering `pc`.
template <typename machine_ptr>
rocrash_error_t findFde(const rocrash_async_dwarf_frame_reader* reader, rocrash_vm_off_t offset,
                        machine_ptr pc, rocrash_async_dwarf_fde_info* fde_info);

extern template rocrash_error_t parseFde<uint32_t>(rocrash_async_dwarf_fde_info*,
                                                   const rocrash_async_mobject*,
                                                   const rocrash_async_byteorder*,
                                                   rocrash_vm_address_t, bool, CieCache*);
extern template rocrash_error_t parseFde<uint64_t>(rocrash_async_dwarf_fde_info*,
                                                   const rocrash_async_mobject*,
                                                   const rocrash_async_byteorder*,
                                                   rocrash_vm_address_t, bool, CieCache*);
extern template rocrash_error_t findFde<uint32_t>(const rocrash_async_dwarf_frame_reader*,
                                                  rocrash_vm_off_t, uint32_t,
                                                  rocrash_async_dwarf_fde_info*);
extern template rocrash_error_t findFde<uint64_t>(const rocrash_async_dwarf_frame_reader*,
                                                  rocrash_vm_off_t, uint64_t,
                                                  rocrash_async_dwarf_fde_info*);

}  // namespace rocrash::async::detail
