#include <gtest/gtest.h>
#include <link.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DwarfFrameSection.h"
#include "UnwindTestSupport.h"
#include "images/AsyncMachO.h"
#include "unwind/AsyncDwarfCFA.h"
#include "unwind/AsyncDwarfFdeIndex.h"

namespace {

using namespace rocrash::async;
using rocrash::testing::Bytes;
using rocrash::testing::direct;
using rocrash::testing::FrameSection;
using rocrash::testing::LowMemory;
using rocrash::testing::x86EntryRules;

// --- the FDE index ---------------------------------------------------------------

// Each pc looked up through `index` and by the walk over the section: the
// same FDE, or the same failure.
void expectIndexFindsWhatTheWalkFinds(const rocrash_async_dwarf_frame_reader& reader,
                                      const rocrash_async_dwarf_fde_index& index,
                                      const std::vector<uint64_t>& pcs) {
  for (uint64_t pc : pcs) {
    rocrash_async_dwarf_fde_info walked{}, indexed{};
    rocrash_error_t byWalk = rocrash_async_dwarf_frame_reader_find_fde(&reader, 0, pc, &walked);
    ASSERT_EQ(rocrash_async_dwarf_frame_reader_find_fde_indexed(&reader, &index, pc, &indexed),
              byWalk)
        << std::hex << pc;
    if (byWalk != ROCRASH_ERR_NONE) continue;
    EXPECT_EQ(indexed.fde_offset, walked.fde_offset) << std::hex << pc;
    EXPECT_EQ(indexed.pc_start, walked.pc_start) << std::hex << pc;
    EXPECT_EQ(indexed.instructions_offset, walked.instructions_offset) << std::hex << pc;
  }
}

// FDEs out of address order, one of length 0, and one the walk never
// reaches (after the terminator).
FrameSection& unorderedFdes(FrameSection& section) {
  size_t cie = section.cie("zR", Bytes{}.u8(0x1B), x86EntryRules());
  section.fde(cie, 0x402000, 0x40, 0x1B, Bytes{});
  section.fde(cie, 0x401000, 0x40, 0x1B, Bytes{});
  section.fde(cie, 0x401040, 0, 0x1B, Bytes{});
  section.fde(cie, 0x401040, 0x20, 0x1B, Bytes{});
  section.terminator();
  section.fde(cie, 0x403000, 0x10, 0x1B, Bytes{});
  return section;
}

TEST(AsyncDwarfFdeIndex, BuiltTableFindsWhatTheWalkFinds) {
  FrameSection section;
  rocrash_async_dwarf_frame_reader reader;
  EXPECT_EQ(rocrash_async_dwarf_frame_reader_init(&reader, unorderedFdes(section).map(), direct(),
                                                  true, false),
            ROCRASH_ERR_NONE);
  rocrash_async_dwarf_fde_index index;
  ASSERT_TRUE(rocrash_async_dwarf_fde_index_build(&index, &reader));
  EXPECT_EQ(index.entry_count, 3u);
  expectIndexFindsWhatTheWalkFinds(reader, index,
                                   {0x400FFF, 0x401000, 0x40103F, 0x401040, 0x40105F, 0x401060,
                                    0x401FFF, 0x402000, 0x40203F, 0x402040, 0x403000});
  rocrash_async_dwarf_fde_index_free(&index);
}

TEST(AsyncDwarfFdeIndex, SectionsATableCannotDescribeAreWalked) {
  // Overlapping FDEs: which one covers a pc depends on section order.
  FrameSection overlapping;
  size_t cie = overlapping.cie("zR", Bytes{}.u8(0x1B), x86EntryRules());
  overlapping.fde(cie, 0x401000, 0x80, 0x1B, Bytes{});
  overlapping.fde(cie, 0x401040, 0x20, 0x1B, Bytes{});
  rocrash_async_dwarf_frame_reader reader;
  EXPECT_EQ(
      rocrash_async_dwarf_frame_reader_init(&reader, overlapping.map(), direct(), true, false),
      ROCRASH_ERR_NONE);
  rocrash_async_dwarf_fde_index index;
  EXPECT_FALSE(rocrash_async_dwarf_fde_index_build(&index, &reader));
  EXPECT_EQ(index.entries, nullptr);
  expectIndexFindsWhatTheWalkFinds(reader, index, {0x401000, 0x401050, 0x401070});
  // An entry that cannot be read.
  FrameSection damaged;
  cie = damaged.cie("zR", Bytes{}.u8(0x1B), x86EntryRules());
  damaged.fde(cie, 0x401000, 0x40, 0x1B, Bytes{});
  damaged.raw(Bytes{}.u32(8).u32(0x7FFFFFF0).u32(0));  // its CIE lies before the section
  EXPECT_EQ(rocrash_async_dwarf_frame_reader_init(&reader, damaged.map(), direct(), true, false),
            ROCRASH_ERR_NONE);
  EXPECT_FALSE(rocrash_async_dwarf_fde_index_build(&index, &reader));
  expectIndexFindsWhatTheWalkFinds(reader, index, {0x401000, 0x401040});
}

// The search table a linker writes: version 1, the section's address
// pc-relative, the count as 4 bytes, then (start, FDE) pairs relative to the
// table's own start, in start order.
Bytes searchTable(uint64_t hdr, uint64_t section, uint8_t tableEncoding,
                  const std::vector<std::pair<uint64_t, uint64_t>>& entries) {
  Bytes out;
  out.u8(1).u8(0x1B).u8(0x03).u8(tableEncoding);
  out.u32(static_cast<uint32_t>(section - (hdr + 4)));
  out.u32(static_cast<uint32_t>(entries.size()));
  for (auto [start, fde] : entries) {
    out.u32(static_cast<uint32_t>(start - hdr)).u32(static_cast<uint32_t>(fde - hdr));
  }
  return out;
}

TEST(AsyncDwarfFdeIndex, SearchTableIsReadInPlace) {
  FrameSection section;
  size_t cie = section.cie("zR", Bytes{}.u8(0x1B), x86EntryRules());
  size_t a = section.fde(cie, 0x401000, 0x40, 0x1B, Bytes{});
  size_t b = section.fde(cie, 0x401040, 0x20, 0x1B, Bytes{});
  size_t c = section.fde(cie, 0x402000, 0x40, 0x1B, Bytes{});
  section.terminator();
  rocrash_async_dwarf_frame_reader reader;
  EXPECT_EQ(rocrash_async_dwarf_frame_reader_init(&reader, section.map(), direct(), true, false),
            ROCRASH_ERR_NONE);
  LowMemory hdr;
  const std::vector<std::pair<uint64_t, uint64_t>> entries = {{0x401000, section.address(a)},
                                                              {0x401040, section.address(b)},
                                                              {0x402000, section.address(c)}};
  const Bytes table = searchTable(hdr.at(0), section.address(), 0x3B, entries);
  hdr.putBytes(0, table.data);
  rocrash_async_dwarf_fde_index index;
  ASSERT_TRUE(
      rocrash_async_dwarf_fde_index_use_search_table(&index, &reader, hdr.at(0), table.size()));
  EXPECT_EQ(index.table, hdr.at(12));
  EXPECT_EQ(index.table_count, 3u);
  expectIndexFindsWhatTheWalkFinds(reader, index,
                                   {0x400FFF, 0x401000, 0x40105F, 0x401060, 0x402000, 0x402040});
  // A table of another section, longer than its segment, or in another
  // encoding is not used.
  hdr.putBytes(0, searchTable(hdr.at(0), section.address() + 8, 0x3B, entries).data);
  EXPECT_FALSE(
      rocrash_async_dwarf_fde_index_use_search_table(&index, &reader, hdr.at(0), table.size()));
  hdr.putBytes(0, table.data);
  EXPECT_FALSE(
      rocrash_async_dwarf_fde_index_use_search_table(&index, &reader, hdr.at(0), table.size() - 1));
  hdr.putBytes(0, searchTable(hdr.at(0), section.address(), 0x1B, entries).data);
  EXPECT_FALSE(
      rocrash_async_dwarf_fde_index_use_search_table(&index, &reader, hdr.at(0), table.size()));
  EXPECT_EQ(index.table, 0u);
}

// Tables as no linker writes them: their entries rotated, reversed, zeroed,
// or pointing at FDEs that start elsewhere.
std::vector<std::pair<std::string, std::vector<std::pair<uint64_t, uint64_t>>>> damagedTables(
    const std::vector<std::pair<uint64_t, uint64_t>>& entries, uint64_t hdr) {
  auto rotated = entries;
  std::rotate(rotated.begin(), rotated.begin() + 2, rotated.end());
  auto reversed = std::vector<std::pair<uint64_t, uint64_t>>(entries.rbegin(), entries.rend());
  auto zeroed = std::vector<std::pair<uint64_t, uint64_t>>(entries.size(), {hdr, hdr});
  auto swapped = entries;  // in order, but each start paired with the next FDE
  for (size_t i = 0; i + 1 < swapped.size(); i += 2) {
    std::swap(swapped[i].second, swapped[i + 1].second);
  }
  return {{"rotated", rotated}, {"reversed", reversed}, {"zeroed", zeroed}, {"swapped", swapped}};
}

// A damaged table is refused when the image is listed, and one damaged
// after that (the image's memory written over) is caught by the lookup,
// which then walks the section: either way every pc finds what the walk
// finds.
TEST(AsyncDwarfFdeIndex, DamagedSearchTablesFallBackToTheWalk) {
  FrameSection section;
  size_t cie = section.cie("zR", Bytes{}.u8(0x1B), x86EntryRules());
  std::vector<std::pair<uint64_t, uint64_t>> entries;
  std::vector<uint64_t> pcs;
  for (uint64_t i = 0; i < 8; ++i) {
    // Functions of 0x40 bytes with a gap of 0x20 after each.
    const uint64_t start = 0x401000 + i * 0x60;
    entries.push_back({start, section.address(section.fde(cie, start, 0x40, 0x1B, Bytes{}))});
    pcs.insert(pcs.end(), {start - 1, start, start + 0x3F, start + 0x40});
  }
  section.terminator();
  rocrash_async_dwarf_frame_reader reader;
  EXPECT_EQ(rocrash_async_dwarf_frame_reader_init(&reader, section.map(), direct(), true, false),
            ROCRASH_ERR_NONE);
  LowMemory hdr;
  const Bytes good = searchTable(hdr.at(0), section.address(), 0x3B, entries);
  for (const auto& [name, damaged] : damagedTables(entries, hdr.at(0))) {
    SCOPED_TRACE(name);
    const Bytes bad = searchTable(hdr.at(0), section.address(), 0x3B, damaged);
    rocrash_async_dwarf_fde_index index;
    hdr.putBytes(0, bad.data);
    EXPECT_FALSE(
        rocrash_async_dwarf_fde_index_use_search_table(&index, &reader, hdr.at(0), bad.size()));
    hdr.putBytes(0, good.data);
    ASSERT_TRUE(
        rocrash_async_dwarf_fde_index_use_search_table(&index, &reader, hdr.at(0), good.size()));
    hdr.putBytes(0, bad.data);
    expectIndexFindsWhatTheWalkFinds(reader, index, pcs);
  }
}

int addProgramAndLibc(dl_phdr_info* info, size_t, void* data) {
  std::string name = info->dlpi_name;
  if (!name.empty() && name.find("/libc.so") == std::string::npos) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& phdr = info->dlpi_phdr[i];
    if (phdr.p_type != PT_LOAD || phdr.p_offset != 0) continue;
    auto* images = static_cast<std::vector<std::unique_ptr<rocrash_async_macho>>*>(data);
    images->push_back(std::make_unique<rocrash_async_macho>());
    if (rocrash_async_macho_init(images->back().get(), sys::mach_task_self(),
                                 name.empty() ? "/proc/self/exe" : name.c_str(),
                                 info->dlpi_addr + phdr.p_vaddr) != ROCRASH_ERR_NONE) {
      images->pop_back();
    }
    break;
  }
  return 0;
}

