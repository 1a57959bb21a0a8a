#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/ucontext.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/BuildFacts.h"
#include "baseTest/Children.h"
#include "baseTest/Handoff.h"
#include "baseTest/Polling.h"
#include "system/TestSeams.h"
#include "system/Threads.h"
#include "systemTest/DescriptorTables.h"

namespace {

// A thread that reports its id and then blocks on a condition until told to
// finish (optionally with the parking signal blocked).
class Worker {
 public:
  explicit Worker(bool blockParking = false) {
    thread_ = std::thread([this, blockParking] {
      if (blockParking) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, sys::thread_parking_signal());
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
      }
      int dummy = 0;
      stackAddress_ = reinterpret_cast<uint64_t>(&dummy);
      std::unique_lock<std::mutex> lock(mutex_);
      tid_ = sys::mach_thread_self();
      cv_.notify_all();
      cv_.wait(lock, [this] { return done_; });
    });
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return tid_ != 0; });
  }
  ~Worker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  sys::thread_t tid() const { return tid_; }
  uint64_t stackAddress() const { return stackAddress_; }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  sys::thread_t tid_ = 0;
  bool done_ = false;
  uint64_t stackAddress_ = 0;
  std::thread thread_;
};

std::vector<sys::thread_t> listThreads() {
  sys::thread_t threads[256];
  uint32_t count = 0;
  EXPECT_EQ(sys::task_threads(sys::mach_task_self(), threads, 256, &count), sys::KERN_SUCCESS);
  return {threads, threads + count};
}

TEST(TaskThreads, ListsTheCallerAndEveryLiveThread) {
  Worker a, b;
  auto threads = listThreads();
  for (sys::thread_t t : {sys::mach_thread_self(), a.tid(), b.tid()}) {
    EXPECT_NE(std::find(threads.begin(), threads.end(), t), threads.end()) << t;
  }
}

TEST(TaskThreads, StopsAtTheCapacityAndRefusesOtherTasks) {
  Worker a, b;
  sys::thread_t threads[2];
  uint32_t count = 0;
  EXPECT_EQ(sys::task_threads(sys::mach_task_self(), threads, 2, &count), sys::KERN_SUCCESS);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(sys::task_threads(1, threads, 2, &count), sys::KERN_INVALID_ARGUMENT);
  EXPECT_EQ(count, 0u);
}

// A forked child lists its threads through a folder of its own, its copy of
// the parent's closed: its threads keep one descriptor table.
TEST(TaskThreads, ForkedChildsListLeavesItsThreadsOneDescriptorTable) {
  sys::thread_parking_prepare();
  EXPECT_EQ(sys::testing::childTableAfter([] {
              sys::thread_t threads[16];
              uint32_t count = 0;
              return sys::task_threads(sys::mach_task_self(), threads, 16, &count) ==
                         sys::KERN_SUCCESS &&
                     count >= 2;
            }),
            sys::testing::ChildTable::shared);
}

// Children forked while another thread lists the threads through the kept
// folder: the lister is not there, and each child, having used up its
// descriptors, lists its own through that folder's number.
TEST(TaskThreads, ChildForkedDuringAListingListsWithNoDescriptorLeft) {
  const int failed = base::testing::inChild([] {
    sys::thread_parking_prepare();
    listThreads();  // the folder is this process's own
    std::atomic<bool> stop{false};
    std::thread lister([&] {
      while (!stop.load()) listThreads();
    });
    int failures = 0;
    for (int child = 0; child < 50; ++child) {
      failures += base::testing::inChild([] {
                    sys::testing::useUpDescriptors();
                    sys::thread_t threads[4];
                    uint32_t count = 0;
                    const bool listed = sys::task_threads(sys::mach_task_self(), threads, 4,
                                                          &count) == sys::KERN_SUCCESS;
                    return listed && count == 1 ? 0 : 1;
                  }) != 0;
    }
    stop = true;
    lister.join();
    return failures;
  });
  EXPECT_EQ(failed, 0) << "children that could not list";
}

