#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <latch>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "base/BuildFacts.h"
#include "baseTest/Polling.h"
#include "concurrency/HazardSlots.h"
#include "concurrency/TestSeams.h"
#include "concurrencyTest/FenceModes.h"
#include "concurrencyTest/InChild.h"
#include "concurrencyTest/Processors.h"

namespace concurrency {
namespace {

// An object that counts the live ones and tells whether it is still alive.
struct Tracked {
  static constexpr uint64_t kAlive = 0x5AFE5AFE5AFE5AFEu;
  static inline std::atomic<int> live{0};
  std::atomic<uint64_t> state{kAlive};
  Tracked() { ++live; }
  ~Tracked() {
    state = 0;
    --live;
  }
};

uintptr_t keyOf(const Tracked* object) { return reinterpret_cast<uintptr_t>(object); }

// A pointer with its writers' lock and the object it publishes.
struct Published {
  ProtectedPointer pointer;
  std::mutex lock;
  std::shared_ptr<Tracked> current;

  // Publishes `next`, retiring what it replaces after the lock.
  void publish(std::shared_ptr<Tracked> next) {
    DeferredRetire retired;
    std::lock_guard<std::mutex> guard(lock);
    const ProtectedPointer::Replaced replaced = pointer.exchange(keyOf(next.get()));
    retired.add(replaced, std::exchange(current, std::move(next)));
  }

