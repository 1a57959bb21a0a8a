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
