#pragma once

#include <cstdint>

#include "AsyncDwarfCFA.h"

// Where the FDE of a pc lies, found by a binary search instead of a walk over
// the call-frame section: the image's own search table (`.eh_frame_hdr` as
// linkers emit it, read in place), or a table built once, when the image is
// listed, from the section's entries. A section with neither (no usable
// search table, an entry that cannot be read, FDE ranges that overlap) has an
// empty index, and lookups walk the section.
//
// A search table is loaded memory the engine did not write and cannot
// vouch for: it is checked when the image is listed (starts in order, every
// FDE inside the section, a sample of its FDEs starting where it says), and
// its answer is checked at every lookup (the FDE it points at must cover the
// pc). An answer that does not cover the pc is believed only when the table
// still holds together around it (the neighbouring FDEs start where the
// table says, and its starts are in order); otherwise the section is walked,
// so a table damaged after listing (rotated, reversed, zeroed) costs time,
// never frames.
//
// Set up and freed on ordinary threads; lookups are async-signal-safe.
struct rocrash_async_dwarf_fde_index {
  // The image's search table: its first entry, the number of entries and
  // the address they count from (entries are pairs of signed 4-byte values,
  // a function's start and its FDE); table 0 when there is none.
  rocrash_vm_address_t table;
  uint64_t table_count;
  rocrash_vm_address_t table_base;
  // The built table: FDEs by start, without ranges of length 0.
  struct entry {
    uint64_t pc_start;
    uint64_t fde_offset;  // of the FDE's first byte, from the section's start
  };
  entry* entries;
  uint64_t entry_count;
};

// Takes the search table at `hdr_address` (`hdr_size` bytes, in the task of
// the section `reader` reads) when it describes that section in the form
// linkers write (version 1, entries of two data-relative signed 4-byte
// values) and passes the listing checks above. False, with the index left
// empty, otherwise.
bool rocrash_async_dwarf_fde_index_use_search_table(rocrash_async_dwarf_fde_index* index,
                                                    const rocrash_async_dwarf_frame_reader* reader,
                                                    rocrash_vm_address_t hdr_address,
                                                    rocrash_vm_size_t hdr_size) noexcept;

// Builds the table of the section `reader` reads: every FDE up to the
// section's end or terminator must parse, and no two may overlap. False,
// with the index left empty, otherwise. Allocates.
bool rocrash_async_dwarf_fde_index_build(rocrash_async_dwarf_fde_index* index,
                                         const rocrash_async_dwarf_frame_reader* reader) noexcept;

void rocrash_async_dwarf_fde_index_free(rocrash_async_dwarf_fde_index* index) noexcept;

// The FDE covering `pc`, as rocrash_async_dwarf_frame_reader_find_fde finds
// it from the section's start, through `index` when it holds a table (null
// or empty: the walk). ROCRASH_ERR_NOTFOUND when no FDE covers `pc`.
rocrash_error_t rocrash_async_dwarf_frame_reader_find_fde_indexed(
    const rocrash_async_dwarf_frame_reader* reader, const rocrash_async_dwarf_fde_index* index,
    rocrash_vm_address_t pc, rocrash::async::rocrash_async_dwarf_fde_info* fde_info) noexcept;
