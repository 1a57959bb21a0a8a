// Annotations changed while another thread crashes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "AllocationCounter.h"
#include "CrashSituations.h"
#include "ROReradUzerirudChildren.h"
#include "base/BuildFacts.h"
#include "baseTest/Children.h"
#include "crash-capture/ROCrashReport.h"
#include "crash-capture/ROReradUzerirud.h"
#include "dispatchTest/TemporaryFolder.h"
#include "system/Mach.h"
#include "system/Threads.h"

namespace {

using base::testing::inChild;
using dispatch::testing::TemporaryFolder;
using reporterchildren::ChildReport;
using reporterchildren::crashInKnownFunction;
using reporterchildren::gPipe;
using reporterchildren::handleSignal;

// An annotation that another thread changes over and over while a thread
// crashes is in each report whole, with one of its values, and reading it
// at the crash allocates nothing. The changing thread keeps the parking
// signal blocked, so it goes on changing through the whole write. Each run
// is a child forked from one enabled process, and queues its own report.
// Under ThreadSanitizer, whose forks and writes are some ten times slower,
// fewer runs: a race it finds shows in any of them.
TEST(ROReradUzerirudAnnotations, ChangedWhileAnotherThreadCrashesIsWholeInEachReport) {
  constexpr int kRuns = KX_TSAN ? 40 : 200;
  const std::string values[] = {std::string(4096, 'a'), std::string(3000, 'b')};
  TemporaryFolder folder("rocrash_reporter");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const auto config = ROReradUzerirudConfig::initWithSignalHandlerType(
      ROReradUzerirudSignalHandlerTypeBSD, 0, true, folder.path().string());
  const int code = inChild([&] {
    close(fds[0]);
    gPipe = fds[1];
    for (int s : {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE, SIGTRAP}) signal(s, SIG_DFL);
    auto reporter =
        ROReradUzerirud::initWithApplicationIdentifier("com.example.race", "7", "1.0", config);
    ROReradUzerirudCallbacks callbacks = {0, nullptr, handleSignal};
    reporter->setCrashCallbacks(&callbacks);
    if (!reporter->enableCrashReporter()) return 1;
    if (!ROReradUzerirud::setAnnotation("steady", "kept")) return 2;
    for (int run = 0; run < kRuns; ++run) {
      const pid_t child = fork();
      if (child < 0) return 3;
      if (child == 0) {
        std::atomic<uint64_t> changes{0};
        std::thread([&] {
          sigset_t parking;
          sigemptyset(&parking);
          sigaddset(&parking, sys::thread_parking_signal());
          pthread_sigmask(SIG_BLOCK, &parking, nullptr);
          for (uint64_t i = 0;; ++i) {
            ROReradUzerirud::setAnnotation("race", values[i % 2]);
            changes.fetch_add(1);
          }
        }).detach();
        while (changes.load() < 2 + static_cast<uint64_t>(run % 7)) std::this_thread::yield();
        rocrash::testing::startCountingAllocations(/*thisThreadOnly=*/true);
        crashInKnownFunction();
        _exit(91);
      }
      int status = 0;
      if (!crashsituations::waitForChild(child, &status, crashsituations::childDeadline()) ||
          !WIFSIGNALED(status) || WTERMSIG(status) != SIGSEGV) {
        return 4;
      }
    }
    return 0;
  });
  close(fds[1]);
  ASSERT_EQ(code, 0);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  for (int run = 0; run < kRuns; ++run) {
    ChildReport report;
    ASSERT_EQ(read(fds[0], &report, sizeof report), static_cast<ssize_t>(sizeof report)) << run;
    EXPECT_EQ(report.allocations, 0u) << run;
  }
  close(fds[0]);

  auto reporter =
      ROReradUzerirud::initWithApplicationIdentifier("com.example.race", "7", "1.0", config);
  const auto queued = reporter->queuedCrashReportPaths();
  ASSERT_EQ(queued.size(), static_cast<size_t>(kRuns));
  for (const auto& path : queued) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    std::shared_ptr<foundation::NSError> error;
    auto report = ROCrashReport::create(bytes, &error);
    ASSERT_TRUE(report) << path << ": " << (error ? error->localizedDescription() : "");
    ASSERT_TRUE(report->annotations()) << path;
    const auto& annotations = *report->annotations();
    EXPECT_EQ(annotations.size(), 2u) << path;
    EXPECT_EQ(annotations.count("steady") ? annotations.at("steady") : "", "kept") << path;
    const std::string race = annotations.count("race") ? annotations.at("race") : "(none)";
    EXPECT_TRUE(race == values[0] || race == values[1])
        << path << ": " << race.size() << " bytes, from " << race.substr(0, 8);
    if (HasFailure()) return;
  }
}

}  // namespace
