// Parking threads as the crash writer does: suspended and resumed, their
// state read, threads that never answer, and busy threads parked round
// after round.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/ucontext.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "Worker.h"
#include "baseTest/Children.h"
#include "baseTest/Handoff.h"
#include "system/TestSeams.h"
#include "system/Threads.h"

namespace {

using systemtests::Worker;

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
