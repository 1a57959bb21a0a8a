#include "base/ProcStat.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace base {

bool proc_stat_read_and_close(int fd, ProcStat* stat) noexcept {
  ProcStatScanner scanner;
  scanner.start();
  char chunk[128];
  while (!scanner.complete()) {
    const long got = syscall(SYS_read, fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    scanner.feed(chunk, static_cast<size_t>(got));
  }
  syscall(SYS_close, fd);
  if (!scanner.complete()) return false;
  *stat = scanner.stat();
  return true;
}

bool proc_stat_read(const char* path, ProcStat* stat) noexcept {
  const int savedErrno = errno;
  const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
  const bool read = fd >= 0 && proc_stat_read_and_close(fd, stat);
  errno = savedErrno;
  return read;
}

}  // namespace base
