// Asking what a sandbox does with a system call, through a throwaway process.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstdlib>
#include <set>

#include "baseTest/Children.h"
#include "baseTest/SystemCallFilter.h"
#include "system/CallProbe.h"

namespace {

// The caller's SIGSYS action, which a probe must leave as it was.
void ownSigsysAction(int, siginfo_t*, void*) {}

// The descriptors open in this process, as /proc lists them.
std::set<int> openDescriptors() {
  std::set<int> open;
  DIR* listing = opendir("/proc/self/fd");
  while (const dirent* entry = listing ? readdir(listing) : nullptr) {
    if (entry->d_name[0] != '.') open.insert(std::atoi(entry->d_name));
  }
  if (listing) {
    open.erase(dirfd(listing));
    closedir(listing);
  }
  return open;
}

// A call asked through a throwaway process tells what the sandbox does with
// it, however the filter answers (the call's, the clone that makes the
// throwaway's or the wait that collects it), and the caller lives on with
// its own signal actions and descriptors as they were. A throwaway that
// never came to the call (no clone, or no wait) tells nothing of it.
TEST(SystemCallProbe, TellsWhatTheFilterDoesWithoutMeetingIt) {
  using sys::call_probe;
  const struct {
    long filtered;
    uint32_t action;
    call_probe outcome;
    long result;
  } kFilters[] = {{SYS_unshare, SECCOMP_RET_ALLOW, call_probe::answered, 0},
                  {SYS_unshare, base::testing::callFails(EPERM), call_probe::answered, -EPERM},
                  {SYS_unshare, base::testing::callTraps, call_probe::stopped, 0},
                  {SYS_unshare, base::testing::callEndsTheProcess, call_probe::stopped, 0},
                  {SYS_clone, base::testing::callTraps, call_probe::unasked, 0},
                  {SYS_clone, base::testing::callFails(EAGAIN), call_probe::unasked, 0},
                  {SYS_wait4, base::testing::callTraps, call_probe::unasked, 0},
                  {SYS_wait4, base::testing::callEndsTheProcess, call_probe::unasked, 0}};
  for (const auto& filter : kFilters) {
    SCOPED_TRACE(filter.action);
    EXPECT_EQ(
        base::testing::inChild([&] {
          if (!base::testing::filterCalls({{filter.filtered, filter.action}}, true)) return 8;
          struct sigaction own = {}, installed = {}, after = {};
          own.sa_sigaction = ownSigsysAction;
          own.sa_flags = SA_SIGINFO | SA_RESTART;
          sigaddset(&own.sa_mask, SIGUSR1);
          if (sigaction(SIGSYS, &own, nullptr) != 0 || open("/dev/null", O_RDONLY) < 0) return 8;
          sigaction(SIGSYS, nullptr, &installed);
          const std::set<int> descriptors = openDescriptors();
          long result = 1;
          const call_probe outcome =
              sys::system_call_probe(SYS_unshare, CLONE_FILES, 0, 0, &result);
          // A throwaway that shared the caller's table would close it.
          long closed = 1;
          sys::system_call_probe(SYS_close_range, 0, ~0u, 0, &closed);
          sigaction(SIGSYS, nullptr, &after);
          if (after.sa_sigaction != installed.sa_sigaction || after.sa_flags != installed.sa_flags)
            return 3;
          for (int signo = 1; signo <= SIGRTMAX; ++signo) {
            if (sigismember(&after.sa_mask, signo) != sigismember(&installed.sa_mask, signo))
              return 3;
          }
          if (openDescriptors() != descriptors) return 4;
          if (outcome != filter.outcome) return 1;
          return outcome != call_probe::answered || result == filter.result ? 0 : 2;
        }),
        0);
  }
}

}  // namespace
