#include <dlfcn.h>
#include <execinfo.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "MachOFixtures.h"
#include "walk/AsyncFrameCursor.h"

namespace {

// A stack of frame records laid out in memory, each {caller's fp, return
// address} of the state's width, at an address the state can represent.
class SyntheticStack {
 public:
  // `limit` is the highest address the memory may end at (ARM64 states keep
  // 36 bits of their pointers, 32-bit ones 32).
  explicit SyntheticStack(uint64_t limit = 0) {
    size_ = 2 * sys::vm_page_size();
    void* memory = MAP_FAILED;
    if (limit == 0) {
      memory = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    } else if (limit <= (1ULL << 32)) {
      memory = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT,
                    -1, 0);
    } else {
      for (uint64_t hint = limit - 0x10000000; memory == MAP_FAILED; hint -= 0x10000000) {
        memory = mmap(reinterpret_cast<void*>(hint), size_, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
      }
    }
    EXPECT_NE(memory, MAP_FAILED);
    base_ = static_cast<uint8_t*>(memory);
    std::memset(base_, 0, size_);
  }
  ~SyntheticStack() { munmap(base_, size_); }
  uint64_t at(size_t offset) const { return reinterpret_cast<uint64_t>(base_ + offset); }
  void record64(size_t offset, uint64_t fp, uint64_t pc) {
    std::memcpy(base_ + offset, &fp, 8);
    std::memcpy(base_ + offset + 8, &pc, 8);
  }
  void record32(size_t offset, uint32_t fp, uint32_t pc) {
    std::memcpy(base_ + offset, &fp, 4);
    std::memcpy(base_ + offset + 4, &pc, 4);
  }

 private:
  uint8_t* base_;
  size_t size_;
};

class AsyncFrameCursor : public ::testing::Test {
 protected:
  void SetUp() override { rocrash_async_image_list_init(&list_, sys::mach_task_self()); }
  void TearDown() override { rocrash_async_image_list_free(&list_); }

  rocrash_async_thread_state hostState(uint64_t pc, uint64_t fp) {
    rocrash_async_thread_state state;
    EXPECT_EQ(rocrash_async_thread_state_init(&state, ROCRASH_CPU_TYPE_X86_64), ROCRASH_ERR_NONE);
    rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_IP, pc);
    rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_FP, fp);
    return state;
  }
  // The pcs the default readers deliver until a step fails; `*end` gets that
  // step's error.
  std::vector<uint64_t> walk(const rocrash_async_thread_state& start,
                             rocrash_async_frame_error* end) {
    rocrash_async_frame_cursor cursor;
    EXPECT_EQ(rocrash_async_frame_cursor_init(&cursor, sys::mach_task_self(), &start, &list_),
              FRAME_ERR_NONE);
    std::vector<uint64_t> pcs;
    while ((*end = rocrash_async_frame_cursor_next(&cursor)) == FRAME_ERR_NONE) {
      uint64_t pc;
      EXPECT_EQ(rocrash_async_frame_cursor_get_reg(&cursor, ROCRASH_REG_IP, &pc), FRAME_ERR_NONE);
      pcs.push_back(pc);
      if (pcs.size() > 64) break;
    }
    rocrash_async_frame_cursor_free(&cursor);
    return pcs;
  }

  rocrash_async_image_list list_;
};

TEST_F(AsyncFrameCursor, FirstStepDeliversTheInitialStateWithoutReadingMemory) {
  // A frame pointer that cannot be read: only a second step would notice.
  auto state = hostState(0x5000, 8);
  rocrash_async_frame_cursor cursor;
  EXPECT_EQ(rocrash_async_frame_cursor_init(&cursor, sys::mach_task_self(), &state, &list_),
            FRAME_ERR_NONE);
  EXPECT_EQ(cursor.depth, 0u);
  EXPECT_EQ(rocrash_async_frame_cursor_next(&cursor), FRAME_ERR_NONE);
  EXPECT_EQ(cursor.depth, 1u);
  uint64_t pc;
  EXPECT_EQ(rocrash_async_frame_cursor_get_reg(&cursor, ROCRASH_REG_IP, &pc), FRAME_ERR_NONE);
  EXPECT_EQ(pc, 0x5000u);
  EXPECT_EQ(rocrash_async_frame_cursor_get_regcount(&cursor), 21u);
  EXPECT_STREQ(rocrash_async_frame_cursor_get_regname(&cursor, 2), "rsp");
  uint64_t rax;
  EXPECT_EQ(rocrash_async_frame_cursor_get_reg(&cursor, ROCRASH_X86_64_RAX, &rax),
            FRAME_ERR_NOTSUP);
  EXPECT_EQ(rocrash_async_frame_cursor_next(&cursor), FRAME_ERR_BADFRAME);
  EXPECT_EQ(cursor.depth, 1u);
}

