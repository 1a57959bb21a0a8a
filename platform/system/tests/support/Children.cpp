#include "systemTest/Children.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace sys::testing {

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

int inChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  EXPECT_TRUE(waitForChild(pid, &status, childDeadline())) << "the child hung";
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

}  // namespace sys::testing
