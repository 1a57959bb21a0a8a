#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DwarfFrameSection.h"
#include "MachOFixtures.h"
#include "UnwindTestSupport.h"
#include "unwind/AsyncDwarfCFA.h"
#include "unwind/AsyncDwarfCFAState.h"
#include "walk/AsyncFrameCache.h"
#include "walk/AsyncFrameCursor.h"

namespace {

using namespace rocrash::async;
using namespace rocrash::testing::cfa;
using rocrash::testing::Bytes;
using rocrash::testing::direct;
using rocrash::testing::FrameSection;
using rocrash::testing::has;
using rocrash::testing::insns;
using rocrash::testing::LowMemory;
using rocrash::testing::makeState;
using rocrash::testing::MappedBytes;
using rocrash::testing::reg;
using rocrash::testing::x86EntryRules;

using State64 = dwarf_cfa_state<uint64_t, int64_t>;
using State32 = dwarf_cfa_state<uint32_t, int32_t>;

// --- CIEs, FDEs and the search --------------------------------------------------

TEST(AsyncDwarfFrameReader, FdeCoversItsStartButNotItsEnd) {
  FrameSection section;
  size_t cie = section.cie("zR", Bytes{}.u8(0x1B), x86EntryRules());
  section.fde(cie, 0x401000, 0x40, 0x1B, Bytes{});
  section.fde(cie, 0x401040, 0x20, 0x1B, Bytes{});
  section.terminator();
  rocrash_async_dwarf_frame_reader reader;
  ASSERT_EQ(rocrash_async_dwarf_frame_reader_init(&reader, section.map(), direct(), true, false),
            ROCRASH_ERR_NONE);
  rocrash_async_dwarf_fde_info fde;
  ASSERT_EQ(rocrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x401000, &fde),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(fde.pc_start, 0x401000u);
  EXPECT_EQ(fde.pc_end, 0x401040u);
  EXPECT_EQ(fde.cie_offset, cie);
  ASSERT_EQ(rocrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x401040, &fde),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(fde.pc_start, 0x401040u);
  ASSERT_EQ(rocrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x40103F, &fde),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(fde.pc_start, 0x401000u);
  EXPECT_EQ(rocrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x401060, &fde),
            ROCRASH_ERR_NOTFOUND);
  EXPECT_EQ(rocrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x400FFF, &fde),
            ROCRASH_ERR_NOTFOUND);
  EXPECT_EQ(rocrash_async_dwarf_frame_reader_find_fde(&reader, section.size(), 0x401000, &fde),
            ROCRASH_ERR_INVAL);
  EXPECT_EQ(rocrash_async_dwarf_frame_reader_find_fde(&reader, -4, 0x401000, &fde),
            ROCRASH_ERR_INVAL);
}

