#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "MachOFixtures.h"
#include "UnwindTestSupport.h"
#include "unwind/AsyncCompactUnwind.h"
#include "walk/AsyncFrameCursor.h"

namespace {

using rocrash::testing::Bytes;
using rocrash::testing::has;
using rocrash::testing::LowMemory;
using rocrash::testing::makeState;
using rocrash::testing::MappedBytes;
using rocrash::testing::reg;

// One second-level page of a hand-made table. Regular pages list (function
// offset, encoding); compressed ones (offset from the first-level entry's
// function, encoding index) and their own encodings.
struct Page {
  bool compressed = false;
  std::vector<std::pair<uint32_t, uint32_t>> entries;
  std::vector<uint32_t> encodings;
};

// A version-1 table: the header, the common encodings, the first-level index
// (one entry per page, then the sentinel) and the pages.
Bytes unwindInfo(const std::vector<uint32_t>& common,
                 const std::vector<std::pair<uint32_t, Page>>& pages, uint32_t sentinel) {
  const uint32_t commonOffset = 28;
  const uint32_t indexOffset = commonOffset + 4 * static_cast<uint32_t>(common.size());
  const uint32_t indexCount = static_cast<uint32_t>(pages.size()) + 1;
  Bytes b;
  b.u32(1).u32(commonOffset).u32(static_cast<uint32_t>(common.size()));
  b.u32(indexOffset).u32(0).u32(indexOffset).u32(indexCount);
  for (uint32_t e : common) b.u32(e);
  const size_t indexAt = b.size();
  for (uint32_t i = 0; i < indexCount; ++i) b.u32(0).u32(0).u32(0);
  for (size_t i = 0; i < pages.size(); ++i) {
    const auto& [function, page] = pages[i];
    const auto pageOffset = static_cast<uint32_t>(b.size());
    b.patch32(indexAt + i * 12, function);
    b.patch32(indexAt + i * 12 + 4, pageOffset);
    const auto count = static_cast<uint16_t>(page.entries.size());
    if (page.compressed) {
      const uint16_t entriesOffset = 12;
      const auto encodingsOffset = static_cast<uint16_t>(entriesOffset + 4 * count);
      b.u32(3).u16(entriesOffset).u16(count).u16(encodingsOffset);
      b.u16(static_cast<uint16_t>(page.encodings.size()));
      for (auto [offset, index] : page.entries) b.u32(offset | (index << 24));
      for (uint32_t e : page.encodings) b.u32(e);
    } else {
      b.u32(2).u16(8).u16(count);
      for (auto [offset, encoding] : page.entries) b.u32(offset).u32(encoding);
    }
  }
  b.patch32(indexAt + pages.size() * 12, sentinel);
  return b;
}

struct Found {
  rocrash_error_t error;
  uint64_t function = 0;
  uint32_t encoding = 0;
  bool operator==(const Found& o) const {
    return error == o.error && function == o.function && encoding == o.encoding;
  }
};
std::ostream& operator<<(std::ostream& os, const Found& f) {
  return os << "{" << f.error << ", 0x" << std::hex << f.function << ", 0x" << f.encoding << "}";
}

Found findIn(const Bytes& table, uint64_t pc, uint32_t cputype = ROCRASH_CPU_TYPE_ARM64) {
  MappedBytes section(table.data.data(), table.size());
  EXPECT_TRUE(section.ok());
  rocrash_async_cfe_reader reader;
  EXPECT_EQ(rocrash_async_cfe_reader_init(&reader, section.get(), cputype), ROCRASH_ERR_NONE);
  Found found{};
  found.error = rocrash_async_cfe_reader_find_pc(&reader, pc, &found.function, &found.encoding);
  if (found.error != ROCRASH_ERR_NONE) found.function = found.encoding = 0;
  rocrash_async_cfe_reader_free(&reader);
  return found;
}

TEST(AsyncCompactUnwindReader, AcceptsOnlyVersionOneTablesOfKnownMachines) {
  Bytes table = unwindInfo({}, {}, 0x100);
  MappedBytes section(table.data.data(), table.size());
  rocrash_async_cfe_reader reader;
  EXPECT_EQ(rocrash_async_cfe_reader_init(&reader, section.get(), ROCRASH_CPU_TYPE_ARM),
            ROCRASH_ERR_NOTSUP);
  for (uint32_t cpu : {ROCRASH_CPU_TYPE_X86, ROCRASH_CPU_TYPE_X86_64, ROCRASH_CPU_TYPE_ARM64}) {
    EXPECT_EQ(rocrash_async_cfe_reader_init(&reader, section.get(), cpu), ROCRASH_ERR_NONE);
  }
  table.patch32(0, 2);
  MappedBytes version2(table.data.data(), table.size());
  EXPECT_EQ(rocrash_async_cfe_reader_init(&reader, version2.get(), ROCRASH_CPU_TYPE_ARM64),
            ROCRASH_ERR_NOTSUP);
  MappedBytes truncated(table.data.data(), 27);
  EXPECT_EQ(rocrash_async_cfe_reader_init(&reader, truncated.get(), ROCRASH_CPU_TYPE_ARM64),
            ROCRASH_ERR_INVAL);
}

TEST(AsyncCompactUnwindReader, IndexWithOnlyTheSentinelFindsNothing) {
  EXPECT_EQ(findIn(unwindInfo({}, {}, 0x100), 0x50), Found{ROCRASH_ERR_NOTFOUND});
  // The sentinel's own offset is never matched either.
  Page page{false, {{0x100, 0x02001000}}, {}};
  EXPECT_EQ(findIn(unwindInfo({}, {{0x100, page}}, 0x200), 0x80), Found{ROCRASH_ERR_NOTFOUND});
}

TEST(AsyncCompactUnwindReader, RegularPagesSelectTheFunctionHoldingThePc) {
  Page low{false, {{0x100, 0x04000001}, {0x180, 0x02001000}, {0x1C0, 0x04000002}}, {}};
  Page high{false, {{0x400, 0x04000010}, {0x480, 0x03000040}}, {}};
  Bytes table = unwindInfo({}, {{0x100, low}, {0x400, high}}, 0x500);
  EXPECT_EQ(findIn(table, 0x180), (Found{ROCRASH_ERR_NONE, 0x180, 0x02001000}));
  EXPECT_EQ(findIn(table, 0x17F), (Found{ROCRASH_ERR_NONE, 0x100, 0x04000001}));
  EXPECT_EQ(findIn(table, 0x100), (Found{ROCRASH_ERR_NONE, 0x100, 0x04000001}));
  EXPECT_EQ(findIn(table, 0x3FF), (Found{ROCRASH_ERR_NONE, 0x1C0, 0x04000002}));
  EXPECT_EQ(findIn(table, 0x400), (Found{ROCRASH_ERR_NONE, 0x400, 0x04000010}));
  EXPECT_EQ(findIn(table, 0x4A0), (Found{ROCRASH_ERR_NONE, 0x480, 0x03000040}));
  EXPECT_EQ(findIn(table, 0xFF), Found{ROCRASH_ERR_NOTFOUND});
  EXPECT_EQ(findIn(table, 0), Found{ROCRASH_ERR_NOTFOUND});
}

TEST(AsyncCompactUnwindReader, CompressedPagesIndexCommonThenOwnEncodings) {
  // Two common encodings; index 2 is the page's first own encoding, index 3
  // is past the page's single one.
  Page page{true, {{0x0, 1}, {0x20, 0}, {0x40, 2}, {0x60, 3}}, {0x02003000}};
  Bytes table = unwindInfo({0x04000001, 0x04000000}, {{0x1000, page}}, 0x2000);
  EXPECT_EQ(findIn(table, 0x1010), (Found{ROCRASH_ERR_NONE, 0x1000, 0x04000000}));
  EXPECT_EQ(findIn(table, 0x1020), (Found{ROCRASH_ERR_NONE, 0x1020, 0x04000001}));
  EXPECT_EQ(findIn(table, 0x105F), (Found{ROCRASH_ERR_NONE, 0x1040, 0x02003000}));
  EXPECT_EQ(findIn(table, 0x1060), Found{ROCRASH_ERR_INVAL});
  EXPECT_EQ(findIn(table, 0x0FFF), Found{ROCRASH_ERR_NOTFOUND});
}

TEST(AsyncCompactUnwindReader, TablesReachingOutsideTheSectionAreInvalid) {
  Page page{false, {{0x100, 0x04000001}}, {}};
  Bytes good = unwindInfo({0x1}, {{0x100, page}}, 0x200);
  ASSERT_EQ(findIn(good, 0x100).error, ROCRASH_ERR_NONE);

  Bytes commonOutside = good;
  commonOutside.patch32(8, 1000);  // common encodings count
  EXPECT_EQ(findIn(commonOutside, 0x100).error, ROCRASH_ERR_INVAL);
  Bytes indexOutside = good;
  indexOutside.patch32(20, 0x10000);  // index offset
  EXPECT_EQ(findIn(indexOutside, 0x100).error, ROCRASH_ERR_INVAL);
  Bytes badKind = good;
  const uint32_t pageOffset = 28 + 4 + 2 * 12;
  badKind.patch32(pageOffset, 7);
  EXPECT_EQ(findIn(badKind, 0x100).error, ROCRASH_ERR_INVAL);
  Bytes pageOutside = good;
  pageOutside.patch32(28 + 4 + 4, 0x10000);  // the first-level entry's page offset
  EXPECT_EQ(findIn(pageOutside, 0x100).error, ROCRASH_ERR_INVAL);
  Bytes entriesOutside = good;
  entriesOutside.patch32(pageOffset + 4, 0x0100 | (0x2000u << 16));  // offset 0x100, 0x2000 entries
  EXPECT_EQ(findIn(entriesOutside, 0x100).error, ROCRASH_ERR_INVAL);
}

// --- decoding -------------------------------------------------------------

rocrash_async_cfe_entry decoded(uint32_t cputype, uint32_t encoding, rocrash_error_t expected) {
  rocrash_async_cfe_entry entry;
  EXPECT_EQ(rocrash_async_cfe_entry_init(&entry, cputype, encoding), expected)
      << std::hex << encoding;
  return entry;
}

std::vector<uint32_t> registers(const rocrash_async_cfe_entry& entry) {
  std::vector<uint32_t> list(rocrash_async_cfe_entry_register_count(&entry));
  rocrash_async_cfe_entry_register_list(&entry, list.data());
  return list;
}

constexpr uint32_t X(uint32_t n) { return ROCRASH_ARM64_X0 + n; }

TEST(AsyncCompactUnwindEntry, Arm64ModesDecodeToTheirEntryTypes) {
  const uint32_t arm64 = ROCRASH_CPU_TYPE_ARM64;
  EXPECT_EQ(decoded(arm64, 0x00000000, ROCRASH_ERR_NONE).type, CFE_ENTRY_NONE);
  decoded(arm64, 0x01000000, ROCRASH_ERR_NOTSUP);
  decoded(arm64, 0x05000000, ROCRASH_ERR_NOTSUP);

  auto dwarf = decoded(arm64, 0x03123456, ROCRASH_ERR_NONE);
  EXPECT_EQ(dwarf.type, CFE_ENTRY_DWARF);
  EXPECT_EQ(rocrash_async_cfe_entry_stack_offset(&dwarf), 0x123456);
  EXPECT_EQ(rocrash_async_cfe_entry_register_count(&dwarf), 0u);

  // Stack-size field 3 (48 bytes), pairs x19/x20 and x21/x22; the float
  // pair bits (0x100) are ignored.
  auto frameless = decoded(arm64, 0x02003103, ROCRASH_ERR_NONE);
  EXPECT_EQ(frameless.type, CFE_ENTRY_FRAMELESS_IMMD);
  EXPECT_EQ(rocrash_async_cfe_entry_stack_offset(&frameless), 48);
  EXPECT_EQ(rocrash_async_cfe_entry_return_address_register(&frameless), ROCRASH_ARM64_LR);
  EXPECT_EQ(registers(frameless), (std::vector<uint32_t>{X(22), X(21), X(20), X(19)}));

  auto frame = decoded(arm64, 0x0400001F, ROCRASH_ERR_NONE);
  EXPECT_EQ(frame.type, CFE_ENTRY_FRAME_PTR);
  EXPECT_EQ(rocrash_async_cfe_entry_stack_offset(&frame), -80);
  EXPECT_EQ(rocrash_async_cfe_entry_return_address_register(&frame), ROCRASH_CFE_REG_NONE);
  EXPECT_EQ(registers(frame), (std::vector<uint32_t>{X(28), X(27), X(26), X(25), X(24), X(23),
                                                     X(22), X(21), X(20), X(19)}));
}

TEST(AsyncCompactUnwindEntry, X86FrameEncodingsListSavedRegistersFromTheLowestSlot) {
  const uint32_t x64 = ROCRASH_CPU_TYPE_X86_64;
  // Offset 5 words; codes 1 to 5 (rbx, r12, r13, r14, r15).
  auto frame = decoded(x64, 0x010558D1, ROCRASH_ERR_NONE);
  EXPECT_EQ(frame.type, CFE_ENTRY_FRAME_PTR);
  EXPECT_EQ(rocrash_async_cfe_entry_stack_offset(&frame), -40);
  EXPECT_EQ(registers(frame),
            (std::vector<uint32_t>{ROCRASH_X86_64_RBX, ROCRASH_X86_64_R12, ROCRASH_X86_64_R13,
                                   ROCRASH_X86_64_R14, ROCRASH_X86_64_R15}));
  // A zero group between two registers is an empty slot; code 6 is rbp.
  auto gap = decoded(x64, 0x01030000 | (6 << 6) | 1, ROCRASH_ERR_NONE);
  EXPECT_EQ(registers(gap),
            (std::vector<uint32_t>{ROCRASH_X86_64_RBX, ROCRASH_CFE_REG_NONE, ROCRASH_X86_64_RBP}));
  decoded(x64, 0x01010000 | (7 << 3) | 1, ROCRASH_ERR_INVAL);
  // 32-bit x86 has its own register numbers and 4-byte slots.
  auto x86 = decoded(ROCRASH_CPU_TYPE_X86, 0x01020000 | (2 << 3) | 1, ROCRASH_ERR_NONE);
  EXPECT_EQ(rocrash_async_cfe_entry_stack_offset(&x86), -8);
  EXPECT_EQ(registers(x86), (std::vector<uint32_t>{6, 5}));
}

TEST(AsyncCompactUnwindEntry, X86FramelessAndDwarfEncodings) {
  const uint32_t x64 = ROCRASH_CPU_TYPE_X86_64;
  // 80 bytes, six registers in permutation 0: codes 1 to 6 in order.
  auto immediate = decoded(x64, 0x020A1800, ROCRASH_ERR_NONE);
  EXPECT_EQ(immediate.type, CFE_ENTRY_FRAMELESS_IMMD);
  EXPECT_EQ(rocrash_async_cfe_entry_stack_offset(&immediate), 80);
  EXPECT_EQ(rocrash_async_cfe_entry_return_address_register(&immediate), ROCRASH_CFE_REG_NONE);
  EXPECT_EQ(registers(immediate),
            (std::vector<uint32_t>{ROCRASH_X86_64_RBX, ROCRASH_X86_64_R12, ROCRASH_X86_64_R13,
                                   ROCRASH_X86_64_R14, ROCRASH_X86_64_R15, ROCRASH_X86_64_RBP}));
  // The immediate sits 4 bytes into the function; 2 words of adjustment.
  auto indirect = decoded(x64, 0x03044400, ROCRASH_ERR_NONE);
  EXPECT_EQ(indirect.type, CFE_ENTRY_FRAMELESS_INDIRECT);
  EXPECT_EQ(rocrash_async_cfe_entry_stack_offset(&indirect), 4);
  EXPECT_EQ(rocrash_async_cfe_entry_stack_adjust(&indirect), 16u);
  EXPECT_EQ(registers(indirect), (std::vector<uint32_t>{ROCRASH_X86_64_RBX}));

  auto dwarf = decoded(x64, 0x04ABCDEF, ROCRASH_ERR_NONE);
  EXPECT_EQ(dwarf.type, CFE_ENTRY_DWARF);
  EXPECT_EQ(rocrash_async_cfe_entry_stack_offset(&dwarf), 0xABCDEF);
  EXPECT_EQ(decoded(x64, 0, ROCRASH_ERR_NONE).type, CFE_ENTRY_NONE);
  decoded(x64, 0x05000000, ROCRASH_ERR_NOTSUP);
  decoded(x64, 0x02001C00, ROCRASH_ERR_INVAL);      // seven registers
  decoded(x64, 0x02000400 | 6, ROCRASH_ERR_INVAL);  // one register, seventh code
  decoded(ROCRASH_CPU_TYPE_ARM, 0x02000000, ROCRASH_ERR_NOTSUP);
}

TEST(AsyncCompactUnwindEntry, PermutationsRoundTripForEveryCount) {
  const uint32_t limits[] = {1, 6, 30, 120, 360, 720, 720};
  for (uint32_t count = 1; count <= 6; ++count) {
    std::map<std::vector<uint32_t>, uint32_t> seen;
    for (uint32_t n = 0; n < limits[count]; ++n) {
      uint32_t codes[6] = {};
      ASSERT_EQ(rocrash_async_cfe_register_decode(n, count, codes), ROCRASH_ERR_NONE)
          << count << " " << n;
      std::vector<uint32_t> list(codes, codes + count);
      for (uint32_t c : list) ASSERT_TRUE(c >= 1 && c <= 6);
      ASSERT_TRUE(seen.emplace(list, n).second) << "two numbers give one order";
      EXPECT_EQ(rocrash_async_cfe_register_encode(codes, count), n);
    }
  }
  uint32_t codes[7];
  EXPECT_EQ(rocrash_async_cfe_register_decode(0, 7, codes), ROCRASH_ERR_INVAL);
  EXPECT_EQ(rocrash_async_cfe_register_decode(6, 1, codes), ROCRASH_ERR_INVAL);
  // Count 2: the second digit (n mod 5) may pick any of the five codes left.
  EXPECT_EQ(rocrash_async_cfe_register_decode(29, 2, codes), ROCRASH_ERR_NONE);
  EXPECT_EQ(codes[0], 6u);
  EXPECT_EQ(codes[1], 5u);
  const uint32_t repeated[] = {2, 2};
  EXPECT_EQ(rocrash_async_cfe_register_encode(repeated, 2), 0u);
}

// --- applying ---------------------------------------------------------------

TEST(AsyncCompactUnwindApply, Arm64FramelessEntryTakesThePcFromTheLinkRegister) {
  LowMemory stack;
  const uint64_t sp = stack.at(0x100);
  const uint64_t newSp = sp + 48;
  for (int i = 0; i < 4; ++i) stack.put<uint64_t>(0x100 + 48 - 32 + 8 * i, 0x2200 - 0x100 * i);
  auto current = makeState(ROCRASH_CPU_TYPE_ARM64);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_REG_SP, sp);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_ARM64_LR, 0x40001234);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_REG_FP, 0x5000);
  rocrash_async_thread_state_set_reg(&current, X(0), 1);
  auto entry = decoded(ROCRASH_CPU_TYPE_ARM64, 0x02003003, ROCRASH_ERR_NONE);
  rocrash_async_thread_state next;
  ASSERT_EQ(rocrash_async_cfe_entry_apply(sys::mach_task_self(), 0, &current, &entry, &next),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_SP), newSp);
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x40001234u);
  EXPECT_EQ(reg(next, X(22)), 0x2200u);
  EXPECT_EQ(reg(next, X(21)), 0x2100u);
  EXPECT_EQ(reg(next, X(20)), 0x2000u);
  EXPECT_EQ(reg(next, X(19)), 0x1F00u);
  EXPECT_TRUE(has(next, ROCRASH_REG_FP));  // callee-saved, unchanged
  EXPECT_EQ(reg(next, ROCRASH_REG_FP), 0x5000u);
  EXPECT_FALSE(has(next, X(0)));
  EXPECT_FALSE(has(next, ROCRASH_ARM64_LR));

  rocrash_async_thread_state_clear_reg(&current, ROCRASH_ARM64_LR);
  EXPECT_EQ(rocrash_async_cfe_entry_apply(sys::mach_task_self(), 0, &current, &entry, &next),
            ROCRASH_ERR_NOTFOUND);
  rocrash_async_thread_state_clear_reg(&current, ROCRASH_REG_SP);
  EXPECT_EQ(rocrash_async_cfe_entry_apply(sys::mach_task_self(), 0, &current, &entry, &next),
            ROCRASH_ERR_NOTFOUND);
}

