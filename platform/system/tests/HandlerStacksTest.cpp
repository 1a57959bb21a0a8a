#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "baseTest/Polling.h"
#include "system/HandlerStacks.h"

namespace {

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

sigset_t currentMask() {
  sigset_t mask{};
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return mask;
}

// What a call on a stack of `set` saw where it ran.
struct Seen {
  const sys::handler_stacks* set;
  bool onTheSet = false;
  bool alternateStackIsThisOne = false;
  sigset_t mask{};
};

void look(void* argument) {
  auto* seen = static_cast<Seen*>(argument);
  seen->onTheSet = sys::handler_stacks_running_on(seen->set);
  stack_t alternate;
  sigaltstack(nullptr, &alternate);
  const auto* here = static_cast<const char*>(__builtin_frame_address(0));
  const auto* low = static_cast<const char*>(alternate.ss_sp);
  seen->alternateStackIsThisOne = here > low && here < low + alternate.ss_size;
  seen->mask = currentMask();
  errno = EIO;
}

sys::handler_stacks gOneThread{64 * 1024};

TEST(HandlerStacks, CallRunsOnAStackOfTheSetThatIsTheAlternateStackMeanwhile) {
  ASSERT_TRUE(sys::handler_stacks_reserve(&gOneThread));
  stack_t before;
  sigaltstack(nullptr, &before);
  Seen seen{&gOneThread};
  errno = EAGAIN;
  sys::handler_stacks_call(&gOneThread, look, &seen);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_TRUE(seen.onTheSet);
  EXPECT_TRUE(seen.alternateStackIsThisOne);
  EXPECT_FALSE(sys::handler_stacks_running_on(&gOneThread));
  stack_t after;
  sigaltstack(nullptr, &after);
  EXPECT_EQ(after.ss_sp, before.ss_sp);
  EXPECT_EQ(after.ss_size, before.ss_size);
  EXPECT_EQ(after.ss_flags, before.ss_flags);
}

sys::handler_stacks gCrowded{64 * 1024};
std::atomic<int> gHolding{0};
std::atomic<bool> gRelease{false};

TEST(HandlerStacks, ThreadFindingEveryStackHeldWaitsWithEverySignalBlockedForOneGivenBack) {
  std::vector<std::thread> holders;
  for (int i = 0; i < sys::kHandlerStacksMax; ++i) {
    holders.emplace_back([] {
      sys::handler_stacks_call(
          &gCrowded,
          [](void*) {
            ++gHolding;
            while (!gRelease.load()) std::this_thread::yield();
          },
          nullptr);
    });
  }
  ASSERT_TRUE(within([] { return gHolding.load() == sys::kHandlerStacksMax; }));
  std::atomic<pid_t> late{0};
  Seen seen{&gCrowded};
  sigset_t lateMask, afterMask;
  std::thread lateThread([&] {
    lateMask = currentMask();
    late = gettid();
    sys::handler_stacks_call(&gCrowded, look, &seen);
    afterMask = currentMask();
  });
  // Every signal the kernel lets a thread block (all but SIGKILL and SIGSTOP).
  const uint64_t unblockable = (uint64_t{1} << (SIGKILL - 1)) | (uint64_t{1} << (SIGSTOP - 1));
  const bool waitedBlocked =
      within([&] { return late.load() != 0 && (blockedSignals(late) | unblockable) == ~0ull; });
  gRelease = true;
  lateThread.join();
  for (auto& holder : holders) holder.join();
  EXPECT_TRUE(waitedBlocked);
  EXPECT_TRUE(seen.onTheSet);
  EXPECT_TRUE(seen.alternateStackIsThisOne);
  // There, and after, the thread's own mask again.
  for (int s = 1; s < SIGRTMAX; ++s) {
    EXPECT_EQ(sigismember(&seen.mask, s), sigismember(&lateMask, s)) << s;
    EXPECT_EQ(sigismember(&afterMask, s), sigismember(&lateMask, s)) << s;
  }
}

}  // namespace
