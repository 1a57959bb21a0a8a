// The pending report beside an earlier one: a crash queues it and keeps
// the earlier one, a writer killed midway leaves no cut report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "CrashSituations.h"
#include "ROReradUzerirudChildren.h"
#include "base/BuildFacts.h"
#include "crash-capture/ROCrashReport.h"
#include "crash-capture/ROReradUzerirud.h"
#include "dispatchTest/TemporaryFolder.h"
#include "system/Mach.h"
#include "system/Threads.h"

namespace {

namespace fs = std::filesystem;
using dispatch::testing::TemporaryFolder;
using reporterchildren::callerOfTheCrash;

// A field of the status of thread `tid` of process `pid` ("State", "SigPnd"):
// its text up to the line's end, or empty when it cannot be read. Uses no
// heap (a child made by vfork calls it).
struct StatusField {
  char text[64] = {};
};
StatusField threadStatus(pid_t pid, pid_t tid, const char* field) {
  StatusField value;
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/task/%d/status", pid, tid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return value;
  char text[4096];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return value;
  text[n] = '\0';
  char key[32];
  snprintf(key, sizeof key, "\n%s:\t", field);
  const char* at = strstr(text, key);
  if (at == nullptr) return value;
  at += strlen(key);
  for (size_t i = 0; i + 1 < sizeof value.text && at[i] != '\0' && at[i] != '\n'; ++i) {
    value.text[i] = at[i];
  }
  return value;
}

// An earlier run's pending report is there when the child enables and
// crashes, with a writer that is killed midway when asked: a thread of the
// child waits in vfork, where it cannot park, and its vfork child ends the
// process as soon as the writer has asked that thread to park (and waits for
// it). The status of the child.
int crashBesideAnEarlierReport(const ROReradUzerirud& reporter, bool killMidway) {
  pid_t pid = fork();
  if (pid == 0) {
    for (int s : {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE, SIGTRAP}) signal(s, SIG_DFL);
    auto child = ROReradUzerirud::initWithApplicationIdentifier(reporter.applicationIdentifier(),
                                                                "7", "1.0", reporter.config());
    if (!child->enableCrashReporter()) _exit(90);
    static std::atomic<pid_t> waiter{0};
    if (killMidway) {
      std::thread([] {
        const pid_t self = getpid();
        const pid_t thread = sys::mach_thread_self();
        waiter = thread;
        if (vfork() == 0) {
          const uint64_t parking = uint64_t{1} << (sys::thread_parking_signal() - 1);
          for (;;) {
            const StatusField pending = threadStatus(self, thread, "SigPnd");
            if (pending.text[0] == '\0') _exit(0);  // the process is gone
            if ((strtoull(pending.text, nullptr, 16) & parking) != 0) break;
          }
          kill(self, SIGKILL);
          _exit(0);
        }
      }).detach();
      while (waiter.load() == 0 || threadStatus(getpid(), waiter.load(), "State").text[0] != 'D') {
        std::this_thread::yield();
      }
    }
    callerOfTheCrash();
    _exit(91);
  }
  int status = 0;
  EXPECT_TRUE(crashsituations::waitForChild(pid, &status, crashsituations::childDeadline()))
      << "the child hung";
  return status;
}

class ROReradUzerirudPending : public ::testing::Test {
 protected:
  void SetUp() override {
    reporter_ = ROReradUzerirud::initWithApplicationIdentifier(
        "com.example.crasher", "7", "1.0",
        ROReradUzerirudConfig::initWithSignalHandlerType(ROReradUzerirudSignalHandlerTypeBSD, 0,
                                                         true, folder_.path().string()));
    ASSERT_TRUE(reporter_->populateCrashReportDirectoryAndReturnError(nullptr));
    std::ofstream(reporter_->crashReportPath(), std::ios::binary) << "earlier";
  }
  std::string pending() const {
    std::ifstream in(reporter_->crashReportPath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  TemporaryFolder folder_{"rocrash_pending"};
  std::shared_ptr<ROReradUzerirud> reporter_;
};

TEST_F(ROReradUzerirudPending, CrashBesideAnEarlierReportIsQueuedAndKeepsIt) {
  int status = crashBesideAnEarlierReport(*reporter_, false);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
  EXPECT_EQ(pending(), "earlier");
  auto queued = reporter_->queuedCrashReportPaths();
  ASSERT_EQ(queued.size(), 1u);
  std::ifstream in(queued[0], std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  std::shared_ptr<foundation::NSError> error;
  EXPECT_TRUE(ROCrashReport::create(bytes, &error));
  EXPECT_TRUE(reporter_->purgeQueuedCrashReports());
  EXPECT_TRUE(reporter_->queuedCrashReportPaths().empty());
}

TEST_F(ROReradUzerirudPending, WriterKilledMidwayLeavesNoCutReportAndKeepsTheEarlierOne) {
  if (KX_TSAN) {
    GTEST_SKIP() << "ThreadSanitizer runs vfork as fork: no thread waits in vfork, where the "
                    "writer could not park it";
  }
  int status = crashBesideAnEarlierReport(*reporter_, true);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ(pending(), "earlier");
  // Beside it, at most the empty file an enabling as root prepares.
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(reporter_->crashReportDirectory())) {
    if (entry.is_regular_file() && entry.file_size() != 0) {
      files.push_back(entry.path().filename().string());
    }
  }
  EXPECT_EQ(files, std::vector<std::string>{"live_report.rocrash"});
}

}  // namespace