TEST(AsyncCompactUnwindApply, Arm64FrameEntryReadsTheRecordAndTheRegistersBelowIt) {
  LowMemory stack;
  const uint64_t fp = stack.at(0x200);
  stack.put<uint64_t>(0x200, stack.at(0x300));  // caller's fp
  stack.put<uint64_t>(0x208, 0x40005678);       // return address
  stack.put<uint64_t>(0x200 - 16, 0x2020);      // x20
  stack.put<uint64_t>(0x200 - 8, 0x1919);       // x19
  auto current = makeState(ROCRASH_CPU_TYPE_ARM64);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_REG_FP, fp);
  auto entry = decoded(ROCRASH_CPU_TYPE_ARM64, 0x04000001, ROCRASH_ERR_NONE);
  rocrash_async_thread_state next;
  ASSERT_EQ(rocrash_async_cfe_entry_apply(sys::mach_task_self(), 0, &current, &entry, &next),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_FP), stack.at(0x300));
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x40005678u);
  EXPECT_EQ(reg(next, ROCRASH_REG_SP), fp + 16);
  EXPECT_EQ(reg(next, X(20)), 0x2020u);
  EXPECT_EQ(reg(next, X(19)), 0x1919u);

  rocrash_async_thread_state_clear_reg(&current, ROCRASH_REG_FP);
  EXPECT_EQ(rocrash_async_cfe_entry_apply(sys::mach_task_self(), 0, &current, &entry, &next),
            ROCRASH_ERR_NOTFOUND);
  // A frame pointer into unmapped memory reports the read's error.
  rocrash_async_thread_state_set_reg(&current, ROCRASH_REG_FP, 0x10);
  EXPECT_EQ(rocrash_async_cfe_entry_apply(sys::mach_task_self(), 0, &current, &entry, &next),
            ROCRASH_ERR_NOTFOUND);
}

