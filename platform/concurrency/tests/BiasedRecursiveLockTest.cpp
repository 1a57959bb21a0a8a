#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <latch>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "base/BuildFacts.h"
#include "baseTest/Polling.h"
#include "baseTest/SystemCallFilter.h"
#include "concurrency/BiasedRecursiveLock.h"
#include "concurrency/TestSeams.h"
#include "concurrencyTest/FenceModes.h"
#include "concurrencyTest/InChild.h"
#include "concurrencyTest/Processors.h"
#include "concurrencyTest/Refuse.h"

namespace concurrency {
namespace {

class BiasedRecursiveLockStress : public testing::BothWays {};

// A thread that keeps taking a lock gets it biased to it (nested holds too),
// sometimes while a second thread already waits for it; the second thread
// revokes the bias: the two never hold it at once and no update is lost,
// before, during and after the revocation.
TEST_P(BiasedRecursiveLockStress, BiasOwnerAndRevokingThreadExcludeEachOther) {
  for (int round = 0; round < 200; ++round) {
    BiasedRecursiveLock lock;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    long count = 0;
    auto work = [&](int times) {
      for (int i = 0; i < times; ++i) {
        std::lock_guard<BiasedRecursiveLock> outer(lock);
        std::lock_guard<BiasedRecursiveLock> nested(lock);
        if (inside.fetch_add(1) != 0) overlapped = true;
        ++count;
        inside.fetch_sub(1);
      }
    };
    work(round % 4);
    std::barrier start(2);
    std::thread other([&] {
      start.arrive_and_wait();
      work(1 + round % 50);
    });
    start.arrive_and_wait();
    work(200);
    other.join();
    work(1);
    EXPECT_FALSE(overlapped.load()) << "round " << round;
    EXPECT_EQ(count, round % 4 + 202 + round % 50) << "round " << round;
  }
}

CONCURRENCY_INSTANTIATE_BOTH_WAYS(BiasedRecursiveLockStress);

// --- revocations during the handover after a failed barrier ---

// The signal the library orders a running thread with.
int orderSignal() { return SIGRTMAX - 4; }

// Takes `lock` on the calling thread. Should that take as long as only a hang
// would, a watchdog calls `letGo` (which must end the wait); whether it had
// to.
bool takeOrLetGo(BiasedRecursiveLock& lock, const std::function<void()>& letGo) {
  std::atomic<bool> taken{false};
  bool hadTo = false;
  std::thread watchdog([&] {
    if (!base::testing::within([&] { return taken.load(); })) {
      hadTo = true;
      letGo();
    }
  });
  lock.lock();
  taken = true;
  lock.unlock();
  watchdog.join();
  return hadTo;
}

// What changed in the fence's counts from `before` to now.
FenceOrderingForTesting orderingSince(const FenceOrderingForTesting& before) {
  FenceOrderingForTesting now = fenceOrderingForTesting();
  now.seen -= before.seen;
  now.stopped -= before.stopped;
  now.answered -= before.answered;
  now.signalsSent -= before.signalsSent;
  now.handlerRuns -= before.handlerRuns;
  return now;
}

// Takes the bias of `locks` on the calling thread.
auto biasing(std::initializer_list<BiasedRecursiveLock*> locks) {
  return [locks = std::vector<BiasedRecursiveLock*>(locks)] {
    for (BiasedRecursiveLock* lock : locks) {
      for (int i = 0; i < 3; ++i) {
        lock->lock();
        lock->unlock();
      }
    }
  };
}

// How the owner of a lock's bias goes on after its last hold, while the
// barrier fails as another thread takes the lock.
enum class Owner { runs, runsRealTime, yields, sharesItsProcessor, blocks, ends };

struct Revocation {
  Owner owner;
  // The kernel refuses its answers about other threads' scheduling (the
  // owner is then shown blocked through /proc).
  bool refused = false;
  // The taker's program has a thread that sleeps 5 ms at a time on the
  // taker's processor.
  bool sleeperBeside = false;
};

// In a child process: the revoking thread takes the lock of an owner that
// holds nothing, as it would an ordinary lock, whatever the owner does, and
// the wait for the owner ends the way it must: an owner alone on a processor
// of its own, whatever its policy, answers the signal (the kernel's proof
// is switched off for it, so that nothing else can end the wait); one that
// shares its processor is proven off it or answers; a blocked one is proven
// off its processor, its poll() undisturbed; an ended one is seen.
int revokeDuringTheHandover(Revocation row) {
  // Attached first, so that it does not take over the entry (and the bias)
  // of an owner that has ended.
  attachFenceThread();
  setBiasThresholdForTesting(1);
  int first = 0;
  int second = 0;
  if (!testing::pinnedBesideAnother(first, second)) return testing::kSkippedInChild;
  const bool alone =
      row.owner == Owner::runs || row.owner == Owner::runsRealTime || row.owner == Owner::yields;
  BiasedRecursiveLock lock;
  std::optional<testing::BusyThread> busy;
  std::optional<testing::BusyThread> beside;
  std::thread owner;
  uintptr_t ownerKey = 0;
  std::atomic<bool> interrupted{false};
  int wake[2];
  if (pipe(wake) != 0) return 2;
  std::function<void()> letGo;
  if (alone || row.owner == Owner::sharesItsProcessor) {
    busy.emplace(second,
                 testing::Busy{.realTime = row.owner == Owner::runsRealTime,
                               .yields = row.owner == Owner::yields},
                 biasing({&lock}));
    if (row.owner == Owner::sharesItsProcessor) beside.emplace(second, testing::Busy{}, [] {});
    if (!busy->run() || (beside && !beside->run())) return 1;
    if (row.owner == Owner::runsRealTime && !busy->realTime()) {
      std::fputs("no real-time policy here: the owner runs with the ordinary one\n", stderr);
    }
    ownerKey = busy->key();
    letGo = [&] { busy->letGo(); };
  } else {
    std::atomic<uintptr_t> key{0};
    owner = std::thread([&] {
      biasing({&lock})();
      key = fenceThreadKey();
      if (row.owner == Owner::blocks) {
        pollfd readable{wake[0], POLLIN, 0};
        if (poll(&readable, 1, -1) < 0) interrupted = true;
      }
    });
    while (key.load() == 0) std::this_thread::yield();
    if (row.owner == Owner::ends) owner.join();
    ownerKey = key;
    letGo = [&] { static_cast<void>(write(wake[1], "x", 1)); };
  }
  std::atomic<bool> stop{false};
  std::thread sleeper;
  if (row.sleeperBeside) {
    sleeper = std::thread([&] {
      const timespec shortly{0, 5000000};
      while (!stop.load()) nanosleep(&shortly, nullptr);
    });
  }
  if (!testing::refuseBarrier({.schedulerAnswers = row.refused})) {
    std::perror("installing the filter");
    return 2;
  }
  allowStoppedThreadsForTesting(!alone);
  const FenceOrderingForTesting before = fenceOrderingForTesting();
  const bool hadToLetGo = takeOrLetGo(lock, letGo);  // revokes the bias: the barrier fails here
  const FenceOrderingForTesting ended = orderingSince(before);
  const bool seen = fenceThreadSeen(ownerKey);
  stop = true;
  if (sleeper.joinable()) sleeper.join();
  if (write(wake[1], "x", 1) != 1) return 2;
  if (owner.joinable()) owner.join();
  // A blocked or ended owner may already be ordered by the revocation's
  // heavy fence, with no wait for it alone.
  bool endedAsIt = false;
  switch (row.owner) {
    case Owner::runs:
    case Owner::runsRealTime:
    case Owner::yields:
      endedAsIt = ended.answered == 1 && ended.handlerRuns >= 1 && !seen;
      break;
    case Owner::sharesItsProcessor:
      endedAsIt = !seen;
      break;
    case Owner::blocks:
      endedAsIt = ended.seen + ended.answered == 0 && ended.signalsSent == 0 && !interrupted;
      break;
    case Owner::ends:
      endedAsIt = ended.stopped + ended.answered == 0 && ended.signalsSent == 0 && seen;
      break;
  }
  if (!barrierFailed() || hadToLetGo || !endedAsIt) {
    std::fprintf(stderr,
                 "owner %d: let go %d; the wait ended seen %zu, stopped %zu, answered %zu; "
                 "signals sent %zu, handled %zu; owner seen %d, its poll interrupted %d\n",
                 static_cast<int>(row.owner), hadToLetGo, ended.seen, ended.stopped, ended.answered,
                 ended.signalsSent, ended.handlerRuns, seen, interrupted.load());
    return 1;
  }
  return 0;
}

TEST(BiasedRecursiveLockHandover, RevocationTakesTheLockWhateverTheOwnerDoes) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  for (const Revocation row : {
           Revocation{Owner::runs},
           Revocation{Owner::runsRealTime},
           Revocation{Owner::yields},
           Revocation{Owner::runs, false, true},
           Revocation{Owner::sharesItsProcessor},
           Revocation{Owner::blocks},
           Revocation{Owner::ends},
           Revocation{Owner::runs, true},
           Revocation{Owner::blocks, true},
       }) {
#if KX_TSAN
    // ThreadSanitizer runs a signal's handler only when the thread reaches
    // one of its interceptors, which an owner that only spins never does.
    if (row.owner == Owner::runs || row.owner == Owner::runsRealTime ||
        row.owner == Owner::yields) {
      continue;
    }
#endif
    SCOPED_TRACE(::testing::Message() << "owner " << static_cast<int>(row.owner)
                                      << (row.refused ? ", answers about threads refused" : "")
                                      << (row.sleeperBeside ? ", a sleeper beside the taker" : ""));
    CONCURRENCY_EXPECT_IN_CHILD([row] { return revokeDuringTheHandover(row); });
  }
}

// A busy owner of the bias of `locks` alone on `processor`, that blocks
// `blocked` first, and takes the library's signal, should one be pending
// for it, once it is let go.
class OwnerAlone {
 public:
  OwnerAlone(int processor, std::initializer_list<BiasedRecursiveLock*> locks,
             const sigset_t& blocked, testing::Busy how = {})
      : busy_(processor, std::move(how), [bias = biasing(locks), blocked] {
          pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
          bias();
        }) {
    busy_.atEnd([this] {
      sigset_t own;
      sigemptyset(&own);
      sigaddset(&own, orderSignal());
      const timespec now{0, 0};
      tookOurs_ = sigtimedwait(&own, nullptr, &now) == orderSignal() ? 1 : 0;
    });
  }
  bool run() { return busy_.run(); }
  void letGo() { busy_.letGo(); }
  // After it was let go: whether it found the library's signal pending.
  bool tookOurs() {
    base::testing::within([this] { return tookOurs_.load() >= 0; });
    return tookOurs_.load() != 0;
  }

