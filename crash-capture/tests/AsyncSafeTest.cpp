#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "safe/AsyncMachException.h"
#include "safe/AsyncSafe.h"
#include "system/TestSeams.h"

namespace {

TEST(AsyncStrerror, EveryCodeHasItsMessage) {
  EXPECT_STREQ(rocrash_async_strerror(ROCRASH_ERR_NONE), "No error");
  EXPECT_STREQ(rocrash_async_strerror(ROCRASH_ERR_OUTPUT),
               "Output file can not be opened (or written to)");
  EXPECT_STREQ(rocrash_async_strerror(ROCRASH_ERR_ACCESS), "Access denied");
  EXPECT_STREQ(rocrash_async_strerror(ROCRASH_ERR_NOTFOUND), "Not found");
  EXPECT_STREQ(rocrash_async_strerror(ROCRASH_ERR_INVALID_DATA),
               "The input data is in an unknown or invalid format.");
  EXPECT_STREQ(rocrash_async_strerror(static_cast<rocrash_error_t>(10)), "Unhandled error code");
  EXPECT_STREQ(rocrash_async_strerror(static_cast<rocrash_error_t>(0xFFFFFFFF)),
               "Unhandled error code");
}

TEST(AsyncByteOrder, DirectKeepsAndSwappedReverses) {
  auto* d = rocrash_async_byteorder_direct();
  auto* s = rocrash_async_byteorder_swapped();
  EXPECT_EQ(d->swap16(0x1234), 0x1234);
  EXPECT_EQ(d->swap64(0x0102030405060708ull), 0x0102030405060708ull);
  EXPECT_EQ(s->swap16(0x1234), 0x3412);
  EXPECT_EQ(s->swap32(0xFEEDFACFu), 0xCFFAEDFEu);
  EXPECT_EQ(s->swap64(0x0102030405060708ull), 0x0807060504030201ull);
}

TEST(AsyncAddressOffset, RefusesWrapBothWaysAndLeavesOutAlone) {
  rocrash_vm_address_t out = 77;
  EXPECT_FALSE(rocrash_async_address_apply_offset(UINT64_MAX - 15, 32, &out));
  EXPECT_FALSE(rocrash_async_address_apply_offset(16, -32, &out));
  EXPECT_FALSE(rocrash_async_address_apply_offset(5, INT64_MIN, &out));
  EXPECT_EQ(out, 77u);
  EXPECT_TRUE(rocrash_async_address_apply_offset(UINT64_MAX - 15, 15, &out));
  EXPECT_EQ(out, UINT64_MAX);
  EXPECT_TRUE(rocrash_async_address_apply_offset(16, -16, &out));
  EXPECT_EQ(out, 0u);
  EXPECT_TRUE(rocrash_async_address_apply_offset(1ull << 63, INT64_MIN, &out));
  EXPECT_EQ(out, 0u);
  EXPECT_TRUE(rocrash_async_address_apply_offset(1, 1, nullptr));
}

class AsyncTaskRead : public ::testing::Test {
 protected:
  void SetUp() override {
    page_ = sys::vm_page_size();
    base_ = static_cast<uint8_t*>(
        mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base_, MAP_FAILED);
    for (size_t i = 0; i < 3 * page_; ++i) base_[i] = static_cast<uint8_t>(i);
  }
  void TearDown() override { munmap(base_, 3 * page_); }
  rocrash_vm_address_t at(size_t offset) const {
    return reinterpret_cast<rocrash_vm_address_t>(base_ + offset);
  }
  size_t page_;
  uint8_t* base_;
};

TEST_F(AsyncTaskRead, WrappingAddressIsNoMemoryBeforeAnyCall) {
  uint8_t out[32];
  sys::task_t self = sys::mach_task_self();
  EXPECT_EQ(rocrash_async_task_read(self, UINT64_MAX - 15, 32, out, 1), ROCRASH_ERR_NOMEM);
  EXPECT_EQ(rocrash_async_task_read(self, 16, -32, out, 1), ROCRASH_ERR_NOMEM);
}

TEST_F(AsyncTaskRead, ReadsWithOffsetAndByteOrder) {
  sys::task_t self = sys::mach_task_self();
  uint8_t b = 0;
  ASSERT_EQ(rocrash_async_task_read_uint8(self, at(10), -3, &b), ROCRASH_ERR_NONE);
  EXPECT_EQ(b, 7);
  uint16_t h = 0;
  ASSERT_EQ(rocrash_async_task_read_uint16(self, rocrash_async_byteorder_swapped(), at(0), 1, &h),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(h, 0x0102);
  uint32_t w = 0;
  ASSERT_EQ(rocrash_async_task_read_uint32(self, rocrash_async_byteorder_direct(), at(4), 0, &w),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(w, 0x07060504u);
  uint64_t q = 0;
  ASSERT_EQ(rocrash_async_task_read_uint64(self, rocrash_async_byteorder_swapped(), at(8), 0, &q),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(q, 0x08090A0B0C0D0E0Full);
}

TEST_F(AsyncTaskRead, UnmappedIsNotFoundAndProtectedIsAccessDenied) {
  sys::task_t self = sys::mach_task_self();
  uint8_t out[64];
  mprotect(base_ + page_, page_, PROT_NONE);
  EXPECT_EQ(rocrash_async_task_read(self, at(page_), 0, out, 8), ROCRASH_ERR_ACCESS);
  EXPECT_STREQ(rocrash_async_strerror(rocrash_async_task_read(self, at(page_), 0, out, 8)),
               "Access denied");
  // A read that starts readable and runs into the protected page fails whole.
  EXPECT_EQ(rocrash_async_task_read(self, at(page_ - 16), 0, out, 64), ROCRASH_ERR_ACCESS);
  munmap(base_ + 2 * page_, page_);
  EXPECT_EQ(rocrash_async_task_read(self, at(2 * page_), 0, out, 8), ROCRASH_ERR_NOTFOUND);
  EXPECT_STREQ(rocrash_async_strerror(rocrash_async_task_read(self, at(2 * page_), 0, out, 8)),
               "Not found");
  mmap(base_ + 2 * page_, page_, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
}

TEST_F(AsyncTaskRead, PipeFallbackGivesTheSameAnswers) {
  sys::setProcessVmReadvRefusedForTesting(true);
  sys::task_t self = sys::mach_task_self();
  uint32_t w = 0;
  EXPECT_EQ(rocrash_async_task_read_uint32(self, rocrash_async_byteorder_direct(), at(4), 0, &w),
            ROCRASH_ERR_NONE);
  EXPECT_EQ(w, 0x07060504u);
  mprotect(base_ + page_, page_, PROT_NONE);
  uint8_t out[8];
  EXPECT_EQ(rocrash_async_task_read(self, at(page_), 0, out, 8), ROCRASH_ERR_ACCESS);
  sys::setProcessVmReadvRefusedForTesting(false);
}

TEST(AsyncStrings, CompareAsUnsignedBytesUpToTheLimit) {
  EXPECT_EQ(rocrash_async_strcmp("abc", "abc"), 0);
  EXPECT_LT(rocrash_async_strcmp("ab", "abc"), 0);
  EXPECT_GT(rocrash_async_strcmp("\xff", "a"), 0);  // unsigned: 0xff > 'a'
  EXPECT_EQ(rocrash_async_strcmp("b", "a"), 1);
  EXPECT_EQ(rocrash_async_strncmp("__TEXTxx", "__TEXTyy", 6), 0);
  EXPECT_NE(rocrash_async_strncmp("__TEXTxx", "__TEXTyy", 7), 0);
  EXPECT_EQ(rocrash_async_strncmp("ab", "ab", 16), 0);
  EXPECT_EQ(rocrash_async_strncmp("x", "y", 0), 0);
}

TEST(AsyncMemory, CopyAndFillIncludingZeroLength) {
  uint8_t a[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t b[8] = {};
  rocrash_async_memcpy(b, a, 0);
  EXPECT_EQ(b[0], 0);
  rocrash_async_memcpy(b, a, 5);
  EXPECT_EQ(0, std::memcmp(a, b, 5));
  EXPECT_EQ(b[5], 0);
  rocrash_async_memset(a, 0xAB, 0);
  EXPECT_EQ(a[0], 1);
  rocrash_async_memset(a, 0xAB, 8);
  EXPECT_EQ(a[7], 0xAB);
  // Longer copies go by words; overlapping ones still byte by byte, forward.
  uint8_t long_[21], copy[21] = {};
  for (uint8_t i = 0; i < 21; ++i) long_[i] = i;
  rocrash_async_memcpy(copy, long_, 21);
  EXPECT_EQ(0, std::memcmp(copy, long_, 21));
  rocrash_async_memcpy(long_ + 1, long_, 20);
  for (uint8_t i = 0; i < 21; ++i) EXPECT_EQ(long_[i], 0) << int{i};
  rocrash_async_memset(copy, 0x5C, 19);
  EXPECT_EQ(copy[18], 0x5C);
  EXPECT_EQ(copy[19], 19);
}

std::atomic<int> gDrainFd{-1};
std::atomic<int> gInterrupts{0};
void drainOnSignal(int) {
  int savedErrno = errno;  // a handler must not disturb the interrupted code's errno
  char buffer[4096];
  while (read(gDrainFd.load(), buffer, sizeof buffer) > 0) {
  }
  gInterrupts.fetch_add(1);
  errno = savedErrno;
}

TEST(AsyncWriten, SurvivesSignalsWhileBlockedAndReportsFailure) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // Fill the pipe so that the write below blocks until a signal drains it.
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  char chunk[4096] = {};
  while (write(fds[1], chunk, sizeof chunk) > 0) {
  }
  fcntl(fds[1], F_SETFL, 0);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  gDrainFd = fds[0];
  struct sigaction action = {}, old = {};
  action.sa_handler = drainOnSignal;  // no SA_RESTART: a blocked write gets EINTR
  sigaction(SIGUSR1, &action, &old);
  std::atomic<bool> done{false};
  pthread_t writer = pthread_self();
  std::thread kicker([&] {
    while (!done.load()) {
      pthread_kill(writer, SIGUSR1);
      std::this_thread::yield();
    }
  });
  char data[100];
  std::memset(data, 'x', sizeof data);
  EXPECT_EQ(rocrash_async_writen(fds[1], data, sizeof data), 100);
  done = true;
  kicker.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_GE(gInterrupts.load(), 1);

  EXPECT_EQ(rocrash_async_writen(-1, data, 0), 0);  // no call for zero bytes
  close(fds[0]);
  signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(rocrash_async_writen(fds[1], data, sizeof data), -1);
  signal(SIGPIPE, SIG_DFL);
  close(fds[1]);
}

TEST(AsyncMachExceptionSiginfo, MapsEachExceptionType) {
  rocrash_async_siginfo info = {};
  uint64_t invalid[] = {1, 0xdead};
  ASSERT_TRUE(rocrash_async_mach_exception_siginfo(1, invalid, 2, &info));
  EXPECT_EQ(info.signo, SIGSEGV);
  EXPECT_EQ(info.code, SEGV_MAPERR);
  EXPECT_EQ(info.address, 0xdeadu);
  uint64_t protection[] = {2, 0x10};
  ASSERT_TRUE(rocrash_async_mach_exception_siginfo(1, protection, 2, &info));
  EXPECT_EQ(info.signo, SIGBUS);
  EXPECT_EQ(info.code, BUS_ADRERR);
  uint64_t abortCode[] = {0x10002, 0};
  ASSERT_TRUE(rocrash_async_mach_exception_siginfo(5, abortCode, 2, &info));
  EXPECT_EQ(info.signo, SIGABRT);
  EXPECT_EQ(info.code, 0);
  const std::pair<uint64_t, int> software[] = {
      {0x10000, SIGSYS}, {0x10001, SIGPIPE}, {0x10003, SIGKILL}, {0x12345, SIGABRT}};
  for (auto [code, expected] : software) {
    uint64_t codes[] = {code, 0};
    ASSERT_TRUE(rocrash_async_mach_exception_siginfo(5, codes, 2, &info));
    EXPECT_EQ(info.signo, expected) << std::hex << code;
  }
  ASSERT_TRUE(rocrash_async_mach_exception_siginfo(2, invalid, 2, &info));
  EXPECT_EQ(info.signo, SIGILL);
  ASSERT_TRUE(rocrash_async_mach_exception_siginfo(3, invalid, 2, &info));
  EXPECT_EQ(info.signo, SIGFPE);
  ASSERT_TRUE(rocrash_async_mach_exception_siginfo(6, invalid, 2, &info));
  EXPECT_EQ(info.signo, SIGTRAP);
  EXPECT_EQ(info.code, TRAP_BRKPT);
}

TEST(AsyncMachExceptionSiginfo, RefusesUnknownTypesShortCodesAndAbsentSignals) {
  rocrash_async_siginfo info = {99, 99, 99};
  uint64_t codes[] = {1, 2};
  EXPECT_FALSE(rocrash_async_mach_exception_siginfo(7, codes, 2, &info));
  EXPECT_FALSE(rocrash_async_mach_exception_siginfo(0, codes, 2, &info));
  EXPECT_FALSE(rocrash_async_mach_exception_siginfo(1, codes, 1, &info));
#ifndef SIGEMT
  // Emulation exceptions map to a signal this host does not have.
  EXPECT_FALSE(rocrash_async_mach_exception_siginfo(4, codes, 2, &info));
#endif
  EXPECT_EQ(info.signo, 99);
}

}  // namespace
