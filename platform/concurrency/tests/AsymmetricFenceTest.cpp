#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "baseTest/Handoff.h"
#include "baseTest/Polling.h"
#include "concurrency/AsymmetricFence.h"
#include "concurrency/BiasedRecursiveLock.h"
#include "concurrency/HazardSlots.h"
#include "concurrency/TestSeams.h"
#include "concurrencyTest/FenceModes.h"
#include "concurrencyTest/InChild.h"
#include "concurrencyTest/Layout.h"
#include "concurrencyTest/Processors.h"
#include "concurrencyTest/Refuse.h"

namespace concurrency {
namespace {

using testing::BusyThread;
using testing::pinnedBesideAnother;
using testing::pinTo;
using testing::processors;

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

struct Rounds {
  // Rounds in which both sides missed the other's store.
  int bothMissed = 0;
  // Rounds run after the barrier failed whose heavy fence answered true.
  int orderedAfterFailure = 0;
};

// Dekker's pattern, started together each round: each side stores its flag
// and loads the other's; at least one of them must see the other's store.
// A round whose heavy fence does not answer for the light side (during the
// handover after a failed barrier, while the light thread may run unseen)
// promises nothing and is not counted. `beforeHeavy(round)` runs on the
// heavy side before its store; the light thread's count of heavy fences since
// the failure goes to `lightFences` when it ends.
template <class BeforeHeavy>
Rounds dekkerRounds(int rounds, BeforeHeavy beforeHeavy, std::size_t* lightFences = nullptr) {
  std::atomic<int> light{0};
  std::atomic<int> heavy{0};
  int lightSaw = 0;
  base::testing::Barrier sync(2);
  std::thread lightThread([&] {
    attachFenceThread();
    for (int round = 0; round < rounds; ++round) {
      sync.arriveAndWait();
      lightSaw = lightStoreThenLoad(light, heavy);
      sync.arriveAndWait();
    }
    if (lightFences != nullptr) *lightFences = fallbackFencesOnThisThreadForTesting();
  });
  Rounds result;
  for (int round = 0; round < rounds; ++round) {
    light.store(0);
    heavy.store(0);
    sync.arriveAndWait();
    beforeHeavy(round);
    heavy.exchange(1, std::memory_order_seq_cst);
    const bool ordered = heavyFence();
    const int heavySaw = light.load(std::memory_order_seq_cst);
    sync.arriveAndWait();
    if (ordered && lightSaw == 0 && heavySaw == 0) ++result.bothMissed;
    if (ordered && barrierFailed()) ++result.orderedAfterFailure;
  }
  lightThread.join();
  return result;
}

class AsymmetricFenceStress : public testing::BothWays {};

TEST_P(AsymmetricFenceStress, LightAndHeavySidesNeverBothMissTheOther) {
  EXPECT_EQ(dekkerRounds(4000, [](int) {}).bothMissed, 0);
}

// What the handover must do without.
enum class Without { nothing, descriptors, moves };

// Makes the kernel refuse the calling thread the process-wide barrier and
// the choice of its processors, as a filter installed late would.
bool refuseBarrierAndMoves() { return testing::refuseBarrier({.moves = true}); }

// Threads that wait, blocked, until released.
class Parking {
 public:
  void park() {
    std::unique_lock<std::mutex> guard(mutex_);
    ++parked_;
    wake_.notify_all();
    wake_.wait(guard, [&] { return released_; });
  }
  void waitForParked(int threads) {
    std::unique_lock<std::mutex> guard(mutex_);
    wake_.wait(guard, [&] { return parked_ == threads; });
  }
  void release() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      released_ = true;
    }
    wake_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  int parked_ = 0;
  bool released_ = false;
};

// Runs in a process of its own, since the failure is for good. The barrier
// fails halfway through Dekker rounds with a light thread, while another
// thread that holds the bias of a lock waits in the kernel, one that never
// ran a light side waits too, and one that ran one has ended. From the
// failure on, the light thread's steps are fenced, the heavy fences answer
// true again once the kernel shows the waiting threads off their processors,
// and every such round is kept, also with no descriptor left, or under a
// filter that refuses the barrier and every move across processors.
int failTheBarrierAmongThreads(Without without) {
  // A hang ends the child. Not sooner: on a loaded machine each fenced round
  // after the failure may wait out another process's time slice (some 5 ms).
  alarm(60);
  constexpr int kRounds = 2000;
  BiasedRecursiveLock lock;
  Parking parking;
  std::thread([] { const HazardScope attaches; }).join();
  std::thread biased([&] {
    for (int i = 0; i < 3; ++i) {
      lock.lock();
      lock.unlock();
    }
    parking.park();
    lock.lock();
    lock.unlock();
  });
  std::thread idle([&] { parking.park(); });
  parking.waitForParked(2);
  std::size_t lightFences = 0;
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  const Rounds rounds = dekkerRounds(
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
  parking.release();
  biased.join();
  idle.join();
  const std::size_t heavyFencesSince = kRounds - kRounds / 2;
  const bool fine = rounds.bothMissed == 0 && rounds.orderedAfterFailure > 0 && barrierFailed() &&
                    !asymmetricFences() && lightFences == 0 &&
                    fallbackFencesOnThisThreadForTesting() == heavyFencesSince;
  if (!fine) {
    std::fprintf(stderr,
                 "both missed %d, ordered after the failure %d; heavy fences since the failure: "
                 "light %zu, heavy %zu\n",
                 rounds.bothMissed, rounds.orderedAfterFailure, lightFences,
                 fallbackFencesOnThisThreadForTesting());
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

class AsymmetricFenceFallback : public testing::BothWays {};

// Once the barrier has failed, heavy fences leave the program's attached
// threads alone however they wait: one that blocks every signal, one that
// takes real-time signals with sigtimedwait, and one in poll and nanosleep,
// which no signal may cut short.
TEST_P(AsymmetricFenceFallback, HeavyFencesLeaveTheOtherThreadsAlone) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  ASSERT_TRUE(setFenceModeForTesting(GetParam()));
  const int code = base::testing::inChild([] {
    constexpr std::size_t kHeavyFences = 50;
    std::atomic<bool> stop{false};
    std::latch ready(3);
    std::atomic<int> taken{0};
    std::atomic<int> interrupted{0};
    std::mutex mutex;
    std::condition_variable stopped;
    std::thread blocking([&] {
      sigset_t all;
      sigfillset(&all);
      pthread_sigmask(SIG_BLOCK, &all, nullptr);
      attachFenceThread();
      ready.count_down();
      std::unique_lock<std::mutex> guard(mutex);
      stopped.wait(guard, [&] { return stop.load(); });
    });
    std::thread waiting([&] {
      sigset_t realTime;
      sigemptyset(&realTime);
      for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(&realTime, signal);
      pthread_sigmask(SIG_BLOCK, &realTime, nullptr);
      attachFenceThread();
      ready.count_down();
      const timespec shortly{0, 1000000};
      while (!stop.load()) {
        if (sigtimedwait(&realTime, nullptr, &shortly) >= 0) ++taken;
      }
    });
    std::thread sleeping([&] {
      attachFenceThread();
      ready.count_down();
      const timespec shortly{0, 100000};
      while (!stop.load()) {
        if (poll(nullptr, 0, 1) < 0 && errno == EINTR) ++interrupted;
        if (nanosleep(&shortly, nullptr) != 0 && errno == EINTR) ++interrupted;
      }
    });
    ready.wait();
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
      std::fprintf(stderr, "heavy fences %zu, signals taken %d, calls interrupted %d\n",
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
        alarm(10);  // a hang ends the child
        setBiasThresholdForTesting(1);
        BiasedRecursiveLock lock;
        BiasedRecursiveLock later;  // still biased when the barrier fails
        for (int i = 0; i < 3; ++i) {
          for (BiasedRecursiveLock* each : {&lock, &later}) {
            each->lock();
            each->unlock();
          }
        }
        const uintptr_t plainKey = fenceThreadKey();
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
        later.lock();  // still biased, and plain until this thread has been seen
        ++count;
        std::thread revoker([&] {
          later.lock();  // another revocation, without a second warning
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
          fine = fine && scope.entered();
          pointer.exchange(reinterpret_cast<uintptr_t>(object.get()));
          fine = fine && pointer.protect(scope, pointer.peek()) ==
                             reinterpret_cast<uintptr_t>(object.get());
          retire(pointer.exchange(0), std::exchange(object, nullptr));
          fine = fine && pendingEntriesForTesting() == 1;
        }
        // Seen by its fenced steps, this thread takes the locks biased to its
        // former key with fenced steps: its key changed.
        const uintptr_t key = fenceThreadKey();
        fine = fine && key != plainKey && plainFenceThreadKey(key) == plainKey;
        std::exit(fine && pendingEntriesForTesting() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0),
      ::testing::AllOf(::testing::ContainsRegex(warning),
                       ::testing::Not(::testing::ContainsRegex("failed(.|\n)*failed"))));
}

// --- the handover after a failed barrier ---

// A busy thread that reads `pointer` first.
auto reading(const ProtectedPointer& pointer) {
  return [&pointer] {
    HazardScope scope;
    if (scope.entered()) static_cast<void>(pointer.protect(scope, pointer.peek()));
  };
}

// Once the barrier has failed, heavy fences leave every thread where the
// program put it: the caller stays on the one processor it was pinned to
// while another attached thread runs on a second one, and the set of
// processors the program gives the caller meanwhile is kept.
TEST(AsymmetricFenceHandover, HeavyFencesLeaveEveryThreadWhereTheProgramPutIt) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  CONCURRENCY_EXPECT_IN_CHILD([] {
    int first = 0;
    int second = 0;
    if (!pinnedBesideAnother(first, second)) return testing::kSkippedInChild;
    ProtectedPointer pointer;
    BusyThread busy(second, {}, reading(pointer));
    if (!busy.run()) return 1;
    const auto caller = static_cast<pid_t>(syscall(SYS_gettid));
    const cpu_set_t pinned = processors({first});
    const cpu_set_t widened = processors({first, second});
    std::atomic<bool> done{false};
    int changed = 0;
    std::thread program([&] {
      auto expect = [&](const cpu_set_t& set) {
        for (int i = 0; i < 2000; ++i) {
          cpu_set_t now;
          if (sched_getaffinity(caller, sizeof now, &now) != 0 || !CPU_EQUAL(&now, &set)) ++changed;
        }
      };
      expect(pinned);
      sched_setaffinity(caller, sizeof widened, &widened);
      expect(widened);
      done = true;
    });
    failNextBarrierForTesting();
    while (!done) static_cast<void>(heavyFence());
    program.join();
    cpu_set_t now;
    sched_getaffinity(0, sizeof now, &now);
    if (changed != 0 || !CPU_EQUAL(&now, &widened)) {
      std::fprintf(stderr, "the caller's processors changed under the program %d times\n", changed);
      return 1;
    }
    return 0;
  });
}

// Once the barrier has failed, a heavy side never waits for another thread:
// not for an attached one that runs alone on a processor without a pause,
// with an ordinary or a real-time policy, though a filter refuses the caller
// the barrier and every move to another processor.
TEST(AsymmetricFenceHandover, HeavySidesNeverWaitForABusyThread) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  CONCURRENCY_EXPECT_IN_CHILD([] {
    int first = 0;
    int second = 0;
    if (!pinnedBesideAnother(first, second)) return testing::kSkippedInChild;
    ProtectedPointer pointer;
    auto object = std::make_shared<int>(1);
    static_cast<void>(pointer.exchange(reinterpret_cast<uintptr_t>(object.get())));
    BusyThread ordinary(second, {}, reading(pointer));
    BusyThread realTime(second, {.realTime = true}, reading(pointer));
    if (!refuseBarrierAndMoves()) {
      std::perror("installing the filter");
      return 2;
    }
    for (BusyThread* busy : {&ordinary, &realTime}) {
      if (busy == &realTime && !realTime.realTime()) {
        std::fputs("no real-time policy here: only the ordinary thread is checked\n", stderr);
        continue;
      }
      if (!busy->run()) return 1;
      for (int i = 0; i < 20; ++i) {
        static_cast<void>(heavyFence());
        auto next = std::make_shared<int>(i);
        retire(pointer.exchange(reinterpret_cast<uintptr_t>(next.get())),
               std::exchange(object, std::move(next)));
      }
    }
    // One that waited for a busy thread would look at it again and again;
    // one that never waits looks at each of the two at most once.
    const std::size_t looks = mostLooksOfAHeavySideOnThisThreadForTesting();
    if (!barrierFailed() || looks == 0 || looks > 2) {
      std::fprintf(stderr, "a heavy side looked at other threads %zu times\n", looks);
      return 1;
    }
    return 0;
  });
}

// A clock that steps once a tick (4 ms), as a scheduler clock without a
// finer source would: a running thread reads the same twice within a tick.
uint64_t clockOfTicks(int, uint64_t nanoseconds) { return nanoseconds - nanoseconds % 4000000; }

// How often a test's clock was read for a thread other than the caller.
std::atomic<int> gOtherThreadsClockReads{0};

uint64_t countingClockOfTicks(int tid, uint64_t nanoseconds) {
  if (tid != static_cast<int>(syscall(SYS_gettid))) ++gOtherThreadsClockReads;
  return clockOfTicks(tid, nanoseconds);
}

// The kernel proves a blocked thread off its processor, and not a thread that
// runs on a processor of its own; with a clock that steps once a tick the
// proof reads /proc instead and never looks at the clocks, which would show
// the busy thread the same twice.
TEST(AsymmetricFenceHandover, KernelProvesABlockedThreadStoppedButNotABusyOne) {
  for (const bool ticks : {false, true}) {
    SCOPED_TRACE(ticks ? "a clock that steps once a tick" : "the kernel's clock");
    CONCURRENCY_EXPECT_IN_CHILD([ticks] {
      int first = 0;
      int second = 0;
      if (!pinnedBesideAnother(first, second)) return testing::kSkippedInChild;
      if (ticks) setThreadClockForTesting(countingClockOfTicks);
      std::atomic<uintptr_t> blockedKey{0};
      std::latch release(1);
      std::thread blocked([&] {
        base::testing::announce(blockedKey, attachFenceThread());
        release.wait();
      });
      ProtectedPointer pointer;
      BusyThread busy(second, {}, reading(pointer));
      if (!busy.run()) return 1;
      // Preempted, or held up by a sanitizer's runtime, the busy thread is
      // stopped at times: what it must get is "running" whenever it runs.
      int running = 0;
      FenceThreadWait wait;
      const bool busyRuns = base::testing::within([&] {
        running += fenceThreadStopped(busy.key(), wait) ? 0 : 1;
        return running >= 20;
      });
      base::testing::awaitChange(blockedKey, 0);
      wait = {};
      const bool blockedStopped =
          base::testing::within([&] { return fenceThreadStopped(blockedKey, wait); });
      release.count_down();
      blocked.join();
      if (!busyRuns || !blockedStopped || gOtherThreadsClockReads.load() != 0) {
        std::fprintf(stderr,
                     "busy thread seen running %d times; blocked thread stopped %d; clocks of "
                     "other threads read %d times\n",
                     running, blockedStopped, gOtherThreadsClockReads.load());
        return 1;
      }
      return 0;
    });
  }
}

// A clock that shows every other thread the same time, as two threads might
// be shown on their first ticks.
uint64_t sameClockForOthers(int tid, uint64_t nanoseconds) {
  return tid == static_cast<int>(syscall(SYS_gettid)) ? nanoseconds : 42;
}

// A proof begun on one thread does not carry over to the thread that attaches
// under its key once it has ended, though both read the same time.
TEST(AsymmetricFenceHandover, StoppedProofDoesNotCarryOverToTheNextThreadUnderTheKey) {
  CONCURRENCY_EXPECT_IN_CHILD([] {
    attachFenceThread();  // the caller's own entry stays out of the way
    setThreadClockForTesting(sameClockForOthers);
    // Each thread attaches and waits until released.
    auto attachedThread = [](std::atomic<uintptr_t>& key, std::latch& release) {
      return std::thread([&key, &release] {
        base::testing::announce(key, attachFenceThread());
        release.wait();
      });
    };
    FenceThreadWait wait;
    std::atomic<uintptr_t> ended{0};
    std::latch endIt(1);
    std::thread first = attachedThread(ended, endIt);
    base::testing::awaitChange(ended, 0);
    static_cast<void>(fenceThreadStopped(ended, wait));
    endIt.count_down();
    first.join();
    std::atomic<uintptr_t> next{0};
    std::latch release(1);
    std::thread second = attachedThread(next, release);
    base::testing::awaitChange(next, 0);
    const bool proven = next == ended && fenceThreadStopped(next, wait);
    release.count_down();
    second.join();
    if (next != ended) {
      std::fputs("the next thread got another entry\n", stderr);
      return testing::kSkippedInChild;
    }
    return proven ? 1 : 0;
  });
}

// The handover's work where a sandbox puts a process: a lock biased to a
// blocked thread is taken by another, a pointer a blocked thread read alone
// is replaced, heavy fences run, while a filter refuses the barrier and
// every move across processors. 0 when all of it went through.
int handOverUnderFilter() {
  setBiasThresholdForTesting(1);
  BiasedRecursiveLock lock;
  ProtectedPointer pointer;
  auto object = std::make_shared<int>(1);
  static_cast<void>(pointer.exchange(reinterpret_cast<uintptr_t>(object.get())));
  Parking parking;
  std::thread owner([&] {
    for (int i = 0; i < 3; ++i) {
      lock.lock();
      lock.unlock();
    }
    parking.park();
  });
  std::thread reader([&] {
    {
      HazardScope scope;
      if (scope.entered()) static_cast<void>(pointer.protect(scope, pointer.peek()));
    }
    parking.park();
  });
  parking.waitForParked(2);
  if (!refuseBarrierAndMoves()) {
    std::perror("installing the filter");
    return 2;
  }
  lock.lock();  // revokes the bias: the barrier fails here
  lock.unlock();
  retire(pointer.exchange(0), std::move(object));
  for (int i = 0; i < 10; ++i) static_cast<void>(heavyFence());
  parking.release();
  owner.join();
  reader.join();
  return barrierFailed() ? 0 : 1;
}

// Without /proc, and in a new pid namespace whose /proc was not mounted
// again (thread ids there are not the ones /proc shows), the handover goes
// through as anywhere else.
TEST(AsymmetricFenceHandover, NeedsNeitherProcNorTheProcessesPidNamespace) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  for (const bool newPidNamespace : {false, true}) {
    SCOPED_TRACE(newPidNamespace ? "in a new pid namespace" : "without /proc");
    CONCURRENCY_EXPECT_IN_CHILD([newPidNamespace] {
      if (!base::testing::unshareNamespaces(CLONE_NEWNS | (newPidNamespace ? CLONE_NEWPID : 0))) {
        std::fprintf(stderr, "no new namespaces here: %s\n", std::strerror(errno));
        return testing::kSkippedInChild;
      }
      if (newPidNamespace) return base::testing::inChild(handOverUnderFilter);
      // An empty file system over /proc hides it.
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount("none", "/proc", "tmpfs", 0, nullptr) != 0) {
        std::fprintf(stderr, "cannot hide /proc here: %s\n", std::strerror(errno));
        return testing::kSkippedInChild;
      }
      return handOverUnderFilter();
    });
  }
}

// Threads that attached and ended leave nothing for a heavy side to look
// at, whether they ended before the barrier failed or after; once every
// thread attached before has ended, heavy sides are ordered again.
TEST(AsymmetricFenceHandover, EndedThreadsLeaveNothingBehind) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  CONCURRENCY_EXPECT_IN_CHILD([] {
    // Blocked threads would order the heavy fences: only the ended ones may.
    allowStoppedThreadsForTesting(false);
    const std::size_t before = attachedThreadsForTesting();
    // 2,000 threads, 50 at a time, attached by a read; the barrier fails
    // while the 21st batch runs.
    for (int batch = 0; batch < 40; ++batch) {
      Parking parking;
      std::vector<std::thread> threads;
      for (int i = 0; i < 50; ++i) {
        threads.emplace_back([&] {
          { const HazardScope attaches; }
          parking.park();
        });
      }
      parking.waitForParked(50);
      if (batch == 20) {
        failNextBarrierForTesting();
        if (heavyFence()) return 1;  // 50 threads to hand over
      }
      parking.release();
      for (std::thread& thread : threads) thread.join();
    }
    const std::size_t after = attachedThreadsForTesting();
    if (after != before || !heavyFence()) {
      std::fprintf(stderr, "attached threads: %zu before, %zu after\n", before, after);
      return 1;
    }
    return 0;
  });
}

// What the library and the tests see of the public types is what a program
// built without the test seams sees.
TEST(ConcurrencyHeaders, LayoutIsTheSameWithoutTheTestSeams) {
  EXPECT_EQ(testing::layoutHere(), testing::layoutWithoutTestSeams());
}

}  // namespace
}  // namespace concurrency