 private:
  std::atomic<int> tookOurs_{-1};
  testing::BusyThread busy_;
};

sigset_t none() {
  sigset_t set;
  sigemptyset(&set);
  return set;
}

// Takes `lock` on a thread of its own; `taken` says when it has.
std::thread takingOn(BiasedRecursiveLock& lock, std::atomic<bool>& taken) {
  return std::thread([&lock, &taken] {
    lock.lock();
    taken = true;
    lock.unlock();
  });
}

// Whether the revocation on another thread stays unanswered while the test
// looks: as long as a signal would have taken, several times over.
bool revocationWaits(const std::atomic<bool>& taken) {
  base::testing::within([] { return revocationsWaitingForOwnersForTesting() == 1; });
  return !base::testing::within([&] { return taken.load(); }, std::chrono::milliseconds(100)) &&
         revocationsWaitingForOwnersForTesting() == 1;
}

// In a child: locks biased after one hold, the caller pinned to one
// processor, and `body` given another, for an owner alone there.
template <class Body>
int besideAnOwner(Body body) {
  setBiasThresholdForTesting(1);
  int first = 0;
  int second = 0;
  if (!testing::pinnedBesideAnother(first, second)) return testing::kSkippedInChild;
  return body(second);
}

// Revokes each lock on a thread of its own once the library has stopped
// using the signal: whether each revocation waited (nothing orders its owner)
// until its owner was let go.
bool eachWaitsUntilLetGo(
    std::initializer_list<std::pair<BiasedRecursiveLock*, OwnerAlone*>> locks) {
  bool waited = true;
  for (auto [lock, owner] : locks) {
    std::atomic<bool> taken{false};
    std::thread taker = takingOn(*lock, taken);
    base::testing::within([] { return fenceOrderingForTesting().signalGivenUp; });
    waited = revocationWaits(taken) && waited;
    owner->letGo();
    taker.join();
  }
  return waited;
}

// An owner that blocks every signal, or just the library's, and keeps a
// processor of its own: nothing can order it, and the library never sends it
// the signal (it finds none pending once it looks). The revocation waits as
// long as the owner keeps running, and takes the lock once it is seen.
TEST(BiasedRecursiveLockHandover, OwnerThatBlocksTheSignalIsNeverSentIt) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  for (const bool every : {true, false}) {
    SCOPED_TRACE(every ? "every signal blocked" : "the library's signal blocked");
    CONCURRENCY_EXPECT_IN_CHILD([every] {
      return besideAnOwner([every](int second) {
        sigset_t blocked;
        sigemptyset(&blocked);
        if (every) sigfillset(&blocked);
        sigaddset(&blocked, orderSignal());
        BiasedRecursiveLock lock;
        OwnerAlone owner(second, {&lock}, blocked);
        if (!owner.run() || !testing::refuseBarrier()) return 2;
        allowStoppedThreadsForTesting(false);
        const FenceOrderingForTesting before = fenceOrderingForTesting();
        std::atomic<bool> taken{false};
        std::thread taker = takingOn(lock, taken);
        const bool waited = revocationWaits(taken);
        owner.letGo();
        taker.join();
        const bool tookOurs = owner.tookOurs();
        const FenceOrderingForTesting ended = orderingSince(before);
        if (!waited || tookOurs || ended.signalsSent != 0 || ended.seen != 1) {
          std::fprintf(stderr, "waited %d, the owner took our signal %d, signals sent %zu\n",
                       waited, tookOurs, ended.signalsSent);
          return 1;
        }
        return 0;
      });
    });
  }
}

