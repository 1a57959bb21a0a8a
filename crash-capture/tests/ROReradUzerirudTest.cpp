#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "AllocationCounter.h"
#include "CrashSituations.h"
#include "base/BuildFacts.h"
#include "baseTest/Children.h"
#include "baseTest/Polling.h"
#include "baseTest/SystemCallFilter.h"
#include "crash-capture/ROCrashReport.h"
#include "crash-capture/ROReradUzerirud.h"
#include "crash_report.pb-c.h"
#include "dispatchTest/Faults.h"
#include "dispatchTest/TemporaryFolder.h"
#include "log/ROCrashLog.h"
#include "objc/NSException.h"
#include "reporter/ROReradUzerirudGate.h"
#include "system/Mach.h"
#include "system/SystemFacts.h"
#include "system/Threads.h"
#include "systemTest/DescriptorTables.h"

namespace {

namespace fs = std::filesystem;

using dispatch::testing::TemporaryFolder;

// What a crashing child tells its parent through a pipe.
struct ChildReport {
  uint64_t allocations = ~0ull;
  uint64_t marker = 0;
};

int gPipe = -1;

void sendToParent(const ChildReport& report) {
  ssize_t n = write(gPipe, &report, sizeof report);
  (void)n;
}

// Counts the allocations made since the crash and hands them to the parent.
void handleSignal(siginfo_t*, void*, void*) {
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
void runCrashingChild(const std::string& folder, uint64_t type, const std::function<void()>& crash,
                      ChildResult* result, void (*handle)(siginfo_t*, void*, void*) = handleSignal,
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

__attribute__((noinline)) void crashInKnownFunction() {
  dispatch::testing::storeToLowAddress(0x10);
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void callerOfTheCrash() {
  crashInKnownFunction();
  asm volatile("" ::: "memory");
}

bool insideFunction(uint64_t pc, void (*function)()) {
  uint64_t start = reinterpret_cast<uint64_t>(function);
  return pc >= start && pc < start + 512;
}

void expectHostRegisters(const Rocrash__CrashReport__Thread* thread) {
  ASSERT_EQ(thread->n_registers, 21u);
  EXPECT_STREQ(thread->registers[0]->name, "rip");
  ASSERT_GE(thread->n_frames, 1u);
  EXPECT_EQ(thread->frames[0]->pc, thread->registers[0]->value);
}

class ROReradUzerirudCrash : public ::testing::TestWithParam<uint64_t> {};

TEST_P(ROReradUzerirudCrash, FaultInAKnownFunctionIsWrittenWithoutAllocating) {
  TemporaryFolder folder("rocrash_reporter");
  ChildResult result;
  runCrashingChild(
      folder.path().string(), GetParam(), [] { callerOfTheCrash(); }, &result);
  EXPECT_TRUE(result.killedBy(SIGSEGV)) << result.status;
  EXPECT_EQ(result.report.marker, 1u) << "the crash callback ran";
  EXPECT_EQ(result.report.allocations, 0u);

  auto* m = result.message;
  EXPECT_STREQ(m->signal->name, "SIGSEGV");
  EXPECT_STREQ(m->signal->code, "SEGV_MAPERR");
  EXPECT_EQ(m->signal->address, 0x10u);
  if (GetParam() == ROReradUzerirudSignalHandlerTypeMach) {
    ASSERT_NE(m->signal->mach_exception, nullptr);
    EXPECT_EQ(m->signal->mach_exception->type, 1u);
    ASSERT_EQ(m->signal->mach_exception->n_codes, 2u);
    EXPECT_EQ(m->signal->mach_exception->codes[1], 0x10u);
    EXPECT_GE(m->n_threads, 2u);  // the crashed thread and the server
  } else {
    EXPECT_EQ(m->signal->mach_exception, nullptr);
  }
  EXPECT_FALSE(m->report_info->user_requested);
  EXPECT_STREQ(m->application_info->identifier, "com.example.crasher");
  auto* crashed = result.crashedThread();
  ASSERT_NE(crashed, nullptr);
  expectHostRegisters(crashed);
  ASSERT_GE(crashed->n_frames, 2u);
  EXPECT_TRUE(insideFunction(crashed->frames[0]->pc, crashInKnownFunction));
  EXPECT_TRUE(insideFunction(crashed->frames[1]->pc, callerOfTheCrash));
  EXPECT_GE(m->n_binary_images, 2u);
}

TEST_P(ROReradUzerirudCrash, WorkersAreParkedAndListedWithTheirStacks) {
  TemporaryFolder folder("rocrash_reporter");
  ChildResult result;
  runCrashingChild(
      folder.path().string(), GetParam(),
      [] {
        static std::mutex mutex;
        static std::condition_variable cv;
        static int ready = 0;
        for (int i = 0; i < 2; ++i) {
          std::thread([] {
            std::unique_lock<std::mutex> lock(mutex);
            ++ready;
            cv.notify_all();
            cv.wait(lock, [] { return false; });
          }).detach();
        }
        {
          std::unique_lock<std::mutex> lock(mutex);
          cv.wait(lock, [] { return ready == 2; });
        }
        callerOfTheCrash();
      },
      &result);
  EXPECT_TRUE(result.killedBy(SIGSEGV));
  auto* m = result.message;
  ASSERT_GE(m->n_threads, 3u);
  int withFrames = 0;
  for (size_t i = 0; i < m->n_threads; ++i) {
    EXPECT_EQ(m->threads[i]->thread_number, i);
    if (!m->threads[i]->crashed) {
      EXPECT_EQ(m->threads[i]->n_registers, 0u);
      withFrames += m->threads[i]->n_frames > 0;
    }
  }
  EXPECT_GE(withFrames, 2);
}

TEST_P(ROReradUzerirudCrash, StackOverflowIsReported) {
  TemporaryFolder folder("rocrash_reporter");
  ChildResult result;
  runCrashingChild(
      folder.path().string(), GetParam(),
      [] {
        struct Deep {
          __attribute__((noinline)) static int go(int depth) {
            volatile char pad[512];
            pad[0] = static_cast<char>(depth);
            if (depth == 1 << 30) return 0;
            return go(depth + 1) + pad[0];
          }
        };
        Deep::go(0);
      },
      &result);
  EXPECT_TRUE(result.killedBy(SIGSEGV)) << result.status;
  auto* crashed = result.crashedThread();
  ASSERT_NE(crashed, nullptr);
  EXPECT_EQ(crashed->n_frames, 512u);
}

INSTANTIATE_TEST_SUITE_P(SignalsAndMach, ROReradUzerirudCrash,
                         ::testing::Values(ROReradUzerirudSignalHandlerTypeBSD,
                                           ROReradUzerirudSignalHandlerTypeMach),
                         [](const auto& info) {
                           return info.param == ROReradUzerirudSignalHandlerTypeBSD ? "Signals"
                                                                                    : "Mach";
                         });

TEST(ROReradUzerirudAbort, AbortIsWrittenAsSIGABRT) {
  TemporaryFolder folder("rocrash_reporter");
  ChildResult result;
  runCrashingChild(
      folder.path().string(), ROReradUzerirudSignalHandlerTypeMach, [] { abort(); }, &result);
  EXPECT_TRUE(result.killedBy(SIGABRT));
  EXPECT_STREQ(result.message->signal->name, "SIGABRT");
  EXPECT_EQ(result.message->signal->mach_exception, nullptr);
  EXPECT_EQ(result.report.allocations, 0u);
}

// The second uncaught exception, met during the first one's abort, returns
// without touching the writer. It is made before the crash: the callback runs
// inside the signal handler, where nothing may allocate.
objc::Ref<objc::NSException> gSecondException;

void handleSignalThenSecondException(siginfo_t*, void*, void*) {
  uncaught_exception_handler(gSecondException.get());
  ChildReport report;
  report.marker = 2;
  sendToParent(report);
}

TEST(ROReradUzerirudAbort, UncaughtExceptionIsRecordedOnceAndAborts) {
  TemporaryFolder folder("rocrash_reporter");
  ChildResult result;
  runCrashingChild(
      folder.path().string(), ROReradUzerirudSignalHandlerTypeBSD,
      [] {
        auto handler = rocrash::NSGetUncaughtExceptionHandler();
        if (handler != uncaught_exception_handler) _exit(80);
        gSecondException = objc::NSException::exceptionWithName("Second", "later");
        objc::Ref<objc::NSException> caught;
        try {
          objc::NSException::raise("NSInvalidArgumentException", "bad argument");
        } catch (const objc::Ref<objc::NSException>& e) {
          caught = e;
        }
        handler(caught.get());
      },
      &result, handleSignalThenSecondException);
  EXPECT_TRUE(result.killedBy(SIGABRT));
  EXPECT_EQ(result.report.marker, 2u) << "the second exception returned";
  auto* e = result.message->exception;
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->name, "NSInvalidArgumentException");
  EXPECT_STREQ(e->reason, "bad argument");
  EXPECT_GE(e->n_frames, 1u);
}

// Everything about enabling changes the process for good: each case runs in
// a child and reports through its exit code.
using base::testing::inChild;

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

// A machine that cannot describe any process: the crash log writer cannot start.
class NoProcessRecords : public sys::SystemFactSource {
 public:
  std::optional<sys::ProcessRecord> currentProcess() override { return std::nullopt; }
  std::optional<sys::ProcessRecord> parentProcess() override { return std::nullopt; }
  std::optional<sys::ProcessRecord> process(pid_t) override { return std::nullopt; }
};

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

// The descriptors the process has open, seen through the calling thread
// (the process's view is gone once its first thread has ended).
size_t openDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/thread-self/fd")) ++count;
  return count;
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

TEST(ROReradUzerirudLive, ReportOfTheCallingThreadIsUserRequested) {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.live", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  std::vector<uint8_t> custom = {9};
  reporter->setCustomData(custom);
  std::shared_ptr<foundation::NSError> error;
  auto data = reporter->generateLiveReportAndReturnError(&error);
  ASSERT_TRUE(data) << (error ? error->localizedDescription() : "");
  auto report = ROCrashReport::create(*data, &error);
  ASSERT_TRUE(report) << (error ? error->localizedDescription() : "");
  EXPECT_EQ(report->signalInfo()->name(), "SIGTRAP");
  EXPECT_EQ(report->signalInfo()->code(), "TRAP_TRACE");
  // The address is the return address into this test.
  uint64_t address = report->signalInfo()->address();
  int crashed = 0;
  for (const auto& t : report->threads()) {
    if (!t->crashed()) continue;
    ++crashed;
    ASSERT_GE(t->stackFrames().size(), 3u);
    EXPECT_EQ(t->registers().size(), 21u);
    EXPECT_NE(address, 0u);
  }
  EXPECT_EQ(crashed, 1);
  EXPECT_EQ(report->customData(), custom);
  EXPECT_FALSE(fs::exists(fs::path("/tmp") / "live_crash_report.XXXXXX"));
}

TEST(ROReradUzerirudLive, WriterThatCannotStartGivesNoReport) {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.live", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  sys::installSystemFactSource(std::make_shared<NoProcessRecords>());
  std::shared_ptr<foundation::NSError> error;
  auto data = reporter->generateLiveReportAndReturnError(&error);
  sys::installSystemFactSource(nullptr);
  EXPECT_FALSE(data);
  ASSERT_TRUE(error);
  EXPECT_NE(error->localizedDescription().find("crash log writer"), std::string::npos);
}

// A crash that waits for a live report is written next, however quickly a
// thread takes the next report once one ends.
TEST(ROReradUzerirudLive, CrashWaitingForAReportGoesBeforeTheNextOne) {
  EXPECT_EQ(inChild([] {
              static std::atomic<int> taken{0};
              std::thread([] {
                for (int i = 0; i < 2000; ++i) {
                  rocrash::reporter::beginLiveReport();
                  ++taken;
                  std::this_thread::sleep_for(std::chrono::microseconds(200));
                  rocrash::reporter::endLiveReport();
                }
              }).detach();
              while (taken.load() == 0) std::this_thread::yield();
              if (!rocrash::reporter::beginCrash(SIGSEGV)) return 2;
              // Kept waiting, it would have the gate only after the last.
              return taken.load() < 1000 ? 0 : 1;
            }),
            0);
}

TEST(ROReradUzerirudLive, ReportOfAnotherThreadLeavesTheCallerOut) {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.live", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::atomic<sys::thread_t> tid{0};
  std::thread other([&] {
    tid = sys::mach_thread_self();
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return done; });
  });
  while (tid == 0) std::this_thread::yield();
  sys::thread_t threads[128];
  uint32_t count = 0;
  EXPECT_EQ(sys::task_threads(sys::mach_task_self(), threads, 128, &count), sys::KERN_SUCCESS);
  auto data = reporter->generateLiveReportWithThread(tid);
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  cv.notify_all();
  other.join();
  ASSERT_TRUE(data);
  auto* m = rocrash__crash_report__unpack(nullptr, data->size() - 8, data->data() + 8);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->n_threads, count - 1);
  int crashed = 0;
  for (size_t i = 0; i < m->n_threads; ++i) crashed += m->threads[i]->crashed;
  EXPECT_EQ(crashed, 1);
  EXPECT_TRUE(m->report_info->user_requested);
  rocrash__crash_report__free_unpacked(m, nullptr);
}

