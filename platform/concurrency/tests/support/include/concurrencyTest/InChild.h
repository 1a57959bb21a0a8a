#pragma once

// For tests that make the process-wide barrier fail, which is for good: they
// run in a child process of their own, with a time limit.

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace concurrency::testing {

// What a child returns to say that its test cannot run here (it printed
// why).
inline constexpr int kSkippedInChild = 77;

// Runs `body` in a child process: its exit code, or -1 when it was killed or
// has not ended within ten seconds (something hangs).
template <class Body>
int exitCodeInChild(Body body) {
  const pid_t child = fork();
  if (child == 0) _exit(body());
  const int ended = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  if (ended >= 0) {
    pollfd wait{ended, POLLIN, 0};
    const int ready = poll(&wait, 1, 10000);
    close(ended);
    if (ready != 1) kill(child, SIGKILL);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether `ready` holds within five seconds; looks again every
// millisecond at most.
template <class Ready>
bool within(Ready ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace concurrency::testing

// Expects `body` to succeed in a child process, or skips the test when the
// child says it cannot run here.
#define CONCURRENCY_EXPECT_IN_CHILD(body)                                           \
  do {                                                                              \
    const int concurrencyChildCode = ::concurrency::testing::exitCodeInChild(body); \
    if (concurrencyChildCode == ::concurrency::testing::kSkippedInChild)            \
      GTEST_SKIP() << "not possible here (the child said why on standard error)";   \
    EXPECT_EQ(concurrencyChildCode, 0);                                             \
  } while (false)
