#include "AsyncDwarfFdeIndex.h"

#include <stdlib.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "AsyncDwarfEntries.h"

namespace {

using rocrash::async::rocrash_async_dwarf_fde_info;
using rocrash::async::detail::findFde;
using rocrash::async::detail::parseFde;
using rocrash::async::detail::walkFdes;
using Entry = rocrash_async_dwarf_fde_index::entry;

// --- the built table -----------------------------------------------------------

// Every FDE of the section with its range, in section order; false when an
// entry cannot be read, as a walk over the section would fail there.
template <typename machine_ptr>
bool collectFdes(const rocrash_async_dwarf_frame_reader* reader,
                 std::vector<std::pair<Entry, uint64_t>>* fdes) {
  const rocrash_vm_address_t section = rocrash_async_mobject_base_address(reader->mobj);
  rocrash_async_dwarf_fde_info info;
  const auto collect = [&](rocrash_vm_address_t entry) {
    // A range of length 0 covers no pc.
    if (info.pc_end > info.pc_start) {
      fdes->push_back({{info.pc_start, entry - section}, info.pc_end});
    }
    return false;
  };
  return walkFdes<machine_ptr>(reader, section, &info, collect) == ROCRASH_ERR_NONE;
}

template <typename machine_ptr>
rocrash_error_t findInBuiltTable(const rocrash_async_dwarf_frame_reader* reader,
                                 const rocrash_async_dwarf_fde_index* index, machine_ptr pc,
                                 rocrash_async_dwarf_fde_info* fde_info) {
  const Entry* after =  // the first entry starting after pc
      std::upper_bound(index->entries, index->entries + index->entry_count, pc,
                       [](machine_ptr value, const Entry& e) { return value < e.pc_start; });
  if (after == index->entries) return ROCRASH_ERR_NOTFOUND;
  const rocrash_vm_address_t section = rocrash_async_mobject_base_address(reader->mobj);
  rocrash_error_t err = rocrash::async::rocrash_async_dwarf_fde_info_init<machine_ptr>(
      fde_info, reader->mobj, reader->byteorder, section + after[-1].fde_offset,
      reader->debug_frame);
  if (err != ROCRASH_ERR_NONE) return err;
  return fde_info->pc_start <= pc && pc < fde_info->pc_end ? ROCRASH_ERR_NONE
                                                           : ROCRASH_ERR_NOTFOUND;
}

// --- the image's search table --------------------------------------------------

// The search table, mapped whole while it is read.
template <typename machine_ptr>
class SearchTable {
 public:
  SearchTable(const rocrash_async_dwarf_frame_reader* reader,
              const rocrash_async_dwarf_fde_index* index)
      : reader_(reader), index_(index) {
    mapped_ =
        rocrash_async_mobject_init(&map_, rocrash_async_mobject_task(reader->mobj), index->table,
                                   index->table_count * 8, true) == ROCRASH_ERR_NONE;
  }
  ~SearchTable() {
    if (mapped_) rocrash_async_mobject_free(&map_);
  }
  SearchTable(const SearchTable&) = delete;
  SearchTable& operator=(const SearchTable&) = delete;

  bool mapped() const { return mapped_; }
  uint64_t count() const { return index_->table_count; }
  // The function start and the FDE of entry `i`.
  machine_ptr start(uint64_t i) const { return field(i, 0); }
  rocrash_vm_address_t fde(uint64_t i) const { return field(i, 4); }

