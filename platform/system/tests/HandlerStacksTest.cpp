#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/BuildFacts.h"
#include "baseTest/Children.h"
#include "baseTest/Polling.h"
#include "baseTest/SystemCallFilter.h"
#include "system/HandlerStacks.h"
#include "system/TestSeams.h"
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

// Whether `at` lies on one of the stacks the set keeps mapped, not on one
// mapped for a thread alone.
bool onAKeptStack(const sys::handler_stacks* set, const void* at) {
  for (int i = 0; i < sys::kHandlerStacksMax; ++i) {
    const auto* top = static_cast<const char*>(__atomic_load_n(&set->tops[i], __ATOMIC_ACQUIRE));
    if (top != nullptr && at < top && at >= top - set->size) return true;
  }
  return false;
}

// What a call on a stack of `set` saw where it ran.
struct Seen {
  const sys::handler_stacks* set;
  bool onTheSet = false;
  bool onAKeptStack = false;
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
  seen->onAKeptStack = onAKeptStack(seen->set, seen->frame);
  const auto* low = static_cast<const char*>(seen->alternate.ss_sp);
  seen->alternateStackIsThisOne = seen->frame > low && seen->frame < low + seen->alternate.ss_size;
  seen->mask = currentMask();
  errno = EIO;
}

// `count` threads each working on a stack of `set` at once, until released;
// `onTheSet` counts those that work on one of its stacks, `onKeptStacks`
// those on one of the stacks it keeps, and `lastFrame` is where the last to
// come works.
class Holders {
 public:
  Holders(sys::handler_stacks* set, int count) : set_(set) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this] {
        sys::handler_stacks_call(
            set_,
            [](void* argument) {
              auto* self = static_cast<Holders*>(argument);
              const auto* frame = static_cast<const char*>(__builtin_frame_address(0));
              self->onTheSet += sys::handler_stacks_running_on(self->set_);
              self->onKeptStacks += onAKeptStack(self->set_, frame);
              self->lastFrame = frame;
              ++self->holding;
              // Asleep, not spinning: hundreds of spinning threads under
              // ThreadSanitizer keep the processors and the address space's
              // lock (its history grows with each look) from the rest.
              self->released_.wait(false);
            },
            this);
      });
    }
  }
  ~Holders() { release(); }
  void release() {
    released_ = true;
    released_.notify_all();
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }
  // Leaves the threads to themselves: one may wait for a stack for good.
  void abandon() {
    released_ = true;
    released_.notify_all();
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.detach();
    }
  }

  std::atomic<int> holding{0};
  std::atomic<int> onTheSet{0};
  std::atomic<int> onKeptStacks{0};
  std::atomic<const char*> lastFrame{nullptr};

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
  return holders->onKeptStacks.load() == sys::kHandlerStacksMax;
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
// none waits for one to be given back, each works on a stack of its own,
// which counts as one of the set's while it works there.
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
    EXPECT_TRUE(seen.onTheSet);
    EXPECT_FALSE(seen.onAKeptStack);
    EXPECT_TRUE(seen.alternateStackIsThisOne);
    // There, and after, the thread's own mask again.
    for (int s = 1; s < SIGRTMAX; ++s) {
      EXPECT_EQ(sigismember(&seen.mask, s), sigismember(&lateMask, s)) << s;
      EXPECT_EQ(sigismember(&afterMask, s), sigismember(&lateMask, s)) << s;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  holders.release();
  EXPECT_EQ(holders.onKeptStacks.load(), sys::kHandlerStacksMax);
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

// Where the calling thread's own stack lies.
std::pair<const char*, const char*> ownStackBounds() {
  pthread_attr_t attributes;
  pthread_getattr_np(pthread_self(), &attributes);
  void* stack = nullptr;
  size_t size = 0;
  pthread_attr_getstack(&attributes, &stack, &size);
  pthread_attr_destroy(&attributes);
  return {static_cast<const char*>(stack), static_cast<const char*>(stack) + size};
}

// Whether any page of [low, high) is mapped.
bool anyMapped(const char* low, const char* high) {
  for (auto page = reinterpret_cast<uintptr_t>(low) & ~uintptr_t{4095};
       page < reinterpret_cast<uintptr_t>(high); page += 4096) {
    unsigned char resident;
    if (mincore(reinterpret_cast<void*>(page), 4096, &resident) == 0) return true;
  }
  return false;
}

// A fork while every stack is held, and a thread works on one mapped for it
// alone: the child's claim runs on one of the set's, and the child unmaps
// its copy of the other.
TEST(HandlerStacks, ChildForkedWhileEveryStackIsHeldFindsThemFree) {
  static sys::handler_stacks forked{64 * 1024};
  ASSERT_TRUE(sys::handler_stacks_reserve(&forked));
  Holders holders(&forked, sys::kHandlerStacksMax);
  ASSERT_TRUE(within([&] { return holders.holding.load() == sys::kHandlerStacksMax; }));
  static Holders* late = nullptr;
  Holders lateHolder(&forked, 1);
  late = &lateHolder;
  ASSERT_TRUE(within([&] { return lateHolder.holding.load() == 1; }));
  EXPECT_EQ(inChild([] {
              endInTenSeconds();
              const char* own = late->lastFrame.load();
              if (onAKeptStack(&forked, own)) return 1;
              if (anyMapped(own, own + 1)) return 2;
              Seen seen{&forked};
              sys::handler_stacks_call(&forked, look, &seen);
              return seen.onAKeptStack ? 0 : 3;
            }),
            0);
}

// The same where the child's ids are ones its parent's had: the parent is
// the first process of a pid namespace, the child of a new one, where
// threads then take the ids of the parent's threads that hold the stacks.
TEST(HandlerStacks, ChildWithItsParentsIdsFindsTheStacksFree) {
#if KX_TSAN
  GTEST_SKIP() << "ThreadSanitizer starts no thread in the child of a process with threads";
#endif
  const int code = base::testing::inNewPidNamespace([] {
    static sys::handler_stacks forked{64 * 1024};
    if (!sys::handler_stacks_reserve(&forked)) return 1;
    static auto* holders = new Holders(&forked, sys::kHandlerStacksMax);
    if (!within([] { return holders->holding.load() == sys::kHandlerStacksMax; })) return 2;
    if (unshare(CLONE_NEWPID) != 0) return 3;
    return inChild([] {
      for (int i = 0; i < sys::kHandlerStacksMax; ++i) std::thread([] { pause(); }).detach();
      Seen seen{&forked};
      sys::handler_stacks_call(&forked, look, &seen);
      return seen.onAKeptStack ? 0 : 4;
    });
  });
  if (code < 0) GTEST_SKIP() << "the kernel refuses a pid namespace here";
  EXPECT_EQ(code, 0);
}

// A thread given the id of one that ended in its work (its stack never
// given back) as another thread's claim finds that holder ended: the new
// thread is not taken for the holder, and the two never work on one stack.
TEST(HandlerStacks, ThreadGivenAnEndedHoldersIdIsNotTakenForIt) {
#if KX_TSAN
  GTEST_SKIP() << "ThreadSanitizer cannot run code on threads it did not see start";
#endif
  const int code = base::testing::inNewPidNamespace([] {
    static sys::handler_stacks set{64 * 1024};
    static std::atomic<pid_t> ended{0}, newcomer{0};
    static std::atomic<bool> hooked{false};
    static std::atomic<const char*> newcomersFrame{nullptr};
    if (!sys::handler_stacks_reserve(&set)) return 1;
    std::thread([] {
      sys::handler_stacks_call(
          &set, [](void*) { syscall(SYS_exit, (ended = gettid(), 0)); }, nullptr);
    }).detach();
    if (!within([] { return ended.load() != 0 && kill(ended.load(), 0) != 0; })) return 2;
    sys::setHandlerStackHolderEndedHookForTesting([](int32_t holder) {
      if (holder != ended.load() || hooked.exchange(true)) return;
      usleep(20'000);  // a later start, by the kernel's clock ticks
      if (!base::testing::giveIdNext(holder)) return;
      std::thread([] {
        newcomer = gettid();
        sys::handler_stacks_call(
            &set,
            [](void*) {
              newcomersFrame = static_cast<const char*>(__builtin_frame_address(0));
              pause();
            },
            nullptr);
      }).detach();
      within([] { return newcomersFrame.load() != nullptr; });
    });
    Seen seen{&set};
    sys::handler_stacks_call(&set, look, &seen);
    if (newcomer.load() != ended.load() || newcomersFrame.load() == nullptr) return 3;
    for (int i = 0; i < sys::kHandlerStacksMax; ++i) {
      const char* top = static_cast<const char*>(set.tops[i]);
      auto on = [&](const char* at) { return top != nullptr && at < top && at >= top - set.size; };
      if (on(seen.frame) && on(newcomersFrame.load())) return 4;
    }
    return seen.onTheSet ? 0 : 5;
  });
  if (code < 0) GTEST_SKIP() << "the kernel refuses a pid namespace here";
  EXPECT_EQ(code, 0) << "3: no thread had the id; 4: both worked on one stack";
}

// A child in its parent's memory (clone with CLONE_VM, as a runtime makes
// one) has its parent's token: its call runs where it is, and the parent's
// stacks stay the parent's.
TEST(HandlerStacks, ChildInItsParentsMemoryLeavesTheStacksToTheParent) {
#if KX_TSAN
  GTEST_SKIP()
      << "ThreadSanitizer keeps its state in the thread-local storage a clone child shares";
#endif
  EXPECT_EQ(inChild([] {
              static sys::handler_stacks parents{64 * 1024};
              static Seen seen{&parents};
              static char stack[256 * 1024];
              if (!sys::handler_stacks_reserve(&parents)) return 1;
              const pid_t child = clone(
                  [](void*) {
                    sys::handler_stacks_call(&parents, look, &seen);
                    return 0;
                  },
                  stack + sizeof stack, CLONE_VM | SIGCHLD, nullptr);
              int status = 0;
              if (child < 0 ||
                  !base::testing::waitForChild(child, &status, base::testing::childDeadline()) ||
                  status != 0 || seen.frame == nullptr) {
                return 2;
              }
              return seen.onTheSet ? 3 : 0;
            }),
            0);
}

// A fork while a thread's claim has mapped a stack but not made its guard
// page yet: the child's first claim takes that stack, guarded.
TEST(HandlerStacks, ChildForkedWhileAClaimIsHalfDoneFindsTheStackWhole) {
  EXPECT_EQ(inChild([] {
              endInTenSeconds();
              static sys::handler_stacks halfMade{64 * 1024};
              static std::atomic<const char*> top{nullptr};
              static std::atomic<bool> goOn{false};
              sys::setHandlerStackMappedHookForTesting([](const void* mapped) {
                top = static_cast<const char*>(mapped);
                while (!goOn.load()) usleep(1000);
              });
              std::thread claimant([] {
                sys::handler_stacks_call(
                    &halfMade, [](void*) {}, nullptr);
              });
              if (!within([] { return top.load() != nullptr; })) return 1;
              const int child = inChild([] {
                sys::setHandlerStackMappedHookForTesting(nullptr);
                const char* guard = top.load() - halfMade.size - 4096;
                char byte;
                struct iovec local = {&byte, 1};
                struct iovec remote = {const_cast<char*>(guard), 1};
                // The guard page is there, and nothing can read it.
                if (!anyMapped(guard, guard + 1) ||
                    process_vm_readv(getpid(), &local, 1, &remote, 1, 0) != -1) {
                  return 1;
                }
                Seen seen{&halfMade};
                sys::handler_stacks_call(&halfMade, look, &seen);
                return seen.frame < top.load() && seen.frame > guard ? 0 : 2;
              });
              goOn = true;
              claimant.join();
              return child == 0 ? 0 : 10 + child;
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

// One claim past every place of a set (its own stacks and those mapped for
// a thread alone, all held) works where it is; once they are given back, as
// many claims again each find one.
TEST(HandlerStacks, ClaimPastEveryPlaceWorksWhereItIsAndThePlacesComeBack) {
  EXPECT_EQ(inChild([] {
              endInTenSeconds();
              static sys::handler_stacks many{16 * 1024};
              constexpr int kPlaces = sys::handler_stacks::kPlaces;
              for (int round = 0; round < 2; ++round) {
                Holders all(&many, kPlaces);
                if (!within([&] { return all.holding.load() == kPlaces; })) return 1;
                Seen seen{&many};
                sys::handler_stacks_call(&many, look, &seen);
                all.release();
                if (seen.onTheSet) return 2;
                if (all.onTheSet.load() != kPlaces) return 3;
              }
              return 0;
            }),
            0);
}

// Stacks of gSignalled's size mapped for a thread alone, past its sixteen
// held by others: left by jumps, each goes when its thread claims again or
// ends, so that the address space they took stays free for the program.
TEST(HandlerStacks, StacksMappedForAThreadAloneAndLeftByJumpsAreUnmapped) {
  EXPECT_EQ(inChild([] {
              endInTenSeconds();
              installMover(SIGUSR1);
              Holders holders(&gSignalled, sys::kHandlerStacksMax);
              if (!within([&] { return holders.holding.load() == sys::kHandlerStacksMax; })) {
                return 1;
              }
              // A thread's stack of the C library's cache for the threads
              // below, then room for 40 such stacks beside 8 MiB, not for 80.
              std::thread([] {}).join();
              constexpr size_t kBlock = 8 * 1024 * 1024;
              sys::testing::exhaustAddressSpace(kBlock + 40 * gSignalled.size);
              auto roomLeft = [] {
                void* block = mmap(nullptr, kBlock, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
                if (block == MAP_FAILED) return false;
                munmap(block, kBlock);
                return true;
              };
              std::thread([] {
                for (int i = 0; i < 80; ++i) signalAndJumpOut();
              }).join();
              if (!roomLeft()) return 2;
              for (int i = 0; i < 80; ++i) std::thread(signalAndJumpOut).join();
              return roomLeft() ? 0 : 3;
            }),
            0);
}

// A thread that sets its own alternate stack again, or disables it, after
// each jump out of its work holds one stack of the set for its works: the
// others stay free for other threads while it lives, and its own comes back
// when it ends.
TEST(HandlerStacks, ThreadThatSetsItsAlternateStackAfterEachJumpHoldsOneStack) {
  EXPECT_EQ(inChild([] {
              endInTenSeconds();
              installMover(SIGUSR1);
              static std::atomic<bool> jumped{false}, end{false};
              std::thread jumper([] {
                std::vector<char> own(64 * 1024);
                for (int i = 0; i <= sys::kHandlerStacksMax + 4; ++i) {
                  signalAndJumpOut();
                  stack_t again = {own.data(), i % 2 == 0 ? 0 : SS_DISABLE, own.size()};
                  sigaltstack(&again, nullptr);
                }
                jumped = true;
                while (!end.load()) usleep(1000);
                stack_t off = {nullptr, SS_DISABLE, 0};
                sigaltstack(&off, nullptr);
              });
              const bool ready = within([] { return jumped.load(); });
              int result = 0;
              if (!ready) {
                result = 1;
              } else {
                Holders others(&gSignalled, sys::kHandlerStacksMax - 1);
                if (!within([&] { return others.holding.load() == sys::kHandlerStacksMax - 1; })) {
                  result = 2;
                } else {
                  others.release();
                  if (others.onKeptStacks.load() != sys::kHandlerStacksMax - 1) result = 3;
                }
              }
              end = true;
              jumper.join();
              if (result == 0 && !everyStackFree(&gSignalled)) result = 4;
              return result;
            }),
            0);
}

// Whether the calling process's first thread has ended: its id then names
// no memory.
bool firstThreadEnded() {
  char byte = 0;
  struct iovec local = {&byte, 1}, remote = {&byte, 1};
  return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) < 0 && errno == ESRCH;
}

// Threads the C library makes for its timers, not through `pthread_create`,
// each leaving its work by a jump and ending: a later claim takes each
// stack they held again as it is, mapping nothing more, also once the
// process's first thread has ended, or where the kernel refuses copies of
// the process's memory (a sandbox's filter).
TEST(HandlerStacks, StacksOfThreadsMadeWithoutTheWrapperAreTakenAgainAsTheyAre) {
#if KX_TSAN
  GTEST_SKIP() << "ThreadSanitizer cannot run code on threads it did not see start";
#endif
  static const auto takenAgain = [] {
    installMover(SIGUSR1);
    static std::atomic<int> jumps{0};
    static std::atomic<pid_t> last{0};
    struct sigevent event = {};
    event.sigev_notify = SIGEV_THREAD;
    event.sigev_notify_function = [](sigval) {
      sigset_t user;
      sigemptyset(&user);
      sigaddset(&user, SIGUSR1);
      pthread_sigmask(SIG_UNBLOCK, &user, nullptr);
      signalAndJumpOut();
      last = gettid();
      ++jumps;
    };
    timer_t timer;
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) return 1;
    auto jumpers = [&timer](int count) {
      for (int i = 0; i < count; ++i) {
        const int before = jumps.load();
        struct itimerspec once = {};
        once.it_value.tv_nsec = 1000;
        timer_settime(timer, 0, &once, nullptr);
        if (!within([&] { return jumps.load() > before; })) return false;
        // Until the thread has ended.
        if (!within([] { return tgkill(getpid(), last.load(), 0) != 0; })) return false;
      }
      return true;
    };
    // Every stack of the set mapped and held by an ended thread.
    if (!jumpers(sys::kHandlerStacksMax + 4)) return 2;
    const long before = sys::testing::mappingCount();
    const long long bytesBefore = sys::testing::mappedBytes();
    if (!jumpers(3 * sys::kHandlerStacksMax)) return 3;
    if (sys::testing::mappingCount() - before >= 8) return 4;
    const long long grown = sys::testing::mappedBytes() - bytesBefore;
    if (grown < static_cast<long long>(4 * gSignalled.size)) return 0;
    fprintf(stderr, "%lld bytes more mapped\n", grown);
    return 5;
  };
  for (const std::string row : {"as it is", "first thread ended", "copies refused"}) {
    SCOPED_TRACE(row);
    EXPECT_EQ(inChild([&] {
                endInTenSeconds();
                if (row == "copies refused" &&
                    !base::testing::filterCalls(
                        {{SYS_process_vm_readv, base::testing::callFails(EPERM)}}, true)) {
                  return 6;
                }
                if (row != "first thread ended") return takenAgain();
                std::thread([] { _exit(within(firstThreadEnded) ? takenAgain() : 7); }).detach();
                syscall(SYS_exit, 0);  // this thread alone, as pthread_exit ends it
                return 8;
              }),
              0);
  }
}

// A thread that waits for the end, in its handler's work (`laterSignal`
// false) or in a later signal's handler of its own that the kernel put on
// the stack it left its work on by a jump (its signal had come on an
// alternate stack of the thread's, unmapped since): it gives the stack back,
// waits with every signal blocked, and shows where its signal found it.
int waitForTheEndGivingTheStackBack(bool laterSignal) {
  endInTenSeconds();
  installMover(SIGUSR1);
  static std::atomic<pid_t> waiter{0};
  static std::atomic<const char*> low{nullptr}, high{nullptr};
  static bool later;
  later = laterSignal;
  std::thread([] {
    const auto [stackLow, stackHigh] = ownStackBounds();
    low = stackLow;
    high = stackHigh;
    auto waitForTheEnd = [](int, siginfo_t*, void* uap) {
      waiter = gettid();
      sys::handler_stacks_wait_for_end(&gSignalled, uap);
    };
    int signo = SIGUSR1;
    gBody = waitForTheEnd;
    if (later) {
      constexpr size_t kSize = 64 * 1024;
      void* own = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      stack_t alternate = {own, 0, kSize};
      sigaltstack(&alternate, nullptr);
      signalAndJumpOut();
      munmap(own, kSize);
      struct sigaction action = {};
      action.sa_sigaction = waitForTheEnd;
      action.sa_flags = SA_SIGINFO | SA_ONSTACK;
      sigfillset(&action.sa_mask);
      sigaction(signo = SIGUSR2, &action, nullptr);
    }
    pthread_kill(pthread_self(), signo);
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
}

TEST(HandlerStacks, ThreadWaitingForTheEndGivesItsStackBackAndShowsWhereItWas) {
  EXPECT_EQ(inChild([] { return waitForTheEndGivingTheStackBack(false); }), 0);
}

TEST(HandlerStacks, ThreadWaitingForTheEndInALaterSignalGivesTheStackItLeftBack) {
  EXPECT_EQ(inChild([] { return waitForTheEndGivingTheStackBack(true); }), 0);
}

// `pthread_exit` in a handler's work ends the thread, not the process, and
// the stack comes back with the thread's end.
TEST(HandlerStacks, ThreadEndingInAHandlersWorkEndsAloneAndGivesItsStackBack) {
#if KX_TSAN
  GTEST_SKIP() << "ThreadSanitizer reports the thread's end in a signal handler as unsafe there";
#endif
  EXPECT_EQ(inChild([] {
              endInTenSeconds();
              installMover(SIGUSR1);
              static bool after = false;
              std::thread([] {
                gBody = [](int, siginfo_t*, void*) { pthread_exit(nullptr); };
                pthread_kill(pthread_self(), SIGUSR1);
                after = true;
              }).join();
              if (after) return 1;
              return everyStackFree(&gSignalled) ? 0 : 2;
            }),
            0);
}

}  // namespace
