#include "baseTest/Children.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace base::testing {

Deadline childDeadline() { return std::chrono::steady_clock::now() + std::chrono::seconds(90); }

bool readableBefore(int fd, Deadline deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    struct pollfd entry = {fd, POLLIN, 0};
    const int ready = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready >= 0) return ready > 0;
    if (errno != EINTR) return false;
  }
}

bool waitForChild(pid_t pid, int* status, Deadline deadline) {
  const int handle = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  const bool ended = handle >= 0 && readableBefore(handle, deadline);
  if (handle >= 0) close(handle);
  if (!ended) kill(pid, SIGKILL);
  while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
  }
  return ended;
}

namespace {

// The exit code that stands for the child's wait status `status`.
int exitCodeOf(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// The child's code of a namespace the kernel refused.
constexpr int kNoNamespace = 255;

}  // namespace

int inChild(const std::function<int()>& body, ForkBy how) {
  const pid_t pid = how == ForkBy::library ? fork() : static_cast<pid_t>(syscall(SYS_fork));
  if (pid == 0) _exit(body());
  int status = 0;
  EXPECT_TRUE(waitForChild(pid, &status, childDeadline())) << "the child hung";
  return exitCodeOf(status);
}

int inNewPidNamespace(const std::function<int()>& body) {
  const int code = inChild([&] {
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) return kNoNamespace;
    const pid_t first = fork();
    if (first == 0) {
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount("proc", "/proc", "proc", 0, nullptr) != 0) {
        _exit(kNoNamespace);
      }
      _exit(body());
    }
    int status = 0;
    if (first < 0 || !waitForChild(first, &status, childDeadline())) return kNoNamespace - 1;
    return exitCodeOf(status);
  });
  return code == kNoNamespace ? -1 : code;
}

bool reapUntilReadable(int fd, Deadline deadline) {
  while (!readableBefore(fd, std::chrono::steady_clock::now() + std::chrono::milliseconds(10))) {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
  }
  return true;
}

pid_t forkWithId(pid_t id) {
  const int last = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
  if (last < 0) return -1;
  const std::string before = std::to_string(id - 1);
  const bool set = write(last, before.data(), before.size()) == static_cast<ssize_t>(before.size());
  close(last);
  if (!set) return -1;
  const pid_t pid = fork();
  if (pid == 0 && getpid() != id) _exit(0);
  if (pid <= 0 || pid == id) return pid;
  int status = 0;
  waitpid(pid, &status, 0);
  return -1;
}

}  // namespace base::testing