// How the program takes the library's signal once the library has used it.
enum class Takes { resetsIt, handlesIt, ignoresIt, sendsIt };

std::atomic<int> gProgramsSignals{0};

void programsHandler(int) { ++gProgramsSignals; }

// After a first revocation ordered the owner by the signal, the program takes
// the signal: the library stops using it for good, and the program never
// gets one from it (reset to its default, it would end the process); the
// next revocation waits until the owner is seen.
TEST(BiasedRecursiveLockHandover, ProgramThatTakesTheSignalNeverGetsOneOfOurs) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
#if KX_TSAN
  GTEST_SKIP() << "ThreadSanitizer runs a handler only at its interceptors";
#endif
  for (const Takes how : {Takes::resetsIt, Takes::handlesIt, Takes::ignoresIt, Takes::sendsIt}) {
    SCOPED_TRACE(::testing::Message() << "the program takes it: " << static_cast<int>(how));
    CONCURRENCY_EXPECT_IN_CHILD([how] {
      return besideAnOwner([how](int second) {
        BiasedRecursiveLock used;
        BiasedRecursiveLock next;
        OwnerAlone owner(second, {&used, &next}, none());
        if (!owner.run() || !testing::refuseBarrier()) return 2;
        allowStoppedThreadsForTesting(false);
        const bool hadToLetGo = takeOrLetGo(used, [&] { owner.letGo(); });
        const bool handled = fenceOrderingForTesting().handlerRuns == 1;
        switch (how) {
          case Takes::resetsIt:
            signal(orderSignal(), SIG_DFL);
            break;
          case Takes::handlesIt:
            signal(orderSignal(), programsHandler);
            break;
          case Takes::ignoresIt:
            signal(orderSignal(), SIG_IGN);
            break;
          case Takes::sendsIt:
            raise(orderSignal());
            break;
        }
        std::atomic<bool> taken{false};
        std::thread taker = takingOn(next, taken);
        const bool gaveUp = base::testing::within(
            [] { return fenceOrderingForTesting().signalGivenUp || gProgramsSignals.load() != 0; });
        const bool waited = revocationWaits(taken);
        owner.letGo();
        taker.join();
        const bool tookOurs = owner.tookOurs();
        if (hadToLetGo || !handled || !gaveUp || !waited || gProgramsSignals.load() != 0 ||
            tookOurs) {
          std::fprintf(stderr,
                       "first revocation let go %d, answered by the handler %d; given up %d, then "
                       "waited %d; the program got %d signals, the owner took ours %d\n",
                       hadToLetGo, handled, fenceOrderingForTesting().signalGivenUp, waited,
                       gProgramsSignals.load(), tookOurs);
          return 1;
        }
        return 0;
      });
    });
  }
}