// A process given the id of an ended ancestor, which kept the thread list's
// folder open, lists its own threads, not the ancestor's.
TEST(TaskThreads, ProcessWithAnEndedAncestorsIdListsItsOwnThreads) {
#if KX_TSAN
  GTEST_SKIP() << "ThreadSanitizer starts no thread in the child of a process with threads";
#endif
  const int code = base::testing::inNewPidNamespace([] {
    int counted[2];
    if (pipe(counted) != 0) return 2;
    const pid_t ancestor = fork();
    if (ancestor == 0) {
      sys::thread_parking_prepare();
      for (int i = 0; i < 3; ++i) std::thread([] { pause(); }).detach();
      listThreads();
      const pid_t gone = getpid();
      if (fork() != 0) _exit(0);
      base::testing::within([&] { return kill(gone, 0) != 0; });
      if (base::testing::forkWithId(gone) == 0) {
        for (int i = 0; i < 2; ++i) std::thread([] { pause(); }).detach();
        sys::thread_t threads[8];
        uint32_t count = 0;
        const auto listed = static_cast<char>(
            sys::task_threads(sys::mach_task_self(), threads, 8, &count) == sys::KERN_SUCCESS
                ? count
                : 0);
        _exit(write(counted[1], &listed, 1) == 1 ? 0 : 1);
      }
      _exit(0);
    }
    close(counted[1]);
    char listed = 0;
    if (!base::testing::reapUntilReadable(counted[0], base::testing::childDeadline()) ||
        read(counted[0], &listed, 1) != 1) {
      return 2;
    }
    return listed == 3 ? 0 : 10 + listed;
  });
  if (code < 0) GTEST_SKIP() << "the kernel refuses a pid namespace here";
  EXPECT_EQ(code, 0) << "10 + the threads listed";
}

TEST(ThreadParking, SuspendedThreadReportsItsOwnStackAndResumes) {
  Worker worker;
  ASSERT_EQ(sys::thread_suspend(worker.tid()), sys::KERN_SUCCESS);
  sys::thread_gregs state;
  ASSERT_EQ(sys::thread_get_state(worker.tid(), &state), sys::KERN_SUCCESS);
  // The parked context is the worker's, deep inside its wait: its stack
  // pointer lies just below the worker's local variable.
  uint64_t rsp = state.gregs[REG_RSP];
  EXPECT_LT(rsp, worker.stackAddress());
  EXPECT_GT(rsp, worker.stackAddress() - 64 * 1024);
  EXPECT_NE(state.gregs[REG_RIP], 0u);
  EXPECT_EQ(sys::thread_resume(worker.tid()), sys::KERN_SUCCESS);
  // Once resumed it has no parked state, and it runs on (the destructor
  // joins it).
  EXPECT_EQ(sys::thread_get_state(worker.tid(), &state), sys::KERN_FAILURE);
  EXPECT_EQ(sys::thread_resume(worker.tid()), sys::KERN_FAILURE);
}

TEST(ThreadParking, RefusesTheCallerAndThreadsThatDoNotExist) {
  EXPECT_EQ(sys::thread_suspend(sys::mach_thread_self()), sys::KERN_INVALID_ARGUMENT);
  EXPECT_EQ(sys::thread_suspend(0), sys::KERN_INVALID_ARGUMENT);
  EXPECT_EQ(sys::thread_suspend(0x7FFFFFF0), sys::KERN_INVALID_ARGUMENT);
}

