#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "base/BuildFacts.h"
#include "base/ProcessToken.h"
#include "baseTest/Children.h"

namespace base {
namespace {

using testing::ForkBy;
using testing::inChild;

// Runs `body` in a child made by clone with `flags`; its exit code (-1 when
// it could not run, or did not exit).
int inCloneChild(int (*body)(void*), int flags) {
  static char stack[64 * 1024];
  const pid_t pid = clone(body, stack + sizeof stack, flags | SIGCHLD, nullptr);
  int status = 0;
  if (pid < 0 || !testing::waitForChild(pid, &status, testing::childDeadline())) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

uint32_t gParents = 0;

// Children made by fork, by the raw system call and by clone take tokens of
// their own, past every one their line had: a grandchild's is neither its
// parent's nor the first process's. The first process, a test program that
// was started by running it, is the only one not forked.
TEST(ProcessToken, EveryForkedProcessTakesOneItsLineNeverHad) {
  const uint32_t first = process_token();
  EXPECT_NE(first, 0u);
  EXPECT_EQ(process_token(), first);
  EXPECT_FALSE(process_forked());
  for (const ForkBy how : {ForkBy::library, ForkBy::systemCall}) {
    EXPECT_EQ(inChild(
                  [&] {
                    const uint32_t child = process_token();
                    if (child == first || child == 0 || !process_forked() ||
                        process_in_parents_memory()) {
                      return 1;
                    }
                    return inChild(
                        [&] {
                          const uint32_t grandchild = process_token();
                          return grandchild != first && grandchild != child && process_forked() ? 0
                                                                                                : 2;
                        },
                        how);
                  },
                  how),
              0);
  }
  gParents = first;
  EXPECT_EQ(
      inCloneChild(
          [](void*) {
            return process_token() != gParents && process_token() != 0 && process_forked() ? 0 : 1;
          },
          0),
      0);
}

uint32_t gChildsToken = 0;
bool gInParentsMemory = false;

// A child that runs in its parent's memory (vfork, clone with CLONE_VM) has
// its parent's token, and knows where it runs: what it writes there is its
// parent's.
TEST(ProcessToken, ChildInItsParentsMemoryHasItsParentsToken) {
#if KX_TSAN
  GTEST_SKIP() << "ThreadSanitizer cannot host a child in its parent's memory";
#endif
  const pid_t child = vfork();
  if (child == 0) {
    gChildsToken = process_token();
    gInParentsMemory = process_in_parents_memory();
    _exit(0);
  }
  int status = 0;
  ASSERT_TRUE(testing::waitForChild(child, &status, testing::childDeadline()));
  EXPECT_EQ(gChildsToken, process_token());
  EXPECT_TRUE(gInParentsMemory);
  EXPECT_FALSE(process_in_parents_memory());
  gChildsToken = 0;
  EXPECT_EQ(inCloneChild(
                [](void*) {
                  gChildsToken = process_token();
                  return 0;
                },
                CLONE_VM),
            0);
  EXPECT_EQ(gChildsToken, process_token());
  // Also with its parent's id: the first process of a pid namespace of its
  // own, in the memory of the first process of another (both pid 1). That
  // one's threads are its own.
  const int inNamespace = testing::inNewPidNamespace([] {
    bool thread = true;
    std::thread([&thread] { thread = process_in_parents_memory(); }).join();
    if (process_in_parents_memory() || thread) return 1;
    return inCloneChild([](void*) { return getpid() == 1 && process_in_parents_memory() ? 0 : 2; },
                        CLONE_VM | CLONE_NEWPID);
  });
  if (inNamespace != -1) {
    EXPECT_EQ(inNamespace, 0);
  }
}

}  // namespace
}  // namespace base