// Set by the library just before its send (setBeforeOrderSignalForTesting);
// the owner below then blocks the signal and says so.
std::atomic<bool> gBlockNow{false};
std::atomic<bool> gBlocked{false};

void blockBeforeTheSend() {
  gBlockNow = true;
  base::testing::within([] { return gBlocked.load(); });
}

// The owner blocks the signal between the library's last look and its send,
// and then takes it with sigtimedwait, as a program that waits for that
// signal would (the one race no look can close): the library finds its
// signal neither pending nor answered while the owner runs on, and stops
// using it, so that no other thread is sent one.
TEST(BiasedRecursiveLockHandover, SignalTheProgramTookIsTheLastSent) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
#if KX_TSAN
  GTEST_SKIP() << "ThreadSanitizer runs a handler only at its interceptors";
#endif
  CONCURRENCY_EXPECT_IN_CHILD([] {
    return besideAnOwner([](int second) {
      std::atomic<int> taken{0};
      auto blockAndTake = [&taken] {
        sigset_t own;
        sigemptyset(&own);
        sigaddset(&own, orderSignal());
        if (gBlockNow.exchange(false)) {
          pthread_sigmask(SIG_BLOCK, &own, nullptr);
          gBlocked = true;
        }
        const timespec now{0, 0};
        if (gBlocked && sigtimedwait(&own, nullptr, &now) == orderSignal()) ++taken;
      };
      BiasedRecursiveLock firstLock;
      BiasedRecursiveLock secondLock;
      OwnerAlone one(second, {&firstLock}, none(), {.eachTurn = blockAndTake});
      OwnerAlone other(second, {&secondLock}, none());
      if (!one.run() || !other.run() || !testing::refuseBarrier()) return 2;
      allowStoppedThreadsForTesting(false);
      setBeforeOrderSignalForTesting(blockBeforeTheSend);
      const bool waited = eachWaitsUntilLetGo({{&firstLock, &one}, {&secondLock, &other}});
      setBeforeOrderSignalForTesting(nullptr);
      const FenceOrderingForTesting ordering = fenceOrderingForTesting();
      if (!waited || !ordering.signalGivenUp || ordering.signalsSent != 1 || taken != 1) {
        std::fprintf(stderr, "waited %d, given up %d; %zu signals sent, %d taken by the owner\n",
                     waited, ordering.signalGivenUp, ordering.signalsSent, taken.load());
        return 1;
      }
      return 0;
    });
  });
}

