// The real program, run as a user would: it starts the telemetry client,
// keeps what it has not sent yet for the next run, sends the last run's
// crash, and ends cleanly when asked to.

#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>

#include "SwitcherTestSupport.h"
#include "ZozIduvur/DUZEChannelGroupDefault.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "appkit/NSApplication.h"
#include "dispatchTest/Faults.h"
#include "dispatchTest/Processes.h"
#include "dispatchTest/Waiting.h"
#include "switcher/AppDelegate.h"
#include "switcher/ApplicationBundle.h"

namespace {

using dispatch::testing::roleIs;

namespace fs = std::filesystem;
using switchertest::ProgramRun;
using switchertest::SwitcherTest;

constexpr const char* kRole = "SWITCHER_TEST_ROLE";

std::string describe(const std::optional<int>& status) {
  if (!status) return "still running, killed";
  if (WIFEXITED(*status)) return "exit status " + std::to_string(WEXITSTATUS(*status));
  if (WIFSIGNALED(*status)) return "killed by signal " + std::to_string(WTERMSIG(*status));
  return "wait status " + std::to_string(*status);
}

bool exitedCleanly(const std::optional<int>& status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

}  // namespace

// A run of the application that crashes once it has launched. It describes
// itself as the program does, so that the crash engine keeps its report
// where the program looks for it.
TEST(ProgramChild, CrashAfterLaunch) {
  if (!roleIs(kRole, "crash")) GTEST_SKIP() << "runs as a child of Program.*";
  describeMainBundle();
  appkit::NSApplication::sharedApplication();
  auto delegate = AppDelegate::create();
  delegate->applicationDidFinishLaunching();
  DUZEZozIduvur::channelGroup()->waitUntilIdle();
  dispatch::testing::storeToLowAddress(0x10);
  FAIL() << "still alive";
}

namespace {

class Program : public SwitcherTest {
 protected:
  fs::path stderrFile() const { return dataDir() / "kestrix.stderr"; }
};

TEST_F(Program, StoresItsStartAndStopsCleanlyOnSigterm) {
  ProgramRun run(stderrFile(), {});
  ASSERT_TRUE(run.started());
  // The log announcing the start is stored at once (and sent with the next
  // batch, seconds later).
  EXPECT_TRUE(dispatch::testing::eventually(
      [&] { return storedRows(std::string(kDUZEStartServiceGroupId)) == 1 || !run.running(); }));
  EXPECT_TRUE(run.running()) << run.standardError();

  const auto status = run.stopWith(SIGTERM);
  EXPECT_TRUE(exitedCleanly(status)) << describe(status) << "\n" << run.standardError();
  // The program says which version it is: the crash engine finds it too.
  EXPECT_EQ(run.standardError().find("bundle version unavailable"), std::string::npos)
      << run.standardError();
  // The store was closed: everything is in the database file itself.
  EXPECT_FALSE(fs::exists(dataDir() / "Logs.sqlite-wal"));
  EXPECT_FALSE(fs::exists(dataDir() / "Logs.sqlite-shm"));
  // Nothing is thrown away at the stop: the log waits for the next run.
  EXPECT_EQ(storedRows(std::string(kDUZEStartServiceGroupId)), 1u);
}

// It has no window: what it says on start is all its user sees of it.
TEST_F(Program, SaysWhereItsDataGoesAndThatCtrlCStopsIt) {
  const std::string off = std::string(kDUZEDisableEnvironmentVariable) + "=1";
  for (const auto& environment : {std::vector<std::string>{}, std::vector<std::string>{off}}) {
    ProgramRun run(stderrFile(), environment);
    ASSERT_TRUE(run.started());
    EXPECT_TRUE(dispatch::testing::eventually(
        [&] { return run.standardError().find("Ctrl-C") != std::string::npos || !run.running(); }));
    const std::string said = run.standardError();
    if (environment.empty()) {
      EXPECT_NE(said.find("logs are kept in " + (dataDir() / "Logs.sqlite").string()),
                std::string::npos)
          << said;
      EXPECT_NE(said.find("crash reports are written in " + dataDir().string() + "/"),
                std::string::npos)
          << said;
    } else {
      EXPECT_NE(said.find("telemetry client is off"), std::string::npos) << said;
    }
    const auto status = run.stopWith(SIGINT);
    EXPECT_TRUE(exitedCleanly(status)) << describe(status) << "\n" << said;
  }
}

TEST_F(Program, SendsTheLastRunsCrashAndStopsCleanlyOnSigint) {
  // The crashing run has an ingestion of its own, so that whatever it might
  // send never counts as sent by the next run.
  foundationtest::HTTPServer crashingRunsServer;
  const int crashed = dispatch::testing::spawnSelf(
      "ProgramChild.CrashAfterLaunch",
      dispatch::testing::crashingChildEnvironment(
          {std::string(kRole) + "=crash",
           std::string(kDUZELogUrlEnvironmentVariable) + "=" + crashingRunsServer.baseUrl()}));
  ASSERT_TRUE(WIFSIGNALED(crashed) && WTERMSIG(crashed) == SIGSEGV) << describe(crashed);
  ASSERT_EQ(pendingCrashReports().size(), 1u);

  ProgramRun run(stderrFile(), {});
  ASSERT_TRUE(run.started());
  // Processed a second after the start; the application lets it go, and the
  // crash log goes out at once.
  EXPECT_TRUE(dispatch::testing::eventually(
      [&] { return !sentLogOfType("appleError").is_null() || !run.running(); }));
  const auto crash = sentLogOfType("appleError");
  ASSERT_FALSE(crash.is_null()) << run.standardError();
  EXPECT_EQ(crash.value("fatal", false), true);
  EXPECT_EQ(crash.value("osExceptionType", ""), "SIGSEGV");
  EXPECT_EQ(crash.value("osExceptionAddress", ""), "0x10");
  // Both runs named the project's version.
  EXPECT_EQ(crash["device"].value("appVersion", ""), KESTRIX_PROJECT_VERSION);
  EXPECT_EQ(crash["device"].value("appBuild", ""), KESTRIX_PROJECT_VERSION);
  for (const auto& request : server_->requests()) {
    if (request.target.rfind("/logs", 0) != 0) continue;
    EXPECT_EQ(request.header("app-secret"), kApplicationSecret);
  }
  // Accepted, so nothing of the crash is left.
  EXPECT_TRUE(dispatch::testing::eventually([&] { return storedRows("Crashes") == 0; }));
  EXPECT_TRUE(pendingCrashReports().empty());

  const auto status = run.stopWith(SIGINT);
  EXPECT_TRUE(exitedCleanly(status)) << describe(status) << "\n" << run.standardError();
}

}  // namespace