TEST(AsyncCompactUnwindApply, DwarfAndEmptyEntriesCannotBeApplied) {
  auto current = makeState(ROCRASH_CPU_TYPE_ARM64);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_REG_FP, 0x1000);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_REG_SP, 0x1000);
  rocrash_async_thread_state next;
  for (uint32_t encoding : {0x03000010u, 0u}) {
    auto entry = decoded(ROCRASH_CPU_TYPE_ARM64, encoding, ROCRASH_ERR_NONE);
    EXPECT_EQ(rocrash_async_cfe_entry_apply(sys::mach_task_self(), 0, &current, &entry, &next),
              ROCRASH_ERR_NOTSUP);
  }
}

// --- the fixtures -------------------------------------------------------------

// What `llvm-objdump --unwind-info` printed about a fixture.
struct ExpectedUnwind {
  std::vector<uint32_t> common;
  std::vector<std::pair<uint64_t, uint32_t>> functions;  // offset, encoding
};

ExpectedUnwind expectedUnwind(const std::string& name) {
  std::ifstream in(rocrash::testing::fixturePath(name) + ".unwind.txt");
  EXPECT_TRUE(in.good()) << name;
  ExpectedUnwind e;
  std::string line;
  while (std::getline(in, line)) {
    unsigned index = 0, encodingIndex = 0;
    unsigned long long offset = 0;
    unsigned encoding = 0;
    if (std::sscanf(line.c_str(), " [%u]: function offset=%llx, encoding[%u]=%x", &index, &offset,
                    &encodingIndex, &encoding) == 4) {
      e.functions.emplace_back(offset, encoding);
    } else if (std::sscanf(line.c_str(), " encoding[%u]: %x", &index, &encoding) == 2) {
      e.common.push_back(encoding);
    }
  }
  return e;
}