// A live report in a forked child, whose thread list comes through the
// folder the parent keeps, leaves the child's threads one descriptor table.
TEST(ROReradUzerirudLive, ReportInAForkedChildLeavesItsThreadsOneDescriptorTable) {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.live", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  sys::thread_parking_prepare();
  EXPECT_EQ(
      sys::testing::childTableAfter([&] { return reporter->generateLiveReport().has_value(); }),
      sys::testing::ChildTable::shared);
}

// ---- Descriptors of children ----

// What descriptor `fd` is open on (device and inode); {} when it is not.
std::pair<dev_t, ino_t> openOn(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return {};
  return {st.st_dev, st.st_ino};
}

// The descriptor the thread list keeps (on a folder named "task"), or -1.
int keptTaskFolder() {
  for (int fd = 3; fd < 1024; ++fd) {
    char link[64], target[256];
    snprintf(link, sizeof link, "/proc/thread-self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n > 5 && std::string(target, static_cast<size_t>(n)).ends_with("/task")) return fd;
  }
  return -1;
}

// Whether thread `tid` of this process runs (has not ended).
bool threadRuns(pid_t tid) {
  char path[64], text[512];
  snprintf(path, sizeof path, "/proc/thread-self/../%d/stat", static_cast<int>(tid));
  FILE* file = fopen(path, "r");
  if (file == nullptr) return false;
  const bool read = fgets(text, sizeof text, file) != nullptr;
  fclose(file);
  const char* end = read ? strrchr(text, ')') : nullptr;
  return end != nullptr && end[2] != 'Z' && end[2] != 'X';
}

// Starts `body` in a child made by clone with CLONE_FILES: it shares the
// caller's descriptor table, in a copy of its memory; its pid. The caller
// has one thread.
pid_t startSharingDescriptors(const std::function<int()>& body) {
  static char stack[256 * 1024];
  return clone([](void* call) { return (*static_cast<std::function<int()>*>(call))(); },
               stack + sizeof stack, CLONE_FILES | SIGCHLD,
               const_cast<std::function<int()>*>(&body));
}

// A live report, in a child process `generations` deep, each with as many
// descriptors open after its report as the caller: none is left per
// generation.
int reportsInGenerations(ROReradUzerirud& reporter, int generations, size_t open) {
  if (!reporter.generateLiveReport() || openDescriptors() != open) {
    fprintf(stderr, "%zu descriptors open, against %zu\n", openDescriptors(), open);
    return 1;
  }
  if (generations == 0) return 0;
  return base::testing::inChild(
      [&] { return reportsInGenerations(reporter, generations - 1, open); });
}

// Forked generations where kcmp is refused, as a container's filter refuses
// it, and children that share their parent's descriptors (CLONE_FILES), its
// thread list's folder kept or not, where the kernel would say what they
// share, where it cannot (kcmp refused, or the parent's first thread ended),
// where asking it ends the process or traps (as filters that list the calls
// they allow do), and in
// a pid namespace that kept the host's /proc (where the parent's number
// names another process): each live report leaves the descriptors as they
// were.
TEST(ROReradUzerirudLive, ChildrensReportsLeaveNoDescriptorBehind) {
  if (KX_TSAN) GTEST_SKIP() << "ThreadSanitizer fails in a clone child";
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.live", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  for (const int refusal : {EPERM, ENOSYS}) {
    SCOPED_TRACE(strerror(refusal));
    const int code = inChild([&] {
      if (!base::testing::filterCalls({{SYS_kcmp, base::testing::callFails(refusal)}}, true) ||
          !reporter->generateLiveReport()) {
        return 2;
      }
      return reportsInGenerations(*reporter, 5, openDescriptors());
    });
    EXPECT_EQ(code, 0);
  }
  const std::map<std::string, uint32_t> kcmpFilters = {
      {"kcmp refused", base::testing::callFails(EPERM)},
      {"kcmp ends the process", base::testing::callEndsTheProcess},
      {"kcmp traps", base::testing::callTraps}};
  for (const std::string way : {"told", "kcmp refused", "kcmp ends the process", "kcmp traps",
                                "first thread ended", "pid namespace, the host's /proc"}) {
    for (const bool kept : {true, false}) {
      SCOPED_TRACE(way + (kept ? ", the folder kept" : ", no folder kept"));
      auto children = [&] {
        if (!reporter->generateLiveReport()) return 2;
        if (!kept) sys::thread_parking_release_folder();
        const size_t open = openDescriptors();
        for (int child = 0; child < 10; ++child) {
          int status = 0;
          const pid_t pid =
              startSharingDescriptors([&] { return reporter->generateLiveReport() ? 0 : 1; });
          if (pid < 0 ||
              !base::testing::waitForChild(pid, &status, base::testing::childDeadline()) ||
              status != 0) {
            return 2;
          }
        }
        if (openDescriptors() == open) return 0;
        fprintf(stderr, "%zu descriptors open, against %zu\n", openDescriptors(), open);
        return 1;
      };
      if (way.starts_with("pid namespace")) {
        const auto code = base::testing::inPidNamespace(children);
        if (code) {
          EXPECT_EQ(*code, 0);
        }
        continue;
      }
      const int code = inChild([&] {
        if (const auto filter = kcmpFilters.find(way);
            filter != kcmpFilters.end() &&
            !base::testing::filterCalls({{SYS_kcmp, filter->second}}, true)) {
          return 2;
        }
        if (way != "first thread ended") return children();
        const pid_t first = getpid();
        std::thread([&] {
          base::testing::within([&] { return !threadRuns(first); });
          _exit(children());
        }).detach();
        syscall(SYS_exit, 0);  // this thread alone, as pthread_exit ends it
        return 2;
      });
      EXPECT_EQ(code, 0);
    }
  }
}