// This program and the C library, as the linker left them: their own search
// tables, which find what the walk over `.eh_frame` finds.
TEST(AsyncDwarfFdeIndex, ImagesOfThisProcessUseTheirSearchTables) {
  std::vector<std::unique_ptr<rocrash_async_macho>> images;
  dl_iterate_phdr(addProgramAndLibc, &images);
  ASSERT_EQ(images.size(), 2u);
  for (const auto& image : images) {
    SCOPED_TRACE(image->name);
    const rocrash_async_dwarf_fde_index& index = image->fde_index;
    ASSERT_NE(index.table, 0u);
    rocrash_async_mobject section;
    bool debugFrame;
    ASSERT_TRUE(rocrash_async_macho_map_frame_section(image.get(), &section, &debugFrame));
    rocrash_async_dwarf_frame_reader reader;
    EXPECT_EQ(rocrash_async_dwarf_frame_reader_init(&reader, &section, direct(), true, false),
              ROCRASH_ERR_NONE);
    // Starts and ends of functions spread over the table (walks are slow).
    std::vector<uint64_t> pcs;
    const auto* entries = reinterpret_cast<const int32_t*>(index.table);
    for (uint64_t i = 0; i < index.table_count; i += index.table_count / 16 + 1) {
      const uint64_t start = index.table_base + static_cast<uint64_t>(int64_t{entries[2 * i]});
      pcs.insert(pcs.end(), {start - 1, start, start + 1});
    }
    expectIndexFindsWhatTheWalkFinds(reader, index, pcs);
    rocrash_async_mobject_free(&section);
    rocrash_async_macho_free(image.get());
  }
}

}  // namespace
