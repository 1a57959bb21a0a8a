// Looks pcs up through an image's search table over its call-frame section
// (`.eh_frame_hdr` as linkers write it), as a step of a stack walk does, with
// the walk over the section as the oracle.
//
// The table is loaded memory the engine cannot vouch for, and may have been
// damaged after the image was listed. From the input's own table, taken
// through the checks made at listing or as it stands without them, whatever
// FDE a lookup finds must cover the pc. From the table a linker would write
// for the input's section, every lookup must find what the walk finds.
//
// Input: a flags byte (bit 0: 64-bit image, bit 1: the input's table as it
// stands, bit 2: other byte order, bit 3: the linker's table instead of the
// input's), the pc's pick (4 bytes: the low half picks a table entry, the high
// half is a signed distance from its start), the length of the table's bytes
// (2 bytes), those bytes (version, encodings, the section's address, the
// count, then the entries), then the section's bytes, laid right after them.
// With bit 3 the table's bytes are left out and the section comes at once.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "InputMemory.h"
#include "unwind/AsyncDwarfCFA.h"
#include "unwind/AsyncDwarfFdeIndex.h"

namespace {

using rocrash::async::rocrash_async_dwarf_fde_info;

enum : uint64_t {
  kWide = 1,
  kAsItStands = 2,
  kSwapped = 4,
  kLinkersTable = 8,
};

// The section with its reader, laid at `section`.
struct Section {
  rocrash_async_mobject mobj;
  rocrash_async_dwarf_frame_reader reader;
  bool ready = false;