  // Reads the published object, if any, under this thread's next slot.
  template <class Use>
  void read(Use use) const {
    HazardScope scope;
    if (!scope.entered()) return;
    uintptr_t key = pointer.peek();
    if (key != 0) key = pointer.protect(scope, key);
    if (key != 0) use(*reinterpret_cast<const Tracked*>(key));
  }
};

TEST(HazardSlots, ReplacedObjectLivesExactlyAsLongAsAReadThatSawIt) {
  Published published;
  published.publish(std::make_shared<Tracked>());
  const int before = Tracked::live;
  // Nobody reads: released by the change itself.
  published.publish(std::make_shared<Tracked>());
  EXPECT_EQ(Tracked::live, before);
  // Replaced during a read on the same thread: alive until that read ends.
  published.read([&](const Tracked& seen) {
    published.publish(std::make_shared<Tracked>());
    EXPECT_EQ(seen.state, Tracked::kAlive);
    EXPECT_EQ(Tracked::live, before + 1);
  });
  EXPECT_EQ(Tracked::live, before);
  // Replaced during a read on another thread: released when that read ends,
  // with nothing else happening afterwards.
  std::latch reading(1);
  std::latch replaced(1);
  std::thread reader([&] {
    published.read([&](const Tracked& seen) {
      reading.count_down();
      replaced.wait();
      EXPECT_EQ(seen.state, Tracked::kAlive);
    });
  });
  reading.wait();
  published.publish(std::make_shared<Tracked>());
  EXPECT_EQ(Tracked::live, before + 1);
  replaced.count_down();
  reader.join();
  EXPECT_EQ(Tracked::live, before);
  EXPECT_EQ(pendingEntriesForTesting(), 0u);
  published.publish(nullptr);
}

// One read held up for long keeps its object waiting; other threads reading
// other pointers never look at what waits.
TEST(HazardSlots, WaitingObjectCostsNothingToOtherReads) {
  Published held;
  Published other;
  held.publish(std::make_shared<Tracked>());
  other.publish(std::make_shared<Tracked>());
  std::latch reading(1);
  std::latch done(1);
  std::thread reader([&] {
    held.read([&](const Tracked&) {
      reading.count_down();
      done.wait();
    });
  });
  reading.wait();
  held.publish(nullptr);
  ASSERT_EQ(pendingEntriesForTesting(), 1u);
  std::thread unrelated([&] {
    for (int i = 0; i < 1000; ++i) other.read([](const Tracked&) {});
    EXPECT_EQ(pendingVisitsOnThisThreadForTesting(), 0u);
  });
  unrelated.join();
  done.count_down();
  reader.join();
  EXPECT_EQ(pendingEntriesForTesting(), 0u);
  other.publish(nullptr);
}

// The retired object's key is announced again, through another pointer that
// publishes the same object, while the retired copy waits for the read that
// saw it: the copy is let go as soon as that read ends, whatever other reads
// of the same key still run.
TEST(HazardSlots, RetiredCopyIsReleasedWhenItsReadEndsThoughTheKeyIsAnnouncedAgain) {
  Published first;
  Published second;
  auto object = std::make_shared<Tracked>();
  first.publish(object);
  std::latch firstReading(1);
  std::latch firstDone(1);
  std::thread firstReader([&] {
    first.read([&](const Tracked&) {
      firstReading.count_down();
      firstDone.wait();
    });
  });
  firstReading.wait();
  first.publish(nullptr);  // the retired copy waits for firstReader
  ASSERT_EQ(pendingEntriesForTesting(), 1u);
  second.publish(object);
  std::latch secondReading(1);
  std::latch secondDone(1);
  std::thread secondReader([&] {
    second.read([&](const Tracked&) {
      secondReading.count_down();
      secondDone.wait();
    });
  });
  secondReading.wait();
  const long owners = object.use_count();  // this one, second's, the retired copy
  firstDone.count_down();
  firstReader.join();
  EXPECT_EQ(object.use_count(), owners - 1);
  EXPECT_EQ(pendingEntriesForTesting(), 0u);
  secondDone.count_down();
  secondReader.join();
  EXPECT_EQ(pendingEntriesForTesting(), 0u);
  second.publish(nullptr);
}

// The same object retired twice while one read of it runs (published,
// replaced, published again, replaced again): one entry waits, not two.
TEST(HazardSlots, ObjectRetiredTwiceDuringOneReadWaitsOnce) {
  Published published;
  auto object = std::make_shared<Tracked>();
  published.publish(object);
  std::latch reading(1);
  std::latch done(1);
  std::thread reader([&] {
    published.read([&](const Tracked&) {
      reading.count_down();
      done.wait();
    });
  });
  reading.wait();
  published.publish(std::make_shared<Tracked>());
  published.publish(object);
  published.publish(nullptr);
  EXPECT_EQ(pendingEntriesForTesting(), 1u);
  done.count_down();
  reader.join();
  EXPECT_EQ(pendingEntriesForTesting(), 0u);
  EXPECT_EQ(object.use_count(), 1);
}

#ifndef NDEBUG
// A thread's scopes end innermost first; one that ends before a scope
// entered after it stops the process rather than freeing the wrong slot.
TEST(HazardSlotsDeathTest, ScopeEndingBeforeAnInnerOneStopsTheProcess) {
  EXPECT_DEATH(
      {
        auto outer = std::make_unique<HazardScope>();
        HazardScope inner;
        outer.reset();
      },
      "hazard scope ended before");
}
#endif

// A scope that got no slot (here the thread's slots are all in use) cannot
// announce: a read through it, with or without the writers' lock, stops the
// process in every build.
TEST(HazardSlotsDeathTest, ReadThroughAScopeWithoutASlotStopsTheProcess) {
  Published published;
  published.publish(std::make_shared<Tracked>());
  const auto readBeyondTheSlots = [&published](bool locked) {
    HazardScope inUse[kHazardSlots];
    HazardScope beyond;
    if (locked) {
      std::lock_guard<std::mutex> guard(published.lock);
      return published.pointer.protectLocked(beyond);
    }
    return published.pointer.protect(beyond, published.pointer.peek());
  };
  EXPECT_DEATH(readBeyondTheSlots(false), "hazard read through a scope that holds no slot");
  EXPECT_DEATH(readBeyondTheSlots(true), "hazard read through a scope that holds no slot");
  published.publish(nullptr);
}

// Blocks every signal on the calling thread, so that while it waits (which a
// sanitizer's runtime may make a spin) no signal orders it: only its fenced
// steps, its end, or the kernel's proof where that is on.
void blockEverySignal() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

// A thread that reads `published` alone: its first read, made at once and
// fenced, makes it the pointer's one reader; then the fence mode becomes
// buffered, and once let go, the thread reads again, plainly, its
// announcement held in the simulated store buffer, and holds that read
// until finished.
class SoleReader {
 public:
  explicit SoleReader(const Published& published) {
    setFenceModeForTesting(FenceMode::symmetric);
    thread_ = std::thread([this, &published] {
      blockEverySignal();
      published.read([](const Tracked&) {});
      firstRead_.count_down();
      go_.wait();
      published.read([this](const Tracked& seen) {
        reading_.count_down();
        finish_.wait();
        sawReleased_ = seen.state.load() != Tracked::kAlive;
      });
    });
    firstRead_.wait();
    setFenceModeForTesting(FenceMode::buffered);
  }
  // Lets it read again; returns while it holds that read.
  void readAgain() {
    go_.count_down();
    reading_.wait();
  }
  // Ends that read and the thread: whether it saw its object released.
  bool finish() {
    finish_.count_down();
    thread_.join();
    return sawReleased_;
  }

