// Real crashes and the report files: hidden files of ended writers, a
// daemon that gave up root, enablings at once, the output limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "CrashSituations.h"
#include "base/BuildFacts.h"
#include "baseTest/Children.h"
#include "baseTest/Polling.h"
#include "dispatchTest/Processes.h"

namespace {

using crashsituations::ChildRun;
using crashsituations::expectOneWholeReport;
using crashsituations::kTrapsBeyondThreadSanitizer;
using crashsituations::runChild;

// A writer without files made nameless writes its report under a hidden
// name and names it once whole. An enabling removes what a writer killed
// before naming left, never the file of one that lives: here one that
// waits as it would name its report. Also where the writer shared its
// descriptor table with a process that lives on: a child made by clone with
// CLONE_FILES is killed there, then its parent writes its own crash.
TEST(CrashChildSignals, EnablingRemovesTheHiddenFilesOfEndedWritersOnly) {
  if (KX_TSAN) GTEST_SKIP() << kTrapsBeyondThreadSanitizer;
  namespace fs = std::filesystem;
  for (const std::string mode : {"abort", "fork-files"}) {
    SCOPED_TRACE(mode);
    const std::string folder = crashsituations::childFolder();
    const std::string renaming = folder + "/renaming";
    ASSERT_EQ(mkfifo(renaming.c_str(), 0600), 0);
    const int waiting = open(renaming.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(waiting, 0);
    // Held open here, so that the end of one writer is no end of the file.
    const int holding = open(renaming.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(holding, 0);
    int ended = -1;
    const pid_t writer =
        crashsituations::startChild(mode + "+temporary-writer", "signals", folder, false, &ended);
    ASSERT_GE(writer, 0);
    const auto deadline = crashsituations::childDeadline();
    // Each writer that comes to name its report writes a byte.
    auto written = [&] {
      char byte;
      return crashsituations::readableBefore(waiting, deadline) && read(waiting, &byte, 1) == 1;
    };
    bool came = written();
    auto reporter = crashsituations::childReporter(folder);
    const fs::path data = fs::path(reporter->crashReportPath()).parent_path();
    // Written ones: an enabling as root leaves an empty one of its own too.
    auto hidden = [&] {
      size_t count = 0;
      for (const auto& entry : fs::directory_iterator(data)) {
        count +=
            entry.path().filename().string().rfind(".report-", 0) == 0 && entry.file_size() != 0;
      }
      return count;
    };
    auto enableElsewhere = [&] {
      return base::testing::inChild([&] { return reporter->enableCrashReporter() ? 0 : 1; });
    };
    if (came && mode == "fork-files") {
      // The child ends; its parent, which shares its table, crashes too.
      // The parent marks the child once clone returns, which may be after
      // the child came to name its report.
      uint64_t child = 0;
      base::testing::within([&] {
        std::ifstream markers(folder + "/markers");
        std::string key;
        for (uint64_t value; markers >> key >> value;) {
          if (key == "child") child = value;
        }
        return child != 0;
      });
      if (child != 0) kill(static_cast<pid_t>(child), SIGKILL);
      came = child != 0 && written();
      if (came) {
        EXPECT_EQ(hidden(), 2u);
        EXPECT_EQ(enableElsewhere(), 0);
        EXPECT_EQ(hidden(), 1u)
            << "the file of a writer that ended was left, or a living one's went";
      }
    } else if (came) {
      EXPECT_EQ(hidden(), 1u);
      EXPECT_EQ(enableElsewhere(), 0);
      EXPECT_EQ(hidden(), 1u) << "the file of a writer that lives was removed";
    }
    kill(-writer, SIGKILL);
    int status = 0;
    crashsituations::waitForChild(writer, &status, deadline);
    close(ended);
    close(waiting);
    close(holding);
    ASSERT_TRUE(came) << "a writer did not come to name its report";
    EXPECT_EQ(enableElsewhere(), 0);
    EXPECT_EQ(hidden(), 0u) << "the file of a writer that ended was left";
    fs::remove_all(folder);
  }
}

// Runs the child program in `mode` under `folder` to its end, with
// symbolication: its wait status, or -1 when it hung.
int runToEnd(const std::string& mode, const std::string& folder) {
  int ended = -1, status = 0;
  const pid_t pid = crashsituations::startChild(mode, "signals", folder, true, &ended);
  const bool done =
      pid >= 0 && crashsituations::waitForChild(pid, &status, crashsituations::childDeadline());
  close(ended);
  return done ? status : -1;
}

// The reports under `folder` (pending and queued), and the hidden files.
std::pair<size_t, size_t> reportsAndHiddenFiles(const std::string& folder) {
  auto reporter = crashsituations::childReporter(folder);
  size_t hidden = 0;
  for (const auto& entry : std::filesystem::directory_iterator(
           std::filesystem::path(reporter->crashReportPath()).parent_path())) {
    hidden += entry.path().filename().string().rfind(".report-", 0) == 0;
  }
  return {reporter->hasPendingCrashReport() + reporter->queuedCrashReportPaths().size(), hidden};
}

// A daemon that enables as root and then takes nobody's user and group: its
// crash goes into the file it prepared at enabling, which the next enabling
// names as the pending report, also on a FUSE folder that makes no file
// without a name (bindfs). A child it forked before ends normally, and one
// forked after has no report; the next enabling, which ends normally, leaves
// no file beside the report.
TEST(CrashChildSignals, ProgramThatGaveUpRootStillReports) {
  if (geteuid() != 0) GTEST_SKIP() << "only a process run as root can give it up";
  for (const bool fuse : {false, true}) {
    SCOPED_TRACE(fuse ? "FUSE folder" : "folder");
    struct Scratch {  // the row's folder, and the FUSE folder mounted in it
      std::string folder = crashsituations::childFolder(), view;
      ~Scratch() {
        if (!view.empty()) umount2(view.c_str(), MNT_DETACH);
        std::filesystem::remove_all(folder);
      }
    } scratch;
    std::string folder = scratch.folder;
    if (fuse) {
      ASSERT_EQ(access("/usr/bin/bindfs", X_OK), 0) << "no bindfs: scripts/setup installs it";
      if (access("/dev/fuse", R_OK | W_OK) != 0)
        GTEST_SKIP() << "FUSE cannot be mounted: no /dev/fuse";
      folder += "/view";
      std::filesystem::create_directories(folder);
      std::filesystem::create_directories(scratch.folder + "/store");
      const std::string refused =
          crashsituations::runCommand("bindfs " + scratch.folder + "/store " + folder + " 2>&1");
      if (refused.rfind("exit failure", 0) == 0)
        GTEST_SKIP() << "FUSE cannot be mounted: " << refused;
      scratch.view = folder;
    }
    const int status = runToEnd("drop-privileges", folder);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
    auto reporter = crashsituations::childReporter(folder);
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    EXPECT_EQ(runToEnd("enable", folder), 0);
    const auto report = crashsituations::decode(
        reporter->loadPendingCrashReportData().value_or(std::vector<uint8_t>()), scratch.folder);
    ASSERT_TRUE(report.ok) << "the prepared report was not named\n" << report.text;
    ASSERT_NE(report.crashed(), nullptr);
    bool named = false;
    for (const auto& symbol : report.crashed()->symbols) {
      named = named || symbol.find("faultAfterGivingUpRoot") != std::string::npos;
    }
    EXPECT_TRUE(named) << report.text.substr(0, 4096);
    EXPECT_EQ(reportsAndHiddenFiles(folder), std::make_pair(size_t{1}, size_t{0}));
  }
}

// Two enablings at once name a prepared report once: the first holds it,
// stopped as it names it, while the second runs. Also where the first is
// killed there, after forking a child (which holds no claim), and where
// naming is refused (the report stays for a later enabling). Enablings that
// end normally leave no hidden file.
TEST(CrashChildSignals, TwoEnablingsAtOnceNameAPreparedReportOnce) {
  if (geteuid() != 0) GTEST_SKIP() << "only a process run as root prepares a file";
  for (const auto& [how, reportsAfterTheSecond] :
       {std::pair<std::string, size_t>{"stop", 0}, {"fork-stop", 1}, {"refuse", 1}}) {
    SCOPED_TRACE(how);
    const std::string folder = crashsituations::childFolder();
    ASSERT_NE(runToEnd("drop-privileges", folder), -1);
    auto heldUp = dispatch::testing::crashingChildEnvironment(
        {"LD_PRELOAD=" ROCRASH_NAMING_SHIM, "KX_NAMING=" + how});
    for (auto& variable : heldUp) {
      // The sanitizer's runtime comes after the preloaded library.
      if (variable.rfind("ASAN_OPTIONS=", 0) == 0) variable += ":verify_asan_link_order=0";
    }
    int ended = -1, status = 0;
    const pid_t first =
        crashsituations::startChild("enable", "signals", folder, false, &ended, heldUp);
    const bool stops = how != "refuse";
    const auto deadline = crashsituations::childDeadline();
    EXPECT_TRUE(base::testing::within(
        [&] { return waitpid(first, &status, WNOHANG | (stops ? WUNTRACED : 0)) == first; },
        std::chrono::seconds(90)));
    EXPECT_TRUE(stops ? WIFSTOPPED(status) : WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (how == "fork-stop") kill(first, SIGKILL);
    if (how == "fork-stop") crashsituations::waitForChild(first, &status, deadline);
    EXPECT_EQ(runToEnd("enable", folder), 0);
    EXPECT_EQ(reportsAndHiddenFiles(folder).first, reportsAfterTheSecond);
    if (how == "stop") kill(first, SIGCONT);
    if (how == "stop") crashsituations::waitForChild(first, &status, deadline);
    if (stops) kill(-first, SIGKILL);
    close(ended);
    EXPECT_EQ(runToEnd("enable", folder), 0);
    EXPECT_EQ(reportsAndHiddenFiles(folder), std::make_pair(size_t{1}, size_t{0}));
    std::filesystem::remove_all(folder);
  }
}

TEST(CrashChildSignals, ReportThatWouldPassTheOutputLimitStaysWhole) {
  ChildRun run;
  runChild("oversized", "signals", &run);
  expectOneWholeReport(run, "SIGSEGV");
  EXPECT_LE(run.bytes.size(), 1024u * 1024u);
}

}  // namespace