// What a filter does to the library's sends: the first two fail as with a
// full queue and the third goes, or each is refused.
enum class Sends { queueFullTwice, refused };

std::atomic<int> gSendAttempts{0};
Sends gSends = Sends::refused;
// Set by the filter's third send when the queue was full twice: the owner
// then sends itself the signal, as the send would have.
std::atomic<bool> gSendNow{false};

// The filter traps each send of the library's signal here.
void trappedSend(int, siginfo_t*, void* context) {
  const int attempt = ++gSendAttempts;
  if (gSends == Sends::refused) {
    base::testing::setTrappedCallResult(context, -EPERM);
  } else if (attempt <= 2) {
    base::testing::setTrappedCallResult(context, -EAGAIN);
  } else {
    gSendNow = true;
    base::testing::setTrappedCallResult(context, 0);
  }
}

// A send that finds the queue full is tried again; one a filter refuses is
// the last the library tries, for any thread.
TEST(BiasedRecursiveLockHandover, FullSignalQueueIsTriedAgainAndARefusedSendIsTheLast) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
#if KX_TSAN
  GTEST_SKIP() << "ThreadSanitizer runs a handler only at its interceptors";
#endif
  for (const Sends sends : {Sends::queueFullTwice, Sends::refused}) {
    SCOPED_TRACE(sends == Sends::refused ? "refused" : "queue full twice");
    CONCURRENCY_EXPECT_IN_CHILD([sends] {
      return besideAnOwner([sends](int second) {
        BiasedRecursiveLock firstLock;
        BiasedRecursiveLock secondLock;
        OwnerAlone one(second, {&firstLock}, none(), {.eachTurn = [] {
                         if (gSendNow.exchange(false)) raise(orderSignal());
                       }});
        OwnerAlone other(second, {&secondLock}, none());
        gSends = sends;
        struct sigaction trap {};
        trap.sa_sigaction = trappedSend;
        trap.sa_flags = SA_SIGINFO;
        if (!one.run() || !other.run() || sigaction(SIGSYS, &trap, nullptr) != 0 ||
            !testing::refuseBarrier() ||
            !base::testing::filterCalls({{__NR_tgkill, base::testing::callTraps, 2, 0xFFFFFFFFu,
                                          static_cast<uint32_t>(orderSignal())}},
                                        false)) {
          return 2;
        }
        allowStoppedThreadsForTesting(false);
        if (sends == Sends::queueFullTwice) {
          const bool hadToLetGo = takeOrLetGo(firstLock, [&] { one.letGo(); });
          if (hadToLetGo || gSendAttempts != 3 || fenceOrderingForTesting().handlerRuns != 1) {
            std::fprintf(stderr, "let go %d after %d sends\n", hadToLetGo, gSendAttempts.load());
            return 1;
          }
          return 0;
        }
        const bool waited = eachWaitsUntilLetGo({{&firstLock, &one}, {&secondLock, &other}});
        if (!waited || gSendAttempts != 1 || !fenceOrderingForTesting().signalGivenUp) {
          std::fprintf(stderr, "waited %d; %d sends\n", waited, gSendAttempts.load());
          return 1;
        }
        return 0;
      });
    });
  }
}

