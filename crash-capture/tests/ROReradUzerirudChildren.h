#pragma once

// Children of the reporter tests: a child that enables a reporter and
// crashes, what it tells its parent, and facts the tests share.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "AllocationCounter.h"
#include "CrashSituations.h"
#include "crash-capture/ROCrashReport.h"
#include "crash-capture/ROReradUzerirud.h"
#include "crash_report.pb-c.h"
#include "dispatchTest/Faults.h"
#include "system/SystemFacts.h"

namespace reporterchildren {

// What a crashing child tells its parent through a pipe.
struct ChildReport {
  uint64_t allocations = ~0ull;
  uint64_t marker = 0;
};

inline int gPipe = -1;

inline void sendToParent(const ChildReport& report) {
  ssize_t n = write(gPipe, &report, sizeof report);
  (void)n;
}

// Counts the allocations made since the crash and hands them to the parent.
inline void handleSignal(siginfo_t*, void*, void*) {
  ChildReport report;
  report.allocations = rocrash::testing::stopCountingAllocations();
  report.marker = 1;
  sendToParent(report);
}

struct ChildResult {
  int status = 0;
  ChildReport report;
  std::vector<uint8_t> bytes;
  Rocrash__CrashReport* message = nullptr;
  ~ChildResult() {
    if (message) rocrash__crash_report__free_unpacked(message, nullptr);
  }
  bool killedBy(int signo) const { return WIFSIGNALED(status) && WTERMSIG(status) == signo; }
  const Rocrash__CrashReport__Thread* crashedThread() const {
    const Rocrash__CrashReport__Thread* found = nullptr;
    for (size_t i = 0; i < message->n_threads; ++i) {
      if (message->threads[i]->crashed) {
        EXPECT_EQ(found, nullptr) << "two crashed threads";
        found = message->threads[i];
      }
    }
    return found;
  }
};

// Forks a child that enables a reporter in `folder` with `type` (after
// `prepare`, when given) and then runs `crash`; waits for it and reads the
// report it left.
inline void runCrashingChild(const std::string& folder, uint64_t type,
                             const std::function<void()>& crash, ChildResult* result,
                             void (*handle)(siginfo_t*, void*, void*) = handleSignal,
                             const std::function<void()>& prepare = {}) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    gPipe = fds[1];
    // Sanitizers step aside: the default action is what follows a crash.
    for (int s : {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE, SIGTRAP}) signal(s, SIG_DFL);
    auto config = ROReradUzerirudConfig::initWithSignalHandlerType(type, 0, true, folder);
    auto reporter =
        ROReradUzerirud::initWithApplicationIdentifier("com.example.crasher", "7", "1.0", config);
    ROReradUzerirudCallbacks callbacks = {0, nullptr, handle};
    reporter->setCrashCallbacks(&callbacks);
    if (prepare) prepare();
    std::shared_ptr<foundation::NSError> error;
    if (!reporter->enableCrashReporterAndReturnError(&error)) _exit(90);
    rocrash::testing::startCountingAllocations();
    crash();
    _exit(91);
  }
  close(fds[1]);
  ASSERT_TRUE(crashsituations::waitForChild(pid, &result->status, crashsituations::childDeadline()))
      << "the child hung";
  // Written before the child ended, if at all.
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  ssize_t got = read(fds[0], &result->report, sizeof result->report);
  (void)got;
  close(fds[0]);

  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.crasher", "7", "1.0",
      ROReradUzerirudConfig::initWithSignalHandlerType(type, 0, true, folder));
  ASSERT_TRUE(reporter->hasPendingCrashReport());
  auto data = reporter->loadPendingCrashReportData();
  ASSERT_TRUE(data);
  result->bytes = *data;
  ASSERT_GT(result->bytes.size(), 8u);
  result->message =
      rocrash__crash_report__unpack(nullptr, result->bytes.size() - 8, result->bytes.data() + 8);
  ASSERT_NE(result->message, nullptr);
  std::shared_ptr<foundation::NSError> error;
  EXPECT_TRUE(ROCrashReport::create(result->bytes, &error))
      << (error ? error->localizedDescription() : "");
  EXPECT_TRUE(reporter->purgePendingCrashReport());
  EXPECT_FALSE(reporter->hasPendingCrashReport());
}

inline __attribute__((noinline)) void crashInKnownFunction() {
  dispatch::testing::storeToLowAddress(0x10);
  asm volatile("" ::: "memory");
}

inline __attribute__((noinline)) void callerOfTheCrash() {
  crashInKnownFunction();
  asm volatile("" ::: "memory");
}

// A machine that cannot describe any process: the crash log writer cannot start.
class NoProcessRecords : public sys::SystemFactSource {
 public:
  std::optional<sys::ProcessRecord> currentProcess() override { return std::nullopt; }
  std::optional<sys::ProcessRecord> parentProcess() override { return std::nullopt; }
  std::optional<sys::ProcessRecord> process(pid_t) override { return std::nullopt; }
};

// The descriptors the process has open, seen through the calling thread
// (the process's view is gone once its first thread has ended).
inline size_t openDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/thread-self/fd"))
    ++count;
  return count;
}

}  // namespace reporterchildren
