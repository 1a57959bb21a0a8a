// Enabling a reporter: what it installs and what a failed enabling leaves,
// the host facts it reads, its configuration and paths. Everything about
// enabling changes the process for good: each case runs in a child and
// reports through its exit code.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>

#include "ROReradUzerirudChildren.h"
#include "baseTest/Children.h"
#include "baseTest/SystemCallFilter.h"
#include "crash-capture/ROReradUzerirud.h"
#include "dispatchTest/TemporaryFolder.h"
#include "log/ROCrashLog.h"
#include "objc/NSException.h"
#include "system/Mach.h"
#include "system/SystemFacts.h"
#include "system/Threads.h"

namespace {

using base::testing::inChild;
using dispatch::testing::TemporaryFolder;
using reporterchildren::callerOfTheCrash;
using reporterchildren::ChildResult;
using reporterchildren::handleSignal;
using reporterchildren::NoProcessRecords;
using reporterchildren::openDescriptors;
using reporterchildren::runCrashingChild;

TEST(ROReradUzerirudEnabling, EnablingAfterAFailedOneHoldsAndOnlyThenIsBusy) {
  TemporaryFolder folder("rocrash_reporter");
  std::string blocked = folder.path().string() + "/file";
  std::ofstream(blocked) << "x";  // a file where a folder must go
  EXPECT_EQ(
      inChild([&] {
        auto first = ROReradUzerirud::initWithApplicationIdentifier(
            "a", "1", std::nullopt, ROReradUzerirudConfig::initWithBasePath(blocked));
        std::shared_ptr<foundation::NSError> error;
        if (first->enableCrashReporterAndReturnError(&error)) return 1;
        if (!error || error->code() == ROReradUzerirudErrorBusy) return 2;
        auto good = ROReradUzerirudConfig::initWithBasePath(folder.path().string());
        auto second = ROReradUzerirud::initWithApplicationIdentifier("b", "1", std::nullopt, good);
        if (!second->enableCrashReporterAndReturnError(&error)) return 3;
        auto third = ROReradUzerirud::initWithApplicationIdentifier("c", "1", std::nullopt, good);
        if (third->enableCrashReporterAndReturnError(&error)) return 4;
        if (error->domain() != "ROReradUzerirudErrorDomain") return 5;
        if (error->code() != ROReradUzerirudErrorBusy) return 6;
        if (error->localizedDescription() !=
            "A ROReradUzerirud instance has already been enabled") {
          return 7;
        }
        return 0;
      }),
      0);
}

// A program that forked before enabling (here from the test program), under
// a filter that ends any process that asks the kernel what it shares with
// another (kcmp), as one that lists the calls it allows does: it holds
// nothing of another process's reporter, so nothing asks; enabling, a live
// report and its crash's report are had, and the crash ends it.
TEST(ROReradUzerirudEnabling, ProgramWhoseFilterEndsKcmpEnablesAndReports) {
  TemporaryFolder folder("rocrash_reporter");
  ChildResult result;
  runCrashingChild(
      folder.path().string(), ROReradUzerirudSignalHandlerTypeBSD,
      [] {
        auto live = ROReradUzerirud::initWithApplicationIdentifier(
            "com.example.live", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
        if (!live->generateLiveReport()) _exit(92);
        callerOfTheCrash();
      },
      &result, handleSignal,
      [] {
        // What the test program kept of its own live reports is its own.
        sys::thread_parking_release_folder();
        if (!base::testing::filterCalls({{SYS_kcmp, base::testing::callEndsTheProcess}}, true)) {
          _exit(93);
        }
      });
  EXPECT_TRUE(result.killedBy(SIGSEGV)) << result.status;
}

TEST(ROReradUzerirudEnabling, TypeTwoInstallsNoHandlerButTheExceptionHandler) {
  TemporaryFolder folder("rocrash_reporter");
  EXPECT_EQ(
      inChild([&] {
        signal(SIGSEGV, SIG_DFL);
        auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
            "a", "1", std::nullopt,
            ROReradUzerirudConfig::initWithSignalHandlerType(2, 0, true, folder.path().string()));
        if (!reporter->enableCrashReporter()) return 1;
        struct sigaction action;
        sigaction(SIGSEGV, nullptr, &action);
        if (action.sa_handler != SIG_DFL) return 2;
        if (rocrash::NSGetUncaughtExceptionHandler() != uncaught_exception_handler) return 3;
        struct stat st;
        if (stat(reporter->queuedCrashReportDirectory().c_str(), &st) != 0) return 4;
        if ((st.st_mode & 0777) != 0700) return 5;
        return 0;
      }),
      0);
}

TEST(ROReradUzerirudEnabling, CallbacksAfterEnablingRaise) {
  TemporaryFolder folder("rocrash_reporter");
  EXPECT_EQ(
      inChild([&] {
        auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
            "a", "1", std::nullopt,
            ROReradUzerirudConfig::initWithSignalHandlerType(2, 0, false, folder.path().string()));
        if (!reporter->enableCrashReporter()) return 1;
        if (rocrash::NSGetUncaughtExceptionHandler() != nullptr) return 2;
        ROReradUzerirudCallbacks callbacks = {0, nullptr, handleSignal};
        try {
          reporter->setCrashCallbacks(&callbacks);
        } catch (const objc::Ref<objc::NSException>& e) {
          return e->name() == "ROReradUzerirudException" &&
                         e->reason() == "The crash reporter has already been enabled"
                     ? 0
                     : 3;
        }
        return 4;
      }),
      0);
}

