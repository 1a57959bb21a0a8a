#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "base/Stacks.h"

namespace base {
namespace {

// Whether the kernel can read `at` (a write from it fails with EFAULT where
// it cannot, instead of faulting).
bool readable(const char* at) {
  int ends[2];
  if (pipe(ends) != 0) return false;
  const bool read = syscall(SYS_write, ends[1], at, 1) == 1;
  close(ends[0]);
  close(ends[1]);
  return read;
}

// Through either kind of call a stack goes just below the stack it is asked
// below (here a mapping among the kernel's, the room below it free), with
// its guard inaccessible and the rest writable.
TEST(Stacks, GuardedStackGoesJustBelowItsCallersWithItsGuardShut) {
  for (const SystemCalls calls : {SystemCalls::library, SystemCalls::raw}) {
    const std::size_t bytes = 2 * kStackGranule;
    char* area = mapStackMemory(3 * bytes, 0, calls);
    ASSERT_NE(area, nullptr);
    const auto start = reinterpret_cast<std::uintptr_t>(area);
    const std::uintptr_t below = (start + bytes + kStackGranule - 1) & ~(kStackGranule - 1);
    unmapStackMemory(area, below - start, calls);
    ASSERT_TRUE(stackMayGoJustBelow(below));
    char* stack = mapGuardedStack(bytes, kStackGranule, below, calls);
    ASSERT_NE(stack, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(stack) + bytes, below);
    EXPECT_FALSE(readable(stack + kStackGranule - 1));
    stack[kStackGranule] = 1;
    EXPECT_TRUE(readable(stack + kStackGranule));
    unmapStackMemory(stack, bytes, calls);
    unmapStackMemory(reinterpret_cast<char*>(below), start + 3 * bytes - below, calls);
  }
}

// Any kept stack big enough serves a request, past smaller ones, which stay
// kept; a record that does not start a page is not kept.
TEST(Stacks, KeptStackServesAnyRequestItIsBigEnoughFor) {
  struct alignas(4096) Page {
    KeptStack record;
  };
  static Page pages[3];
  KeptStacks kept;
  const std::size_t sizes[] = {100, 300, 200};
  for (int i = 0; i < 3; ++i) {
    pages[i].record.bytes = sizes[i];
    EXPECT_TRUE(kept.keep(&pages[i].record));
  }
  EXPECT_EQ(kept.take(250), &pages[1].record);
  EXPECT_EQ(kept.take(250), nullptr);
  EXPECT_EQ(kept.take(150), &pages[2].record);
  EXPECT_EQ(kept.take(1), &pages[0].record);
  EXPECT_EQ(kept.take(1), nullptr);
  EXPECT_FALSE(kept.keep(reinterpret_cast<KeptStack*>(&pages[0].record.bytes)));
}

}  // namespace
}  // namespace base