  Section(uint64_t section, uint64_t size, const rocrash_async_byteorder* order, bool m64) {
    if (rocrash_async_mobject_init(&mobj, sys::mach_task_self(), section, size, true) !=
        ROCRASH_ERR_NONE) {
      return;
    }
    ready = rocrash_async_dwarf_frame_reader_init(&reader, &mobj, order, m64, false) ==
            ROCRASH_ERR_NONE;
    if (!ready) rocrash_async_mobject_free(&mobj);
  }
  ~Section() {
    if (!ready) return;
    rocrash_async_dwarf_frame_reader_free(&reader);
    rocrash_async_mobject_free(&mobj);
  }
};

// The start the table gives entry `i`, as the lookup reads it.
uint64_t tableStart(const rocrash_async_dwarf_fde_index& index,
                    const rocrash_async_byteorder* order, uint64_t i) {
  uint32_t value;
  memcpy(&value, reinterpret_cast<const void*>(index.table + i * 8), 4);
  return index.table_base +
         static_cast<uint64_t>(int64_t{static_cast<int32_t>(order->swap32(value))});
}

// A pc near entry `pick` picks, or into the section without entries.
uint64_t pickedPc(const rocrash_async_dwarf_fde_index& index, const rocrash_async_byteorder* order,
                  uint64_t section, uint64_t pick) {
  if (index.table_count == 0) return section + pick;
  const uint64_t entry = (pick & 0xFFFF) % index.table_count;
  const auto distance = static_cast<int16_t>(pick >> 16);
  return tableStart(index, order, entry) + static_cast<uint64_t>(int64_t{distance});
}

// A lookup through the input's table: what it finds covers the pc.
template <typename machine_ptr>
void coveredLookUp(const rocrash_async_dwarf_frame_reader* reader,
                   const rocrash_async_dwarf_fde_index& index, uint64_t pc) {
  const auto at = static_cast<machine_ptr>(pc);
  rocrash_async_dwarf_fde_info found;
  if (rocrash_async_dwarf_frame_reader_find_fde_indexed(reader, &index, at, &found) ==
          ROCRASH_ERR_NONE &&
      !(found.pc_start <= at && at < found.pc_end)) {
    __builtin_trap();
  }
}

// A lookup through the linker's table: the walk's answer.
template <typename machine_ptr>
void walkedLookUp(const rocrash_async_dwarf_frame_reader* reader,
                  const rocrash_async_dwarf_fde_index& index, uint64_t pc) {
  const auto at = static_cast<machine_ptr>(pc);
  rocrash_async_dwarf_fde_info found, walked;
  const rocrash_error_t byTable =
      rocrash_async_dwarf_frame_reader_find_fde_indexed(reader, &index, at, &found);
  const rocrash_error_t byWalk = rocrash_async_dwarf_frame_reader_find_fde(reader, 0, at, &walked);
  if ((byTable == ROCRASH_ERR_NONE) != (byWalk == ROCRASH_ERR_NONE) ||
      (byTable == ROCRASH_ERR_NONE && found.fde_offset != walked.fde_offset)) {
    __builtin_trap();
  }
}

void inputsTable(const uint8_t* data, size_t size, uint64_t flags, uint64_t pick) {
  const uint64_t hdrSize = fuzzing::takeLE(data, size, 2);
  if (size <= hdrSize) return;
  const uint64_t hdr = fuzzing::InputMemory::shared().lay(data, size);
  const bool m64 = flags & kWide;
  const rocrash_async_byteorder* order =
      (flags & kSwapped) ? rocrash_async_byteorder_swapped() : rocrash_async_byteorder_direct();
  Section section(hdr + hdrSize, size - hdrSize, order, m64);
  if (!section.ready) return;
  rocrash_async_dwarf_fde_index index = {};
  if ((flags & kAsItStands) == 0) {
    if (!rocrash_async_dwarf_fde_index_use_search_table(&index, &section.reader, hdr, hdrSize)) {
      return;
    }
  } else {
    // The entries after a header of four bytes and two four-byte fields, as
    // many as the header says and the bytes hold.
    if (hdrSize < 12) return;
    uint32_t count;
    memcpy(&count, reinterpret_cast<const void*>(hdr + 8), 4);
    count = order->swap32(count);
    index.table = hdr + 12;
    index.table_count = count < (hdrSize - 12) / 8 ? count : (hdrSize - 12) / 8;
    index.table_base = hdr;
  }
  const uint64_t pc = pickedPc(index, order, hdr + hdrSize, pick);
  if (m64) {
    coveredLookUp<uint64_t>(&section.reader, index, pc);
  } else {
    coveredLookUp<uint32_t>(&section.reader, index, pc);
  }
}

template <typename T>
void put(std::vector<uint8_t>& out, size_t at, T value) {
  memcpy(out.data() + at, &value, sizeof value);
}

// The section laid after room for the table a linker would write for it
// (every FDE's start and place, by start); the table is written from the
// section's own FDEs found there, and laid with it.
void linkersTable(const uint8_t* data, size_t size, uint64_t flags, uint64_t pick) {
  if (size == 0) return;
  const bool m64 = flags & kWide;
  // Room for a table entry per 8 bytes of section; a section of smaller
  // FDEs than that (two-byte pointers) is left out.
  const uint64_t room = 12 + 8 * (size / 8);
  std::vector<uint8_t> laid(room + size, 0);
  memcpy(laid.data() + room, data, size);
  const uint64_t hdr = fuzzing::InputMemory::shared().lay(laid.data(), laid.size());
  const uint64_t section = hdr + room;
  rocrash_async_dwarf_fde_index built = {};
  {
    Section first(section, size, rocrash_async_byteorder_direct(), m64);
    if (!first.ready || !rocrash_async_dwarf_fde_index_build(&built, &first.reader)) return;
  }
  if (12 + 8 * built.entry_count > room) {
    rocrash_async_dwarf_fde_index_free(&built);
    return;
  }
  // Version 1, the section's address (pc-relative, 4 bytes), the count (4
  // bytes), entries relative to the table (4 bytes each).
  laid[0] = 1;
  laid[1] = 0x1B;
  laid[2] = 0x03;
  laid[3] = 0x3B;
  put(laid, 4, static_cast<int32_t>(section - (hdr + 4)));
  put(laid, 8, static_cast<uint32_t>(built.entry_count));
  // A linker places code within reach of the table's 4-byte fields.
  const auto fits = [](uint64_t distance) {
    const auto value = static_cast<int64_t>(distance);
    return value == static_cast<int64_t>(static_cast<int32_t>(value));
  };
  bool inReach = true;
  for (uint64_t i = 0; i < built.entry_count; ++i) {
    const uint64_t start = built.entries[i].pc_start - hdr;
    const uint64_t fde = section + built.entries[i].fde_offset - hdr;
    inReach = inReach && fits(start) && fits(fde);
    put(laid, 12 + 8 * i, static_cast<int32_t>(start));
    put(laid, 16 + 8 * i, static_cast<int32_t>(fde));
  }
  std::vector<uint64_t> pcs;
  for (uint64_t i = 0; i < built.entry_count && i < 64; ++i) {
    const uint64_t start = built.entries[i].pc_start;
    for (uint64_t pc : {start - 1, start, start + 1}) pcs.push_back(pc);
  }
  rocrash_async_dwarf_fde_index_free(&built);
  if (!inReach) return;
  fuzzing::InputMemory::shared().lay(laid.data(), laid.size());
  Section second(section, size, rocrash_async_byteorder_direct(), m64);
  rocrash_async_dwarf_fde_index index = {};
  // What a linker writes passes the checks made at listing.
  if (!second.ready) return;
  if (!rocrash_async_dwarf_fde_index_use_search_table(&index, &second.reader, hdr, room)) {
    __builtin_trap();
  }
  pcs.push_back(pickedPc(index, rocrash_async_byteorder_direct(), section, pick));
  for (uint64_t pc : pcs) {
    if (m64) {
      walkedLookUp<uint64_t>(&second.reader, index, pc);
    } else {
      walkedLookUp<uint32_t>(&second.reader, index, pc);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint64_t flags = fuzzing::takeLE(data, size, 1);
  const uint64_t pick = fuzzing::takeLE(data, size, 4);
  if (flags & kLinkersTable) {
    linkersTable(data, size, flags, pick);
  } else {
    inputsTable(data, size, flags, pick);
  }
  return 0;
}
