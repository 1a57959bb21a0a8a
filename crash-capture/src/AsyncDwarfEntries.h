#pragma once

#include <cstdint>

#include "crash-capture/AsyncDwarfCFA.h"

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