TEST_F(AsyncFrameCursor, FollowsTheFramePointerChainWhenNoImageHoldsThePc) {
  SyntheticStack stack;
  stack.record64(0x100, stack.at(0x200), 0x11000);
  stack.record64(0x200, stack.at(0x300), 0x12000);
  stack.record64(0x300, 0, 0x13000);
  rocrash_async_frame_error end;
  auto pcs = walk(hostState(0x10000, stack.at(0x100)), &end);
  EXPECT_EQ(pcs, (std::vector<uint64_t>{0x10000, 0x11000, 0x12000, 0x13000}));
  EXPECT_EQ(end, FRAME_ERR_NOFRAME);  // frame pointer 0
}

TEST_F(AsyncFrameCursor, PcWithinTheFirstPageEndsTheWalk) {
  const uint64_t page = sys::vm_page_size();
  SyntheticStack stack;
  stack.record64(0x100, stack.at(0x200), page + 1);
  stack.record64(0x200, stack.at(0x300), page);
  rocrash_async_frame_error end;
  auto pcs = walk(hostState(0x10000, stack.at(0x100)), &end);
  EXPECT_EQ(pcs, (std::vector<uint64_t>{0x10000, page + 1}));
  EXPECT_EQ(end, FRAME_ERR_NOFRAME);
}

TEST_F(AsyncFrameCursor, ChainMovingAwayFromTheStackBaseIsCorrupt) {
  SyntheticStack stack;
  stack.record64(0x300, stack.at(0x200), 0x11000);  // points below itself
  stack.record64(0x200, stack.at(0x400), 0x12000);
  rocrash_async_frame_error end;
  auto pcs = walk(hostState(0x10000, stack.at(0x300)), &end);
  EXPECT_EQ(pcs, (std::vector<uint64_t>{0x10000, 0x11000}));
  EXPECT_EQ(end, FRAME_ERR_BADFRAME);

  // An upward stack accepts the same move and refuses the opposite one.
  auto up = hostState(0x10000, stack.at(0x300));
  up.stack_direction = ROCRASH_ASYNC_STACK_DIRECTION_UP;
  pcs = walk(up, &end);
  EXPECT_EQ(pcs, (std::vector<uint64_t>{0x10000, 0x11000, 0x12000}));
  EXPECT_EQ(end, FRAME_ERR_BADFRAME);
}

TEST_F(AsyncFrameCursor, FramePointerReaderKeepsFpPcAndTheCallersSp) {
  SyntheticStack stack;
  stack.record64(0x100, stack.at(0x180), 0x11000);
  auto current = hostState(0x10000, stack.at(0x100));
  rocrash_async_thread_state_set_reg(&current, ROCRASH_X86_64_RBX, 7);
  rocrash_async_thread_state next;
  ASSERT_EQ(rocrash_async_frame_read_frame_pointer(sys::mach_task_self(), &list_, &current, nullptr,
                                                   &next),
            FRAME_ERR_NONE);
  EXPECT_EQ(next.valid_regs,
            (1ULL << ROCRASH_REG_IP) | (1ULL << ROCRASH_REG_FP) | (1ULL << ROCRASH_REG_SP));
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&next, ROCRASH_REG_FP), stack.at(0x180));
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&next, ROCRASH_REG_SP), stack.at(0x110));

  auto noFp = hostState(0x10000, 0);
  rocrash_async_thread_state_clear_reg(&noFp, ROCRASH_REG_FP);
  EXPECT_EQ(
      rocrash_async_frame_read_frame_pointer(sys::mach_task_self(), &list_, &noFp, nullptr, &next),
      FRAME_ERR_BADFRAME);
  auto zeroFp = hostState(0x10000, 0);
  EXPECT_EQ(rocrash_async_frame_read_frame_pointer(sys::mach_task_self(), &list_, &zeroFp, nullptr,
                                                   &next),
            FRAME_ERR_NOFRAME);
}