// A live report in a child that shares its parent's descriptors (CLONE_FILES)
// where /proc cannot say so, as the parent (the owner of the thread list's
// folder) is named by a first thread that has ended, or is gone, its id
// perhaps another process's now: the folder the owner keeps stays open, on
// what it was opened on.
TEST(ROReradUzerirudLive, ChildKeepsTheFolderOfAnOwnerItCannotTellItsTableFrom) {
  if (KX_TSAN) GTEST_SKIP() << "ThreadSanitizer fails in a clone child";
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.live", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  // In the owner, after its own report: whether the report of a child that
  // shares its descriptors left the folder as it was.
  auto childKeepsTheFolder = [&] {
    const int kept = keptTaskFolder();
    const auto folder = openOn(kept);
    int status = 0;
    const pid_t child = startSharingDescriptors(
        [&] { return reporter->generateLiveReport() && openOn(kept) == folder ? 0 : 1; });
    return kept >= 0 && child > 0 &&
           base::testing::waitForChild(child, &status, base::testing::childDeadline()) &&
           status == 0 && openOn(kept) == folder;
  };
  {
    SCOPED_TRACE("the owner's first thread has ended");
    const int code = inChild([&] {
      if (!reporter->generateLiveReport()) return 2;
      const pid_t first = getpid();
      std::thread([&] {
        base::testing::within([&] { return !threadRuns(first); });
        _exit(childKeepsTheFolder() ? 0 : 1);
      }).detach();
      syscall(SYS_exit, 0);  // this thread alone, as pthread_exit ends it
      return 2;
    });
    EXPECT_EQ(code, 0);
  }
  // Gone, or gone with its id given to another process since.
  for (const bool idGivenAgain : {false, true}) {
    SCOPED_TRACE(idGivenAgain ? "the owner's id is another process's" : "the owner is gone");
    const int code = base::testing::inNewPidNamespace([&] {
      int go[2], verdict[2];
      if (pipe(go) != 0 || pipe(verdict) != 0) return 2;
      const pid_t owner = fork();
      if (owner == 0) {
        if (!reporter->generateLiveReport()) _exit(2);
        const int kept = keptTaskFolder();
        const auto folder = openOn(kept);
        const pid_t child = startSharingDescriptors([&] {
          char byte = 1;
          if (read(go[0], &byte, 1) != 1) return 1;
          byte = reporter->generateLiveReport() && openOn(kept) == folder ? 0 : 1;
          return write(verdict[1], &byte, 1) == 1 ? 0 : 1;
        });
        _exit(kept >= 0 && child > 0 ? 0 : 2);
      }
      int status = 0;
      const auto deadline = base::testing::childDeadline();
      char byte = 2;
      if (!base::testing::waitForChild(owner, &status, deadline) || status != 0) return 2;
      if (idGivenAgain) usleep(20'000);  // a later start, by the kernel's clock ticks
      const pid_t other = idGivenAgain ? base::testing::forkWithId(owner) : -2;
      if (other == 0) _exit(pause());
      if (other == -1 || write(go[1], &byte, 1) != 1 ||
          !base::testing::readableBefore(verdict[0], deadline) || read(verdict[0], &byte, 1) != 1) {
        return 2;
      }
      if (other > 0) kill(other, SIGKILL);
      return static_cast<int>(byte);
    });
    if (code < 0) GTEST_SKIP() << "the kernel refuses a pid namespace here";
    EXPECT_EQ(code, 0);
  }
}

TEST(ROReradUzerirudLive, ProtocReadsTheReportIndependently) {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.protoc", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  ASSERT_TRUE(ROReradUzerirud::setAnnotation("session", "caf\xC3\xA9"));
  auto data = reporter->generateLiveReport();
  ROReradUzerirud::removeAnnotation("session");
  ASSERT_TRUE(data);
  TemporaryFolder folder("rocrash_reporter");
  std::string body = folder.path().string() + "/body.bin";
  std::ofstream(body, std::ios::binary)
      .write(reinterpret_cast<const char*>(data->data() + 8),
             static_cast<std::streamsize>(data->size() - 8));
  std::string command = std::string("protoc --decode=rocrash.CrashReport -I ") +
                        ROCRASH_SCHEMA_DIR + " " + ROCRASH_SCHEMA_DIR + "/crash_report.proto < " +
                        body + " 2>&1";
  FILE* out = popen(command.c_str(), "r");
  ASSERT_NE(out, nullptr);
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, out)) > 0) text.append(buffer, n);
  EXPECT_EQ(pclose(out), 0) << text;
  EXPECT_NE(text.find("identifier: \"com.example.protoc\""), std::string::npos);
  EXPECT_NE(text.find("name: \"SIGTRAP\""), std::string::npos);
  EXPECT_NE(text.find("name: \"rip\""), std::string::npos);
  EXPECT_NE(text.find("annotations {\n  entries {\n    name: \"session\"\n    value: "
                      "\"caf\\303\\251\"\n  }\n}"),
            std::string::npos)
      << text.substr(text.find("annotations"));
}

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

