#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "base/BuildFacts.h"
#include "baseTest/Children.h"
#include "system/Task.h"
#include "system/ThreadStacks.h"
#include "systemTest/AddressSpace.h"

namespace {

// Enabling changes the process for good: the case runs in a child and
// reports through its exit code.
using base::testing::inChild;

stack_t alternateStack() {
  stack_t stack{};
  sigaltstack(nullptr, &stack);
  return stack;
}

// Runs a handler on the calling thread's alternate stack that writes to it.
void useAlternateStack() {
  struct sigaction action {};
  action.sa_handler = [](int) {
    volatile char scratch[2048];
    scratch[0] = 1;
    scratch[sizeof scratch - 1] = 1;
  };
  action.sa_flags = SA_ONSTACK;
  sigaction(SIGUSR1, &action, nullptr);
  raise(SIGUSR1);
}

// Whether the top page of `stack` is gone: unmapped, or its memory given
// back to the system.
bool givenBack(const stack_t& stack) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  unsigned char resident = 0;
  void* top = static_cast<char*>(stack.ss_sp) + stack.ss_size - page;
  return mincore(top, page, &resident) != 0 || (resident & 1) == 0;
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
                useAlternateStack();
              });
              while (!started.load()) std::this_thread::yield();
              sys::thread_alternate_stacks_enable(kSize);
              enabled = true;
              before.join();
              if (early.ss_flags & SS_DISABLE) return 1;
              if (sys::thread_alternate_stack_size() != kSize) return 2;
              stack_t late{};
              std::thread([&] {
                late = alternateStack();
                useAlternateStack();
              }).join();
              if (late.ss_flags & SS_DISABLE) return 3;
              // A stack of ours (a sanitizer may have given the thread its
              // own first) is given back once its thread has ended.
              for (const stack_t& ended : {early, late}) {
                if (ended.ss_size == kSize && !givenBack(ended)) return 4;
              }
              return 0;
            }),
            0);
}

// The mappings the process has at a moment when `threads` more threads
// wait.
long mappingsWith(int threads) {
  std::atomic<int> started{0};
  std::atomic<bool> release{false};
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) {
    pool.emplace_back([&] {
      ++started;
      release.wait(false);
    });
  }
  while (started.load() < threads) std::this_thread::yield();
  const long counted = sys::testing::mappingCount();
  release = true;
  release.notify_all();
  for (auto& t : pool) t.join();
  return counted;
}

// Where the kernel installs guard pages inside a mapping, threads' stacks
// share mappings: a thread costs the program at most one mapping more than
// without the engine, and the guard page below each stack still faults. The
// case runs in a process of its own without the address sanitizer's
// alternate stacks, which the threads would keep instead.
TEST(ThreadStacks, ThreadsCostAtMostOneMappingMoreEach) {
#if KX_TSAN
  GTEST_SKIP() << "under ThreadSanitizer each stack is a mapping of its own";
#endif
  constexpr const char* kRole = "KESTRIX_THREAD_STACKS_ROLE";
  if (getenv(kRole) == nullptr) {
    pid_t pid = fork();
    if (pid == 0) {
      setenv(kRole, "count", 1);
      setenv("ASAN_OPTIONS", "use_sigaltstack=0:detect_leaks=0", 1);
      execl("/proc/self/exe", "/proc/self/exe",
            "--gtest_filter=ThreadStacks.ThreadsCostAtMostOneMappingMoreEach",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    ASSERT_TRUE(base::testing::waitForChild(pid, &status, base::testing::childDeadline()))
        << "the child hung";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return;
  }
  constexpr int kThreads = 64;
  mappingsWith(kThreads);  // whatever the first threads set up for good
  const long without = mappingsWith(kThreads) - mappingsWith(0);
  sys::thread_alternate_stacks_enable(65536);
  mappingsWith(kThreads);  // the stacks' first block
  const long with = mappingsWith(kThreads) - mappingsWith(0);
  EXPECT_LE(with, without + kThreads) << "without the engine " << without;
  // The guard page right below a thread's stack is not readable.
  stack_t stack{};
  std::thread([&] { stack = alternateStack(); }).join();
  ASSERT_EQ(stack.ss_flags & SS_DISABLE, 0);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  EXPECT_FALSE(sys::task_range_readable(reinterpret_cast<uint64_t>(stack.ss_sp) - page, page));
}

bool hasAlternateStack() { return (alternateStack().ss_flags & SS_DISABLE) == 0; }

// A stack overflow in a thread's destructors must still find its stack.
TEST(ThreadStacks, AThreadKeepsItsStackThroughItsThreadLocalAndKeyDestructors) {
  EXPECT_EQ(inChild([] {
              sys::thread_alternate_stacks_enable(65536);
              static std::atomic<int> seen{0};
              struct Local {
                ~Local() { seen += hasAlternateStack() ? 1 : 100; }
              };
              static pthread_key_t key;
              pthread_key_create(&key, [](void*) { seen += hasAlternateStack() ? 1 : 100; });
              std::thread([] {
                static thread_local Local local;
                asm volatile("" ::"r"(&local) : "memory");
                pthread_setspecific(key, &key);
              }).join();
              return seen.load() == 2 ? 0 : 1;
            }),
            0);
}

bool faultSignalsBlocked() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, SIGSEGV) || sigismember(&mask, SIGBUS) || sigismember(&mask, SIGSYS);
}

TEST(ThreadStacks, FaultSignalsStayDeliverableOnceKept) {
  EXPECT_EQ(inChild([] {
              sigset_t all;
              sigfillset(&all);
              pthread_sigmask(SIG_BLOCK, &all, nullptr);
              sys::thread_fault_signals_keep_deliverable();
              if (faultSignalsBlocked()) return 1;
              // A thread whose creator blocked everything, masks set afterwards.
              bool worker = true;
              std::thread([&] { worker = faultSignalsBlocked(); }).join();
              if (worker) return 2;
              pthread_sigmask(SIG_SETMASK, &all, nullptr);
              sigprocmask(SIG_BLOCK, &all, nullptr);
              if (faultSignalsBlocked()) return 3;
              sigset_t mask;
              pthread_sigmask(SIG_BLOCK, nullptr, &mask);
              return sigismember(&mask, SIGUSR1) ? 0 : 4;  // the others stay blocked
            }),
            0);
}

}  // namespace