TEST(AsyncDwarfFrameReader, PcRelativeAddressesCountFromTheirOwnField) {
  FrameSection section;
  size_t cie = section.cie("zR", Bytes{}.u8(0x1B), Bytes{});
  // A function below the section: the 4-byte signed distance is negative.
  const uint64_t start = section.address() - 0x1000;
  size_t fdeAt = section.fde(cie, start, 0x80, 0x1B, insns({kAdvanceLoc | 1}));
  rocrash_async_mobject* mobj = section.map();
  rocrash_async_dwarf_fde_info fde;
  ASSERT_EQ(rocrash_async_dwarf_fde_info_init<uint64_t>(&fde, mobj, direct(),
                                                        section.address(fdeAt), false),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(fde.pc_start, start);
  EXPECT_EQ(fde.pc_end, start + 0x80);
  EXPECT_EQ(fde.fde_offset, fdeAt + 4);
  // Content: CIE pointer 4, start 4, range 4, augmentation length 1.
  EXPECT_EQ(fde.instructions_offset, fdeAt + 4 + 13);
  EXPECT_EQ(fde.instructions_length, 1u);
}

TEST(AsyncDwarfFrameReader, AugmentationMustStartWithZ) {
  FrameSection section;
  size_t eh = section.cie("eh", Bytes{}, Bytes{});
  size_t plain = section.cie("", Bytes{}, x86EntryRules());
  rocrash_async_mobject* mobj = section.map();
  gnu_ehptr_reader<uint64_t> pointers(direct());
  rocrash_async_dwarf_cie_info cie;
  EXPECT_EQ(rocrash_async_dwarf_cie_info_init<uint64_t>(&cie, mobj, direct(), &pointers,
                                                        section.address(eh)),
            ROCRASH_ERR_NOTSUP);
  ASSERT_EQ(rocrash_async_dwarf_cie_info_init<uint64_t>(&cie, mobj, direct(), &pointers,
                                                        section.address(plain)),
            ROCRASH_ERR_NONE);
  EXPECT_FALSE(cie.has_eh_augmentation);
  EXPECT_EQ(cie.code_alignment_factor, 1u);
  EXPECT_EQ(cie.data_alignment_factor, -8);
  EXPECT_EQ(cie.return_address_register, 16u);
  EXPECT_EQ(cie.cie_offset, plain + 4);
  EXPECT_EQ(rocrash_async_dwarf_cie_info_initial_instructions_length(&cie), 5u);
  EXPECT_EQ(rocrash_async_dwarf_cie_info_initial_instructions_offset(&cie),
            plain + 4 + 4 + 1 + 1 + 3);
}

TEST(AsyncDwarfFrameReader, PersonalityLsdaAndPointerEncodingsAreRead) {
  FrameSection section;
  LowMemory got;
  got.put<uint64_t>(0x10, 0x7F0012345678);
  // "zPLRS": personality through an indirect absolute pointer, LSDA and FDE
  // encodings, and the signal-frame mark.
  Bytes data = Bytes{}.u8(0x80).u64(got.at(0x10)).u8(0x1B).u8(0x1B);
  size_t cieAt = section.cie("zPLRS", data, x86EntryRules());
  Bytes lsda = Bytes{}.u32(0x12345678);
  size_t fdeAt = section.fde(cieAt, 0x500000, 0x100, 0x1B, insns({kAdvanceLoc | 4}), &lsda);
  rocrash_async_mobject* mobj = section.map();

  gnu_ehptr_reader<uint64_t> pointers(direct());
  rocrash_async_dwarf_cie_info cie;
  ASSERT_EQ(rocrash_async_dwarf_cie_info_init<uint64_t>(&cie, mobj, direct(), &pointers,
                                                        section.address(cieAt)),
            ROCRASH_ERR_NONE);
  EXPECT_TRUE(cie.has_eh_augmentation);
  EXPECT_TRUE(cie.eh_augmentation.has_personality_address);
  EXPECT_EQ(cie.eh_augmentation.personality_address, 0x7F0012345678u);
  EXPECT_TRUE(cie.eh_augmentation.has_lsda_encoding);
  EXPECT_EQ(cie.eh_augmentation.lsda_encoding, 0x1B);
  EXPECT_TRUE(cie.eh_augmentation.has_pointer_encoding);
  EXPECT_EQ(cie.eh_augmentation.pointer_encoding, 0x1B);
  EXPECT_TRUE(cie.eh_augmentation.signal_frame);

  rocrash_async_dwarf_fde_info fde;
  ASSERT_EQ(rocrash_async_dwarf_fde_info_init<uint64_t>(&fde, mobj, direct(),
                                                        section.address(fdeAt), false),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(fde.pc_start, 0x500000u);
  // The FDE's 4 bytes of augmentation data are skipped before its program.
  EXPECT_EQ(fde.instructions_offset, fdeAt + 4 + 4 + 4 + 4 + 1 + 4);
  EXPECT_EQ(fde.instructions_length, 1u);

  // An unknown augmentation character stops the reading, but the whole
  // data is still skipped.
  FrameSection other;
  size_t odd = other.cie("zQR", Bytes{}.u8(0x1B).u8(0x1B), insns({kDefCfa, 7, 8}));
  rocrash_async_mobject* oddMobj = other.map();
  ASSERT_EQ(rocrash_async_dwarf_cie_info_init<uint64_t>(&cie, oddMobj, direct(), &pointers,
                                                        other.address(odd)),
            ROCRASH_ERR_NONE);
  EXPECT_FALSE(cie.eh_augmentation.has_pointer_encoding);
  EXPECT_EQ(cie.initial_instructions_length, 3u);
}

TEST(AsyncDwarfFrameReader, MalformedCiesAreRejected) {
  FrameSection section;
  size_t version2 = section.cie("", Bytes{}, Bytes{}, -8, 16, 2);
  size_t version4 = section.cie("", Bytes{}, x86EntryRules(), -8, 16, 4);
  // A CIE whose length ends inside its fields.
  size_t shortCie = section.size();
  section.raw(Bytes{}.u32(6).u32(0).u8(1).u8(0).u8(1).u8(0x78));
  // A CIE whose id is neither 0 nor all ones.
  size_t badId = section.size();
  section.raw(Bytes{}.u32(8).u32(5).u8(1).u8(0).u8(1).u8(0x78).u8(16).u8(0));
  rocrash_async_mobject* mobj = section.map();
  gnu_ehptr_reader<uint64_t> pointers(direct());
  rocrash_async_dwarf_cie_info cie;
  auto parse = [&](size_t at) {
    return rocrash_async_dwarf_cie_info_init<uint64_t>(&cie, mobj, direct(), &pointers,
                                                       section.address(at));
  };
  EXPECT_EQ(parse(version2), ROCRASH_ERR_INVAL);
  ASSERT_EQ(parse(version4), ROCRASH_ERR_NONE);
  EXPECT_EQ(cie.address_size, 8);
  EXPECT_EQ(cie.segment_size, 0);
  EXPECT_EQ(cie.initial_instructions_length, 5u);
  EXPECT_EQ(parse(shortCie), ROCRASH_ERR_INVAL);
  EXPECT_EQ(parse(badId), ROCRASH_ERR_INVAL);
  EXPECT_EQ(parse(section.size() - 2), ROCRASH_ERR_INVAL);  // runs off the mapping
}

TEST(AsyncDwarfFrameReader, SixtyFourBitLengthsAndDebugFrameData) {
  FrameSection section(true);
  size_t cie = section.cie("", Bytes{}, x86EntryRules());
  // A CIE in the 64-bit format between them is skipped by the search.
  section.raw(Bytes{}
                  .u32(0xFFFFFFFF)
                  .u64(16)
                  .u64(~0ULL)
                  .u8(1)
                  .u8(0)
                  .u8(1)
                  .u8(0x78)
                  .u8(16)
                  .u8(0)
                  .u8(0)
                  .u8(0));
  // An FDE in the 64-bit format: 8-byte CIE offset.
  size_t fde64 = section.size();
  section.raw(Bytes{}.u32(0xFFFFFFFF).u64(8 + 16 + 1).u64(cie).u64(0x9000).u64(0x10).u8(0));
  section.fde(cie, 0x9010, 0x10, 0x00, Bytes{});
  rocrash_async_dwarf_frame_reader reader;
  EXPECT_EQ(rocrash_async_dwarf_frame_reader_init(&reader, section.map(), direct(), true, true),
            ROCRASH_ERR_NONE);
  rocrash_async_dwarf_fde_info fde;
  ASSERT_EQ(rocrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x9008, &fde), ROCRASH_ERR_NONE);
  EXPECT_EQ(fde.fde_offset, fde64 + 12);
  EXPECT_EQ(fde.cie_offset, cie);
  EXPECT_EQ(fde.instructions_offset, fde64 + 12 + 24);
  EXPECT_EQ(fde.instructions_length, 1u);
  ASSERT_EQ(rocrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x9010, &fde), ROCRASH_ERR_NONE);
  EXPECT_EQ(fde.pc_start, 0x9010u);
  // The section ends without a terminator.
  EXPECT_EQ(rocrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x9020, &fde),
            ROCRASH_ERR_NOTFOUND);
}

TEST(AsyncDwarfFrameReader, CiePointersMustStayInsideTheSection) {
  FrameSection section;
  section.cie("", Bytes{}, Bytes{});
  // Exception-frame data: a distance back past the section's start.
  size_t back = section.size();
  section.raw(Bytes{}.u32(20).u32(0x10000).u64(0x1000).u64(0x10));
  rocrash_async_mobject* mobj = section.map();
  rocrash_async_dwarf_fde_info fde;
  EXPECT_EQ(rocrash_async_dwarf_fde_info_init<uint64_t>(&fde, mobj, direct(), section.address(back),
                                                        false),
            ROCRASH_ERR_INVAL);
  // Read as debug-frame data, 0x10000 is an offset past the section's end.
  EXPECT_EQ(rocrash_async_dwarf_fde_info_init<uint64_t>(&fde, mobj, direct(), section.address(back),
                                                        true),
            ROCRASH_ERR_INVAL);
  // A range that wraps the address space.
  FrameSection wrapping;
  size_t cie = wrapping.cie("", Bytes{}, Bytes{});
  size_t at = wrapping.fde(cie, ~0ULL - 0x10, 0x20, 0x00, Bytes{});
  EXPECT_EQ(rocrash_async_dwarf_fde_info_init<uint64_t>(&fde, wrapping.map(), direct(),
                                                        wrapping.address(at), false),
            ROCRASH_ERR_INVAL);
}

TEST(AsyncDwarfFrameReader, ThirtyTwoBitImagesUseFourBytePointers) {
  FrameSection section;
  size_t cie = section.cie("zR", Bytes{}.u8(0x03), insns({kDefCfa, 13, 0}), -4, 14);
  section.fde(cie, 0x8000, 0x100, 0x03, Bytes{});
  section.terminator();
  rocrash_async_dwarf_frame_reader reader;
  EXPECT_EQ(rocrash_async_dwarf_frame_reader_init(&reader, section.map(), direct(), false, false),
            ROCRASH_ERR_NONE);
  rocrash_async_dwarf_fde_info fde;
  ASSERT_EQ(rocrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x80FF, &fde), ROCRASH_ERR_NONE);
  EXPECT_EQ(fde.pc_end, 0x8100u);
  // Only the low 32 bits of the pc take part.
  EXPECT_EQ(rocrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x100008000, &fde),
            ROCRASH_ERR_NONE);
}