 private:
  std::latch firstRead_{1};
  std::latch go_{1};
  std::latch reading_{1};
  std::latch finish_{1};
  bool sawReleased_ = false;
  std::thread thread_;
};

// A read announced plainly when the barrier fails, its store held in the
// simulated store buffer: the writer that replaces the object cannot see the
// announcement, and no barrier will show it, so the object waits until the
// reader has been seen (its next fenced step, here the leave), and goes then.
TEST(HazardSlotsHandover, PlainReadUnseenWhenTheBarrierFailsKeepsItsObject) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  CONCURRENCY_EXPECT_IN_CHILD([] {
    const int before = Tracked::live;
    Published published;
    published.publish(std::make_shared<Tracked>());
    SoleReader reader(published);
    reader.readAgain();
    failNextBarrierForTesting();
    published.publish(std::make_shared<Tracked>());
    const bool kept = Tracked::live == before + 2 && pendingEntriesForTesting() == 1;
    const bool sawReleased = reader.finish();
    published.publish(nullptr);
    const bool released = Tracked::live == before && pendingEntriesForTesting() == 0;
    if (!kept || sawReleased || !released) {
      std::fprintf(stderr, "kept %d, the reader saw it released %d, released after %d\n", kept,
                   sawReleased, released);
      return 1;
    }
    return 0;
  });
}

// What a test's paused writer does at one step, once.
struct PauseAt {
  HazardStep step;
  std::function<void()> action;
  static void hook(HazardStep reached, void* context) {
    auto& self = *static_cast<PauseAt*>(context);
    if (reached == self.step && self.action) std::exchange(self.action, nullptr)();
  }
};

// A thread that read pointers alone, plainly, and then blocks for good, or
// runs user code for good on a processor of its own (with a real-time policy
// where it may), while the barrier fails and each pointer is replaced three
// times. The blocked reader keeps nothing: the kernel proves it off its
// processor, so every replaced object goes at once. The busy one is never
// seen, yet keeps nothing for long: it answers a signal (the kernel's proof
// is switched off, so that nothing else orders it), and the retires that
// follow let the objects go.
int readAloneThenStay(bool busy) {
  constexpr int kPointers = 100;
  int first = 0;
  int second = 0;
  if (busy && !testing::pinnedBesideAnother(first, second)) return testing::kSkippedInChild;
  const int before = Tracked::live;
  std::vector<Published> pointers(kPointers);
  for (Published& each : pointers) each.publish(std::make_shared<Tracked>());
  auto readAll = [&] {
    for (Published& each : pointers) each.read([](const Tracked&) {});
  };
  std::latch release(1);
  std::optional<testing::BusyThread> running;
  std::thread blocked;
  if (busy) {
    running.emplace(second, testing::Busy{.realTime = true}, readAll);
    if (!running->run()) return 1;
    if (!running->realTime()) std::fputs("no real-time policy here\n", stderr);
    allowStoppedThreadsForTesting(false);
  } else {
    std::latch read(1);
    blocked = std::thread([&] {
      readAll();
      read.count_down();
      release.wait();
    });
    read.wait();
  }
  failNextBarrierForTesting();
  for (int round = 0; round < 3; ++round) {
    for (Published& each : pointers) each.publish(std::make_shared<Tracked>());
  }
  auto keptNothing = [&] {
    return Tracked::live == before + kPointers && pendingEntriesForTesting() == 0;
  };
  // The retires that follow let what the busy reader kept go; it is never
  // seen meanwhile.
  const bool fine = busy ? base::testing::within([&] {
                             pointers[0].publish(std::make_shared<Tracked>());
                             return keptNothing();
                           }) &&
                               fenceOrderingForTesting().handlerRuns != 0 &&
                               !fenceThreadSeen(running->key())
                         : keptNothing();
  const int kept = Tracked::live - before - kPointers;
  const std::size_t pending = pendingEntriesForTesting();
  release.count_down();
  if (blocked.joinable()) blocked.join();
  if (!barrierFailed() || !fine) {
    std::fprintf(stderr, "kept %d objects, %zu entries; the handler ran %zu times\n", kept, pending,
                 fenceOrderingForTesting().handlerRuns);
    return 1;
  }
  return 0;
}

TEST(HazardSlotsHandover, ReaderBlockedOrBusyForGoodKeepsNothingForLong) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  CONCURRENCY_EXPECT_IN_CHILD([] { return readAloneThenStay(false); });
#if !KX_TSAN
  // ThreadSanitizer runs a signal's handler only when the thread reaches one
  // of its interceptors, which a reader that only spins never does.
  SCOPED_TRACE("busy");
  CONCURRENCY_EXPECT_IN_CHILD([] { return readAloneThenStay(true); });
#endif
}

