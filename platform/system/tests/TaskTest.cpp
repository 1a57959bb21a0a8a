#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "system/Task.h"
#include "system/TestSeams.h"

namespace {

// Three pages: readable, then the given protection, then readable; the middle
// one is unmapped when `unmapMiddle` is set.
struct ThreePages {
  explicit ThreePages(int middleProt, bool unmapMiddle = false) {
    page = sys::vm_page_size();
    base = static_cast<uint8_t*>(
        mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    std::memset(base, 0x5A, 3 * page);
    if (unmapMiddle) {
      munmap(base + page, page);
    } else {
      mprotect(base + page, page, middleProt);
    }
  }
  ~ThreePages() { munmap(base, 3 * page); }
  uint64_t addr(size_t offset) const { return reinterpret_cast<uint64_t>(base + offset); }
  size_t page;
  uint8_t* base;
};

class TaskRead : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { sys::setProcessVmReadvRefusedForTesting(GetParam()); }
  void TearDown() override { sys::setProcessVmReadvRefusedForTesting(false); }
};

TEST_P(TaskRead, CopiesReadableMemoryWhole) {
  ThreePages pages(PROT_READ);
  std::vector<uint8_t> out(3 * pages.page);
  sys::vm_size_t copied = 0;
  ASSERT_EQ(sys::mach_vm_read_overwrite(sys::mach_task_self(), pages.addr(0), out.size(),
                                        out.data(), &copied),
            sys::KERN_SUCCESS);
  EXPECT_EQ(copied, out.size());
  EXPECT_EQ(0, std::memcmp(out.data(), pages.base, out.size()));
}

TEST_P(TaskRead, UnmappedPageIsInvalidAddress) {
  ThreePages pages(0, /*unmapMiddle=*/true);
  uint8_t out[16];
  EXPECT_EQ(sys::mach_vm_read_overwrite(sys::mach_task_self(), pages.addr(pages.page + 8), 8, out,
                                        nullptr),
            sys::KERN_INVALID_ADDRESS);
}

TEST_P(TaskRead, ProtNonePageIsProtectionFailure) {
  ThreePages pages(PROT_NONE);
  uint8_t out[16];
  EXPECT_EQ(
      sys::mach_vm_read_overwrite(sys::mach_task_self(), pages.addr(pages.page), 16, out, nullptr),
      sys::KERN_PROTECTION_FAILURE);
}

TEST_P(TaskRead, ReadCrossingIntoBadPageFailsWhole) {
  ThreePages pages(PROT_NONE);
  uint8_t out[64];
  sys::vm_size_t copied = 99;
  EXPECT_EQ(sys::mach_vm_read_overwrite(sys::mach_task_self(), pages.addr(pages.page - 32), 64, out,
                                        &copied),
            sys::KERN_PROTECTION_FAILURE);
  EXPECT_EQ(copied, 0u);
  ThreePages hole(0, true);
  EXPECT_EQ(sys::mach_vm_read_overwrite(sys::mach_task_self(), hole.addr(hole.page - 32), 64, out,
                                        nullptr),
            sys::KERN_INVALID_ADDRESS);
}

TEST_P(TaskRead, RangeReadableFindsFirstBadPage) {
  ThreePages pages(PROT_NONE);
  sys::vm_address_t bad = 0;
  EXPECT_TRUE(sys::task_range_readable(pages.addr(0), pages.page, &bad));
  EXPECT_FALSE(sys::task_range_readable(pages.addr(10), 3 * pages.page - 20, &bad));
  EXPECT_EQ(bad, pages.addr(pages.page));
}

TEST_P(TaskRead, ReadablePrefixSpansManyChecksAndStopsAtTheFirstBadPage) {
  // More pages than one check covers, the bad one well past the first check.
  const size_t page = sys::vm_page_size();
  const size_t count = 300, bad = 200;
  auto* base = static_cast<uint8_t*>(
      mmap(nullptr, count * page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  mprotect(base + bad * page, page, PROT_NONE);
  const auto at = reinterpret_cast<uint64_t>(base);
  EXPECT_EQ(sys::task_readable_prefix(sys::mach_task_self(), at, count * page), bad * page);
  EXPECT_EQ(sys::task_readable_prefix(sys::mach_task_self(), at + 100, 150 * page), 150 * page);
  sys::vm_address_t unreadable = 0;
  EXPECT_FALSE(sys::task_range_readable(at + 8, count * page - 16, &unreadable));
  EXPECT_EQ(unreadable, at + bad * page);
  munmap(base, count * page);
}

INSTANTIATE_TEST_SUITE_P(KernelCopyAndPipe, TaskRead, ::testing::Bool());

TEST(TaskNames, TaskIsProcessAndThreadsDiffer) {
  EXPECT_EQ(sys::mach_task_self(), getpid());
  sys::thread_t mine = sys::mach_thread_self();
  sys::thread_t other = 0;
  std::thread([&] { other = sys::mach_thread_self(); }).join();
  EXPECT_NE(mine, other);
  EXPECT_EQ(mine, sys::mach_thread_self());
}

TEST(TaskNames, ForkedChildIsItsOwnTask) {
  ASSERT_EQ(sys::mach_task_self(), getpid());
  pid_t child = fork();
  if (child == 0) _exit(sys::mach_task_self() == getpid() ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A child made by the raw system call runs no fork handler. It still goes by
// its own name, and a name its parent recorded reads the child's memory, not
// the parent's.
TEST(TaskNames, ChildForkedWithoutHandlersReadsItselfThroughItsParentsName) {
  static volatile uint64_t value = 1;
  const sys::task_t parent = sys::mach_task_self();
  ASSERT_TRUE(sys::task_is_self(parent));
  pid_t child = static_cast<pid_t>(syscall(SYS_fork));
  if (child == 0) {
    value = 2;
    uint64_t seen = 0;
    bool read = sys::mach_vm_read_overwrite(parent, reinterpret_cast<uint64_t>(&value), sizeof seen,
                                            &seen, nullptr) == sys::KERN_SUCCESS;
    bool named = sys::mach_task_self() == static_cast<sys::task_t>(syscall(SYS_getpid));
    _exit(read && seen == 2 && named && sys::task_is_self(parent) ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(sys::task_is_self(child));
}

TEST(TaskNames, ZeroSizeReadSucceedsWithoutTouchingMemory) {
  EXPECT_EQ(sys::mach_vm_read_overwrite(sys::mach_task_self(), 16, 0, nullptr, nullptr),
            sys::KERN_SUCCESS);
}

// A read of a process that has ended says so, and leaves errno as it was.
TEST(TaskNames, ReadOfAnEndedProcessIsAnInvalidArgument) {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  uint64_t out = 0;
  errno = EDOM;
  EXPECT_EQ(sys::mach_vm_read_overwrite(child, reinterpret_cast<uint64_t>(&out), sizeof out, &out,
                                        nullptr),
            sys::KERN_INVALID_ARGUMENT);
  EXPECT_EQ(errno, EDOM);
}

}  // namespace