// --- encoded pointers ---------------------------------------------------------------

TEST(AsyncDwarfPointerEncoding, FormatsApplicationsAndIndirection) {
  LowMemory memory;
  Bytes b;
  b.u16(0xFFFE).u32(0xFFFFFFFC).u64(0x1122334455667788).uleb(300).sleb(-300);
  memory.putBytes(0x100, b.data);
  memory.put<uint64_t>(0x200, 0xCAFEF00D);
  memory.put<uint64_t>(0x300, memory.at(0x200));
  MappedBytes m(memory.bytes(), 0x400);
  const uint64_t at = memory.at(0x100);
  gnu_ehptr_reader<uint64_t> reader(direct());
  uint64_t value;
  size_t size;
  auto read = [&](uint64_t offset, uint8_t encoding) {
    return reader.read(m.get(), at, static_cast<int64_t>(offset), static_cast<DW_EH_PE>(encoding),
                       &value, &size);
  };
  ASSERT_EQ(read(0, DW_EH_PE_udata2), ROCRASH_ERR_NONE);
  EXPECT_EQ(value, 0xFFFEu);
  EXPECT_EQ(size, 2u);
  ASSERT_EQ(read(0, DW_EH_PE_sdata2), ROCRASH_ERR_NONE);
  EXPECT_EQ(value, static_cast<uint64_t>(-2));
  ASSERT_EQ(read(2, DW_EH_PE_udata4), ROCRASH_ERR_NONE);
  EXPECT_EQ(value, 0xFFFFFFFCu);
  ASSERT_EQ(read(2, DW_EH_PE_sdata4), ROCRASH_ERR_NONE);
  EXPECT_EQ(value, static_cast<uint64_t>(-4));
  ASSERT_EQ(read(6, DW_EH_PE_udata8), ROCRASH_ERR_NONE);
  EXPECT_EQ(value, 0x1122334455667788u);
  ASSERT_EQ(read(6, DW_EH_PE_absptr), ROCRASH_ERR_NONE);
  EXPECT_EQ(size, 8u);
  ASSERT_EQ(read(14, DW_EH_PE_uleb128), ROCRASH_ERR_NONE);
  EXPECT_EQ(value, 300u);
  EXPECT_EQ(size, 2u);
  ASSERT_EQ(read(16, DW_EH_PE_sleb128), ROCRASH_ERR_NONE);
  EXPECT_EQ(value, static_cast<uint64_t>(-300));
  // pc-relative: from the value's own address.
  ASSERT_EQ(read(2, DW_EH_PE_pcrel | DW_EH_PE_sdata4), ROCRASH_ERR_NONE);
  EXPECT_EQ(value, at + 2 - 4);
  // Bases must be set for text-, data- and function-relative values.
  EXPECT_EQ(read(0, DW_EH_PE_textrel | DW_EH_PE_udata2), ROCRASH_ERR_NOTSUP);
  EXPECT_EQ(read(0, DW_EH_PE_datarel | DW_EH_PE_udata2), ROCRASH_ERR_NOTSUP);
  EXPECT_EQ(read(0, DW_EH_PE_funcrel | DW_EH_PE_udata2), ROCRASH_ERR_NOTSUP);
  reader.set_text_base(0x10000);
  reader.set_data_base(0x20000);
  reader.set_func_base(0x30000);
  ASSERT_EQ(read(0, DW_EH_PE_textrel | DW_EH_PE_udata2), ROCRASH_ERR_NONE);
  EXPECT_EQ(value, 0x1FFFEu);
  ASSERT_EQ(read(0, DW_EH_PE_datarel | DW_EH_PE_udata2), ROCRASH_ERR_NONE);
  EXPECT_EQ(value, 0x2FFFEu);
  ASSERT_EQ(read(0, DW_EH_PE_funcrel | DW_EH_PE_udata2), ROCRASH_ERR_NONE);
  EXPECT_EQ(value, 0x3FFFEu);
  // Indirect: the value is the address of the pointer.
  ASSERT_EQ(reader.read(m.get(), memory.at(0x300), 0,
                        static_cast<DW_EH_PE>(DW_EH_PE_indirect | DW_EH_PE_absptr), &value, &size),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(value, 0xCAFEF00Du);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(read(0, DW_EH_PE_omit), ROCRASH_ERR_NOTFOUND);
  EXPECT_EQ(read(0, 0x60 | DW_EH_PE_udata2), ROCRASH_ERR_NOTSUP);
  EXPECT_EQ(read(0, 0x70 | DW_EH_PE_udata2), ROCRASH_ERR_NOTSUP);
  EXPECT_EQ(read(0, 0x05), ROCRASH_ERR_NOTSUP);
  EXPECT_EQ(read(0x3FC, DW_EH_PE_udata8), ROCRASH_ERR_INVAL);  // past the mapping
}

TEST(AsyncDwarfPointerEncoding, AlignedValuesCountAlignmentInImageAddresses) {
  LowMemory memory;
  memory.put<uint64_t>(0x108, 0xABCDEF);
  memory.put<uint32_t>(0x104, 0x1234);
  MappedBytes m(memory.bytes(), 0x200);
  gnu_ehptr_reader<uint64_t> reader(direct());
  uint64_t value;
  size_t size;
  const auto aligned = static_cast<DW_EH_PE>(DW_EH_PE_aligned | DW_EH_PE_absptr);
  EXPECT_EQ(reader.read(m.get(), memory.at(0x101), 0, aligned, &value, &size), ROCRASH_ERR_NOTSUP);
  // Mapped where the image had it: 0x101 moves to 0x108.
  reader.set_frame_section_base(memory.at(0), memory.at(0));
  ASSERT_EQ(reader.read(m.get(), memory.at(0x101), 0, aligned, &value, &size), ROCRASH_ERR_NONE);
  EXPECT_EQ(value, 0xABCDEFu);
  EXPECT_EQ(size, 7u + 8u);
  // The image had the section 4 bytes further: 0x101 is 0x105 there, and the
  // next multiple of 8 is 3 bytes on.
  reader.set_frame_section_base(memory.at(0), memory.at(0) + 4);
  gnu_ehptr_reader<uint32_t> reader32(direct());
  reader32.set_frame_section_base(static_cast<uint32_t>(memory.at(0)),
                                  static_cast<uint32_t>(memory.at(0)) + 4);
  uint32_t value32;
  ASSERT_EQ(reader32.read(m.get(), memory.at(0x101), 0, aligned, &value32, &size),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(size, 3u + 4u);
  EXPECT_EQ(value32, 0x1234u);
}

// --- the row ----------------------------------------------------------------------

TEST(AsyncDwarfCfaState, RulesLiveInBucketsAndCanBeRemoved) {
  State64 state;
  // 1 and 15 share a bucket.
  ASSERT_TRUE(state.set_register(1, ROCRASH_DWARF_CFA_REG_RULE_OFFSET, 8));
  ASSERT_TRUE(state.set_register(15, ROCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, 16));
  ASSERT_TRUE(state.set_register(2, ROCRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0));
  ASSERT_TRUE(state.set_register(1, ROCRASH_DWARF_CFA_REG_RULE_REGISTER, 3));  // replaces
  EXPECT_EQ(state.get_register_count(), 3);
  rocrash_dwarf_cfa_reg_rule_t rule;
  uint64_t value;
  ASSERT_TRUE(state.get_register_rule(1, &rule, &value));
  EXPECT_EQ(rule, ROCRASH_DWARF_CFA_REG_RULE_REGISTER);
  EXPECT_EQ(value, 3u);
  EXPECT_FALSE(state.get_register_rule(29, &rule, &value));

  // Buckets in order, chains in insertion order.
  std::vector<uint32_t> order;
  dwarf_cfa_state_iterator<uint64_t, int64_t> it(&state);
  uint32_t regnum;
  while (it.next(&regnum, &rule, &value)) order.push_back(regnum);
  EXPECT_EQ(order, (std::vector<uint32_t>{1, 15, 2}));

  state.remove_register(1);
  state.remove_register(40);  // no rule: nothing happens
  EXPECT_EQ(state.get_register_count(), 2);
  ASSERT_TRUE(state.get_register_rule(15, &rule, &value));
  EXPECT_EQ(value, 16u);
  EXPECT_FALSE(state.get_register_rule(1, &rule, &value));
}

TEST(AsyncDwarfCfaState, AHundredRulesAreShared) {
  State64 state;
  for (uint32_t r = 0; r < 100; ++r) {
    ASSERT_TRUE(state.set_register(r, ROCRASH_DWARF_CFA_REG_RULE_OFFSET, r));
  }
  EXPECT_FALSE(state.set_register(100, ROCRASH_DWARF_CFA_REG_RULE_OFFSET, 0));
  EXPECT_TRUE(state.set_register(99, ROCRASH_DWARF_CFA_REG_RULE_OFFSET, 1));  // an update fits
  // Remembering the level needs a second copy of every rule.
  EXPECT_FALSE(state.push_state());
  rocrash_dwarf_cfa_reg_rule_t rule;
  uint64_t value;
  EXPECT_EQ(state.get_register_count(), 100);
  ASSERT_TRUE(state.get_register_rule(57, &rule, &value));
  EXPECT_EQ(value, 57u);
  // A removed rule is free again.
  state.remove_register(3);
  EXPECT_TRUE(state.set_register(100, ROCRASH_DWARF_CFA_REG_RULE_OFFSET, 0));
}

// Runs a program from location `start` up to `pc` on `state`.
template <typename State, typename W>
rocrash_error_t runProgram(State* state, const Bytes& program, W pc, W start = 0x1000,
                           const rocrash_async_dwarf_cie_info* cie = nullptr) {
  rocrash_async_dwarf_cie_info plain{};
  plain.code_alignment_factor = 1;
  plain.data_alignment_factor = -8;
  plain.return_address_register = 16;
  std::vector<uint8_t> bytes = program.data;
  bytes.push_back(0);  // keeps the mapping non-empty
  MappedBytes m(bytes.data(), bytes.size());
  return state->eval_program(m.get(), pc, start, cie ? cie : &plain, nullptr, direct(), m.address(),
                             0, static_cast<rocrash_vm_off_t>(program.size()));
}

TEST(AsyncDwarfCfaProgram, RememberedLevelsAreLimited) {
  State64 state;
  EXPECT_EQ(runProgram(&state,
                       insns({kDefCfa, 7, 8, kRememberState, kRememberState, kRememberState,
                              kRememberState, kRememberState}),
                       uint64_t{0}),
            ROCRASH_ERR_NONE);
  State64 six;
  EXPECT_EQ(runProgram(&six,
                       insns({kRememberState, kRememberState, kRememberState, kRememberState,
                              kRememberState, kRememberState}),
                       uint64_t{0}),
            ROCRASH_ERR_NOMEM);
  State64 none;
  EXPECT_EQ(runProgram(&none, insns({kRestoreState}), uint64_t{0}), ROCRASH_ERR_INVAL);
}

TEST(AsyncDwarfCfaProgram, RestoreStateDropsWhatWasSetAfterRemember) {
  State64 state;
  Bytes program =
      insns({kDefCfa, 7, 16, kOffset | 6, 2, kRememberState, kDefCfaOffset, 32, kOffset | 3, 3});
  ASSERT_EQ(runProgram(&state, program, uint64_t{0}), ROCRASH_ERR_NONE);
  rocrash_dwarf_cfa_reg_rule_t rule;
  uint64_t value;
  // After remember: the earlier rules still apply, the new ones too.
  ASSERT_TRUE(state.get_register_rule(6, &rule, &value));
  EXPECT_EQ(value, static_cast<uint64_t>(-16));
  ASSERT_TRUE(state.get_register_rule(3, &rule, &value));
  EXPECT_EQ(state.get_cfa_rule().offset, 32u);
  ASSERT_EQ(runProgram(&state, insns({kRestoreState}), uint64_t{0}), ROCRASH_ERR_NONE);
  EXPECT_FALSE(state.get_register_rule(3, &rule, &value));
  ASSERT_TRUE(state.get_register_rule(6, &rule, &value));
  EXPECT_EQ(state.get_cfa_rule().offset, 16u);
  EXPECT_EQ(state.get_cfa_rule().reg_num, 7u);
}

TEST(AsyncDwarfCfaProgram, CfaChangesNeedARegisterRule) {
  for (const Bytes& program :
       {insns({kDefCfaOffset, 16}), insns({kDefCfaRegister, 6}), insns({kDefCfaOffsetSf, 2})}) {
    State64 state;
    EXPECT_EQ(runProgram(&state, program, uint64_t{0}), ROCRASH_ERR_INVAL);
  }
  // After an expression CFA as well.
  State64 expression;
  EXPECT_EQ(
      runProgram(&expression, insns({kDefCfaExpression, 1, 0x30, kDefCfaOffset, 8}), uint64_t{0}),
      ROCRASH_ERR_INVAL);
  // def_cfa_register keeps the offset and its kind.
  State64 state;
  ASSERT_EQ(runProgram(&state, insns({kDefCfaSf, 7, 0x7E, kDefCfaRegister, 6}), uint64_t{0}),
            ROCRASH_ERR_NONE);
  auto cfa = state.get_cfa_rule();
  EXPECT_EQ(cfa.type, DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED);
  EXPECT_EQ(cfa.reg_num, 6u);
  EXPECT_EQ(cfa.signed_offset(), 16);  // -2 x -8
  ASSERT_EQ(runProgram(&state, insns({kDefCfaOffset, 24}), uint64_t{0}), ROCRASH_ERR_NONE);
  EXPECT_EQ(state.get_cfa_rule().type, DWARF_CFA_STATE_CFA_TYPE_REGISTER);
  EXPECT_EQ(state.get_cfa_rule().offset, 24u);
}

TEST(AsyncDwarfCfaProgram, UnsupportedAndTruncatedInstructions) {
  for (uint8_t op : {0x17, 0x2F, 0x3F}) {
    State64 state;
    EXPECT_EQ(runProgram(&state, insns({op, 0}), uint64_t{0}), ROCRASH_ERR_NOTSUP) << int(op);
  }
  State64 wide;
  EXPECT_EQ(runProgram(&wide, Bytes{}.u8(kUndefined).uleb(1ULL << 32), uint64_t{0}),
            ROCRASH_ERR_NOTSUP);
  for (const Bytes& program : {insns({kDefCfa, 7}), insns({kOffset | 3}), insns({kAdvanceLoc1}),
                               insns({kExpression, 3, 4, 0x30}), insns({kDefCfaExpression, 2})}) {
    State64 state;
    EXPECT_EQ(runProgram(&state, program, uint64_t{0}), ROCRASH_ERR_INVAL);
  }
}

TEST(AsyncDwarfCfaProgram, ArgumentsSizeNotesAreSkipped) {
  // What g++ writes around calls that push arguments: the note's operand is
  // read and the rules around it stand.
  State64 state;
  Bytes program = Bytes{}.u8(kDefCfa).uleb(7).uleb(8).u8(0x2E).uleb(300).u8(kOffset | 6).uleb(2);
  ASSERT_EQ(runProgram(&state, program, uint64_t{0}), ROCRASH_ERR_NONE);
  EXPECT_EQ(state.get_cfa_rule().offset, 8u);
  rocrash_dwarf_cfa_reg_rule_t rule;
  uint64_t value;
  EXPECT_TRUE(state.get_register_rule(6, &rule, &value));
  State64 truncated;
  EXPECT_EQ(runProgram(&truncated, insns({0x2E}), uint64_t{0}), ROCRASH_ERR_INVAL);
}

TEST(AsyncDwarfCfaProgram, InstructionsStopOnceTheLocationPassesThePc) {
  // At 0x1000: CFA = rsp + 8. At 0x1001 (after a push): + 16. At 0x1004:
  // rbp saved. At 0x1010: + 24.
  Bytes program = insns({kDefCfa, 7, 8, kAdvanceLoc | 1, kDefCfaOffset, 16, kAdvanceLoc | 3,
                         kOffset | 6, 2, kAdvanceLoc1, 12, kDefCfaOffset, 24});
  auto offsetAt = [&](uint64_t pc, bool* rbpSaved) {
    State64 state;
    EXPECT_EQ(runProgram(&state, program, pc), ROCRASH_ERR_NONE);
    rocrash_dwarf_cfa_reg_rule_t rule;
    uint64_t value;
    *rbpSaved = state.get_register_rule(6, &rule, &value);
    return state.get_cfa_rule().offset;
  };
  bool saved;
  EXPECT_EQ(offsetAt(0x1000, &saved), 8u);
  EXPECT_EQ(offsetAt(0x1001, &saved), 16u);  // a change at exactly the pc applies
  EXPECT_FALSE(saved);
  EXPECT_EQ(offsetAt(0x1003, &saved), 16u);
  EXPECT_EQ(offsetAt(0x1004, &saved), 16u);
  EXPECT_TRUE(saved);
  EXPECT_EQ(offsetAt(0x100F, &saved), 16u);
  EXPECT_EQ(offsetAt(0x1010, &saved), 24u);
  EXPECT_EQ(offsetAt(0, &saved), 24u);  // pc 0 runs everything
  // A program that starts past the pc runs nothing.
  State64 state;
  EXPECT_EQ(runProgram(&state, program, uint64_t{0xFFF}), ROCRASH_ERR_NONE);
  EXPECT_EQ(state.get_cfa_rule().type, DWARF_CFA_STATE_CFA_TYPE_UNDEFINED);
  // set_loc moves to an absolute address.
  State64 setLoc;
  ASSERT_EQ(
      runProgram(&setLoc,
                 Bytes{}.u8(kDefCfa).u8(7).u8(8).u8(kSetLoc).u64(0x2000).u8(kDefCfaOffset).u8(32),
                 uint64_t{0x1FFF}),
      ROCRASH_ERR_NONE);
  EXPECT_EQ(setLoc.get_cfa_rule().offset, 8u);
}

TEST(AsyncDwarfCfaProgram, RestoreReturnsToTheRulesTheProgramStartedWith) {
  State64 state;
  // The CIE's program: rbx (3) saved at CFA - 16.
  ASSERT_EQ(runProgram(&state, insns({kDefCfa, 7, 8, kOffset | 3, 2}), uint64_t{0}),
            ROCRASH_ERR_NONE);
  // The FDE's: rbx elsewhere, r12 (12) saved, then both restored.
  ASSERT_EQ(runProgram(&state,
                       insns({kOffset | 3, 4, kOffset | 12, 3, kRestore | 3, kRestoreExtended, 12}),
                       uint64_t{0}),
            ROCRASH_ERR_NONE);
  rocrash_dwarf_cfa_reg_rule_t rule;
  uint64_t value;
  ASSERT_TRUE(state.get_register_rule(3, &rule, &value));
  EXPECT_EQ(value, static_cast<uint64_t>(-16));
  EXPECT_FALSE(state.get_register_rule(12, &rule, &value));
  // undefined and same_value.
  ASSERT_EQ(runProgram(&state, insns({kUndefined, 3, kSameValue, 13}), uint64_t{0}),
            ROCRASH_ERR_NONE);
  EXPECT_FALSE(state.get_register_rule(3, &rule, &value));
  ASSERT_TRUE(state.get_register_rule(13, &rule, &value));
  EXPECT_EQ(rule, ROCRASH_DWARF_CFA_REG_RULE_SAME_VALUE);
}

// --- applying the row -----------------------------------------------------------

rocrash_async_dwarf_cie_info cieWithReturnColumn(uint64_t column, int64_t dataAlign = -8) {
  rocrash_async_dwarf_cie_info cie{};
  cie.code_alignment_factor = 1;
  cie.data_alignment_factor = dataAlign;
  cie.return_address_register = column;
  return cie;
}

TEST(AsyncDwarfCfaApply, Arm64FrameRecordRow) {
  LowMemory stack;
  const uint64_t fp = stack.at(0x200);
  stack.put<uint64_t>(0x200, stack.at(0x300));  // CFA - 16: the caller's x29
  stack.put<uint64_t>(0x208, 0x40001234);       // CFA - 8: lr
  auto current = makeState(ROCRASH_CPU_TYPE_ARM64);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_REG_FP, fp);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_ARM64_LR, 0x4000FFFF);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_ARM64_X0 + 19, 0x19);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_ARM64_X0 + 2, 0x2);
  auto cie = cieWithReturnColumn(30);
  State64 state;
  ASSERT_EQ(runProgram(&state, insns({kDefCfa, 29, 16, kOffset | 30, 1, kOffset | 29, 2}),
                       uint64_t{0}, uint64_t{0x1000}, &cie),
            ROCRASH_ERR_NONE);
  rocrash_async_thread_state next;
  ASSERT_EQ(state.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_SP), fp + 16);
  EXPECT_EQ(reg(next, ROCRASH_REG_FP), stack.at(0x300));
  EXPECT_EQ(reg(next, ROCRASH_ARM64_LR), 0x40001234u);
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x40001234u);
  EXPECT_EQ(reg(next, ROCRASH_ARM64_X0 + 19), 0x19u);  // callee-saved: kept
  EXPECT_FALSE(has(next, ROCRASH_ARM64_X0 + 2));       // volatile: gone
}