// A thread attached before the barrier failed is seen by its first hold of
// a lock through the mutex: with no other thread left unseen, heavy fences
// order every light side again (without the kernel's proofs).
TEST(BiasedRecursiveLockHandover, HoldThroughTheMutexMarksTheThreadSeen) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  CONCURRENCY_EXPECT_IN_CHILD([] {
    allowStoppedThreadsForTesting(false);
    BiasedRecursiveLock lock;
    std::latch attached(1);
    std::latch failed(1);
    std::latch held(1);
    std::latch release(1);
    std::thread other([&] {
      attachFenceThread();
      attached.count_down();
      failed.wait();
      lock.lock();
      lock.unlock();
      held.count_down();
      release.wait();
    });
    attachFenceThread();
    attached.wait();
    failNextBarrierForTesting();
    const bool before = heavyFence();
    failed.count_down();
    held.wait();
    const bool after = heavyFence();
    release.count_down();
    other.join();
    return !before && after ? 0 : 1;
  });
}

// --- fork ---

// Whether thread `tid` of this process sleeps in a timed sleep now, as a
// revocation does once it has waited a while.
bool napping(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", static_cast<int>(tid));
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  long call = -1;
  const bool read = std::fscanf(file, "%ld", &call) == 1;
  std::fclose(file);
  return read && (call == SYS_nanosleep || call == SYS_clock_nanosleep);
}