// A thread that reads `published` alone, plainly, then waits until the test
// ends: with every signal blocked and the kernel's proof switched off,
// nothing orders it, so a replacement the failure makes unseen is kept for as
// long as the test needs.
class ParkedReader {
 public:
  explicit ParkedReader(const Published& published)
      : thread_([this, &published] {
          blockEverySignal();
          published.read([](const Tracked&) {});
          read_.count_down();
          release_.wait();
        }) {
    read_.wait();
    allowStoppedThreadsForTesting(false);
  }
  ~ParkedReader() {
    release_.count_down();
    thread_.join();
  }

 private:
  std::latch read_{1};
  std::latch release_{1};
  std::thread thread_;
};

// Makes the barrier fail as `published` is replaced, while a parked reader
// read it alone: the replaced object is kept. Whether it is.
bool failTheBarrierKeepingOne(Published& published) {
  failNextBarrierForTesting();
  published.publish(std::make_shared<Tracked>());
  return pendingEntriesForTesting() == 1;
}

// While the handover keeps work, leaves poll its heavy fence at most once a
// millisecond, however fast they come (reads go on at their own pace).
TEST(HazardSlotsHandover, LeavesPollTheKeptWorkAtMostOnceAMillisecond) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  CONCURRENCY_EXPECT_IN_CHILD([] {
    Published published;
    published.publish(std::make_shared<Tracked>());
    Published other;
    other.publish(std::make_shared<Tracked>());
    ParkedReader reader(published);
    if (!failTheBarrierKeepingOne(published)) return 1;
    const std::size_t before = handoverPollsOnThisThreadForTesting();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20000; ++i) other.read([](const Tracked&) {});
    const auto took = std::chrono::steady_clock::now() - start;
    const std::size_t polls = handoverPollsOnThisThreadForTesting() - before;
    const auto allowed = static_cast<std::size_t>(
                             std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) +
                         1;
    if (polls > allowed || pendingEntriesForTesting() != 1) {
      std::fprintf(stderr, "%zu polls in %zu ms, %zu entries kept\n", polls, allowed - 1,
                   pendingEntriesForTesting());
      return 1;
    }
    return 0;
  });
}

// Whether thread `tid` waits in a futex now, as a thread blocked on a mutex
// does (read without allocating: another thread may be forking).
bool waitsInAFutex(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", static_cast<int>(tid));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[32] = {};
  const ssize_t size = read(fd, text, sizeof text - 1);
  close(fd);
  return size > 0 && std::atoi(text) == SYS_futex;
}

// A fork while another thread polls the handover's heavy fence, holding the
// lock of the kept work: the fork waits for that lock, so the child finds it
// free, and its first retire goes through (it would hang on a lock held by a
// thread the child does not have).
TEST(HazardSlotsHandover, ForkWhileTheHandoverIsPolledLeavesTheChildsLocksFree) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  CONCURRENCY_EXPECT_IN_CHILD([] {
    Published published;
    published.publish(std::make_shared<Tracked>());
    ParkedReader reader(published);
    if (!failTheBarrierKeepingOne(published)) return 1;
    const auto forker = static_cast<pid_t>(syscall(SYS_gettid));
    std::atomic<bool> polling{false};
    std::atomic<bool> forked{false};
    PauseAt pause{HazardStep::handoverPolled, [&] {
                    polling = true;
                    // Until the fork is done, or waits for the lock this holds.
                    base::testing::within([&] { return forked.load() || waitsInAFutex(forker); });
                  }};
    setHazardPauseForTesting(&PauseAt::hook, &pause);
    std::thread retiring([&] { published.publish(std::make_shared<Tracked>()); });
    while (!polling.load()) std::this_thread::yield();
    const int child = base::testing::inChild([&] {
      alarm(5);  // a hang ends it
      setHazardPauseForTesting(nullptr, nullptr);
      published.publish(std::make_shared<Tracked>());
      return 0;
    });
    forked = true;
    retiring.join();
    setHazardPauseForTesting(nullptr, nullptr);
    if (child != 0) {
      std::fprintf(stderr, "the child ended with %d\n", child);
      return 1;
    }
    return 0;
  });
}