TEST(AsyncDwarfCfaApply, RowWithoutSavedReturnAddressUsesTheLinkRegister) {
  LowMemory stack;
  auto current = makeState(ROCRASH_CPU_TYPE_ARM64);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_REG_SP, stack.at(0x100));
  rocrash_async_thread_state_set_reg(&current, ROCRASH_ARM64_LR, 0x40002222);
  auto cie = cieWithReturnColumn(30);
  State64 state;
  state.set_cfa_register(31, 0);
  rocrash_async_thread_state next;
  ASSERT_EQ(state.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x40002222u);
  EXPECT_EQ(reg(next, ROCRASH_REG_SP), stack.at(0x100));
  // Without a valid lr there is no way to the caller.
  rocrash_async_thread_state_clear_reg(&current, ROCRASH_ARM64_LR);
  EXPECT_EQ(state.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_INVAL);
  // Nor on x86-64, whose return address column is no register.
  auto host = makeState(ROCRASH_CPU_TYPE_X86_64);
  rocrash_async_thread_state_set_reg(&host, ROCRASH_X86_64_RSP, stack.at(0x100));
  auto x86Cie = cieWithReturnColumn(16);
  State64 x86;
  x86.set_cfa_register(7, 8);
  EXPECT_EQ(x86.apply_state(sys::mach_task_self(), &x86Cie, &host, direct(), &next),
            ROCRASH_ERR_INVAL);
}

