// Children of a crashing program whose process id is one their parent had:
// made in a pid namespace of their own (the first process of each namespace
// has id 1), or given an ended ancestor's id again. Each runs in a pid
// namespace of the test's own, where ids can be chosen; where the kernel
// refuses one, the tests are skipped.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/BuildFacts.h"
#include "baseTest/Children.h"
#include "baseTest/Polling.h"
#include "baseTest/SystemCallFilter.h"
#include "crash-capture/ROCrashReport.h"
#include "crash-capture/ROReradUzerirud.h"
#include "dispatchTest/Faults.h"
#include "dispatchTest/Processes.h"
#include "dispatchTest/TemporaryFolder.h"
#include "objc/NSException.h"
#include "systemTest/Parking.h"

namespace {

using std::chrono::seconds;
using std::chrono::steady_clock;

// The situation, and where its reports go.
std::string gRow;
std::string gFolder;
// Where the child of the crash's parent says how it ended, when the program
// is not there to end with it (see firstProcess).
int gVerdicts[2] = {-1, -1};
bool gInChild = false;
std::atomic<pid_t> gForked{0};

constexpr uintptr_t kParentsFault = 0x10;
constexpr uintptr_t kChildsFault = 0x20;

std::shared_ptr<ROReradUzerirudConfig> config() {
  return ROReradUzerirudConfig::initWithSignalHandlerType(ROReradUzerirudSignalHandlerTypeBSD, 0,
                                                          true, gFolder);
}

std::shared_ptr<ROReradUzerirud> reporterOf() {
  return ROReradUzerirud::initWithApplicationIdentifier("com.example.ids", "7", "1.0", config());
}

// The child of the crash: a live report, then a fault of its own.
[[noreturn]] void childOfTheCrash() {
  gInChild = true;
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.child", "1", std::nullopt,
      ROReradUzerirudConfig::initWithBasePath(gFolder + "/live"));
  if (!reporter->generateLiveReport()) _exit(3);
  dispatch::testing::storeToLowAddress(kChildsFault);
  _exit(4);
}

// Waits for the child of the crash (20 s at most, then kills it): 0 when it
// ended by its fault (the first process of a pid namespace, which its own
// signal cannot end, exits with 128 + the signal), else what it did.
char childsEnd(pid_t child) {
  int status = 0;
  if (child < 0) return 30;
  if (!base::testing::waitForChild(child, &status, steady_clock::now() + seconds(20))) return 10;
  if ((WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) ||
      (WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGSEGV)) {
    return 0;
  }
  return static_cast<char>(WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status));
}

// The program's crash callback, which forks the child of the crash, or waits
// for it, and ends the program with how it ended.
void parentsCallback(siginfo_t*, void*, void*) {
  if (gInChild) return;
  if (gRow == "callback" || gRow == "callback, exception") {
    if (unshare(CLONE_NEWPID) != 0) _exit(20);
    const pid_t child = fork();
    if (child == 0) childOfTheCrash();
    _exit(childsEnd(child));
  } else if (gRow == "beside") {
    base::testing::within([] { return gForked.load() != 0; });
    _exit(childsEnd(gForked.load()));
  } else {
    // Once the program has ended (its callback returns), its id is given
    // again, to a child of its child.
    const pid_t program = getpid();
    if (fork() != 0) return;
    base::testing::within([&] { return kill(program, 0) != 0; });
    const pid_t child = base::testing::forkWithId(program);
    if (child == 0) childOfTheCrash();
    const char verdict = childsEnd(child);
    _exit(write(gVerdicts[1], &verdict, 1) == 1 ? 0 : 1);
  }
}

// The crashing program. "beside": a second thread crashes, and the first
// forks the child as soon as that crash has begun (the first keeps the
// parking signal blocked, so the crash is written beside it).
int program() {
  for (int s : {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE, SIGTRAP}) signal(s, SIG_DFL);
  auto reporter = reporterOf();
  ROReradUzerirudCallbacks callbacks = {0, nullptr, parentsCallback};
  reporter->setCrashCallbacks(&callbacks);
  if (!reporter->enableCrashReporter()) return 21;
  if (gRow == "beside") {
    sys::testing::blockParkingSignal();
    static std::atomic<bool> go{false};
    std::thread([] {
      while (!go.load()) std::this_thread::yield();
      dispatch::testing::storeToLowAddress(kParentsFault);
    }).detach();
    struct sigaction enabled;
    sigaction(SIGSEGV, nullptr, &enabled);
    // A process whose children go to another pid namespace starts no thread.
    if (unshare(CLONE_NEWPID) != 0) return 20;
    go = true;
    sys::testing::forkOnceTheCrashBegins(enabled, childOfTheCrash, &gForked);
  }
  if (gRow == "callback, exception") {
    uncaught_exception_handler(
        objc::NSException::exceptionWithName("ParentsException", "crashed").get());
  }
  dispatch::testing::storeToLowAddress(kParentsFault);
  return 22;
}