// The thread that reads a pointer alone announces, plainly and unseen, the
// key the change that fails the barrier publishes, before that change marks
// the pointer shared: the next change, which replaces that key, keeps it
// until the reader has been seen. Then a pointer first read after the
// failure costs its writers no heavy fence.
TEST(HazardSlotsHandover, KeyPublishedAsTheBarrierFailsIsKeptByTheNextChange) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  CONCURRENCY_EXPECT_IN_CHILD([] {
    allowStoppedThreadsForTesting(false);  // the reader may as well run
    const int before = Tracked::live;
    Published published;
    published.publish(std::make_shared<Tracked>());
    SoleReader reader(published);
    PauseAt pause{HazardStep::publishedBeforeShared, [&] { reader.readAgain(); }};
    setHazardPauseForTesting(&PauseAt::hook, &pause);
    failNextBarrierForTesting();
    published.publish(std::make_shared<Tracked>());
    setHazardPauseForTesting(nullptr, nullptr);
    published.publish(std::make_shared<Tracked>());
    const bool kept = Tracked::live == before + 3;
    const bool sawReleased = reader.finish();
    // Read by a thread attached after the failure, which announces fenced.
    Published later;
    later.publish(std::make_shared<Tracked>());
    std::thread([&] { later.read([](const Tracked&) {}); }).join();
    const std::size_t fences = fallbackFencesOnThisThreadForTesting();
    later.publish(std::make_shared<Tracked>());
    later.publish(nullptr);
    const bool noFence = fallbackFencesOnThisThreadForTesting() == fences;
    published.publish(nullptr);
    const bool released = Tracked::live == before && pendingEntriesForTesting() == 0;
    if (!kept || sawReleased || !released || !noFence) {
      std::fprintf(stderr, "kept %d, the reader saw it released %d, released after %d, %d\n", kept,
                   sawReleased, released, noFence);
      return 1;
    }
    return 0;
  });
}

// A reader's leave stays unseen when the barrier fails as a writer retires
// what it read: the entry waits, and goes as soon as a heavy fence orders
// every light side again (here once the reader has ended), with no further
// leave of that slot.
TEST(HazardSlotsHandover, EntryWithAnUnseenLeaveGoesOnceTheHandoverEnds) {
  if (!setFenceModeForTesting(FenceMode::asymmetric)) GTEST_SKIP() << "no process-wide barrier";
  CONCURRENCY_EXPECT_IN_CHILD([] {
    allowStoppedThreadsForTesting(false);
    const int before = Tracked::live;
    Published published;
    published.publish(std::make_shared<Tracked>());
    setFenceModeForTesting(FenceMode::symmetric);
    std::latch reading(1);
    std::latch leave(1);
    std::latch left(1);
    std::latch end(1);
    std::thread reader([&] {
      blockEverySignal();
      published.read([&](const Tracked&) {  // the one reader, announced visibly
        reading.count_down();
        leave.wait();
      });
      left.count_down();
      end.wait();
    });
    reading.wait();
    PauseAt pause{HazardStep::scannedBeforePending, [&] {
                    setFenceModeForTesting(FenceMode::buffered);
                    leave.count_down();
                    left.wait();
                    failNextBarrierForTesting();
                  }};
    setHazardPauseForTesting(&PauseAt::hook, &pause);
    published.publish(std::make_shared<Tracked>());
    setHazardPauseForTesting(nullptr, nullptr);
    const bool waited = pendingEntriesForTesting() == 1;
    end.count_down();
    reader.join();
    published.publish(nullptr);
    const bool released = Tracked::live == before && pendingEntriesForTesting() == 0;
    if (!barrierFailed() || !waited || !released) {
      std::fprintf(stderr, "waited %d, released %d\n", waited, released);
      return 1;
    }
    return 0;
  });
}

class HazardSlotsStress : public testing::BothWays {};

// Readers (some nested) race writers that replace the object: no reader
// ever sees a released object, and every replaced one is released.
TEST_P(HazardSlotsStress, ReadersNeverSeeAReleasedObjectAndNothingIsKept) {
  const int before = Tracked::live;
  Published published;
  published.publish(std::make_shared<Tracked>());
  std::atomic<bool> done{false};
  std::atomic<bool> sawReleased{false};
  auto check = [&](const Tracked& seen) {
    if (seen.state.load(std::memory_order_relaxed) != Tracked::kAlive) sawReleased = true;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      while (!done) {
        published.read([&](const Tracked& seen) {
          if (t == 0) published.read(check);
          check(seen);
        });
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 3000; ++i) published.publish(std::make_shared<Tracked>());
    });
  }
  for (std::size_t t = 3; t < threads.size(); ++t) threads[t].join();
  done = true;
  for (std::size_t t = 0; t < 3; ++t) threads[t].join();
  published.publish(nullptr);
  EXPECT_FALSE(sawReleased.load());
  EXPECT_EQ(Tracked::live, before);
  EXPECT_EQ(pendingEntriesForTesting(), 0u);
}

CONCURRENCY_INSTANTIATE_BOTH_WAYS(HazardSlotsStress);

}  // namespace
}  // namespace concurrency