TEST(AsyncDwarfCfaApply, X86ReturnAddressColumnStandsForThePc) {
  LowMemory stack;
  stack.put<uint64_t>(0x110, 0x401234);  // return address at CFA - 8
  stack.put<uint64_t>(0x108, 0xBB);      // rbx at CFA - 16
  auto current = makeState(ROCRASH_CPU_TYPE_X86_64);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_X86_64_RSP, stack.at(0x100));
  rocrash_async_thread_state_set_reg(&current, ROCRASH_X86_64_RBP, 0xB0);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_X86_64_RAX, 1);
  auto cie = cieWithReturnColumn(16);
  State64 state;
  ASSERT_EQ(runProgram(&state, insns({kDefCfa, 7, 0x18, kOffset | 16, 1, kOffset | 3, 2}),
                       uint64_t{0}, uint64_t{0x1000}, &cie),
            ROCRASH_ERR_NONE);
  rocrash_async_thread_state next;
  ASSERT_EQ(state.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x401234u);
  EXPECT_EQ(reg(next, ROCRASH_REG_SP), stack.at(0x118));
  EXPECT_EQ(reg(next, ROCRASH_X86_64_RBX), 0xBBu);
  EXPECT_EQ(reg(next, ROCRASH_X86_64_RBP), 0xB0u);  // unchanged callee-saved register
  EXPECT_FALSE(has(next, ROCRASH_X86_64_RAX));

  // A rule for a register the state has no place for (an xmm register).
  ASSERT_EQ(runProgram(&state, insns({kOffset | 17, 3}), uint64_t{0}, uint64_t{0x1000}, &cie),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(state.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_INVAL);
}

