#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>

#include "safe/AsyncMObject.h"
#include "safe/AsyncReadCache.h"

namespace {

// Each case runs with the pages used in place and with a copy.
class AsyncMObject : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    rocrash_async_mobject_set_copy_mode_for_testing(GetParam());
    page_ = sys::vm_page_size();
    mem_ = static_cast<uint8_t*>(
        mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    for (size_t i = 0; i < 3 * page_; ++i) mem_[i] = static_cast<uint8_t>(i * 7);
  }
  void TearDown() override {
    munmap(mem_, 3 * page_);
    rocrash_async_mobject_set_copy_mode_for_testing(false);
  }
  uint64_t at(size_t offset) { return reinterpret_cast<uint64_t>(mem_ + offset); }
  size_t page_;
  uint8_t* mem_;
  rocrash_async_mobject m_;
};

TEST_P(AsyncMObject, RangeAcrossAPageBoundaryMapsBothPages) {
  ASSERT_EQ(rocrash_async_mobject_init(&m_, sys::mach_task_self(), at(page_ - 100), 200, true),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(m_.vm_length, 2 * page_);
  EXPECT_EQ(rocrash_async_mobject_length(&m_), 200u);
  EXPECT_EQ(rocrash_async_mobject_base_address(&m_), at(page_ - 100));
  auto* p = static_cast<uint8_t*>(rocrash_async_mobject_remap_address(&m_, at(page_), 0, 100));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(0, std::memcmp(p, mem_ + page_, 100));
  EXPECT_EQ(rocrash_async_mobject_remap_address(&m_, at(page_), 0, 101), nullptr);
  EXPECT_EQ(rocrash_async_mobject_remap_address(&m_, at(page_ - 100), -1, 1), nullptr);
  rocrash_async_mobject_free(&m_);
}

TEST_P(AsyncMObject, ChecksReadsAtTheEdge) {
  ASSERT_EQ(rocrash_async_mobject_init(&m_, sys::mach_task_self(), at(16), 64, true),
            ROCRASH_ERR_NONE);
  uint32_t v = 0;
  EXPECT_EQ(
      rocrash_async_mobject_read_uint32(&m_, rocrash_async_byteorder_direct(), at(16), 60, &v),
      ROCRASH_ERR_NONE);
  EXPECT_EQ(
      rocrash_async_mobject_read_uint32(&m_, rocrash_async_byteorder_direct(), at(16), 61, &v),
      ROCRASH_ERR_INVAL);
  uint64_t q = 0;
  ASSERT_EQ(
      rocrash_async_mobject_read_uint64(&m_, rocrash_async_byteorder_swapped(), at(16), 0, &q),
      ROCRASH_ERR_NONE);
  uint64_t raw;
  std::memcpy(&raw, mem_ + 16, 8);
  EXPECT_EQ(q, __builtin_bswap64(raw));
  uint8_t b;
  EXPECT_EQ(rocrash_async_mobject_read_uint8(&m_, at(16), -1, &b), ROCRASH_ERR_INVAL);
  EXPECT_FALSE(rocrash_async_mobject_verify_local_pointer(&m_, m_.address, 0, UINT64_MAX));
  EXPECT_FALSE(rocrash_async_mobject_verify_local_pointer(&m_, UINTPTR_MAX - 2, 0, 8));
  EXPECT_TRUE(rocrash_async_mobject_verify_local_pointer(&m_, m_.address, 63, 1));
  rocrash_async_mobject_free(&m_);
}

TEST_P(AsyncMObject, UnreadableTailShortensOrFails) {
  mprotect(mem_ + page_, page_, PROT_NONE);
  ASSERT_EQ(rocrash_async_mobject_init(&m_, sys::mach_task_self(), at(100), 2 * page_, false),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(rocrash_async_mobject_length(&m_), page_ - 100);
  rocrash_async_mobject_free(&m_);
  EXPECT_EQ(rocrash_async_mobject_init(&m_, sys::mach_task_self(), at(100), 2 * page_, true),
            ROCRASH_ERR_NOMEM);
  EXPECT_EQ(rocrash_async_mobject_init(&m_, sys::mach_task_self(), at(page_), 16, false),
            ROCRASH_ERR_NOMEM);
  munmap(mem_ + 2 * page_, page_);
  EXPECT_EQ(rocrash_async_mobject_init(&m_, sys::mach_task_self(), at(2 * page_), 16, false),
            ROCRASH_ERR_NOMEM);
  mmap(mem_ + 2 * page_, page_, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  EXPECT_EQ(rocrash_async_mobject_init(&m_, sys::mach_task_self(), UINT64_MAX - 8, 64, false),
            ROCRASH_ERR_NOMEM);
}

INSTANTIATE_TEST_SUITE_P(InPlaceAndCopied, AsyncMObject, ::testing::Bool());

// A damaged length over a large readable mapping: the window stops at its
// bound (or the range is refused when it must be whole) instead of checking
// every page of the request.
TEST(AsyncMObjectWindow, LongRangeIsCutToTheBound) {
  const size_t size = ROCRASH_ASYNC_MOBJECT_MAX_WINDOW + 2 * sys::vm_page_size();
  void* mem = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  const auto base = reinterpret_cast<uint64_t>(mem);
  rocrash_async_mobject m;
  ASSERT_EQ(rocrash_async_mobject_init(&m, sys::mach_task_self(), base, uint64_t{1} << 44, false),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(rocrash_async_mobject_length(&m), ROCRASH_ASYNC_MOBJECT_MAX_WINDOW);
  rocrash_async_mobject_free(&m);
  EXPECT_EQ(rocrash_async_mobject_init(&m, sys::mach_task_self(), base, size, true),
            ROCRASH_ERR_NOMEM);
  munmap(mem, size);
}

// Between begin and end, a write's reads of its task come from its copy of
// each page and a range found readable is not checked again; errors stay
// those of the kernel's copy, and after the end every read asks afresh.
TEST(AsyncReadCache, WriteReadsEachPageAndChecksEachRangeOnce) {
  const size_t page = sys::vm_page_size();
  auto* mem = static_cast<uint8_t*>(
      mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  mprotect(mem + page, page, PROT_NONE);
  munmap(mem + 2 * page, page);
  const auto at = [mem](size_t offset) { return reinterpret_cast<uint64_t>(mem + offset); };
  const sys::task_t task = sys::mach_task_self();
  rocrash_async_read_cache* cache = rocrash_async_read_cache_create();
  ASSERT_NE(cache, nullptr);
  uint64_t value = 0;
  std::memcpy(mem + 8, "\x11\x22\x33\x44\x55\x66\x77\x88", 8);

  rocrash_async_read_cache_begin(cache, task);
  ASSERT_EQ(
      rocrash_async_task_read_uint64(task, rocrash_async_byteorder_direct(), at(8), 0, &value),
      ROCRASH_ERR_NONE);
  EXPECT_EQ(value, 0x8877665544332211u);
  mem[8] = 0x99;  // after the page was read: the write sees its copy
  EXPECT_EQ(
      rocrash_async_task_read_uint64(task, rocrash_async_byteorder_direct(), at(8), 0, &value),
      ROCRASH_ERR_NONE);
  EXPECT_EQ(value, 0x8877665544332211u);
  uint8_t bytes[16];
  EXPECT_EQ(rocrash_async_task_read(task, at(page - 8), 0, bytes, 16), ROCRASH_ERR_ACCESS);
  EXPECT_EQ(rocrash_async_task_read(task, at(2 * page), 0, bytes, 16), ROCRASH_ERR_NOTFOUND);
  rocrash_async_mobject m;
  ASSERT_EQ(rocrash_async_mobject_init(&m, task, at(0), 64, true), ROCRASH_ERR_NONE);
  rocrash_async_mobject_free(&m);
  mprotect(mem, page, PROT_NONE);  // after the range was checked: not checked again
  EXPECT_EQ(rocrash_async_mobject_init(&m, task, at(0), 64, true), ROCRASH_ERR_NONE);
  rocrash_async_mobject_free(&m);
  rocrash_async_read_cache_end(cache);

  EXPECT_EQ(rocrash_async_mobject_init(&m, task, at(0), 64, true), ROCRASH_ERR_NOMEM);
  mprotect(mem, page, PROT_READ);
  EXPECT_EQ(
      rocrash_async_task_read_uint64(task, rocrash_async_byteorder_direct(), at(8), 0, &value),
      ROCRASH_ERR_NONE);
  EXPECT_EQ(value & 0xFF, 0x99u);
  rocrash_async_read_cache_destroy(cache);
  munmap(mem, 2 * page);
}

}  // namespace
