#include "systemTest/DescriptorTables.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "baseTest/Children.h"
#include "baseTest/Handoff.h"

namespace sys::testing {

ChildTable childTableAfter(const std::function<bool()>& action) {
  const int code = base::testing::inChild([&] {
    std::atomic<pid_t> second{0};
    std::atomic<bool> acted{false}, checked{false};
    std::atomic<int> opened{-1};
    struct stat seen = {};
    std::thread other([&] {
      base::testing::announce(second, static_cast<pid_t>(syscall(SYS_gettid)));
      base::testing::awaitChange(acted, false);
      // A pipe: no other descriptor is open on its inode.
      int ends[2] = {-1, -1};
      if (pipe2(ends, O_CLOEXEC) == 0) fstat(ends[0], &seen);
      base::testing::announce(opened, ends[0] >= 0 ? ends[0] : INT32_MAX);
      base::testing::awaitChange(checked, false);
    });
    base::testing::awaitChange(second, 0);
    const bool done = action();
    base::testing::announce(acted, true);
    base::testing::awaitChange(opened, -1);
    struct stat here = {};
    const bool same = fstat(opened.load(), &here) == 0 && here.st_dev == seen.st_dev &&
                      here.st_ino == seen.st_ino;
    base::testing::announce(checked, true);
    other.join();
    if (!done) return 1;
    return same ? 0 : 2;
  });
  return code == 0 ? ChildTable::shared : code == 1 ? ChildTable::actionFailed : ChildTable::split;
}

void useUpDescriptors() {
  struct rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = 256;
  setrlimit(RLIMIT_NOFILE, &limit);
  while (open("/dev/null", O_RDONLY) >= 0) {
  }
}

}  // namespace sys::testing