TEST(ThreadParking, ThreadsParkedTogetherShareOneWaitForThoseThatNeverAnswer) {
  Worker a, b;
  std::vector<std::unique_ptr<Worker>> deaf;
  for (int i = 0; i < 10; ++i) deaf.push_back(std::make_unique<Worker>(/*blockParking=*/true));
  std::vector<sys::thread_t> threads = {a.tid(), sys::mach_thread_self()};
  for (const auto& w : deaf) threads.push_back(w->tid());
  threads.push_back(b.tid());
  bool suspended[13];
  const uint64_t before = sys::threadParkingWaitsForTesting();
  sys::thread_suspend_all(threads.data(), static_cast<uint32_t>(threads.size()), suspended);
  // One wait for the ten to unblock the signal, one for the two asked to park.
  EXPECT_EQ(sys::threadParkingWaitsForTesting() - before, 2u);
  EXPECT_TRUE(suspended[0]);
  EXPECT_FALSE(suspended[1]) << "the caller is never parked";
  for (int i = 2; i < 12; ++i) EXPECT_FALSE(suspended[i]);
  EXPECT_TRUE(suspended[12]);
  sys::thread_gregs state;
  EXPECT_EQ(sys::thread_get_state(b.tid(), &state), sys::KERN_SUCCESS);
  EXPECT_EQ(sys::thread_resume(a.tid()), sys::KERN_SUCCESS);
  EXPECT_EQ(sys::thread_resume(b.tid()), sys::KERN_SUCCESS);
}

// A thread with the parking signal blocked may be waiting for signals of its
// own (sigwaitinfo, signalfd), which would take the parking signal for one of
// them: it is never sent it, and has no state.
TEST(ThreadParking, ThreadWithTheSignalBlockedIsNeverSentIt) {
  std::atomic<sys::thread_t> tid{0};
  std::atomic<bool> release{false};
  bool pending = true;
  std::thread waiter([&] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sys::thread_parking_signal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    base::testing::announce(tid, sys::mach_thread_self());
    release.wait(false);
    sigpending(&set);
    pending = sigismember(&set, sys::thread_parking_signal());
  });
  base::testing::awaitChange(tid, 0);
  const sys::thread_t thread = tid;
  EXPECT_EQ(sys::thread_suspend(thread), sys::KERN_OPERATION_TIMED_OUT);
  bool suspended = true;
  sys::thread_suspend_all(&thread, 1, &suspended);
  EXPECT_FALSE(suspended);
  sys::thread_gregs state;
  EXPECT_EQ(sys::thread_get_state(thread, &state), sys::KERN_FAILURE);
  release = true;
  release.notify_one();
  waiter.join();
  EXPECT_FALSE(pending);
}

TEST(ThreadParking, PublishedFaultStateWinsOverTheParkedOne) {
  sys::thread_gregs fault{};
  fault.gregs[REG_RIP] = 0x1234;
  const sys::thread_fault_signal kernel = {SIGSEGV, SEGV_ACCERR, 0x5678};
  std::atomic<sys::thread_t> tid{0};
  std::atomic<bool> release{false};
  std::thread t([&] {
    ASSERT_TRUE(sys::thread_publish_fault_state(&fault, &kernel));
    base::testing::announce(tid, sys::mach_thread_self());
    release.wait(false);
    sys::thread_withdraw_fault_state();
  });
  base::testing::awaitChange(tid, 0);
  sys::thread_gregs state;
  ASSERT_EQ(sys::thread_get_state(tid, &state), sys::KERN_SUCCESS);
  EXPECT_EQ(state.gregs[REG_RIP], 0x1234u);
  sys::thread_fault_signal signal{};
  ASSERT_TRUE(sys::thread_get_fault_signal(tid, &signal));
  EXPECT_EQ(signal.code, SEGV_ACCERR);
  EXPECT_EQ(signal.address, 0x5678u);
  release = true;
  release.notify_one();
  t.join();
  EXPECT_EQ(sys::thread_get_state(tid, &state), sys::KERN_FAILURE);
  EXPECT_FALSE(sys::thread_get_fault_signal(tid, &signal));
}

