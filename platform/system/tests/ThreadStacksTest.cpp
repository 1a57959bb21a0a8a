#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "system/Task.h"
#include "system/ThreadStacks.h"

namespace {

// Enabling changes the process for good: the case runs in a child and
// reports through its exit code.
int inChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

stack_t alternateStack() {
  stack_t stack{};
  sigaltstack(nullptr, &stack);
  return stack;
}

TEST(ThreadStacks, ThreadsOfBeforeAndAfterEnablingHaveOneAndGiveItBackAtTheirEnd) {
  EXPECT_EQ(inChild([] {
              constexpr size_t kSize = 65536;
              std::atomic<bool> started{false}, enabled{false};
              stack_t early{};
              std::thread before([&] {
                started = true;
                while (!enabled.load()) std::this_thread::yield();
                early = alternateStack();
              });
              while (!started.load()) std::this_thread::yield();
              sys::thread_alternate_stacks_enable(kSize);
              enabled = true;
              before.join();
              if (early.ss_flags & SS_DISABLE) return 1;
              if (sys::thread_alternate_stack_size() != kSize) return 2;
              stack_t late{};
              std::thread([&] { late = alternateStack(); }).join();
              if (late.ss_flags & SS_DISABLE) return 3;
              // A stack of ours (a sanitizer may have given the thread its
              // own first) is unmapped once its thread has ended.
              for (const stack_t& ended : {early, late}) {
                if (ended.ss_size != kSize) continue;
                unsigned char resident;
                if (mincore(ended.ss_sp, 1, &resident) == 0) return 4;
              }
              return 0;
            }),
            0);
}

}  // namespace
