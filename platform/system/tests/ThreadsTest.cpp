#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "Worker.h"
#include "base/BuildFacts.h"
#include "baseTest/Children.h"
#include "baseTest/Polling.h"
#include "system/Threads.h"
#include "systemTest/DescriptorTables.h"

namespace {

using systemtests::Worker;

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

}  // namespace
