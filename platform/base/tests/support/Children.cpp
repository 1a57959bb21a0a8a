#include "baseTest/Children.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>
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

bool writeText(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  const bool written =
      fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  return written;
}

// Makes the next child of this (single-threaded) process the first of a new
// pid namespace: directly with the administration capability, else in a user
// namespace of its own with this process's ids mapped to themselves.
bool unsharePidNamespace() {
  if (unshare(CLONE_NEWPID) == 0) return true;
  const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
  return unshare(CLONE_NEWUSER | CLONE_NEWPID) == 0 && writeText("/proc/self/setgroups", "deny") &&
         writeText("/proc/self/uid_map", uid + " " + uid + " 1") &&
         writeText("/proc/self/gid_map", gid + " " + gid + " 1");
}

int waitedStatus(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return exitCodeOf(status);
}

}  // namespace

int inChild(const std::function<int()>& body, ForkBy how) {
  const pid_t pid = how == ForkBy::library ? fork() : static_cast<pid_t>(syscall(SYS_fork));
  if (pid == 0) _exit(body());
  int status = 0;
  EXPECT_TRUE(waitForChild(pid, &status, childDeadline())) << "the child hung";
  return exitCodeOf(status);
}

bool unshareNamespaces(int flags) {
  return unshare(flags) == 0 || unshare(CLONE_NEWUSER | flags) == 0;
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

bool giveIdNext(pid_t id) {
  const int last = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
  if (last < 0) return false;
  const std::string before = std::to_string(id - 1);
  const bool set = write(last, before.data(), before.size()) == static_cast<ssize_t>(before.size());
  close(last);
  return set;
}

pid_t forkWithId(pid_t id) {
  if (!giveIdNext(id)) return -1;
  const pid_t pid = fork();
  if (pid == 0 && getpid() != id) _exit(0);
  if (pid <= 0 || pid == id) return pid;
  int status = 0;
  waitpid(pid, &status, 0);
  return -1;
}

std::optional<int> inPidNamespace(const std::function<int()>& body) {
  // Shared with the child: whether the namespace could be made.
  void* page = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return std::nullopt;
  auto* refused = new (page) std::atomic<int>(0);
  const int code = inChild([&] {
    if (!unsharePidNamespace()) {
      refused->store(1);
      return 0;
    }
    const pid_t first = fork();
    if (first < 0) {
      refused->store(1);
      return 0;
    }
    if (first == 0) {
      // The namespace's first process: its end would end the second.
      const pid_t second = fork();
      if (second == 0) _exit(body());
      _exit(second < 0 ? 127 : waitedStatus(second));
    }
    return waitedStatus(first);
  });
  const bool made = refused->load() == 0;
  munmap(page, sizeof(std::atomic<int>));
  if (!made) return std::nullopt;
  return code;
}

}  // namespace base::testing
