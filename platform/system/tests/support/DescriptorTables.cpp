#include "systemTest/DescriptorTables.h"

#include <fcntl.h>
#include <linux/kcmp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "baseTest/Children.h"

namespace sys::testing {

ChildTable childTableAfter(const std::function<bool()>& action) {
  const int code = base::testing::inChild([&] {
    std::atomic<pid_t> second{0};
    std::atomic<bool> acted{false}, checked{false};
    std::atomic<int> opened{-1};
    struct stat seen = {};
    std::thread other([&] {
      second = static_cast<pid_t>(syscall(SYS_gettid));
      while (!acted.load()) std::this_thread::yield();
      const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      fstat(fd, &seen);
      opened = fd;
      while (!checked.load()) std::this_thread::yield();
    });
    while (second.load() == 0) std::this_thread::yield();
    const bool done = action();
    acted = true;
    while (opened.load() < 0) std::this_thread::yield();
    const long order = syscall(SYS_kcmp, syscall(SYS_gettid), second.load(), KCMP_FILES, 0, 0);
    struct stat here = {};
    const bool same = fstat(opened.load(), &here) == 0 && here.st_rdev == seen.st_rdev &&
                      here.st_ino == seen.st_ino;
    checked = true;
    other.join();
    if (!done) return 1;
    return order > 0 || !same ? 2 : 0;
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