class CompactUnwindFixture : public ::testing::TestWithParam<const char*> {};

TEST_P(CompactUnwindFixture, LookupsMatchWhatTheObjectDumperPrints) {
  const std::string name = GetParam();
  ExpectedUnwind expected = expectedUnwind(name);
  ASSERT_FALSE(expected.functions.empty()) << name;
  auto mapped = rocrash::testing::MappedImage::map(name);
  rocrash_async_macho image;
  ASSERT_EQ(rocrash_async_macho_init(&image, sys::mach_task_self(), name.c_str(), mapped->header()),
            ROCRASH_ERR_NONE);
  rocrash_async_mobject section;
  ASSERT_EQ(rocrash_async_macho_map_section(&image, "__TEXT", "__unwind_info", &section),
            ROCRASH_ERR_NONE);
  rocrash_async_cfe_reader reader;
  ASSERT_EQ(rocrash_async_cfe_reader_init(&reader, &section, rocrash_async_macho_cpu_type(&image)),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(reader.header.commonEncodingsArrayCount, expected.common.size());

  for (size_t i = 0; i < expected.functions.size(); ++i) {
    const auto [offset, encoding] = expected.functions[i];
    uint64_t function = 0;
    uint32_t found = 0;
    ASSERT_EQ(rocrash_async_cfe_reader_find_pc(&reader, offset, &function, &found),
              ROCRASH_ERR_NONE);
    EXPECT_EQ(function, offset) << name;
    EXPECT_EQ(found, encoding) << name << " at 0x" << std::hex << offset;
    ASSERT_EQ(rocrash_async_cfe_reader_find_pc(&reader, offset + 2, &function, &found),
              ROCRASH_ERR_NONE);
    EXPECT_EQ(function, offset);
    rocrash_error_t before =
        rocrash_async_cfe_reader_find_pc(&reader, offset - 1, &function, &found);
    if (i == 0) {
      EXPECT_EQ(before, ROCRASH_ERR_NOTFOUND);
    } else {
      ASSERT_EQ(before, ROCRASH_ERR_NONE);
      EXPECT_EQ(function, expected.functions[i - 1].first);
      EXPECT_EQ(found, expected.functions[i - 1].second);
    }
    // Every encoding the linker wrote decodes.
    rocrash_async_cfe_entry entry;
    EXPECT_EQ(rocrash_async_cfe_entry_init(&entry, rocrash_async_macho_cpu_type(&image), encoding),
              ROCRASH_ERR_NONE)
        << std::hex << encoding;
  }
  rocrash_async_cfe_reader_free(&reader);
  rocrash_async_mobject_free(&section);
  rocrash_async_macho_free(&image);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CompactUnwindFixture,
                         ::testing::Values("functions_arm64", "functions_arm64_nofp",
                                           "functions_x86_64", "functions_x86_64_nofp",
                                           "program_arm64", "unwind_arm64", "unwind_x86_64",
                                           "unwind_x86_64_nofp"));

// Walks of hand-made stacks through fixtures mapped as the loader would,
// with the compact unwind reader alone.
class CompactUnwindWalk : public ::testing::Test {
 protected:
  void SetUp() override { rocrash_async_image_list_init(&list_, sys::mach_task_self()); }
  void TearDown() override { rocrash_async_image_list_free(&list_); }

  std::unique_ptr<rocrash::testing::MappedImage> load(const std::string& name) {
    auto image = rocrash::testing::MappedImage::map(name);
    rocrash_async_image_list_append(&list_, image->header(), name.c_str());
    return image;
  }
  uint64_t symbol(const rocrash::testing::MappedImage& image, const std::string& fixture,
                  const std::string& name) {
    for (const auto& s : rocrash::testing::expectedFor(fixture).symbols) {
      if (s.name == name) return s.value + static_cast<uint64_t>(image.slide());
    }
    ADD_FAILURE() << "no symbol " << name;
    return 0;
  }
  rocrash_async_frame_error step(rocrash_async_frame_cursor* cursor) {
    static const rocrash_async_frame_reader kCompactOnly[] = {
        rocrash_async_frame_read_compact_unwind};
    return rocrash_async_frame_cursor_next_with_readers(cursor, kCompactOnly, 1);
  }

  rocrash_async_image_list list_;
};

TEST_F(CompactUnwindWalk, X86FramelessFunctionsUnwindThroughTheirStackSizes) {
  const std::string fixture = "unwind_x86_64_nofp";
  auto image = load(fixture);
  const uint64_t manySaved = symbol(*image, fixture, "_many_saved");
  const uint64_t largeStack = symbol(*image, fixture, "_large_stack");
  const uint64_t caller = symbol(*image, fixture, "_small_stack") + 0x10;

  // Frame 0 stands in many_saved (80 bytes: six saved registers, a local
  // word, the return address). Its return address is the first byte of
  // large_stack, as after a call that ends a function; frame 1 is therefore
  // looked up one byte earlier, in many_saved itself, whose caller returns
  // into small_stack. large_stack's own frame would need 2832 bytes.
  LowMemory stack(4 * 4096);
  const size_t frame0 = 0x100;
  for (int i = 0; i < 6; ++i) stack.put<uint64_t>(frame0 + 24 + 8 * i, 0xA0 + i);
  stack.put<uint64_t>(frame0 + 72, largeStack);
  const size_t frame1 = frame0 + 80;
  stack.put<uint64_t>(frame1 + 72, caller);

  auto state = makeState(ROCRASH_CPU_TYPE_X86_64);
  rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_IP, manySaved + 0x20);
  rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_SP, stack.at(frame0));
  rocrash_async_frame_cursor cursor;
  EXPECT_EQ(rocrash_async_frame_cursor_init(&cursor, sys::mach_task_self(), &state, &list_),
            FRAME_ERR_NONE);
  ASSERT_EQ(step(&cursor), FRAME_ERR_NONE);
  ASSERT_EQ(step(&cursor), FRAME_ERR_NONE);
  EXPECT_EQ(reg(cursor.frame, ROCRASH_REG_IP), largeStack);
  EXPECT_EQ(reg(cursor.frame, ROCRASH_REG_SP), stack.at(frame1));
  EXPECT_EQ(reg(cursor.frame, ROCRASH_X86_64_RBX), 0xA0u);
  EXPECT_EQ(reg(cursor.frame, ROCRASH_X86_64_RBP), 0xA5u);
  EXPECT_FALSE(has(cursor.frame, ROCRASH_X86_64_RAX));
  ASSERT_EQ(step(&cursor), FRAME_ERR_NONE);
  EXPECT_EQ(reg(cursor.frame, ROCRASH_REG_IP), caller);
  EXPECT_EQ(reg(cursor.frame, ROCRASH_REG_SP), stack.at(frame1 + 80));
  rocrash_async_frame_cursor_free(&cursor);
}