  // The last entry starting at or below `pc`, plus one (0: none), by a binary
  // search that trusts the table's order.
  uint64_t upperBound(machine_ptr pc) const {
    uint64_t low = 0, high = count();
    while (low < high) {
      const uint64_t middle = low + (high - low) / 2;
      if (start(middle) <= pc) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    return low;
  }

  // Whether the FDE of entry `i` parses (into `info`) and starts where the
  // table says.
  bool entryAgrees(uint64_t i, rocrash_async_dwarf_fde_info* info) const {
    const rocrash_vm_address_t address = fde(i);
    const rocrash_vm_address_t section = rocrash_async_mobject_base_address(reader_->mobj);
    if (address < section || address - section >= rocrash_async_mobject_length(reader_->mobj)) {
      return false;
    }
    return parseFde<machine_ptr>(info, reader_->mobj, reader_->byteorder, address,
                                 reader_->debug_frame, nullptr) == ROCRASH_ERR_NONE &&
           static_cast<machine_ptr>(info->pc_start) == start(i);
  }

  // Starts in order and every FDE inside the section.
  bool ordered() const {
    const rocrash_vm_address_t section = rocrash_async_mobject_base_address(reader_->mobj);
    const uint64_t length = rocrash_async_mobject_length(reader_->mobj);
    for (uint64_t i = 0; i < count(); ++i) {
      if (i > 0 && start(i) < start(i - 1)) return false;
      const rocrash_vm_address_t address = fde(i);
      if (address < section || address - section >= length) return false;
    }
    return true;
  }

 private:
  machine_ptr field(uint64_t entry, int64_t offset) const {
    uint32_t value = 0;
    // Every entry asked for lies inside the table, mapped whole.
    (void)rocrash_async_mobject_read_uint32(&map_, reader_->byteorder, index_->table,
                                            offset + static_cast<int64_t>(entry) * 8, &value);
    return static_cast<machine_ptr>(index_->table_base +
                                    static_cast<uint64_t>(int64_t{static_cast<int32_t>(value)}));
  }

  const rocrash_async_dwarf_frame_reader* reader_;
  const rocrash_async_dwarf_fde_index* index_;
  rocrash_async_mobject map_;
  bool mapped_ = false;
};

// Entries of the same start a search table may list together, looked at
// for the one that covers the pc.
constexpr uint64_t kSameStartEntries = 16;
// FDEs of a search table compared with it when the image is listed.
constexpr uint64_t kListingSamples = 32;

template <typename machine_ptr>
bool tableHoldsTogether(const rocrash_async_dwarf_frame_reader* reader,
                        const rocrash_async_dwarf_fde_index* index) {
  SearchTable<machine_ptr> table(reader, index);
  if (!table.mapped() || !table.ordered()) return false;
  const uint64_t count = table.count();
  const uint64_t samples = std::min(count, kListingSamples);
  for (uint64_t k = 0; k < samples; ++k) {
    const uint64_t i = samples == 1 ? 0 : k * (count - 1) / (samples - 1);
    rocrash_async_dwarf_fde_info info;
    if (!table.entryAgrees(i, &info)) return false;
  }
  return true;
}

template <typename machine_ptr>
rocrash_error_t findInSearchTable(const rocrash_async_dwarf_frame_reader* reader,
                                  const rocrash_async_dwarf_fde_index* index, machine_ptr pc,
                                  rocrash_async_dwarf_fde_info* fde_info) {
  SearchTable<machine_ptr> table(reader, index);
  // A table not readable now: the section itself still may be.
  if (!table.mapped()) return findFde<machine_ptr>(reader, 0, pc, fde_info);
  const uint64_t low = table.upperBound(pc);
  if (low > 0) {
    // Of several FDEs for one start, the first in the section that covers
    // the pc, as a walk finds it.
    const machine_ptr start = table.start(low - 1);
    rocrash_vm_address_t best = 0;
    for (uint64_t i = low, n = 0; i > 0 && n < kSameStartEntries && table.start(i - 1) == start;
         --i, ++n) {
      rocrash_async_dwarf_fde_info info;
      if (!table.entryAgrees(i - 1, &info)) continue;
      const rocrash_vm_address_t fde = table.fde(i - 1);
      if (info.pc_start <= pc && pc < info.pc_end && (best == 0 || fde < best)) {
        best = fde;
        *fde_info = info;
      }
    }
    if (best != 0) return ROCRASH_ERR_NONE;
  }
  // No FDE the table points at covers the pc. That is the answer when the
  // pc lies in a gap the table describes consistently: the entries around it
  // start where their FDEs do, the one before ends at or below the pc, and
  // the whole table is in order (which a binary search needs). Anything else
  // means the table is not what the linker wrote, and the section decides.
  rocrash_async_dwarf_fde_info around;
  bool consistent = low == 0 || (table.entryAgrees(low - 1, &around) && around.pc_end <= pc);
  if (consistent && low < table.count()) {
    consistent = table.entryAgrees(low, &around) && around.pc_start > pc;
  }
  if (consistent && table.ordered()) return ROCRASH_ERR_NOTFOUND;
  return findFde<machine_ptr>(reader, 0, pc, fde_info);
}

template <typename machine_ptr>
rocrash_error_t findIndexed(const rocrash_async_dwarf_frame_reader* reader,
                            const rocrash_async_dwarf_fde_index* index, machine_ptr pc,
                            rocrash_async_dwarf_fde_info* fde_info) {
  if (index != nullptr && index->table != 0) {
    return findInSearchTable<machine_ptr>(reader, index, pc, fde_info);
  }
  if (index != nullptr && index->entries != nullptr) {
    return findInBuiltTable<machine_ptr>(reader, index, pc, fde_info);
  }
  return findFde<machine_ptr>(reader, 0, pc, fde_info);
}

}  // namespace

bool rocrash_async_dwarf_fde_index_use_search_table(rocrash_async_dwarf_fde_index* index,
                                                    const rocrash_async_dwarf_frame_reader* reader,
                                                    rocrash_vm_address_t hdr_address,
                                                    rocrash_vm_size_t hdr_size) noexcept {
  using rocrash::async::DW_EH_PE;
  *index = {};
  rocrash_async_mobject hdr;
  if (hdr_size < 4 || rocrash_async_mobject_init(&hdr, rocrash_async_mobject_task(reader->mobj),
                                                 hdr_address, hdr_size, true) != ROCRASH_ERR_NONE) {
    return false;
  }
  const rocrash_async_byteorder* order = reader->byteorder;
  uint8_t fields[4] = {};  // version and the three encodings
  // The four bytes lie inside the header just mapped (at least four long).
  for (int i = 0; i < 4; ++i) {
    (void)rocrash_async_mobject_read_uint8(&hdr, hdr_address, i, &fields[i]);
  }
  rocrash_async_dwarf_fde_index found = {};
  rocrash::async::gnu_ehptr_reader<uint64_t> pointers(order);
  pointers.set_data_base(hdr_address);
  uint64_t frame = 0, count = 0;
  size_t frameSize = 0, countSize = 0;
  constexpr uint8_t kTableEncoding =
      rocrash::async::DW_EH_PE_datarel | rocrash::async::DW_EH_PE_sdata4;
  if (fields[0] == 1 && fields[3] == kTableEncoding &&
      pointers.read(&hdr, hdr_address, 4, static_cast<DW_EH_PE>(fields[1]), &frame, &frameSize) ==
          ROCRASH_ERR_NONE &&
      frame == rocrash_async_mobject_base_address(reader->mobj) &&
      pointers.read(&hdr, hdr_address, static_cast<int64_t>(4 + frameSize),
                    static_cast<DW_EH_PE>(fields[2]), &count, &countSize) == ROCRASH_ERR_NONE) {
    const uint64_t first = 4 + frameSize + countSize;
    if (count > 0 && first <= hdr_size && count <= (hdr_size - first) / 8) {
      found.table = hdr_address + first;
      found.table_count = count;
      found.table_base = hdr_address;
    }
  }
  rocrash_async_mobject_free(&hdr);
  if (found.table == 0) return false;
  const bool holds = reader->m64 ? tableHoldsTogether<uint64_t>(reader, &found)
                                 : tableHoldsTogether<uint32_t>(reader, &found);
  if (holds) *index = found;
  return holds;
}

bool rocrash_async_dwarf_fde_index_build(rocrash_async_dwarf_fde_index* index,
                                         const rocrash_async_dwarf_frame_reader* reader) noexcept {
  *index = {};
  std::vector<std::pair<Entry, uint64_t>> fdes;
  try {
    bool read =
        reader->m64 ? collectFdes<uint64_t>(reader, &fdes) : collectFdes<uint32_t>(reader, &fdes);
    if (!read || fdes.empty()) return false;
  } catch (...) {
    return false;
  }
  std::stable_sort(fdes.begin(), fdes.end(), [](const auto& a, const auto& b) {
    return a.first.pc_start < b.first.pc_start;
  });
  // With overlapping ranges, which FDE covers a pc depends on section order:
  // only the walk keeps that.
  for (size_t i = 1; i < fdes.size(); ++i) {
    if (fdes[i].first.pc_start < fdes[i - 1].second) return false;
  }
  auto* entries = static_cast<Entry*>(malloc(fdes.size() * sizeof(Entry)));
  if (entries == nullptr) return false;
  for (size_t i = 0; i < fdes.size(); ++i) entries[i] = fdes[i].first;
  index->entries = entries;
  index->entry_count = fdes.size();
  return true;
}

void rocrash_async_dwarf_fde_index_free(rocrash_async_dwarf_fde_index* index) noexcept {
  free(index->entries);
  *index = {};
}

rocrash_error_t rocrash_async_dwarf_frame_reader_find_fde_indexed(
    const rocrash_async_dwarf_frame_reader* reader, const rocrash_async_dwarf_fde_index* index,
    rocrash_vm_address_t pc, rocrash_async_dwarf_fde_info* fde_info) noexcept {
  if (reader->m64) return findIndexed<uint64_t>(reader, index, pc, fde_info);
  return findIndexed<uint32_t>(reader, index, static_cast<uint32_t>(pc), fde_info);
}