TEST(AsyncDwarfCfaApply, EveryRuleKind) {
  LowMemory stack;
  // Expression blocks as the instructions keep them: a length, then the ops.
  const size_t blocks = 0x400;
  stack.putBytes(blocks, {2, 0x23, 0x10});            // CFA + 0x10 (the CFA is pushed first)
  stack.putBytes(blocks + 8, {3, 0x23, 0x20, 0x06});  // [CFA + 0x20] as a value
  stack.put<uint64_t>(0x100 + 0x40 + 0x10, 0x1111);   // saved at CFA + 0x10
  stack.put<uint64_t>(0x100 + 0x40 + 0x20, 0x2222);
  stack.put<uint64_t>(0x100 + 0x40 - 8, 0x401000);
  auto current = makeState(ROCRASH_CPU_TYPE_X86_64);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_X86_64_RSP, stack.at(0x100));
  rocrash_async_thread_state_set_reg(&current, ROCRASH_X86_64_RDI, 0xD1);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_X86_64_R14, 0xE14);
  auto cie = cieWithReturnColumn(16);
  State64 state;
  state.set_cfa_register(7, 0x40);
  state.set_register(16, ROCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<uint64_t>(-8));
  state.set_register(3, ROCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, 0x30);  // rbx
  state.set_register(12, ROCRASH_DWARF_CFA_REG_RULE_REGISTER, 5);      // r12 = rdi
  state.set_register(13, ROCRASH_DWARF_CFA_REG_RULE_EXPRESSION, stack.at(blocks));
  state.set_register(15, ROCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION, stack.at(blocks + 8));
  state.set_register(14, ROCRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0);
  rocrash_async_thread_state next;
  ASSERT_EQ(state.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_NONE);
  const uint64_t cfa = stack.at(0x140);
  EXPECT_EQ(reg(next, ROCRASH_REG_SP), cfa);
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x401000u);
  EXPECT_EQ(reg(next, ROCRASH_X86_64_RBX), cfa + 0x30);
  EXPECT_EQ(reg(next, ROCRASH_X86_64_R12), 0xD1u);
  EXPECT_EQ(reg(next, ROCRASH_X86_64_R13), 0x1111u);
  EXPECT_EQ(reg(next, ROCRASH_X86_64_R15), 0x2222u);
  EXPECT_EQ(reg(next, ROCRASH_X86_64_R14), 0xE14u);

  // Registers a rule needs must be valid.
  rocrash_async_thread_state_clear_reg(&current, ROCRASH_X86_64_RDI);
  EXPECT_EQ(state.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_NOTFOUND);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_X86_64_RDI, 0xD1);
  rocrash_async_thread_state_clear_reg(&current, ROCRASH_X86_64_R14);
  EXPECT_EQ(state.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_NOTFOUND);
}