TEST_F(AsyncFrameCursor, ThirtyTwoBitRecordsHoldFpThenPcInOneWord) {
  SyntheticStack stack(1ULL << 32);
  stack.record32(0x100, static_cast<uint32_t>(stack.at(0x200)), 0x21000);
  stack.record32(0x200, 0, 0x22000);
  rocrash_async_thread_state state;
  EXPECT_EQ(rocrash_async_thread_state_init(&state, ROCRASH_CPU_TYPE_ARM), ROCRASH_ERR_NONE);
  rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_IP, 0x20000);
  rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_FP, stack.at(0x100));
  rocrash_async_frame_error end;
  EXPECT_EQ(walk(state, &end), (std::vector<uint64_t>{0x20000, 0x21000, 0x22000}));
  EXPECT_EQ(end, FRAME_ERR_NOFRAME);
}

TEST_F(AsyncFrameCursor, Arm64ChainIsReadThroughItsMaskedPointers) {
  SyntheticStack stack(1ULL << 36);
  const uint64_t pac = 0x00AB000000000000ULL;
  stack.record64(0x100, stack.at(0x200) | pac, 0x31000 | pac);
  stack.record64(0x200, 0, 0x32000);
  rocrash_async_thread_state state;
  EXPECT_EQ(rocrash_async_thread_state_init(&state, ROCRASH_CPU_TYPE_ARM64), ROCRASH_ERR_NONE);
  rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_IP, 0x30000);
  rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_FP, stack.at(0x100) | pac);
  rocrash_async_frame_error end;
  EXPECT_EQ(walk(state, &end), (std::vector<uint64_t>{0x30000, 0x31000, 0x32000}));
}

rocrash_async_frame_error failWithInternal(sys::task_t, rocrash_async_image_list*,
                                           const rocrash_async_thread_state*,
                                           const rocrash_async_thread_state*,
                                           rocrash_async_thread_state*) {
  return FRAME_ERR_INTERNAL;
}
rocrash_async_frame_error failWithBadReg(sys::task_t, rocrash_async_image_list*,
                                         const rocrash_async_thread_state*,
                                         const rocrash_async_thread_state*,
                                         rocrash_async_thread_state*) {
  return FRAME_ERR_BADREG;
}
int gPreviousSeen = 0;
rocrash_async_frame_error recordPrevious(sys::task_t, rocrash_async_image_list*,
                                         const rocrash_async_thread_state* current,
                                         const rocrash_async_thread_state* previous,
                                         rocrash_async_thread_state* next) {
  gPreviousSeen = previous == nullptr ? 0 : 1;
  *next = *current;
  rocrash_async_thread_state_set_reg(next, ROCRASH_REG_IP,
                                     rocrash_async_thread_state_get_reg(current, 0) + 0x10);
  return FRAME_ERR_NONE;
}