TEST(ROReradUzerirudEnabling, CallbacksOfAnotherVersionStopTheProcess) {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "a", "1", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  ROReradUzerirudCallbacks callbacks = {1, nullptr, handleSignal};
  EXPECT_DEATH(reporter->setCrashCallbacks(&callbacks), "callbacks->version == 0");
}

class KernelRelease : public sys::SystemFactSource {
 public:
  // Null: the release cannot be read.
  explicit KernelRelease(const char* release) : release_(release) {}
  std::optional<std::string> text(const std::string& name) override {
    if (name == "kern.osrelease") {
      if (release_ == nullptr) return std::nullopt;
      return std::string(release_);
    }
    return sys::SystemFactSource::text(name);
  }

 private:
  const char* release_;
};

sys::exception_mask_t machMaskWithKernel(const char* release) {
  sys::installSystemFactSource(std::make_shared<KernelRelease>(release));
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "a", "1", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  std::shared_ptr<ROCrashMachExceptionPortSet> previous;
  auto server = reporter->enableMachExceptionServerWithPreviousPortSet(
      &previous,
      [](sys::task_t, sys::thread_t, sys::exception_type_t, const uint64_t*, uint32_t,
         void*) -> sys::kern_return_t { return sys::KERN_FAILURE; },
      nullptr, nullptr);
  sys::installSystemFactSource(nullptr);
  if (!server) return 0;
  auto now =
      ROCrashMachExceptionPort::exceptionPortsForTask(sys::mach_task_self(), 0xFFFE, nullptr);
  sys::exception_mask_t mask = 0;
  for (const auto& p : *now) {
    if (sys::MACH_PORT_VALID(p->server_port())) mask |= p->mask();
  }
  return mask;
}

TEST(ROReradUzerirudEnabling, GuardExceptionsOnlyFromKernelThirteenOn) {
  EXPECT_EQ(inChild([] { return machMaskWithKernel("12.6.0") == 0x6E ? 0 : 1; }), 0);
  EXPECT_EQ(inChild([] { return machMaskWithKernel("13.0.0") == 0x106E ? 0 : 1; }), 0);
}

TEST(ROReradUzerirudEnabling, WriterThatCannotStartLeavesTheReporterDisabled) {
  TemporaryFolder folder("rocrash_reporter");
  EXPECT_EQ(inChild([&] {
              signal(SIGSEGV, SIG_DFL);
              auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
                  "a", "1", std::nullopt,
                  ROReradUzerirudConfig::initWithBasePath(folder.path().string()));
              sys::installSystemFactSource(std::make_shared<NoProcessRecords>());
              std::shared_ptr<foundation::NSError> error;
              if (reporter->enableCrashReporterAndReturnError(&error)) return 1;
              if (!error || error->code() != ROReradUzerirudErrorOperatingSystem) return 2;
              if (error->localizedDescription().find("crash log writer") == std::string::npos) {
                return 3;
              }
              struct sigaction action;
              sigaction(SIGSEGV, nullptr, &action);
              return action.sa_handler == SIG_DFL ? 0 : 4;
            }),
            0);
}

// Whether `signo` is blocked on the calling thread.
bool blockedHere(int signo) {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signo) == 1;
}