TEST(AsyncDwarfCfaApply, ExpressionsOfARowShareOneStepBudget) {
  LowMemory stack;
  Bytes slow = rocrash::testing::countdownLoop(1500);  // about 6000 operations
  stack.putBytes(0x400, Bytes{}.uleb(slow.size()).append(slow.data).data);
  stack.put<uint64_t>(0x100 + 0x40 - 8, 0x401000);
  auto current = makeState(ROCRASH_CPU_TYPE_X86_64);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_X86_64_RSP, stack.at(0x100));
  auto cie = cieWithReturnColumn(16);
  State64 state;
  state.set_cfa_register(7, 0x40);
  state.set_register(16, ROCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<uint64_t>(-8));
  state.set_register(13, ROCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION, stack.at(0x400));
  rocrash_async_thread_state next;
  ASSERT_EQ(state.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_NONE);
  state.set_register(15, ROCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION, stack.at(0x400));
  EXPECT_EQ(state.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_INVAL);
}

TEST(AsyncDwarfCfaApply, CfaRules) {
  LowMemory stack;
  stack.put<uint64_t>(0x80, stack.at(0x200));  // the CFA, stored where rsp points
  stack.put<uint64_t>(0x200 - 8, 0x402000);
  stack.putBytes(0x300, {0x77, 0x00, 0x06});  // breg7 0; deref
  auto current = makeState(ROCRASH_CPU_TYPE_X86_64);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_X86_64_RSP, stack.at(0x80));
  auto cie = cieWithReturnColumn(16);
  rocrash_async_thread_state next;

  State64 undefined;
  EXPECT_EQ(undefined.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_INVAL);

  State64 expression;
  expression.set_cfa_expression(stack.at(0x300), 3);
  expression.set_register(16, ROCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<uint64_t>(-8));
  ASSERT_EQ(expression.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_SP), stack.at(0x200));
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x402000u);

  State64 negative;
  negative.set_cfa_register_signed(7, 0x180 - 0x80 - 0x180);  // rsp - 0x80
  negative.set_register(16, ROCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, 0);
  ASSERT_EQ(negative.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_SP), stack.at(0));

  State64 unmapped;
  unmapped.set_cfa_register(17, 0);  // no such register in the state
  EXPECT_EQ(unmapped.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_NOTSUP);
  State64 invalid;
  invalid.set_cfa_register(6, 16);  // rbp, not valid in the frame
  EXPECT_EQ(invalid.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_NOTFOUND);
}

TEST(AsyncDwarfCfaApply, ThirtyTwoBitRowsUseFourByteWords) {
  LowMemory stack;
  stack.put<uint32_t>(0x100 + 8 - 4, 0x8123);  // lr at CFA - 4
  stack.put<uint32_t>(0x100 + 8 - 8, 0x7777);  // r7 at CFA - 8
  auto current = makeState(ROCRASH_CPU_TYPE_ARM);
  rocrash_async_thread_state_set_reg(&current, ROCRASH_REG_SP, stack.at(0x100));
  auto cie = cieWithReturnColumn(14, -4);
  State32 state;
  ASSERT_EQ(runProgram(&state, insns({kDefCfa, 13, 8, kOffset | 14, 1, kOffset | 7, 2}),
                       uint32_t{0}, uint32_t{0x1000}, &cie),
            ROCRASH_ERR_NONE);
  rocrash_async_thread_state next;
  ASSERT_EQ(state.apply_state(sys::mach_task_self(), &cie, &current, direct(), &next),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_SP), stack.at(0x108));
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x8123u);
  EXPECT_EQ(reg(next, ROCRASH_ARM_LR), 0x8123u);
  EXPECT_EQ(reg(next, ROCRASH_ARM_R7), 0x7777u);
}

// --- the frame reader on hand-made images ------------------------------------------

// A Mach-O x86-64 image whose "__TEXT" spans link-time 0x1000 to 0x4000 and
// holds a hand-made call-frame section (0x400 bytes, zero after the data).
class DwarfReaderImage : public ::testing::Test {
 protected:
  void SetUp() override { rocrash_async_image_list_init(&list_, sys::mach_task_self()); }
  void TearDown() override { rocrash_async_image_list_free(&list_); }

  // `build` gets the slide and returns the section's bytes.
  void install(const std::string& segname, const std::string& sectname,
               const std::function<Bytes(uint64_t)>& build) {
    const uint64_t sectionVm = segname == "__TEXT" ? 0x2000 : 0x3000;
    std::vector<rocrash::testing::SyntheticSegment> segments = {{"__TEXT", 0x1000, 0x3000, {}}};
    if (segname == "__TEXT") {
      segments[0].sections.push_back({sectname, {sectionVm, 0x400}});
    } else {
      segments.push_back({segname, sectionVm, 0x1000, {{sectname, {sectionVm, 0x400}}}});
    }
    image_ = std::make_unique<rocrash::testing::SyntheticImage>(
        true, false, ROCRASH_CPU_TYPE_X86_64, 3, segments, 0x4000);
    slide_ = image_->header() - 0x1000;
    Bytes bytes = build(slide_);
    ASSERT_LE(bytes.size(), 0x400u);
    std::memcpy(image_->bytes() + (sectionVm - 0x1000), bytes.data.data(), bytes.size());
    rocrash_async_image_list_append(&list_, image_->header(), "synthetic");
  }

  rocrash_async_thread_state frame(uint64_t linkPc, uint64_t sp = 0) {
    auto state = makeState(ROCRASH_CPU_TYPE_X86_64);
    rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_IP, linkPc + slide_);
    if (sp != 0) rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_SP, sp);
    return state;
  }

  rocrash_async_frame_error unwind(const rocrash_async_thread_state& current,
                                   const rocrash_async_thread_state* previous,
                                   rocrash_async_thread_state* next) {
    return rocrash_async_frame_read_dwarf_unwind(sys::mach_task_self(), &list_, &current, previous,
                                                 next);
  }

  rocrash_async_image_list list_;
  std::unique_ptr<rocrash::testing::SyntheticImage> image_;
  uint64_t slide_ = 0;
};

// An exception-frame section with 8-byte absolute FDE addresses: functions at
// link-time 0x1100 to 0x1140 (CFA = rsp + 0x20 after its first byte) and
// 0x1140 to 0x1160 (rsp + 0x30), and two trampolines at 0x1200 and 0x1220 whose CIEs are, and are
// not, marked as signal frames.
Bytes adjacentFunctions(uint64_t slide, const Bytes& firstProgram = Bytes{}) {
  Bytes out;
  auto cie = [&](const char* augmentation) {
    size_t at = out.size();
    Bytes body;
    body.u32(0).u8(1).str(augmentation).uleb(1).sleb(-8).uleb(16);
    body.uleb(1).u8(0x00);  // "R": 8-byte absolute addresses
    body.append(x86EntryRules().data);
    out.u32(static_cast<uint32_t>(body.size())).append(body.data);
    return at;
  };
  auto fde = [&](size_t cieAt, uint64_t start, uint64_t length, const Bytes& program) {
    Bytes body;
    body.u32(static_cast<uint32_t>(out.size() + 4 - cieAt)).u64(start + slide).u64(length);
    body.uleb(0).append(program.data);
    out.u32(static_cast<uint32_t>(body.size())).append(body.data);
  };
  size_t plain = cie("zR");
  fde(plain, 0x1100, 0x40,
      firstProgram.size() ? firstProgram : insns({kAdvanceLoc | 1, kDefCfaOffset, 0x20}));
  fde(plain, 0x1140, 0x20, insns({kAdvanceLoc | 1, kDefCfaOffset, 0x30}));
  // 0x1160 to 0x1200 is padding, described by nothing.
  size_t signal = cie("zRS");
  fde(signal, 0x1200, 0x20, Bytes{});
  fde(plain, 0x1220, 0x20, Bytes{});
  return out;
}

