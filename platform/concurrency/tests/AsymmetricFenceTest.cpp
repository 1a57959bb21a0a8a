#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>

#include "concurrency/AsymmetricFence.h"
#include "concurrency/BiasedRecursiveLock.h"
#include "concurrency/HazardSlots.h"
#include "concurrencyTest/FenceModes.h"

namespace concurrency {
namespace {

// The light side's step in the form the mode asks for: store, fence, load.
int lightStoreThenLoad(std::atomic<int>& mine, const std::atomic<int>& theirs) {
  if (asymmetricFences()) {
    mine.store(1, std::memory_order_relaxed);
    lightFence();
    const int seen = theirs.load(std::memory_order_relaxed);
    if (asymmetricFences()) return seen;
  }
  noteFencedLightSide();
  mine.exchange(1, std::memory_order_seq_cst);
  return theirs.load(std::memory_order_seq_cst);
}

// Dekker's pattern, started together each round: each side stores its flag
// and loads the other's; at least one of them must see the other's store.
// Answers in how many rounds both missed. A round whose heavy fence does not
// answer for the light side (during the handover after a failed barrier) is
// decided only once the light thread has been seen, when its store is
// visible: such rounds count as kept. `beforeHeavy(round)` runs on the
// heavy side before its store; the light thread's count of fallback barriers
// goes to `lightFences` when it ends.
template <class BeforeHeavy>
int dekkerRounds(int rounds, BeforeHeavy beforeHeavy, std::size_t* lightFences = nullptr) {
  std::atomic<int> light{0};
  std::atomic<int> heavy{0};
  int lightSaw = 0;
  std::barrier sync(2);
  std::thread lightThread([&] {
    attachFenceThread();
    for (int round = 0; round < rounds; ++round) {
      sync.arrive_and_wait();
      lightSaw = lightStoreThenLoad(light, heavy);
      sync.arrive_and_wait();
    }
    if (lightFences != nullptr) *lightFences = fallbackFencesOnThisThreadForTesting();
  });
  int bothMissed = 0;
  for (int round = 0; round < rounds; ++round) {
    light.store(0);
    heavy.store(0);
    sync.arrive_and_wait();
    beforeHeavy(round);
    heavy.exchange(1, std::memory_order_seq_cst);
    const bool ordered = heavyFence();
    const int heavySaw = light.load(std::memory_order_seq_cst);
    sync.arrive_and_wait();
    if (ordered && lightSaw == 0 && heavySaw == 0) ++bothMissed;
  }
  lightThread.join();
  return bothMissed;
}

class AsymmetricFenceStress : public testing::BothWays {};

TEST_P(AsymmetricFenceStress, LightAndHeavySidesNeverBothMissTheOther) {
  EXPECT_EQ(dekkerRounds(4000, [](int) {}), 0);
}

// What the fallback barrier must do without.
enum class Without { nothing, descriptors, moves };

// Makes the kernel refuse the calling thread the process-wide barrier and
// the choice of its processors, as a filter installed late would.
bool refuseBarrierAndMoves() {
  sock_filter rules[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_membarrier, 1, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_sched_setaffinity, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(rules)), rules};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Runs in a process of its own, since the failure is for good. The barrier
// fails halfway through Dekker rounds with a light thread, while another
// thread that holds the bias of a lock waits in the kernel, one that never
// ran a light side waits too, and one that ran one has ended. From the
// failure on, each heavy fence runs the fallback barrier, which keeps the
// store-then-load order with every attached thread still there, also when
// it has no descriptor left to read /proc with, or may not move itself
// across processors.
int failTheBarrierAmongThreads(Without without) {
  constexpr int kRounds = 2000;
  BiasedRecursiveLock lock;
  std::mutex mutex;
  std::condition_variable wake;
  int parked = 0;
  bool go = false;
  auto park = [&] {
    std::unique_lock<std::mutex> guard(mutex);
    ++parked;
    wake.notify_all();
    wake.wait(guard, [&] { return go; });
  };
  std::thread([] { HazardScope().enter(); }).join();
  std::thread biased([&] {
    for (int i = 0; i < 3; ++i) {
      lock.lock();
      lock.unlock();
    }
    park();
    lock.lock();
    lock.unlock();
  });
  std::thread idle(park);
  {
    std::unique_lock<std::mutex> guard(mutex);
    wake.wait(guard, [&] { return parked == 2; });
  }
  std::size_t lightFences = 0;
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  const int bothMissed = dekkerRounds(
      kRounds,
      [&](int round) {
        if (round == kRounds / 2) {
          const rlimit none{0, limit.rlim_max};
          if (without == Without::moves) {
            if (!refuseBarrierAndMoves()) {
              std::perror("installing the filter");
              _exit(2);
            }
          } else {
            failNextBarrierForTesting();
          }
          if (without == Without::descriptors) setrlimit(RLIMIT_NOFILE, &none);
        }
        // Back before the light thread ends: the sanitizers need descriptors
        // there.
        if (round == kRounds - 1) setrlimit(RLIMIT_NOFILE, &limit);
      },
      &lightFences);
  {
    std::lock_guard<std::mutex> guard(mutex);
    go = true;
  }
  wake.notify_all();
  biased.join();
  idle.join();
  const std::size_t heavyFencesSince = kRounds - kRounds / 2;
  const bool fine = bothMissed == 0 && barrierFailed() && !asymmetricFences() && lightFences == 0 &&
                    fallbackFencesOnThisThreadForTesting() == heavyFencesSince;
  if (!fine) {
    std::fprintf(stderr, "both missed %d; fallback barriers: light %zu, heavy %zu\n", bothMissed,
                 lightFences, fallbackFencesOnThisThreadForTesting());
  }
  return fine ? 0 : 1;
}

TEST_P(AsymmetricFenceStress, AfterAFailedBarrierHeavyAndLightSidesNeverBothMissTheOther) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  ASSERT_TRUE(setFenceModeForTesting(GetParam()));
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Without without : {Without::nothing, Without::descriptors, Without::moves}) {
    EXPECT_EXIT(std::exit(failTheBarrierAmongThreads(without)), ::testing::ExitedWithCode(0),
                ::testing::AllOf(::testing::ContainsRegex("memory barrier failed"),
                                 ::testing::Not(::testing::ContainsRegex("failed(.|\n)*failed"))))
        << "without " << static_cast<int>(without);
  }
}