// Listers at once share the folder kept open for a process out of
// descriptors with folders they open: each sees every thread.
// A thread asked again the moment it is released, before it could leave the
// park handler (it shares one processor with the asker), parks again without
// piling a frame on its alternate stack for each time: 2,000 rounds on one
// with room for four of this machine's signal frames.
TEST(ThreadParking, ThreadAskedAgainAsItLeavesParksWithoutPilingUpFrames) {
  const int code = base::testing::inChild([] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    sched_setaffinity(0, sizeof one, &one);
    std::atomic<sys::thread_t> tid{0};
    std::atomic<bool> stop{false};
    // It sleeps between the requests, which take it there as they would
    // take it running, and costs no processor time meanwhile: in short
    // sleeps, which the thread sanitizer lets a signal's handler interrupt
    // (it holds the handler back through a futex wait until the wait ends).
    std::thread asked([&] {
      const size_t frame = std::max<size_t>(getauxval(AT_MINSIGSTKSZ), MINSIGSTKSZ);
      std::vector<char> altStack(4 * frame + 16 * 1024);
      const stack_t stack = {altStack.data(), 0, altStack.size()};
      stack_t before;
      sigaltstack(&stack, &before);
      base::testing::announce(tid, sys::mach_thread_self());
      while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      // The sanitizers unmap a thread's alternate stack at its end.
      sigaltstack(&before, nullptr);
    });
    base::testing::awaitChange(tid, 0);
    int parked = 0;
    for (int round = 0; round < 2000; ++round) {
      parked += sys::thread_suspend(tid) == sys::KERN_SUCCESS;
      static_cast<void>(sys::thread_resume(tid));
    }
    stop = true;
    asked.join();
    return parked > 0 ? 0 : 1;
  });
  EXPECT_EQ(code, 0) << "100 + the signal that ended the child";
}

TEST(ThreadListStress, ListersAtOnceEachSeeEveryThread) {
  sys::thread_parking_prepare();
  constexpr int kListers = 8;
  std::latch ready(kListers), done(kListers);
  std::atomic<int> short_lists{0};
  std::vector<std::thread> listers;
  for (int t = 0; t < kListers; ++t) {
    listers.emplace_back([&] {
      ready.arrive_and_wait();
      for (int i = 0; i < 200; ++i) {
        sys::thread_t threads[256];
        uint32_t count = 0;
        if (sys::task_threads(sys::mach_task_self(), threads, 256, &count) != sys::KERN_SUCCESS ||
            count < kListers + 1) {
          ++short_lists;
        }
      }
      // No lister ends while another still counts on it.
      done.arrive_and_wait();
    });
  }
  for (auto& lister : listers) lister.join();
  EXPECT_EQ(short_lists.load(), 0);
}

// Many rounds of parking several busy threads at once, as the crash writer
// does, while they keep working in between. Each goes in and out of a short
// sleep, so that parking meets it both running and inside a system call.
TEST(ThreadParkingStress, ParksAndReleasesBusyThreadsRepeatedly) {
  std::atomic<bool> stop{false};
  std::atomic<sys::thread_t> tids[4] = {};
  std::atomic<uint64_t> work{0};
  std::vector<std::thread> threads;
  for (auto& tid : tids) {
    threads.emplace_back([&] {
      base::testing::announce(tid, sys::mach_thread_self());
      while (!stop) {
        work.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    });
  }
  for (auto& tid : tids) base::testing::awaitChange(tid, 0);
  for (int round = 0; round < 100; ++round) {
    for (auto& tid : tids) ASSERT_EQ(sys::thread_suspend(tid), sys::KERN_SUCCESS);
    for (auto& tid : tids) {
      sys::thread_gregs state;
      ASSERT_EQ(sys::thread_get_state(tid, &state), sys::KERN_SUCCESS);
      EXPECT_NE(state.gregs[REG_RSP], 0u);
    }
    for (auto& tid : tids) ASSERT_EQ(sys::thread_resume(tid), sys::KERN_SUCCESS);
  }
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_GT(work.load(), 0u);
}

}  // namespace