// An enabling that fails (here as on a machine without /proc: the writer has
// no record of the process) leaves the process as it found it: no descriptor
// kept, no action installed, masks set afterwards passed through unchanged.
TEST(ROReradUzerirudEnabling, FailedEnablingChangesNothing) {
  TemporaryFolder folder("rocrash_reporter");
  EXPECT_EQ(inChild([&] {
              signal(SIGSEGV, SIG_DFL);
              auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
                  "a", "1", std::nullopt,
                  ROReradUzerirudConfig::initWithBasePath(folder.path().string()));
              const size_t descriptors = openDescriptors();
              struct sigaction parking;
              sigaction(sys::thread_parking_signal(), nullptr, &parking);
              sys::installSystemFactSource(std::make_shared<NoProcessRecords>());
              const bool enabled = reporter->enableCrashReporter();
              sys::installSystemFactSource(nullptr);
              if (enabled) return 1;
              if (openDescriptors() != descriptors) return 2;
              struct sigaction now;
              sigaction(SIGSEGV, nullptr, &now);
              if (now.sa_handler != SIG_DFL) return 3;
              sigaction(sys::thread_parking_signal(), nullptr, &now);
              if (now.sa_handler != parking.sa_handler) return 4;
              sigset_t faults;
              sigemptyset(&faults);
              sigaddset(&faults, SIGSEGV);
              pthread_sigmask(SIG_BLOCK, &faults, nullptr);
              return blockedHere(SIGSEGV) ? 0 : 5;
            }),
            0);
}

TEST(ROCrashHostInfo, ReadsTheKernelReleaseAndKeepsWhatItScanned) {
  std::vector<std::string> lines;
  ROCrashSetLogSinkForTesting([&](const std::string& line) { lines.push_back(line); });
  sys::installSystemFactSource(std::make_shared<KernelRelease>("13.4.1-custom"));
  auto info = ROCrashHostInfo::currentHostInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->darwinVersion().major, 13);
  EXPECT_EQ(info->darwinVersion().minor, 4);
  EXPECT_EQ(info->darwinVersion().revision, 1);
  EXPECT_TRUE(lines.empty());
  sys::installSystemFactSource(std::make_shared<KernelRelease>("22"));
  info = ROCrashHostInfo::currentHostInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->darwinVersion().major, 22);
  EXPECT_EQ(info->darwinVersion().minor, 0);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "[ROReradUzerirud] Unexpected kern.osrelease string format: 22");
  sys::installSystemFactSource(std::make_shared<KernelRelease>(nullptr));
  EXPECT_FALSE(ROCrashHostInfo::currentHostInfo());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].rfind("[ROReradUzerirud] Failed to fetch kern.osrelease value ", 0), 0u);
  sys::installSystemFactSource(nullptr);
  ROCrashSetLogSinkForTesting(nullptr);
}

TEST(ROReradUzerirudConfig, FormsFillTheirDefaults) {
  auto d = ROReradUzerirudConfig::defaultConfiguration();
  EXPECT_EQ(d->signalHandlerType(), 0u);
  EXPECT_EQ(d->symbolicationStrategy(), 0u);
  EXPECT_TRUE(d->shouldRegisterUncaughtExceptionHandler());
  EXPECT_FALSE(d->basePath());
  auto b = ROReradUzerirudConfig::initWithBasePath("/x");
  EXPECT_EQ(b->basePath(), "/x");
  auto t = ROReradUzerirudConfig::initWithSignalHandlerType(1, 3, false);
  EXPECT_EQ(t->signalHandlerType(), 1u);
  EXPECT_EQ(t->symbolicationStrategy(), 3u);
  EXPECT_FALSE(t->shouldRegisterUncaughtExceptionHandler());
  EXPECT_FALSE(t->basePath());
}

TEST(ROReradUzerirudPaths, IdentifierSlashesBecomeUnderscores) {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example/app/x", "1", std::nullopt, ROReradUzerirudConfig::initWithBasePath("/base"));
  EXPECT_EQ(reporter->crashReportDirectory(), "/base/org.kestrix.crash-capture/com.example_app_x");
  EXPECT_EQ(reporter->crashReportPath(),
            "/base/org.kestrix.crash-capture/com.example_app_x/live_report.rocrash");
  EXPECT_EQ(reporter->queuedCrashReportDirectory(),
            "/base/org.kestrix.crash-capture/com.example_app_x/queued_reports");
  EXPECT_EQ(reporter->mapToAsyncSymbolicationStrategy(0), 0u);
  EXPECT_EQ(reporter->mapToAsyncSymbolicationStrategy(7), 3u);
  EXPECT_FALSE(reporter->hasPendingCrashReport());
  std::shared_ptr<foundation::NSError> error;
  EXPECT_FALSE(reporter->loadPendingCrashReportDataAndReturnError(&error));
  EXPECT_TRUE(error);
  EXPECT_FALSE(reporter->purgePendingCrashReport());
}

}  // namespace