// The first process of the test's namespace: the program itself (whose
// callback ends it with how the child of the crash ended, see childsEnd),
// or, where the program's id is to be given again, the one that reaps it
// meanwhile and learns how that child ended through a pipe.
int firstProcess() {
  if (gRow != "id given again") return program();
  if (pipe(gVerdicts) != 0) return 23;
  if (fork() == 0) _exit(program());
  close(gVerdicts[1]);
  if (!base::testing::reapUntilReadable(gVerdicts[0], steady_clock::now() + seconds(40))) return 24;
  char verdict = 25;
  return read(gVerdicts[0], &verdict, 1) == 1 ? verdict : 25;
}

// The report in `path`, decoded; null when there is none.
std::shared_ptr<ROCrashReport> reportIn(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  std::shared_ptr<foundation::NSError> error;
  return bytes.empty() ? nullptr : ROCrashReport::create(bytes, &error);
}

// The test's run in a process whose kernel refuses to wipe a page in a
// forked child (MADV_WIPEONFORK), as before Linux 4.14, from its start.
constexpr const char* kUnwiped = "KX_CHILD_IDS_UNWIPED";

// A child whose id is one its parent had, forked while the parent's crash is
// written: from the crash callback into a pid namespace of its own (its id
// and the parent's are 1), the crash a fault or an uncaught exception; from
// another thread, as soon as the crash has begun, into one; or by the
// callback's child, given the parent's id once the parent has ended. The
// child's live report is written, and its fault is a crash of its own,
// reported as its own (its address, a report id of its own, no exception of
// the parent's), which ends it. The same where the kernel wipes no page.
TEST(ChildIds, ChildWithAnIdItsParentHadReportsItsOwnCrash) {
#if KX_TSAN
  GTEST_SKIP() << "the crash callback forks and allocates inside the signal handler, which "
                  "ThreadSanitizer reports as a signal-unsafe call, ending the process";
#endif
  if (!dispatch::testing::roleIs(kUnwiped, "1")) {
    SCOPED_TRACE("the kernel wipes no page");
    EXPECT_EQ(base::testing::inChild([] {
                return base::testing::filterCalls({{SYS_madvise, base::testing::callFails(EINVAL),
                                                    2, ~0u, MADV_WIPEONFORK}},
                                                  true)
                           ? dispatch::testing::runChild(
                                 "ChildIds.ChildWithAnIdItsParentHadReportsItsOwnCrash",
                                 {std::string(kUnwiped) + "=1"})
                           : 2;
              }),
              0);
  }
  for (const std::string row : {"callback", "callback, exception", "beside", "id given again"}) {
    SCOPED_TRACE(row);
    dispatch::testing::TemporaryFolder folder("rocrash_ids");
    gRow = row;
    gFolder = folder.path().string();
    const int code = base::testing::inNewPidNamespace(firstProcess);
    if (code < 0) GTEST_SKIP() << "the kernel refuses a pid namespace here";
    EXPECT_EQ(code, 0) << "how the child ended";
    auto reporter = reporterOf();
    auto parents = reportIn(reporter->crashReportPath());
    ASSERT_NE(parents, nullptr);
    const bool exception = row == "callback, exception";
    EXPECT_EQ(parents->signalInfo()->address(), exception ? 0 : kParentsFault);
    EXPECT_EQ(parents->hasExceptionInfo(), exception);
    const auto queued = reporter->queuedCrashReportPaths();
    ASSERT_EQ(queued.size(), 1u);
    auto childs = reportIn(queued[0]);
    ASSERT_NE(childs, nullptr);
    EXPECT_EQ(childs->signalInfo()->address(), kChildsFault);
    EXPECT_FALSE(childs->hasExceptionInfo());
    EXPECT_NE(childs->uuidRef(), parents->uuidRef());
  }
}

}  // namespace