// In a pid namespace that kept the host's /proc, where the process's own
// number names another process there, its report and its forked child's
// name the processes they are, and their parents.
TEST(ROReradUzerirudNamespaces, ReportsInAPidNamespaceWithTheHostsProcNameTheirOwnProcesses) {
#if KX_TSAN
  GTEST_SKIP() << "ThreadSanitizer starts a thread of its own in each process, whose id comes "
                  "from the namespace's numbers, so the processes do not get the ids counted on";
#endif
  TemporaryFolder folder("rocrash_reporter");
  const auto config = ROReradUzerirudConfig::initWithSignalHandlerType(
      ROReradUzerirudSignalHandlerTypeBSD, 0, true, folder.path().string());
  const auto code = base::testing::inPidNamespace([&] {
    for (int s : {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE, SIGTRAP}) signal(s, SIG_DFL);
    prctl(PR_SET_NAME, "kx-ns-crasher");
    auto reporter =
        ROReradUzerirud::initWithApplicationIdentifier("com.example.ns", "7", "1.0", config);
    if (!reporter->enableCrashReporter()) return 1;
    const pid_t child = fork();
    if (child == 0) {
      prctl(PR_SET_NAME, "kx-ns-child");
      crashInKnownFunction();
      _exit(2);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFSIGNALED(status)) return 3;
    crashInKnownFunction();
    return 4;
  });
  if (!code) GTEST_SKIP() << "the system gives this test no pid namespace";
  ASSERT_EQ(*code, 100 + SIGSEGV);
  auto reporter =
      ROReradUzerirud::initWithApplicationIdentifier("com.example.ns", "7", "1.0", config);
  const auto decoded = [](const std::vector<uint8_t>& bytes) {
    return ROCrashReport::create(bytes, nullptr);
  };
  auto pending = reporter->loadPendingCrashReportData();
  ASSERT_TRUE(pending);
  auto own = decoded(*pending);
  ASSERT_TRUE(own && own->processInfo());
  EXPECT_EQ(own->processInfo()->processName(), "kx-ns-crasher");
  EXPECT_EQ(own->processInfo()->processID(), 2u);
  EXPECT_EQ(own->processInfo()->parentProcessID(), 1u);
  const auto queued = reporter->queuedCrashReportPaths();
  ASSERT_EQ(queued.size(), 1u);
  std::ifstream in(queued[0], std::ios::binary);
  auto forked = decoded(
      std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
  ASSERT_TRUE(forked && forked->processInfo());
  EXPECT_EQ(forked->processInfo()->processName(), "kx-ns-child");
  EXPECT_EQ(forked->processInfo()->processID(), 3u);
  EXPECT_EQ(forked->processInfo()->parentProcessName(), "kx-ns-crasher");
  EXPECT_EQ(forked->processInfo()->parentProcessID(), 2u);
  EXPECT_GE(forked->processInfo()->identity().startTicks,
            own->processInfo()->identity().startTicks);
}

// ---- Programs that never crash ----

// A program closing a library from one of its global destructors, after
// the engine's globals were destroyed, exits as it would without the engine.
TEST(ROReradUzerirudSideEffects, LibraryClosedInAGlobalDestructorLetsTheProgramExit) {
  for (const char* type : {"signals", "mach"}) {
    SCOPED_TRACE(type);
    crashsituations::ChildRun run;
    crashsituations::runChild("dlclose-at-exit", type, &run);
    EXPECT_FALSE(run.hung);
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status;
    EXPECT_TRUE(run.bytes.empty());
  }
}

// The mappings of files the process has (the sanitizers' allocators add
// anonymous ones as they hold freed memory back).
long fileMappingCount() {
  std::ifstream maps("/proc/self/maps");
  long files = 0;
  for (std::string line; std::getline(maps, line);) files += line.find(" /") != std::string::npos;
  return files;
}

// A program that opens and closes a library for ever keeps as many mappings
// as it had: a closed library's records (and its file's mapping) go.
TEST(ROReradUzerirudSideEffects, OpeningAndClosingLibrariesLeavesTheMappingsAsTheyWere) {
  TemporaryFolder folder("rocrash_reporter");
  EXPECT_EQ(inChild([&] {
              auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
                  "a", "1", std::nullopt,
                  ROReradUzerirudConfig::initWithBasePath(folder.path().string()));
              if (!reporter->enableCrashReporter()) return 1;
              auto cycles = [](int count) {
                for (int i = 0; i < count; ++i) {
                  void* library = dlopen(ROCRASH_PLUGIN_A, RTLD_NOW);
                  if (library == nullptr || dlclose(library) != 0) return false;
                }
                return true;
              };
              if (!cycles(10)) return 2;
              const long before = fileMappingCount();
              if (!cycles(200)) return 3;
              return fileMappingCount() <= before ? 0 : 4;
            }),
            0);
}

