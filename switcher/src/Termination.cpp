#include "switcher/Termination.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "base/FatalError.h"
#include "dispatch/MainLoop.h"
#include "system/SignalSafe.h"

namespace {

// The pipe end the handler writes to; -1 while no instance is installed.
std::atomic<int> gSignalWriteFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read inside a signal handler");

void onTerminationSignal(int signo) {
  sys::ErrnoGuard errnoGuard;
  const int fd = gSignalWriteFd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(signo);
    // Non-blocking: with the pipe full a terminate request is already on
    // its way, so losing this byte loses nothing.
    [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
  }
}

[[noreturn]] void fail(const char* what, const char* file = __builtin_FILE(),
                       int line = __builtin_LINE()) {
  base::fatalError(std::string(what) + ": " + std::strerror(errno), file, line);
}

}  // namespace

void terminateApplication() { dispatch::MainLoop::stop(); }

TerminationSignals::TerminationSignals() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) fail("cannot make the signal pipe");
  readFd_ = fds[0];
  writeFd_ = fds[1];
  if (fcntl(writeFd_, F_SETFL, O_NONBLOCK) != 0) fail("cannot set up the signal pipe");

  watcher_ = std::thread([fd = readFd_] {
    for (;;) {
      unsigned char byte = 0;
      const ssize_t n = read(fd, &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      // End of file: the instance closed its end and is going away.
      if (n <= 0) return;
      terminateApplication();
    }
  });

  int expected = -1;
  if (!gSignalWriteFd.compare_exchange_strong(expected, writeFd_)) {
    errno = EBUSY;
    fail("termination signals are already handled");
  }
  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (sigaction(SIGINT, &action, &previousInterrupt_) != 0 ||
      sigaction(SIGTERM, &action, &previousTerminate_) != 0) {
    fail("cannot handle SIGINT and SIGTERM");
  }
}

TerminationSignals::~TerminationSignals() {
  sigaction(SIGINT, &previousInterrupt_, nullptr);
  sigaction(SIGTERM, &previousTerminate_, nullptr);
  gSignalWriteFd.store(-1);
  close(writeFd_);
  watcher_.join();
  close(readFd_);
}