TEST_F(AsyncFrameCursor, ReadersAreAskedInOrderAndTheLastErrorIsKept) {
  auto state = hostState(0x10000, 0);
  rocrash_async_frame_cursor cursor;
  EXPECT_EQ(rocrash_async_frame_cursor_init(&cursor, sys::mach_task_self(), &state, &list_),
            FRAME_ERR_NONE);
  ASSERT_EQ(rocrash_async_frame_cursor_next_with_readers(&cursor, nullptr, 0), FRAME_ERR_NONE);
  EXPECT_EQ(rocrash_async_frame_cursor_next_with_readers(&cursor, nullptr, 0), FRAME_ERR_INVAL);

  const rocrash_async_frame_reader failing[] = {failWithBadReg, failWithInternal};
  EXPECT_EQ(rocrash_async_frame_cursor_next_with_readers(&cursor, failing, 2), FRAME_ERR_INTERNAL);
  EXPECT_EQ(cursor.depth, 1u);
  uint64_t pc;
  EXPECT_EQ(rocrash_async_frame_cursor_get_reg(&cursor, ROCRASH_REG_IP, &pc), FRAME_ERR_NONE);
  EXPECT_EQ(pc, 0x10000u);

  const rocrash_async_frame_reader winning[] = {failWithInternal, recordPrevious, failWithBadReg};
  ASSERT_EQ(rocrash_async_frame_cursor_next_with_readers(&cursor, winning, 3), FRAME_ERR_NONE);
  EXPECT_EQ(gPreviousSeen, 0);  // the first step has no previous frame
  ASSERT_EQ(rocrash_async_frame_cursor_next_with_readers(&cursor, winning, 3), FRAME_ERR_NONE);
  EXPECT_EQ(gPreviousSeen, 1);
  EXPECT_EQ(rocrash_async_frame_cursor_get_reg(&cursor, ROCRASH_REG_IP, &pc), FRAME_ERR_NONE);
  EXPECT_EQ(pc, 0x10020u);
  EXPECT_EQ(rocrash_async_thread_state_get_reg(&cursor.prev_frame, ROCRASH_REG_IP), 0x10010u);
  EXPECT_EQ(cursor.depth, 3u);
}

TEST_F(AsyncFrameCursor, UnwindTableReadersLeaveUnknownCodeToTheFramePointers) {
  rocrash_async_thread_state next;
  auto noPc = hostState(0x10000, 0);
  rocrash_async_thread_state_clear_reg(&noPc, ROCRASH_REG_IP);
  EXPECT_EQ(
      rocrash_async_frame_read_compact_unwind(sys::mach_task_self(), &list_, &noPc, nullptr, &next),
      FRAME_ERR_BADFRAME);
  EXPECT_EQ(
      rocrash_async_frame_read_dwarf_unwind(sys::mach_task_self(), &list_, &noPc, nullptr, &next),
      FRAME_ERR_BADFRAME);
  auto zeroPc = hostState(0, 0);
  EXPECT_EQ(rocrash_async_frame_read_compact_unwind(sys::mach_task_self(), &list_, &zeroPc, nullptr,
                                                    &next),
            FRAME_ERR_NOTSUP);
  auto outside = hostState(0x10000, 0);
  EXPECT_EQ(rocrash_async_frame_read_compact_unwind(sys::mach_task_self(), &list_, &outside,
                                                    nullptr, &next),
            FRAME_ERR_NOTSUP);
  EXPECT_EQ(rocrash_async_frame_read_dwarf_unwind(sys::mach_task_self(), &list_, &outside, nullptr,
                                                  &next),
            FRAME_ERR_NOTSUP);
  EXPECT_EQ(list_.shared->refcount.load(), 0);  // every lookup unmarked the list
}

TEST_F(AsyncFrameCursor, ImageWithoutCallFrameSectionsHasNoDwarfFrame) {
  rocrash::testing::SyntheticImage image(
      true, false, ROCRASH_CPU_TYPE_X86_64, 3,
      std::vector<rocrash::testing::SyntheticSegment>{{"__TEXT", 0x1000, 0x2000, {}}});
  rocrash_async_image_list_append(&list_, image.header(), "plain");
  auto inside = hostState(image.header() + 0x100, 0);
  rocrash_async_thread_state next;
  EXPECT_EQ(
      rocrash_async_frame_read_dwarf_unwind(sys::mach_task_self(), &list_, &inside, nullptr, &next),
      FRAME_ERR_NOFRAME);
  EXPECT_EQ(rocrash_async_frame_read_compact_unwind(sys::mach_task_self(), &list_, &inside, nullptr,
                                                    &next),
            FRAME_ERR_NOTSUP);
}