TEST_F(CompactUnwindWalk, IndirectStackSizeIsReadFromTheFunctionsCode) {
  const std::string fixture = "unwind_x86_64_nofp";
  auto image = load(fixture);
  const uint64_t largeStack = symbol(*image, fixture, "_large_stack");
  // `subq $2816, %rsp` after `pushq %rbx`: 2816 + the push + the return
  // address.
  const size_t size = 2816 + 16;
  LowMemory stack(4 * 4096);
  stack.put<uint64_t>(0x100 + size - 8, 0x7000);
  stack.put<uint64_t>(0x100 + size - 16, 0xBB);
  auto state = makeState(ROCRASH_CPU_TYPE_X86_64);
  rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_IP, largeStack + 0x30);
  rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_SP, stack.at(0x100));
  rocrash_async_thread_state next;
  ASSERT_EQ(rocrash_async_frame_read_compact_unwind(sys::mach_task_self(), &list_, &state, nullptr,
                                                    &next),
            FRAME_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x7000u);
  EXPECT_EQ(reg(next, ROCRASH_REG_SP), stack.at(0x100 + size));
  EXPECT_EQ(reg(next, ROCRASH_X86_64_RBX), 0xBBu);
}

TEST_F(CompactUnwindWalk, FunctionsWithoutEntriesOrWithDwarfEntriesAreLeftToTheNextReader) {
  auto x86 = load("unwind_x86_64_nofp");
  auto arm = load("functions_arm64_nofp");
  LowMemory stack;
  stack.put<uint64_t>(0x100, 0);
  stack.put<uint64_t>(0x108, 0x40000000);
  rocrash_async_thread_state next;

  // frameless_leaf has encoding 0: no unwind information.
  auto leaf = makeState(ROCRASH_CPU_TYPE_X86_64);
  rocrash_async_thread_state_set_reg(&leaf, ROCRASH_REG_IP,
                                     symbol(*x86, "unwind_x86_64_nofp", "_frameless_leaf") + 1);
  rocrash_async_thread_state_set_reg(&leaf, ROCRASH_REG_SP, stack.at(0x100));
  EXPECT_EQ(
      rocrash_async_frame_read_compact_unwind(sys::mach_task_self(), &list_, &leaf, nullptr, &next),
      FRAME_ERR_NOFRAME);

  // global_entry is described by DWARF: the compact reader gives up and the
  // full walk goes on (here through the frame pointer).
  auto entry = makeState(ROCRASH_CPU_TYPE_ARM64);
  rocrash_async_thread_state_set_reg(&entry, ROCRASH_REG_IP,
                                     symbol(*arm, "functions_arm64_nofp", "_global_entry") + 4);
  rocrash_async_thread_state_set_reg(&entry, ROCRASH_REG_FP, stack.at(0x100));
  rocrash_async_thread_state_set_reg(&entry, ROCRASH_REG_SP, stack.at(0x80));
  EXPECT_EQ(rocrash_async_frame_read_compact_unwind(sys::mach_task_self(), &list_, &entry, nullptr,
                                                    &next),
            FRAME_ERR_NOFRAME);
  rocrash_async_frame_cursor cursor;
  EXPECT_EQ(rocrash_async_frame_cursor_init(&cursor, sys::mach_task_self(), &entry, &list_),
            FRAME_ERR_NONE);
  ASSERT_EQ(rocrash_async_frame_cursor_next(&cursor), FRAME_ERR_NONE);
  ASSERT_EQ(rocrash_async_frame_cursor_next(&cursor), FRAME_ERR_NONE);
  EXPECT_EQ(reg(cursor.frame, ROCRASH_REG_IP), 0x40000000u);
  rocrash_async_frame_cursor_free(&cursor);
  EXPECT_EQ(list_.shared->refcount.load(), 0);
}