// A thread that exists at enabling and waits for every signal with
// sigwaitinfo gets only the program's own: neither enabling nor a live
// report sends it the engine's.
TEST(ROReradUzerirudSideEffects, ThreadWaitingForSignalsAtEnablingGetsOnlyItsOwn) {
  TemporaryFolder folder("rocrash_reporter");
  EXPECT_EQ(inChild([&] {
              std::atomic<bool> waiting{false};
              std::atomic<int> received{0};
              std::thread waiter([&] {
                sigset_t all;
                sigfillset(&all);
                pthread_sigmask(SIG_BLOCK, &all, nullptr);
                waiting = true;
                siginfo_t info;
                received = sigwaitinfo(&all, &info);
              });
              while (!waiting.load()) std::this_thread::yield();
              auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
                  "a", "1", std::nullopt,
                  ROReradUzerirudConfig::initWithBasePath(folder.path().string()));
              if (!reporter->enableCrashReporter()) return 1;
              if (!reporter->generateLiveReport()) return 2;
              pthread_kill(waiter.native_handle(), SIGUSR1);
              waiter.join();
              return received.load() == SIGUSR1 ? 0 : 100 + received.load();
            }),
            0);
}

// A copy of the test plugin whose function "kx_plugin_a_run" claims
// `size` bytes in its symbol table (.symtab), as a damaged or hostile file
// may; empty when the plugin has no such symbol.
std::string pluginClaiming(const std::string& folder, uint64_t size) {
  std::ifstream in(ROCRASH_PLUGIN_A, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Elf64_Ehdr eh;
  if (bytes.size() < sizeof eh) return {};
  std::memcpy(&eh, bytes.data(), sizeof eh);
  auto section = [&](unsigned i) {
    Elf64_Shdr sh;
    std::memcpy(&sh, bytes.data() + eh.e_shoff + i * sizeof sh, sizeof sh);
    return sh;
  };
  for (unsigned i = 0; i < eh.e_shnum; ++i) {
    const Elf64_Shdr symtab = section(i);
    if (symtab.sh_type != SHT_SYMTAB) continue;
    const Elf64_Shdr strings = section(symtab.sh_link);
    for (uint64_t at = symtab.sh_offset;
         at + sizeof(Elf64_Sym) <= symtab.sh_offset + symtab.sh_size; at += sizeof(Elf64_Sym)) {
      Elf64_Sym sym;
      std::memcpy(&sym, bytes.data() + at, sizeof sym);
      if (std::strcmp(bytes.data() + strings.sh_offset + sym.st_name, "kx_plugin_a_run") != 0) {
        continue;
      }
      sym.st_size = size;
      std::memcpy(bytes.data() + at, &sym, sizeof sym);
      const std::string path = folder + "/libkx_plugin_claims.so";
      std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());
      return path;
    }
  }
  return {};
}

// A library whose symbol claims 2^62 bytes opens: listing it takes no work in
// proportion to what a symbol claims (such work would not end before the
// child's hang guard), whatever the machine's load.
TEST(ROReradUzerirudSideEffects, LibraryWithAHugeSymbolOpensPromptly) {
  TemporaryFolder folder("rocrash_reporter");
  const std::string plugin = pluginClaiming(folder.path().string(), uint64_t{1} << 62);
  ASSERT_FALSE(plugin.empty());
  EXPECT_EQ(inChild([&] {
              auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
                  "a", "1", std::nullopt,
                  ROReradUzerirudConfig::initWithBasePath(folder.path().string()));
              if (!reporter->enableCrashReporter()) return 1;
              return dlopen(plugin.c_str(), RTLD_NOW) != nullptr ? 0 : 2;
            }),
            0);
}

}  // namespace