// Takes and lets go of `lock`, in a child forked `how` that a hang ends
// (SIGALRM), after `first` ran there; on a new thread of the child when
// `onANewThread`.
int takenInAChild(BiasedRecursiveLock& lock, const std::function<void()>& first, bool onANewThread,
                  base::testing::ForkBy how) {
  return base::testing::inChild(
      [&] {
        alarm(10);
        first();
        auto take = [&] {
          lock.lock();
          lock.unlock();
        };
        if (onANewThread) {
          std::thread(take).join();
        } else {
          take();
        }
        return 0;
      },
      how);
}

// The ways a child is forked here: by the C library, and, where the
// sanitizer's own state survives it, by the raw system call (no fork handler
// runs).
std::vector<base::testing::ForkBy> forkWays() {
#if KX_TSAN
  return {base::testing::ForkBy::library};
#else
  return {base::testing::ForkBy::library, base::testing::ForkBy::systemCall};
#endif
}

// A fork while a revocation waits: the revocation is void in the child,
// where the thread that made it does not run, and the lock serves the
// child's threads. A third thread forks while the revocation waits for an
// owner that holds nothing but that nothing orders (the barrier failed, the
// owner runs on with every signal blocked); or the owner of the bias forks
// while the revocation waits for its hold to end, and lets go in the child.
// Either way by the C library's fork or by the raw system call.
TEST(BiasedRecursiveLockFork, RevocationUnderWayIsVoidInTheChild) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  for (const auto how : forkWays()) {
    SCOPED_TRACE(how == base::testing::ForkBy::library ? "by fork" : "by the system call");
    SCOPED_TRACE("a third thread forks");
    CONCURRENCY_EXPECT_IN_CHILD([how] {
      return besideAnOwner([how](int second) {
        sigset_t blocked;
        sigfillset(&blocked);
        BiasedRecursiveLock lock;
        OwnerAlone owner(second, {&lock}, blocked);
        if (!owner.run() || !testing::refuseBarrier()) return 2;
        allowStoppedThreadsForTesting(false);
        std::atomic<bool> taken{false};
        std::thread taker = takingOn(lock, taken);
        const bool waited = revocationWaits(taken);
        const int child = takenInAChild(
            lock, [] {}, false, how);
        owner.letGo();
        taker.join();
        return waited ? child : 2;
      });
    });
  }
#if KX_TSAN
  GTEST_SKIP() << "ThreadSanitizer starts no thread in the child of a process with threads";
#endif
  for (const auto how : forkWays()) {
    SCOPED_TRACE(how == base::testing::ForkBy::library ? "by fork" : "by the system call");
    SCOPED_TRACE("the owner forks");
    CONCURRENCY_EXPECT_IN_CHILD([how] {
      setBiasThresholdForTesting(1);
      BiasedRecursiveLock lock;
      biasing({&lock})();
      lock.lock();
      std::atomic<pid_t> taker{0};
      std::thread taking([&] {
        attachFenceThread();
        taker = static_cast<pid_t>(syscall(SYS_gettid));
        lock.lock();
        lock.unlock();
      });
      base::testing::within([&] { return taker.load() != 0 && napping(taker.load()); });
      // The child's copy of the hold is let go in the child, before it
      // takes the lock again; the parent keeps its own until below.
      const int child = takenInAChild(
          lock, [&]() KX_RELEASE(lock) { lock.unlock(); }, true, how);
      lock.unlock();
      taking.join();
      return child;
    });
  }
}

}  // namespace
}  // namespace concurrency
