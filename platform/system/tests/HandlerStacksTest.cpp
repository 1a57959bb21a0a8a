#include <gtest/gtest.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "baseTest/Children.h"
#include "baseTest/Polling.h"
#include "system/HandlerStacks.h"
#include "system/Threads.h"
#include "systemTest/AddressSpace.h"

namespace {

using base::testing::inChild;
using base::testing::within;

// The signals `thread` of this process has blocked, as the kernel shows them.
uint64_t blockedSignals(pid_t thread) {
  const std::string path = "/proc/self/task/" + std::to_string(thread) + "/status";
  FILE* status = fopen(path.c_str(), "r");
  if (status == nullptr) return 0;
  char line[256];
  unsigned long long mask = 0;
  while (fgets(line, sizeof line, status) != nullptr) {
    if (sscanf(line, "SigBlk: %llx", &mask) == 1) break;
  }
  fclose(status);
  return mask;
}

// Every signal the kernel lets a thread block (all but SIGKILL and SIGSTOP).
bool blocksEverySignal(pid_t thread) {
  const uint64_t unblockable = (uint64_t{1} << (SIGKILL - 1)) | (uint64_t{1} << (SIGSTOP - 1));
  return (blockedSignals(thread) | unblockable) == ~0ull;
}

sigset_t currentMask() {
  sigset_t mask{};
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return mask;
}

stack_t currentAlternateStack() {
  stack_t stack{};
  sigaltstack(nullptr, &stack);
  return stack;
}

bool sameStack(const stack_t& a, const stack_t& b) {
  return a.ss_sp == b.ss_sp && a.ss_size == b.ss_size &&
         (a.ss_flags & SS_DISABLE) == (b.ss_flags & SS_DISABLE);
}

// What a call on a stack of `set` saw where it ran.
struct Seen {
  const sys::handler_stacks* set;
  bool onTheSet = false;
  bool alternateStackIsThisOne = false;
  const char* frame = nullptr;
  stack_t alternate{};
  sigset_t mask{};
};

void look(void* argument) {
  auto* seen = static_cast<Seen*>(argument);
  seen->onTheSet = sys::handler_stacks_running_on(seen->set);
  seen->alternate = currentAlternateStack();
  seen->frame = static_cast<const char*>(__builtin_frame_address(0));
  const auto* low = static_cast<const char*>(seen->alternate.ss_sp);
  seen->alternateStackIsThisOne = seen->frame > low && seen->frame < low + seen->alternate.ss_size;
  seen->mask = currentMask();
  errno = EIO;
}

// `count` threads each working on a stack of `set` at once, until released;
// `onTheSet` counts those that work on one of the set's stacks.
class Holders {
 public:
  Holders(sys::handler_stacks* set, int count) : set_(set) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this] {
        sys::handler_stacks_call(
            set_,
            [](void* argument) {
              auto* self = static_cast<Holders*>(argument);
              self->onTheSet += sys::handler_stacks_running_on(self->set_);
              ++self->holding;
              while (!self->released_.load()) std::this_thread::yield();
            },
            this);
      });
    }
  }
  ~Holders() { release(); }
  void release() {
    released_ = true;
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }
  // Leaves the threads to themselves: one may wait for a stack for good.
  void abandon() {
    released_ = true;
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.detach();
    }
  }

  std::atomic<int> holding{0};
  std::atomic<int> onTheSet{0};

 private:
  sys::handler_stacks* set_;
  std::atomic<bool> released_{false};
  std::vector<std::thread> threads_;
};