TEST_F(AsyncFrameCursor, FramePointerStepStaysOnTheCurrentStack) {
  // Two stretches of memory with an inaccessible page between: a record on
  // the first that points at the second belongs to another stack.
  const uint64_t page = sys::vm_page_size();
  auto* memory = static_cast<uint8_t*>(
      mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(memory, MAP_FAILED);
  const auto at = [&](uint64_t offset) { return reinterpret_cast<uint64_t>(memory) + offset; };
  const auto record = [&](uint64_t offset, uint64_t fp, uint64_t pc) {
    std::memcpy(memory + offset, &fp, 8);
    std::memcpy(memory + offset + 8, &pc, 8);
  };
  record(0x100, at(0x200), 0x11000);
  record(0x200, at(2 * page + 0x100), 0x12000);
  record(2 * page + 0x100, 0, 0x13000);
  mprotect(memory + page, page, PROT_NONE);
  auto state = hostState(0x10000, at(0x100));
  rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_SP, at(0x80));
  rocrash_async_frame_error end;
  EXPECT_EQ(walk(state, &end), (std::vector<uint64_t>{0x10000, 0x11000, 0x12000}));
  EXPECT_EQ(end, FRAME_ERR_BADFRAME);

  // Readable all the way, the same records are one stack.
  mprotect(memory + page, page, PROT_READ | PROT_WRITE);
  EXPECT_EQ(walk(state, &end), (std::vector<uint64_t>{0x10000, 0x11000, 0x12000, 0x13000}));
  EXPECT_EQ(end, FRAME_ERR_NOFRAME);

  // A record below the stack pointer is not on the live stack at all.
  rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_SP, at(0x180));
  EXPECT_EQ(walk(state, &end), (std::vector<uint64_t>{0x10000}));
  EXPECT_EQ(end, FRAME_ERR_BADFRAME);
  munmap(memory, 3 * page);
}

__attribute__((noinline)) void returnTarget() { asm volatile("" ::: "memory"); }

TEST_F(AsyncFrameCursor, CallerOfCodeOutsideEveryImageComesFromTheReturnAddress) {
  // This program listed; a stack whose top word is a return address into it.
  Dl_info info;
  ASSERT_NE(dladdr(reinterpret_cast<void*>(returnTarget), &info), 0);
  const uint64_t header = reinterpret_cast<uint64_t>(info.dli_fbase);
  rocrash_async_image_list_append(&list_, header, "program");
  const uint64_t returnAddress = reinterpret_cast<uint64_t>(returnTarget) + 1;
  SyntheticStack stack;
  std::memcpy(reinterpret_cast<void*>(stack.at(0x100)), &returnAddress, 8);
  const auto callTo = [&](uint64_t pc) {
    auto state = hostState(pc, stack.at(0x400));
    rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_SP, stack.at(0x100));
    rocrash_async_thread_state_set_reg(&state, ROCRASH_X86_64_RBX, 5);
    rocrash_async_thread_state_set_reg(&state, ROCRASH_X86_64_RAX, 6);
    return state;
  };
  for (uint64_t pc : {uint64_t{0}, stack.at(0x800)}) {
    SCOPED_TRACE(pc);
    const auto state = callTo(pc);
    rocrash_async_thread_state next;
    ASSERT_EQ(rocrash_async_frame_read_return_address(sys::mach_task_self(), &list_, &state,
                                                      nullptr, &next),
              FRAME_ERR_NONE);
    EXPECT_EQ(rocrash_async_thread_state_get_reg(&next, ROCRASH_REG_IP), returnAddress);
    EXPECT_EQ(rocrash_async_thread_state_get_reg(&next, ROCRASH_REG_SP), stack.at(0x108));
    EXPECT_EQ(rocrash_async_thread_state_get_reg(&next, ROCRASH_REG_FP), stack.at(0x400));
    EXPECT_EQ(rocrash_async_thread_state_get_reg(&next, ROCRASH_X86_64_RBX), 5u);
    EXPECT_FALSE(rocrash_async_thread_state_has_reg(&next, ROCRASH_X86_64_RAX));
    // A caller's frame holds a return address, which the reader leaves alone.
    EXPECT_EQ(rocrash_async_frame_read_return_address(sys::mach_task_self(), &list_, &state, &state,
                                                      &next),
              FRAME_ERR_NOTSUP);
  }
  // Code of a listed image has its own unwind rules.
  auto inCode = callTo(reinterpret_cast<uint64_t>(returnTarget));
  rocrash_async_thread_state next;
  EXPECT_EQ(rocrash_async_frame_read_return_address(sys::mach_task_self(), &list_, &inCode, nullptr,
                                                    &next),
            FRAME_ERR_NOTSUP);
  // A top word that is no return address into code (here the image's own
  // header, which is not code) is not taken.
  std::memcpy(reinterpret_cast<void*>(stack.at(0x100)), &header, 8);
  auto nowhere = callTo(0);
  EXPECT_EQ(rocrash_async_frame_read_return_address(sys::mach_task_self(), &list_, &nowhere,
                                                    nullptr, &next),
            FRAME_ERR_NOTSUP);
  EXPECT_EQ(list_.shared->refcount.load(), 0);
}

