#include <gtest/gtest.h>

#include <vector>

#include "UnwindTestSupport.h"
#include "unwind/AsyncDwarfExpression.h"
#include "unwind/AsyncDwarfPrimitives.h"

namespace {

using rocrash::async::rocrash_async_dwarf_expression_eval;
using rocrash::testing::Bytes;
using rocrash::testing::LowMemory;
using rocrash::testing::makeState;
using rocrash::testing::MappedBytes;

template <typename W>
struct Outcome {
  rocrash_error_t error;
  W value;
};

// Runs `program` in the 64-bit or 32-bit variant against `state` (an x86-64
// state with nothing valid when none is given).
template <typename W, typename S>
Outcome<W> run(const Bytes& program, const rocrash_async_thread_state* state = nullptr,
               std::vector<W> initial = {},
               const rocrash_async_byteorder* byteorder = rocrash_async_byteorder_direct()) {
  // A byte of padding keeps the mapping non-empty for empty programs.
  std::vector<uint8_t> bytes = program.data;
  bytes.push_back(0xFF);
  MappedBytes block(bytes.data(), bytes.size());
  EXPECT_TRUE(block.ok());
  auto fallback = makeState(ROCRASH_CPU_TYPE_X86_64);
  Outcome<W> out{ROCRASH_ERR_UNKNOWN, static_cast<W>(0xDEAD)};
  out.error = rocrash_async_dwarf_expression_eval<W, S>(
      block.get(), sys::mach_task_self(), state ? state : &fallback, byteorder, block.address(), 0,
      program.size(), initial.data(), initial.size(), &out.value);
  return out;
}

Outcome<uint64_t> run64(const Bytes& program, const rocrash_async_thread_state* state = nullptr,
                        std::vector<uint64_t> initial = {}) {
  return run<uint64_t, int64_t>(program, state, initial);
}
Outcome<uint32_t> run32(const Bytes& program, const rocrash_async_thread_state* state = nullptr,
                        std::vector<uint32_t> initial = {}) {
  return run<uint32_t, int32_t>(program, state, initial);
}

#define EXPECT_VALUE(outcome, expected)    \
  do {                                     \
    auto o_ = (outcome);                   \
    EXPECT_EQ(o_.error, ROCRASH_ERR_NONE); \
    if (o_.error == ROCRASH_ERR_NONE) {    \
      EXPECT_EQ(o_.value, (expected));     \
    }                                      \
  } while (0)

Bytes ops(std::initializer_list<uint8_t> bytes) {
  Bytes b;
  for (uint8_t byte : bytes) b.u8(byte);
  return b;
}

TEST(AsyncDwarfExpression, EmptyProgramYieldsItsInitialValueOrFails) {
  EXPECT_VALUE(run64(Bytes{}, nullptr, {0x1234}), 0x1234u);
  EXPECT_EQ(run64(Bytes{}).error, ROCRASH_ERR_INVAL);
  // Initial values are pushed in order: the last one is the top.
  EXPECT_VALUE(run64(Bytes{}, nullptr, {1, 2, 3}), 3u);
  EXPECT_EQ(run64(Bytes{}, nullptr, std::vector<uint64_t>(101, 1)).error, ROCRASH_ERR_INTERNAL);
  EXPECT_VALUE(run64(Bytes{}, nullptr, std::vector<uint64_t>(100, 7)), 7u);
}

TEST(AsyncDwarfExpression, RegisterBasedValuesNeedAValidMappedRegister) {
  auto arm64 = makeState(ROCRASH_CPU_TYPE_ARM64);
  rocrash_async_thread_state_set_reg(&arm64, ROCRASH_REG_FP, 0x10000);
  Bytes breg29 = Bytes{}.u8(0x70 + 29).sleb(16);
  EXPECT_VALUE(run64(breg29, &arm64), 0x10010u);
  EXPECT_VALUE(run64(Bytes{}.u8(0x92).uleb(29).sleb(-16), &arm64), 0xFFF0u);  // bregx
  rocrash_async_thread_state_clear_reg(&arm64, ROCRASH_REG_FP);
  EXPECT_EQ(run64(breg29, &arm64).error, ROCRASH_ERR_NOTFOUND);

  // x86-64: DWARF 7 is rsp; 16 (the return address column) is no register.
  auto host = makeState(ROCRASH_CPU_TYPE_X86_64);
  rocrash_async_thread_state_set_reg(&host, ROCRASH_X86_64_RSP, 0x7000);
  EXPECT_VALUE(run64(Bytes{}.u8(0x77).sleb(0xA0), &host), 0x70A0u);
  EXPECT_EQ(run64(Bytes{}.u8(0x92).uleb(16).sleb(0), &host).error, ROCRASH_ERR_NOTSUP);
  EXPECT_EQ(run64(Bytes{}.u8(0x77), &host).error, ROCRASH_ERR_INVAL);  // offset missing
}

TEST(AsyncDwarfExpression, StackHoldsAHundredValues) {
  Bytes hundred;
  for (int i = 0; i < 100; ++i) hundred.u8(0x30 + i % 32);
  EXPECT_VALUE(run64(hundred), 99u % 32);
  Bytes overflow = hundred;
  overflow.u8(0x31);
  EXPECT_EQ(run64(overflow).error, ROCRASH_ERR_INTERNAL);
  EXPECT_EQ(run64(Bytes{}.u8(0x12), nullptr, std::vector<uint64_t>(100, 1)).error,
            ROCRASH_ERR_INTERNAL);  // dup onto a full stack
}

TEST(AsyncDwarfExpression, ConstantsAreWidenedAsTheirFormsSay) {
  EXPECT_VALUE(run64(Bytes{}.u8(0x08).u8(0xF0)), 0xF0u);
  EXPECT_VALUE(run64(Bytes{}.u8(0x09).u8(0xF0)), static_cast<uint64_t>(-16));
  EXPECT_VALUE(run32(Bytes{}.u8(0x09).u8(0xF0)), static_cast<uint32_t>(-16));
  EXPECT_VALUE(run64(Bytes{}.u8(0x0A).u16(0x8001)), 0x8001u);
  EXPECT_VALUE(run64(Bytes{}.u8(0x0B).u16(0x8001)), 0xFFFFFFFFFFFF8001u);
  EXPECT_VALUE(run64(Bytes{}.u8(0x0C).u32(0x80000001)), 0x80000001u);
  EXPECT_VALUE(run64(Bytes{}.u8(0x0D).u32(0x80000001)), 0xFFFFFFFF80000001u);
  EXPECT_VALUE(run64(Bytes{}.u8(0x0E).u64(0x1122334455667788)), 0x1122334455667788u);
  EXPECT_VALUE(run32(Bytes{}.u8(0x0F).u64(0x1122334455667788)), 0x55667788u);
  EXPECT_VALUE(run64(Bytes{}.u8(0x10).uleb(624485)), 624485u);
  EXPECT_VALUE(run64(Bytes{}.u8(0x11).sleb(-123456)), static_cast<uint64_t>(-123456));
  // Multi-byte constants go through the byte order.
  std::vector<uint64_t> none;
  auto swapped = run<uint64_t, int64_t>(Bytes{}.u8(0x0A).u16(0x0102), nullptr, none,
                                        rocrash_async_byteorder_swapped());
  EXPECT_VALUE(swapped, 0x0201u);
  // An operand cut off by the end of the block.
  EXPECT_EQ(run64(Bytes{}.u8(0x0C).u16(1)).error, ROCRASH_ERR_INVAL);
  EXPECT_EQ(run64(Bytes{}.u8(0x10).u8(0x80)).error, ROCRASH_ERR_INVAL);
}

TEST(AsyncDwarfExpression, StackOperationsShuffleAsDescribed) {
  // lit1 lit2 lit3 rot: [3, 1, 2]; then the stack is read back with picks.
  Bytes rot = ops({0x31, 0x32, 0x33, 0x17});
  EXPECT_VALUE(run64(rot), 2u);
  EXPECT_VALUE(run64(Bytes{rot}.u8(0x15).u8(1)), 1u);
  EXPECT_VALUE(run64(Bytes{rot}.u8(0x15).u8(2)), 3u);
  EXPECT_EQ(run64(Bytes{rot}.u8(0x15).u8(3)).error, ROCRASH_ERR_INVAL);
  EXPECT_VALUE(run64(ops({0x31, 0x32, 0x16})), 1u);        // swap
  EXPECT_VALUE(run64(ops({0x31, 0x32, 0x14})), 1u);        // over
  EXPECT_VALUE(run64(ops({0x31, 0x32, 0x13})), 1u);        // drop
  EXPECT_VALUE(run64(ops({0x35, 0x12, 0x22})), 10u);       // dup plus
  EXPECT_VALUE(run64(ops({0x31, 0x32, 0x96, 0x96})), 2u);  // nops
}

TEST(AsyncDwarfExpression, UnderflowErrorsDependOnTheOperation) {
  // dup, drop, pick, over, swap, rot, xderef and xderef_size one value short.
  for (const Bytes& program :
       {ops({0x12}), ops({0x13}), ops({0x15, 0x00}), ops({0x31, 0x14}), ops({0x31, 0x16}),
        ops({0x31, 0x31, 0x17}), ops({0x31, 0x18}), ops({0x31, 0x95, 0x04})}) {
    EXPECT_EQ(run64(program).error, ROCRASH_ERR_INVAL) << std::hex << int(program.data.back());
  }
  for (uint8_t op : {0x06, 0x19, 0x1A, 0x1B, 0x1C, 0x1E, 0x1F, 0x20, 0x22, 0x24, 0x27, 0x29}) {
    EXPECT_EQ(run64(ops({op})).error, ROCRASH_ERR_INTERNAL) << std::hex << int(op);
  }
  EXPECT_EQ(run64(ops({0x31, 0x22})).error, ROCRASH_ERR_INTERNAL);        // plus with one value
  EXPECT_EQ(run64(ops({0x23, 0x01})).error, ROCRASH_ERR_INTERNAL);        // plus_uconst
  EXPECT_EQ(run64(ops({0x94, 0x04})).error, ROCRASH_ERR_INTERNAL);        // deref_size
  EXPECT_EQ(run64(ops({0x28, 0x00, 0x00})).error, ROCRASH_ERR_INTERNAL);  // bra
}

TEST(AsyncDwarfExpression, ArithmeticIsDoneOnMachineWords) {
  auto minusOne = Bytes{}.u8(0x11).sleb(-1);
  auto binary = [](Bytes a, Bytes b, uint8_t op) { return a.append(b.data).u8(op); };
  auto lit = [](int n) { return Bytes{}.u8(static_cast<uint8_t>(0x30 + n)); };
  EXPECT_VALUE(run64(binary(minusOne, lit(1), 0x2D)), 1u);  // lt: -1 < 1, signed
  EXPECT_VALUE(run64(binary(lit(1), minusOne, 0x2D)), 0u);
  EXPECT_VALUE(run64(binary(lit(3), lit(3), 0x29)), 1u);                         // eq
  EXPECT_VALUE(run64(binary(lit(3), lit(2), 0x2A)), 1u);                         // ge
  EXPECT_VALUE(run64(binary(lit(2), lit(3), 0x2B)), 0u);                         // gt
  EXPECT_VALUE(run64(binary(lit(2), lit(2), 0x2C)), 1u);                         // le
  EXPECT_VALUE(run64(binary(lit(2), lit(3), 0x2E)), 1u);                         // ne
  EXPECT_VALUE(run64(binary(lit(20), lit(7), 0x1C)), 13u);                       // minus
  EXPECT_VALUE(run64(binary(lit(6), lit(7), 0x1E)), 42u);                        // mul
  EXPECT_VALUE(run64(binary(lit(12), lit(10), 0x1A)), 8u);                       // and
  EXPECT_VALUE(run64(binary(lit(12), lit(10), 0x21)), 14u);                      // or
  EXPECT_VALUE(run64(binary(lit(12), lit(10), 0x27)), 6u);                       // xor
  EXPECT_VALUE(run64(binary(lit(20), lit(6), 0x1D)), 2u);                        // mod
  EXPECT_VALUE(run64(binary(minusOne, lit(2), 0x1D)), 0xFFFFFFFFFFFFFFFFu % 2);  // unsigned
  EXPECT_VALUE(run64(binary(Bytes{}.u8(0x11).sleb(-20), lit(6), 0x1B)), static_cast<uint64_t>(-3));
  EXPECT_VALUE(run64(Bytes{minusOne}.u8(0x19)), 1u);                       // abs
  EXPECT_VALUE(run64(Bytes{lit(5)}.u8(0x1F)), static_cast<uint64_t>(-5));  // neg
  EXPECT_VALUE(run64(Bytes{lit(0)}.u8(0x20)), ~0ULL);                      // not
  EXPECT_VALUE(run64(Bytes{lit(5)}.u8(0x23).uleb(300)), 305u);             // plus_uconst
  EXPECT_VALUE(run32(Bytes{minusOne}.u8(0x23).uleb(2)), 1u);               // wraps at 32
  EXPECT_EQ(run64(binary(lit(1), lit(0), 0x1B)).error, ROCRASH_ERR_INVAL);
  EXPECT_EQ(run64(binary(lit(1), lit(0), 0x1D)).error, ROCRASH_ERR_INVAL);
}

TEST(AsyncDwarfExpression, MostNegativeWordDividedByMinusOneWrapsInsteadOfTrapping) {
  Bytes min64 = Bytes{}.u8(0x0E).u64(0x8000000000000000).u8(0x11).sleb(-1).u8(0x1B);
  EXPECT_VALUE(run64(min64), 0x8000000000000000u);
  Bytes min32 = Bytes{}.u8(0x0C).u32(0x80000000).u8(0x11).sleb(-1).u8(0x1B);
  EXPECT_VALUE(run32(min32), 0x80000000u);
}

TEST(AsyncDwarfExpression, ShiftsUseTheLowSixBitsOfTheCount) {
  Bytes topBit = Bytes{}.u8(0x0E).u64(0x8000000000000000);
  EXPECT_VALUE(run64(Bytes{topBit}.u8(0x08).u8(63).u8(0x25)), 1u);     // shr
  EXPECT_VALUE(run64(Bytes{topBit}.u8(0x08).u8(63).u8(0x26)), ~0ULL);  // shra
  EXPECT_VALUE(run64(Bytes{topBit}.u8(0x08).u8(64 + 4).u8(0x25)), 0x0800000000000000u);
  EXPECT_VALUE(run64(Bytes{}.u8(0x31).u8(0x08).u8(63).u8(0x24)), 0x8000000000000000u);  // shl
  EXPECT_VALUE(run64(Bytes{}.u8(0x38).u8(0x31).u8(0x26)), 4u);  // shra of a positive value
  // In 32-bit words a count past the width empties the word (or fills it
  // with the sign) instead of wrapping the count.
  Bytes topBit32 = Bytes{}.u8(0x0C).u32(0x80000000);
  EXPECT_VALUE(run32(Bytes{topBit32}.u8(0x08).u8(31).u8(0x25)), 1u);
  EXPECT_VALUE(run32(Bytes{topBit32}.u8(0x08).u8(40).u8(0x25)), 0u);
  EXPECT_VALUE(run32(Bytes{topBit32}.u8(0x08).u8(40).u8(0x26)), 0xFFFFFFFFu);
  EXPECT_VALUE(run32(Bytes{}.u8(0x31).u8(0x08).u8(40).u8(0x24)), 0u);
}

TEST(AsyncDwarfExpression, BranchesStayInsideTheBlock) {
  // skip over a lit5: the result is the lit1 before it.
  EXPECT_VALUE(run64(Bytes{}.u8(0x31).u8(0x2F).u16(1).u8(0x35)), 1u);
  // A skip to exactly the end of the block finishes it.
  EXPECT_VALUE(run64(Bytes{}.u8(0x32).u8(0x2F).u16(0)), 2u);
  EXPECT_EQ(run64(Bytes{}.u8(0x31).u8(0x2F).u16(2)).error, ROCRASH_ERR_INVAL);
  EXPECT_EQ(run64(Bytes{}.u8(0x31).u8(0x2F).u16(static_cast<uint16_t>(-5))).error,
            ROCRASH_ERR_INVAL);
  // Backwards to the start: lit1, then skip -4 would loop; bra counts down.
  // [n] dup bra(+1)... here: lit3; loop: lit1 minus dup bra(-5) -> ends at 0.
  Bytes loop = Bytes{}.u8(0x33).u8(0x31).u8(0x1C).u8(0x12).u8(0x28).u16(static_cast<uint16_t>(-6));
  EXPECT_VALUE(run64(loop), 0u);
  // bra not taken on 0 falls through.
  EXPECT_VALUE(run64(Bytes{}.u8(0x37).u8(0x30).u8(0x28).u16(1).u8(0x39)), 9u);
  EXPECT_VALUE(run64(Bytes{}.u8(0x37).u8(0x31).u8(0x28).u16(1).u8(0x39)), 7u);
  EXPECT_EQ(run64(Bytes{}.u8(0x31).u8(0x28).u16(0x100)).error, ROCRASH_ERR_INVAL);
  EXPECT_EQ(run64(Bytes{}.u8(0x31).u8(0x28).u8(0)).error, ROCRASH_ERR_INVAL);  // short operand
}

TEST(AsyncDwarfExpression, LoopsFailOnceTheirStepsAreSpent) {
  // A skip back onto itself, and a branch that always jumps back.
  EXPECT_EQ(run64(Bytes{}.u8(0x2F).u16(static_cast<uint16_t>(-3))).error, ROCRASH_ERR_INVAL);
  EXPECT_EQ(run64(Bytes{}.u8(0x31).u8(0x12).u8(0x28).u16(static_cast<uint16_t>(-4))).error,
            ROCRASH_ERR_INVAL);
  // A long but finite loop within the budget still finishes.
  EXPECT_VALUE(run64(rocrash::testing::countdownLoop(2000)), 0u);
}

TEST(AsyncDwarfExpression, MemoryIsReadThroughTheTask) {
  LowMemory memory;
  memory.put<uint64_t>(0x40, 0x1122334455667788);
  Bytes address = Bytes{}.u8(0x0E).u64(memory.at(0x40));
  EXPECT_VALUE(run64(Bytes{address}.u8(0x06)), 0x1122334455667788u);
  EXPECT_VALUE(run64(Bytes{address}.u8(0x94).u8(1)), 0x88u);
  EXPECT_VALUE(run64(Bytes{address}.u8(0x94).u8(2)), 0x7788u);
  EXPECT_VALUE(run64(Bytes{address}.u8(0x94).u8(4)), 0x55667788u);
  EXPECT_VALUE(run64(Bytes{address}.u8(0x94).u8(8)), 0x1122334455667788u);
  EXPECT_VALUE(run32(Bytes{}.u8(0x0C).u32(static_cast<uint32_t>(memory.at(0x40))).u8(0x06)),
               0x55667788u);
  for (uint8_t size : {0, 3, 5, 6, 7, 9}) {
    EXPECT_EQ(run64(Bytes{address}.u8(0x94).u8(size)).error, ROCRASH_ERR_INVAL) << int(size);
  }
  // xderef forms pop an address-space id below the address.
  EXPECT_VALUE(run64(Bytes{}.u8(0x30).append(address.data).u8(0x18)), 0x1122334455667788u);
  EXPECT_VALUE(run64(Bytes{}.u8(0x30).append(address.data).u8(0x95).u8(2)), 0x7788u);
  // Unmapped memory reports the read's failure.
  EXPECT_EQ(run64(Bytes{}.u8(0x08).u8(0x10).u8(0x06)).error, ROCRASH_ERR_NOTFOUND);
}

TEST(AsyncDwarfExpression, LocationOperationsAreNotSupported) {
  for (uint8_t op : {0x00, 0x05, 0x07, 0x50, 0x6F, 0x90, 0x91, 0x93, 0x97, 0xE0, 0xFF}) {
    EXPECT_EQ(run64(ops({0x31, op, 0x00, 0x00})).error, ROCRASH_ERR_NOTSUP) << std::hex << int(op);
  }
}

TEST(AsyncDwarfExpression, SignalFrameStyleAddressOfASavedRegister) {
  // What a signal trampoline's rules compute: the stack pointer plus the
  // offset of a saved register in the signal frame, and the word there.
  LowMemory memory;
  memory.put<uint64_t>(0x100 + 0xA8, 0x4242);
  auto host = makeState(ROCRASH_CPU_TYPE_X86_64);
  rocrash_async_thread_state_set_reg(&host, ROCRASH_X86_64_RSP, memory.at(0x100));
  EXPECT_VALUE(run64(Bytes{}.u8(0x77).sleb(0xA8), &host), memory.at(0x1A8));
  EXPECT_VALUE(run64(Bytes{}.u8(0x77).sleb(0xA8).u8(0x06), &host), 0x4242u);
}

TEST(AsyncDwarfExpression, BlockMustLieInsideTheMapping) {
  uint8_t bytes[4] = {0x31, 0x32, 0x33, 0x34};
  MappedBytes block(bytes, sizeof bytes);
  auto state = makeState(ROCRASH_CPU_TYPE_X86_64);
  uint64_t result = 0;
  auto eval = [&](int64_t offset, uint64_t length) {
    return rocrash_async_dwarf_expression_eval<uint64_t, int64_t>(
        block.get(), sys::mach_task_self(), &state, rocrash_async_byteorder_direct(),
        block.address(), offset, length, nullptr, 0, &result);
  };
  EXPECT_EQ(eval(1, 2), ROCRASH_ERR_NONE);
  EXPECT_EQ(result, 3u);
  EXPECT_EQ(eval(2, 3), ROCRASH_ERR_INVAL);
  EXPECT_EQ(eval(-1, 2), ROCRASH_ERR_INVAL);
  EXPECT_EQ(eval(0, ~0ULL), ROCRASH_ERR_INVAL);
}

// --- the primitive readers ------------------------------------------------

TEST(AsyncDwarfPrimitives, Leb128NumbersAndTheirLimits) {
  Bytes b;
  b.uleb(624485).sleb(-123456).sleb(63).sleb(64).uleb(~0ULL).sleb(INT64_MIN);
  MappedBytes m(b.data.data(), b.size());
  uint64_t u;
  int64_t s;
  rocrash_vm_size_t size;
  rocrash_vm_off_t at = 0;
  ASSERT_EQ(rocrash_async_dwarf_read_uleb128(m.get(), m.address(), at, &u, &size),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(u, 624485u);
  EXPECT_EQ(size, 3u);
  at += size;
  ASSERT_EQ(rocrash_async_dwarf_read_sleb128(m.get(), m.address(), at, &s, &size),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(s, -123456);
  at += size;
  ASSERT_EQ(rocrash_async_dwarf_read_sleb128(m.get(), m.address(), at, &s, &size),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(s, 63);
  at += size;
  ASSERT_EQ(rocrash_async_dwarf_read_sleb128(m.get(), m.address(), at, &s, &size),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(s, 64);  // 0xC0 0x00: bit 6 of the last byte is clear
  EXPECT_EQ(size, 2u);
  at += size;
  ASSERT_EQ(rocrash_async_dwarf_read_uleb128(m.get(), m.address(), at, &u, &size),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(u, ~0ULL);
  EXPECT_EQ(size, 10u);
  at += size;
  ASSERT_EQ(rocrash_async_dwarf_read_sleb128(m.get(), m.address(), at, &s, &size),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(s, INT64_MIN);
  at += size;
  // Past the end of the mapping.
  EXPECT_EQ(rocrash_async_dwarf_read_uleb128(m.get(), m.address(), at, &u, &size),
            ROCRASH_ERR_INVAL);

  // Eleven bytes: a continuation past 64 bits of value.
  std::vector<uint8_t> tooLong(10, 0x80);
  tooLong.push_back(0x01);
  MappedBytes t(tooLong.data(), tooLong.size());
  EXPECT_EQ(rocrash_async_dwarf_read_uleb128(t.get(), t.address(), 0, &u, &size),
            ROCRASH_ERR_NOTSUP);
  // A number cut off by the end of the mapping.
  MappedBytes cut(tooLong.data(), 3);
  EXPECT_EQ(rocrash_async_dwarf_read_uleb128(cut.get(), cut.address(), 0, &u, &size),
            ROCRASH_ERR_INVAL);
}

TEST(AsyncDwarfPrimitives, TaskLeb128ReadsUpToTheEndOfReadableMemory) {
  const size_t page = sys::vm_page_size();
  LowMemory memory(2 * page);
  // A number in the last bytes before an inaccessible page.
  memory.put<uint8_t>(page - 2, 0xE5);
  memory.put<uint8_t>(page - 1, 0x0E);
  mprotect(memory.bytes() + page, page, PROT_NONE);
  uint64_t u;
  int64_t s;
  rocrash_vm_size_t size;
  ASSERT_EQ(rocrash_async_dwarf_read_task_uleb128(sys::mach_task_self(), memory.at(0), page - 2, &u,
                                                  &size),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(u, 0x765u);
  EXPECT_EQ(size, 2u);
  ASSERT_EQ(rocrash_async_dwarf_read_task_sleb128(sys::mach_task_self(), memory.at(page - 1), 0, &s,
                                                  &size),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(s, 14);
  memory.put<uint8_t>(page - 1, 0x8E);  // now it runs into the protected page
  EXPECT_EQ(rocrash_async_dwarf_read_task_uleb128(sys::mach_task_self(), memory.at(page - 2), 0, &u,
                                                  &size),
            ROCRASH_ERR_INVAL);
  EXPECT_NE(
      rocrash_async_dwarf_read_task_uleb128(sys::mach_task_self(), memory.at(page), 0, &u, &size),
      ROCRASH_ERR_NONE);
  mprotect(memory.bytes() + page, page, PROT_READ | PROT_WRITE);
}

TEST(AsyncDwarfPrimitives, FixedSizeValuesOfEachWidth) {
  Bytes b = Bytes{}.u64(0x0102030405060708);
  MappedBytes m(b.data.data(), b.size());
  uint64_t v;
  const auto* direct = rocrash_async_byteorder_direct();
  const uint64_t expected[] = {0, 0x08, 0x0708, 0, 0x05060708, 0, 0, 0, 0x0102030405060708};
  for (uint8_t size : {1, 2, 4, 8}) {
    ASSERT_EQ(rocrash_async_dwarf_read_uintmax(m.get(), direct, m.address(), 0, size, &v),
              ROCRASH_ERR_NONE);
    EXPECT_EQ(v, expected[size]);
  }
  ASSERT_EQ(rocrash_async_dwarf_read_uintmax(m.get(), rocrash_async_byteorder_swapped(),
                                             m.address(), 0, 2, &v),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(v, 0x0807u);
  EXPECT_EQ(rocrash_async_dwarf_read_uintmax(m.get(), direct, m.address(), 0, 3, &v),
            ROCRASH_ERR_INVAL);
  EXPECT_EQ(rocrash_async_dwarf_read_uintmax(m.get(), direct, m.address(), 4, 8, &v),
            ROCRASH_ERR_INVAL);
}

TEST(AsyncDwarfPrimitives, StreamReadsStayBetweenStartAndEnd) {
  Bytes b = Bytes{}.u8(1).u16(0x0302).u32(0x07060504).uleb(300);
  MappedBytes m(b.data.data(), b.size());
  rocrash::async::dwarf_opstream stream;
  const auto* direct = rocrash_async_byteorder_direct();
  EXPECT_EQ(stream.init(m.get(), direct, m.address(), 0, -1), ROCRASH_ERR_INVAL);
  EXPECT_EQ(stream.init(m.get(), direct, m.address(), 0, b.size() + 1), ROCRASH_ERR_INVAL);
  EXPECT_EQ(stream.init(m.get(), direct, ~0ULL, 2, 1), ROCRASH_ERR_INVAL);
  ASSERT_EQ(stream.init(m.get(), direct, m.address(), 1, b.size() - 1), ROCRASH_ERR_NONE);
  EXPECT_EQ(stream.get_start(), m.address() + 1);
  EXPECT_EQ(stream.get_end(), m.address() + b.size());
  uint16_t v16;
  ASSERT_TRUE(stream.read_intU(&v16));
  EXPECT_EQ(v16, 0x0302u);
  EXPECT_FALSE(stream.skip(-3));  // before the start
  EXPECT_TRUE(stream.skip(-2));
  EXPECT_TRUE(stream.skip(2));
  uint32_t v32;
  ASSERT_TRUE(stream.read_intU(&v32));
  EXPECT_EQ(v32, 0x07060504u);
  EXPECT_FALSE(stream.read_intU(&v32));  // two bytes left
  EXPECT_EQ(stream.get_position(), m.address() + 7);
  uint64_t u;
  ASSERT_EQ(stream.read_uleb128(&u), ROCRASH_ERR_NONE);
  EXPECT_EQ(u, 300u);
  EXPECT_TRUE(stream.at_end());
  EXPECT_FALSE(stream.skip(1));
  EXPECT_EQ(stream.read_uleb128(&u), ROCRASH_ERR_INVAL);
}

}  // namespace