CONCURRENCY_INSTANTIATE_BOTH_WAYS(AsymmetricFenceStress);

// Runs `body` in a child process of its own, since a failed barrier is for
// good: its exit code, or -1 when it was killed or has not ended within ten
// seconds (a fallback barrier that hangs).
template <class Body>
int exitCodeInChild(Body body) {
  const pid_t child = fork();
  if (child == 0) _exit(body());
  const int ended = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  if (ended >= 0) {
    pollfd wait{ended, POLLIN, 0};
    const int ready = poll(&wait, 1, 10000);
    close(ended);
    if (ready != 1) kill(child, SIGKILL);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class AsymmetricFenceFallback : public testing::BothWays {};

// Once the barrier has failed, heavy fences leave the program's attached
// threads alone however they wait: one that blocks every signal, one that
// takes real-time signals with sigtimedwait, and one in poll and nanosleep,
// which no signal may cut short.
TEST_P(AsymmetricFenceFallback, HeavyFencesLeaveTheOtherThreadsAlone) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  ASSERT_TRUE(setFenceModeForTesting(GetParam()));
  const int code = exitCodeInChild([] {
    constexpr std::size_t kHeavyFences = 50;
    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    std::atomic<int> taken{0};
    std::atomic<int> interrupted{0};
    std::mutex mutex;
    std::condition_variable stopped;
    std::thread blocking([&] {
      sigset_t all;
      sigfillset(&all);
      pthread_sigmask(SIG_BLOCK, &all, nullptr);
      attachFenceThread();
      ++ready;
      std::unique_lock<std::mutex> guard(mutex);
      stopped.wait(guard, [&] { return stop.load(); });
    });
    std::thread waiting([&] {
      sigset_t realTime;
      sigemptyset(&realTime);
      for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(&realTime, signal);
      pthread_sigmask(SIG_BLOCK, &realTime, nullptr);
      attachFenceThread();
      ++ready;
      const timespec shortly{0, 1000000};
      while (!stop.load()) {
        if (sigtimedwait(&realTime, nullptr, &shortly) >= 0) ++taken;
      }
    });
    std::thread sleeping([&] {
      attachFenceThread();
      ++ready;
      const timespec shortly{0, 100000};
      while (!stop.load()) {
        if (poll(nullptr, 0, 1) < 0 && errno == EINTR) ++interrupted;
        if (nanosleep(&shortly, nullptr) != 0 && errno == EINTR) ++interrupted;
      }
    });
    while (ready.load() < 3) std::this_thread::yield();
    failNextBarrierForTesting();
    for (std::size_t i = 0; i < kHeavyFences; ++i) static_cast<void>(heavyFence());
    {
      std::lock_guard<std::mutex> guard(mutex);
      stop = true;
    }
    stopped.notify_all();
    blocking.join();
    waiting.join();
    sleeping.join();
    const bool fine = barrierFailed() && fallbackFencesOnThisThreadForTesting() == kHeavyFences &&
                      taken.load() == 0 && interrupted.load() == 0;
    if (!fine) {
      std::fprintf(stderr, "fallback barriers %zu, signals taken %d, calls interrupted %d\n",
                   fallbackFencesOnThisThreadForTesting(), taken.load(), interrupted.load());
    }
    return fine ? 0 : 1;
  });
  EXPECT_EQ(code, 0);
}

CONCURRENCY_INSTANTIATE_BOTH_WAYS(AsymmetricFenceFallback);

// A barrier that fails once the light sides run plainly (a lock biased to
// one thread, a slot announced plainly) switches the process to the fenced
// forms for good, with one warning, and both keep working.
TEST(AsymmetricFence, FailedBarrierSwitchesToTheSymmetricModeForGood) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto warning =
      "Warning: the process-wide memory barrier failed \\(Cannot allocate memory\\); the process "
      "uses fenced paths from now on";
  EXPECT_EXIT(
      {
        setBiasThresholdForTesting(1);
        BiasedRecursiveLock lock;
        BiasedRecursiveLock later;  // still biased when the barrier fails
        for (int i = 0; i < 3; ++i) {
          for (BiasedRecursiveLock* each : {&lock, &later}) {
            each->lock();
            each->unlock();
          }
        }
        failNextBarrierForTesting();
        long count = 0;
        std::thread other([&] {
          lock.lock();  // revokes the bias: the barrier fails here
          ++count;
          lock.unlock();
        });
        lock.lock();
        ++count;
        lock.unlock();
        other.join();
        bool fine = count == 2 && barrierFailed() && !asymmetricFences() &&
                    !enableAsymmetricFences() && !setFenceModeForTesting(FenceMode::asymmetric) &&
                    !setFenceModeForTesting(FenceMode::buffered);
        later.lock();  // still biased: plain stores, which the fallback barrier covers
        ++count;
        std::thread revoker([&] {
          later.lock();  // the fallback barrier again, without a second warning
          ++count;
          later.unlock();
        });
        later.unlock();
        revoker.join();
        fine = fine && count == 4;
        ProtectedPointer pointer;
        auto object = std::make_shared<int>(7);
        {
          HazardScope scope;
          fine = fine && scope.enter();
          pointer.exchange(reinterpret_cast<uintptr_t>(object.get()));
          fine = fine && pointer.protect(scope, pointer.peek()) ==
                             reinterpret_cast<uintptr_t>(object.get());
          retire(pointer.exchange(0), std::exchange(object, nullptr));
          fine = fine && pendingEntriesForTesting() == 1;
        }
        std::exit(fine && pendingEntriesForTesting() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0),
      ::testing::AllOf(::testing::ContainsRegex(warning),
                       ::testing::Not(::testing::ContainsRegex("failed(.|\n)*failed"))));
}

}  // namespace
}  // namespace concurrency