TEST(AsyncFrameError, MessagesAreFixed) {
  EXPECT_STREQ(rocrash_async_frame_strerror(FRAME_ERR_NONE), "No error");
  EXPECT_STREQ(rocrash_async_frame_strerror(FRAME_ERR_NOFRAME), "No frames are available");
  EXPECT_STREQ(rocrash_async_frame_strerror(FRAME_ERR_BADFRAME), "Corrupted frame");
  EXPECT_STREQ(rocrash_async_frame_strerror(FRAME_ERR_BADREG), "Invalid register");
  EXPECT_STREQ(rocrash_async_frame_strerror(static_cast<rocrash_async_frame_error>(8)),
               "Unhandled error code");
}

// A real walk of this thread, compared with the C library's own backtrace
// where they overlap (the functions below keep frame pointers).
struct LiveWalk {
  rocrash_async_image_list* list;
  std::vector<uint64_t> pcs;
  std::vector<uint64_t> reference;
};

rocrash_error_t walkFromHere(rocrash_async_thread_state* state, void* context) {
  auto* walk = static_cast<LiveWalk*>(context);
  rocrash_async_frame_cursor cursor;
  EXPECT_EQ(rocrash_async_frame_cursor_init(&cursor, sys::mach_task_self(), state, walk->list),
            FRAME_ERR_NONE);
  while (rocrash_async_frame_cursor_next(&cursor) == FRAME_ERR_NONE && walk->pcs.size() < 8) {
    uint64_t pc;
    EXPECT_EQ(rocrash_async_frame_cursor_get_reg(&cursor, ROCRASH_REG_IP, &pc), FRAME_ERR_NONE);
    walk->pcs.push_back(pc);
  }
  rocrash_async_frame_cursor_free(&cursor);
  return ROCRASH_ERR_NONE;
}

__attribute__((noinline)) void innermost(LiveWalk* walk) {
  void* addresses[8];
  int n = backtrace(addresses, 8);
  for (int i = 0; i < n; ++i) walk->reference.push_back(reinterpret_cast<uint64_t>(addresses[i]));
  EXPECT_EQ(rocrash_async_thread_state_current(walkFromHere, walk), ROCRASH_ERR_NONE);
  asm volatile("" ::: "memory");
}
__attribute__((noinline)) void middle(LiveWalk* walk) {
  innermost(walk);
  asm volatile("" ::: "memory");
}
__attribute__((noinline)) void outer(LiveWalk* walk) {
  middle(walk);
  asm volatile("" ::: "memory");
}

TEST_F(AsyncFrameCursor, LiveWalkMatchesTheLibraryBacktrace) {
  LiveWalk walk{&list_, {}, {}};
  outer(&walk);
  ASSERT_GE(walk.pcs.size(), 4u);
  ASSERT_GE(walk.reference.size(), 4u);
  // Frame 0 is the return into `innermost` from the capture; the library's
  // list starts with its own frames (a sanitizer may add one), then the
  // return into `innermost` from its call. From there on both list the same
  // return addresses: into middle, outer and this test.
  size_t k = 0;
  while (k < walk.reference.size() && walk.reference[k] != walk.pcs[1]) ++k;
  ASSERT_LT(k + 2, walk.reference.size()) << "the walk's frame 1 is not in the backtrace";
  ASSERT_GE(k, 1u);
  EXPECT_EQ(walk.pcs[2], walk.reference[k + 1]);
  EXPECT_EQ(walk.pcs[3], walk.reference[k + 2]);
  // The capture is called after the backtrace, in the same function.
  EXPECT_GT(walk.pcs[0], walk.reference[k - 1]);
  EXPECT_LT(walk.pcs[0], walk.reference[k - 1] + 8192);
}

}  // namespace
