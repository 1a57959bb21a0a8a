// Crashes in a forked child of the test: a fault in a known function,
// parked workers, a stack overflow, aborts and uncaught exceptions, and a
// crash in a pid namespace; each report is read back whole.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "ROReradUzerirudChildren.h"
#include "base/BuildFacts.h"
#include "crash-capture/ROCrashReport.h"
#include "crash-capture/ROReradUzerirud.h"
#include "crash_report.pb-c.h"
#include "dispatchTest/TemporaryFolder.h"
#include "objc/NSException.h"

namespace {

using dispatch::testing::TemporaryFolder;
using reporterchildren::callerOfTheCrash;
using reporterchildren::ChildReport;
using reporterchildren::ChildResult;
using reporterchildren::crashInKnownFunction;
using reporterchildren::runCrashingChild;
using reporterchildren::sendToParent;

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

}  // namespace