TEST_F(CompactUnwindWalk, Arm64FrameFunctionRestoresItsSavedPairs) {
  const std::string fixture = "unwind_arm64";
  auto image = load(fixture);
  // many_saved: a frame record with x19 to x24 saved below it.
  const uint64_t manySaved = symbol(*image, fixture, "_many_saved");
  LowMemory stack;
  const size_t fp = 0x200;
  stack.put<uint64_t>(fp, stack.at(0x300));
  stack.put<uint64_t>(fp + 8, 0x40001000);
  for (int i = 0; i < 6; ++i) stack.put<uint64_t>(fp - 48 + 8 * i, 24 - i);
  auto state = makeState(ROCRASH_CPU_TYPE_ARM64);
  rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_IP, manySaved + 0x40);
  rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_FP, stack.at(fp));
  rocrash_async_thread_state next;
  ASSERT_EQ(rocrash_async_frame_read_compact_unwind(sys::mach_task_self(), &list_, &state, nullptr,
                                                    &next),
            FRAME_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x40001000u);
  EXPECT_EQ(reg(next, ROCRASH_REG_FP), stack.at(0x300));
  EXPECT_EQ(reg(next, ROCRASH_REG_SP), stack.at(fp + 16));
  for (uint32_t n = 19; n <= 24; ++n) EXPECT_EQ(reg(next, X(n)), n) << "x" << n;
}

}  // namespace