TEST_F(DwarfReaderImage, ReturnAddressesAreLookedUpOneByteEarlier) {
  // The first function ends in a call that never returns, right before the
  // second function: its return address is the second function's start.
  install("__TEXT", "__eh_frame", [](uint64_t slide) {
    return adjacentFunctions(slide, insns({kAdvanceLoc | 1, kDefCfaOffset, 0x20}));
  });
  LowMemory stack;
  stack.put<uint64_t>(0x100, 0x4000);             // [rsp]: the second function's return address
  stack.put<uint64_t>(0x100 + 0x20 - 8, 0x5000);  // the first function's return address
  stack.put<uint64_t>(0x100 + 0x30 - 8, 0x6000);
  rocrash_async_thread_state next;

  // In the first frame the pc is exact: the second function, before its push.
  auto current = frame(0x1140, stack.at(0x100));
  ASSERT_EQ(unwind(current, nullptr, &next), FRAME_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x4000u);
  EXPECT_EQ(reg(next, ROCRASH_REG_SP), stack.at(0x108));

  // Further up, the same value is a return address into the first function.
  auto previous = frame(0x3000);  // no trampoline there
  ASSERT_EQ(unwind(current, &previous, &next), FRAME_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x5000u);
  EXPECT_EQ(reg(next, ROCRASH_REG_SP), stack.at(0x120));
}

TEST_F(DwarfReaderImage, FrameInterruptedByASignalKeepsItsExactPc) {
  install("__TEXT", "__eh_frame", [](uint64_t slide) { return adjacentFunctions(slide); });
  LowMemory stack;
  stack.put<uint64_t>(0x100, 0x4000);
  stack.put<uint64_t>(0x100 + 0x30 - 8, 0x6000);
  stack.put<uint64_t>(0x100 + 0x20 - 8, 0x5000);
  rocrash_async_thread_state next;
  // The second function's first instruction, interrupted: the frame below
  // it is the marked trampoline (entered by a return: its pc follows the
  // FDE's first byte).
  auto current = frame(0x1140, stack.at(0x100));
  auto trampoline = frame(0x1201);
  ASSERT_EQ(unwind(current, &trampoline, &next), FRAME_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x4000u);
  // Below an unmarked one, the pc is a return address again.
  auto ordinary = frame(0x1221);
  ASSERT_EQ(unwind(current, &ordinary, &next), FRAME_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x5000u);
  // One byte into the second function the push has happened.
  auto later = frame(0x1141, stack.at(0x100));
  ASSERT_EQ(unwind(later, &trampoline, &next), FRAME_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x6000u);
}

TEST_F(DwarfReaderImage, FailuresLeaveTheFrameToTheNextReader) {
  install("__TEXT", "__eh_frame", [](uint64_t slide) {
    // The first function's program uses an instruction we do not run.
    return adjacentFunctions(slide, insns({0x17, 0x10}));
  });
  rocrash_async_thread_state next;
  LowMemory stack;
  EXPECT_EQ(unwind(frame(0x1101, stack.at(0)), nullptr, &next), FRAME_ERR_NOTSUP);
  // Padding between functions: no FDE.
  EXPECT_EQ(unwind(frame(0x1170, stack.at(0)), nullptr, &next), FRAME_ERR_NOTSUP);
  // A row that cannot be applied: no stack pointer.
  EXPECT_EQ(unwind(frame(0x1150), nullptr, &next), FRAME_ERR_NOFRAME);
  // Or a return address in unreadable memory.
  EXPECT_EQ(unwind(frame(0x1150, 0x10), nullptr, &next), FRAME_ERR_NOFRAME);
  EXPECT_EQ(list_.shared->refcount.load(), 0);
}

TEST_F(DwarfReaderImage, DebugFrameDataServesWhenThereIsNoExceptionFrameSection) {
  install("__DWARF", "__debug_frame", [](uint64_t slide) {
    Bytes out;
    Bytes cie;
    cie.u32(0xFFFFFFFF).u8(3).str("").uleb(1).sleb(-8).uleb(16).append(x86EntryRules().data);
    out.u32(static_cast<uint32_t>(cie.size())).append(cie.data);
    Bytes fde;
    fde.u32(0).u64(0x1100 + slide).u64(0x40);
    out.u32(static_cast<uint32_t>(fde.size())).append(fde.data);
    return out;
  });
  LowMemory stack;
  stack.put<uint64_t>(0x100, 0x7000);
  rocrash_async_thread_state next;
  ASSERT_EQ(unwind(frame(0x1110, stack.at(0x100)), nullptr, &next), FRAME_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x7000u);
}

// Within a write, each pc is looked up once: the image, FDE and CIE found for
// it serve every later step, even with the image gone from the list (a write
// holds the list as read throughout, so the image's record stays).
TEST_F(DwarfReaderImage, WriteLooksUpEachPcOnce) {
  install("__TEXT", "__eh_frame", [](uint64_t slide) { return adjacentFunctions(slide); });
  LowMemory stack;
  stack.put<uint64_t>(0x100 + 0x20 - 8, 0x5000);
  rocrash_async_thread_state next;
  rocrash_async_frame_cache* cache = rocrash_async_frame_cache_create();
  ASSERT_NE(cache, nullptr);
  rocrash_async_image_list_set_reading(&list_, true);
  rocrash_async_frame_cache_begin(cache);
  ASSERT_EQ(unwind(frame(0x1110, stack.at(0x100)), nullptr, &next), FRAME_ERR_NONE);
  rocrash_async_image_list_remove(&list_, image_->header());
  ASSERT_EQ(unwind(frame(0x1110, stack.at(0x100)), nullptr, &next), FRAME_ERR_NONE);
  EXPECT_EQ(reg(next, ROCRASH_REG_IP), 0x5000u);
  rocrash_async_frame_cache_end(cache);
  rocrash_async_image_list_set_reading(&list_, false);
  EXPECT_EQ(unwind(frame(0x1110, stack.at(0x100)), nullptr, &next), FRAME_ERR_NOTSUP);
  rocrash_async_frame_cache_destroy(cache);
}

}  // namespace