// For a child that might wait for good with every signal blocked: a process
// of its own ends it (SIGKILL) after ten seconds, unless it has ended.
void endInTenSeconds() {
  const pid_t child = getpid();
  if (fork() != 0) return;
  for (int i = 0; i < 100 && getppid() == child; ++i) usleep(100'000);
  if (getppid() == child) kill(child, SIGKILL);
  _exit(0);
}

// Whether every stack of `set` can be worked on at once, by as many threads.
bool everyStackFree(sys::handler_stacks* set) {
  static std::unique_ptr<Holders> holders;
  holders = std::make_unique<Holders>(set, sys::kHandlerStacksMax);
  if (!within([&] { return holders->holding.load() == sys::kHandlerStacksMax; },
              std::chrono::seconds(5))) {
    holders->abandon();
    holders.release();  // its threads may still use it
    return false;
  }
  holders->release();
  return holders->onTheSet.load() == sys::kHandlerStacksMax;
}

sys::handler_stacks gOneThread{64 * 1024};

TEST(HandlerStacks, CallRunsOnAStackOfTheSetThatIsTheAlternateStackMeanwhile) {
  ASSERT_TRUE(sys::handler_stacks_reserve(&gOneThread));
  stack_t before = currentAlternateStack();
  Seen seen{&gOneThread};
  errno = EAGAIN;
  sys::handler_stacks_call(&gOneThread, look, &seen);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_TRUE(seen.onTheSet);
  EXPECT_TRUE(seen.alternateStackIsThisOne);
  EXPECT_FALSE(sys::handler_stacks_running_on(&gOneThread));
  EXPECT_TRUE(sameStack(currentAlternateStack(), before));
}

sys::handler_stacks gCrowded{64 * 1024};

// Past the stacks, claims come one after another while every stack is held:
// none waits for one to be given back, each works on a stack of its own.
TEST(HandlerStacks, ClaimsPastTheStacksRunOnAStackOfTheirOwnWithoutWaitingForOne) {
  Holders holders(&gCrowded, sys::kHandlerStacksMax);
  ASSERT_TRUE(within([&] { return holders.holding.load() == sys::kHandlerStacksMax; }));
  for (int late = 0; late < 3; ++late) {
    SCOPED_TRACE(late);
    Seen seen{&gCrowded};
    sigset_t lateMask, afterMask;
    std::atomic<bool> done{false};
    std::thread lateThread([&] {
      lateMask = currentMask();
      sys::handler_stacks_call(&gCrowded, look, &seen);
      afterMask = currentMask();
      done = true;
    });
    const bool ran = within([&] { return done.load(); }, std::chrono::seconds(5));
    if (!ran) holders.release();
    lateThread.join();
    ASSERT_TRUE(ran) << "the claim waited for a stack given back";
    EXPECT_FALSE(seen.onTheSet);
    EXPECT_TRUE(seen.alternateStackIsThisOne);
    // There, and after, the thread's own mask again.
    for (int s = 1; s < SIGRTMAX; ++s) {
      EXPECT_EQ(sigismember(&seen.mask, s), sigismember(&lateMask, s)) << s;
      EXPECT_EQ(sigismember(&afterMask, s), sigismember(&lateMask, s)) << s;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  holders.release();
  EXPECT_EQ(holders.onTheSet.load(), sys::kHandlerStacksMax);
  EXPECT_TRUE(everyStackFree(&gCrowded));
}

// ---- Entered through a real signal ----

sys::handler_stacks gSignalled{64 * 1024};

// A signal's action whose handler moves to a stack of gSignalled and runs
// gBody there.
void (*gBody)(int, siginfo_t*, void*) = nullptr;

KX_HANDLER_ENTRY void moveToTheSet(int signo, siginfo_t* info, void* uap) {
  sys::handler_stacks_run(&gSignalled, gBody, signo, info, uap);
}

void installMover(int signo) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = moveToTheSet;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigfillset(&action.sa_mask);
  sigaction(signo, &action, nullptr);
}

Seen gOuter{&gSignalled}, gNested{&gSignalled};

// The handler runs on a stack of the set with the mask the interrupted code
// had and its signal; a signal there arrives below, on the same stack; the
// thread gets its mask, errno and alternate stack back.
TEST(HandlerStacks, SignalMovesToAStackWhereANestedSignalRunsBelow) {
  installMover(SIGUSR1);
  installMover(SIGUSR2);
  gBody = [](int signo, siginfo_t*, void*) {
    if (signo == SIGUSR2) {
      look(&gNested);
      return;
    }
    look(&gOuter);
    raise(SIGUSR2);
  };
  const sigset_t before = currentMask();
  const stack_t alternate = currentAlternateStack();
  errno = EAGAIN;
  pthread_kill(pthread_self(), SIGUSR1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_TRUE(sameStack(currentAlternateStack(), alternate));
  const sigset_t after = currentMask();
  for (int s = 1; s < SIGRTMAX; ++s) {
    EXPECT_EQ(sigismember(&gOuter.mask, s), s == SIGUSR1 || sigismember(&before, s)) << s;
    EXPECT_EQ(sigismember(&after, s), sigismember(&before, s)) << s;
  }
  EXPECT_TRUE(gOuter.onTheSet);
  EXPECT_TRUE(gOuter.alternateStackIsThisOne);
  EXPECT_TRUE(gNested.onTheSet);
  EXPECT_TRUE(gNested.alternateStackIsThisOne);
  EXPECT_EQ(gNested.alternate.ss_sp, gOuter.alternate.ss_sp);
  EXPECT_LT(gNested.frame, gOuter.frame);
  EXPECT_TRUE(everyStackFree(&gSignalled));
}

// ---- Stacks that come back ----

thread_local sigjmp_buf tJump;

void jumpOut(int, siginfo_t*, void*) { siglongjmp(tJump, 1); }

// Leaves a handler's work on a stack of gSignalled by a jump.
void signalAndJumpOut() {
  gBody = jumpOut;
  if (sigsetjmp(tJump, 1) == 0) pthread_kill(pthread_self(), SIGUSR1);
}

// A thread that leaves its work by a jump keeps its stack as its alternate
// stack, where its next signal comes; its next claim from elsewhere gives
// the stack back, and the thread its own alternate stack. Threads that jump
// out and end give theirs back as they end.
TEST(HandlerStacks, StacksLeftByAJumpComeBack) {
  installMover(SIGUSR1);
  bool cameBackToIt = false, ownStackAgain = false;
  std::thread jumper([&] {
    const stack_t own = currentAlternateStack();
    signalAndJumpOut();
    const void* left = currentAlternateStack().ss_sp;
    gBody = [](int, siginfo_t*, void*) { look(&gOuter); };
    pthread_kill(pthread_self(), SIGUSR1);
    cameBackToIt = gOuter.onTheSet && gOuter.alternate.ss_sp == left;
    sys::handler_stacks_call(
        &gSignalled, [](void*) {}, nullptr);
    ownStackAgain = sameStack(currentAlternateStack(), own);
  });
  jumper.join();
  EXPECT_TRUE(cameBackToIt);
  EXPECT_TRUE(ownStackAgain);
  EXPECT_TRUE(everyStackFree(&gSignalled));
  // One past the stacks, one after another.
  static std::atomic<bool> all{false};
  std::thread jumpers([] {
    for (int i = 0; i <= sys::kHandlerStacksMax; ++i) std::thread(signalAndJumpOut).join();
    all = true;
  });
  const bool ended = within([] { return all.load(); }, std::chrono::seconds(5));
  ended ? jumpers.join() : jumpers.detach();
  ASSERT_TRUE(ended) << "a thread waited for a stack";
  EXPECT_TRUE(everyStackFree(&gSignalled));
}

// A fork while every stack is held: the child's claim runs on one of them.
TEST(HandlerStacks, ChildForkedWhileEveryStackIsHeldFindsThemFree) {
  static sys::handler_stacks forked{64 * 1024};
  ASSERT_TRUE(sys::handler_stacks_reserve(&forked));
  Holders holders(&forked, sys::kHandlerStacksMax);
  ASSERT_TRUE(within([&] { return holders.holding.load() == sys::kHandlerStacksMax; }));
  EXPECT_EQ(inChild([] {
              endInTenSeconds();
              Seen seen{&forked};
              sys::handler_stacks_call(&forked, look, &seen);
              return seen.onTheSet ? 0 : 1;
            }),
            0);
}

// With no memory for a stack (none mapped yet), the call runs where it is.
TEST(HandlerStacks, WithoutMemoryForAStackACallRunsWhereItIs) {
  static sys::handler_stacks unmapped{64 * 1024};
  EXPECT_EQ(inChild([] {
              endInTenSeconds();
              sys::testing::exhaustAddressSpace();
              if (sys::handler_stacks_reserve(&unmapped)) return 1;
              Seen seen{&unmapped};
              sys::handler_stacks_call(&unmapped, look, &seen);
              return seen.frame != nullptr && !seen.onTheSet ? 0 : 2;
            }),
            0);
}

// A thread that waits for the end gives its stack back, waits with every
// signal blocked, and shows where its signal found it.
TEST(HandlerStacks, ThreadWaitingForTheEndGivesItsStackBackAndShowsWhereItWas) {
  EXPECT_EQ(inChild([] {
              installMover(SIGUSR1);
              static std::atomic<pid_t> waiter{0};
              static std::atomic<const char*> low{nullptr}, high{nullptr};
              std::thread([] {
                pthread_attr_t attributes;
                pthread_getattr_np(pthread_self(), &attributes);
                void* stack = nullptr;
                size_t size = 0;
                pthread_attr_getstack(&attributes, &stack, &size);
                pthread_attr_destroy(&attributes);
                low = static_cast<const char*>(stack);
                high = static_cast<const char*>(stack) + size;
                gBody = [](int, siginfo_t*, void* uap) {
                  waiter = gettid();
                  sys::handler_stacks_wait_for_end(&gSignalled, uap);
                };
                pthread_kill(pthread_self(), SIGUSR1);
              }).detach();
              sys::thread_gregs state;
              if (!within([&] {
                    return waiter.load() != 0 && blocksEverySignal(waiter.load()) &&
                           sys::thread_get_state(waiter.load(), &state) == sys::KERN_SUCCESS;
                  })) {
                return 1;
              }
              const auto* sp = reinterpret_cast<const char*>(state.gregs[REG_RSP]);
              if (sp < low.load() || sp >= high.load()) return 2;
              return everyStackFree(&gSignalled) ? 0 : 3;
            }),
            0);
}

}  // namespace
