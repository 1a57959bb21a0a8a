// Real crashes: each case runs the crashing child program in one of its
// modes and reads the report it left with protoc, against the schema.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "CrashChildSandbox.h"
#include "CrashSituations.h"
#include "ThreadSanitizerFacts.h"
#include "baseTest/Children.h"
#include "baseTest/Polling.h"
#include "dispatchTest/Processes.h"

namespace {

using crashsituations::ChildRun;
using crashsituations::CrashSituation;
using crashsituations::DecodedThread;
using crashsituations::runChild;
using crashsituations::signalNamed;

// Whether `version` is the system's version as numbers: major and minor,
// and the patch when it is 1 or more ("12.0", "6.1.3").
bool isVersionNumbers(const std::string& version) {
  unsigned long long major = 0, minor = 0, patch = 0;
  sscanf(version.c_str(), "%llu.%llu.%llu", &major, &minor, &patch);
  std::string numbers = std::to_string(major) + "." + std::to_string(minor);
  if (patch >= 1) numbers.append(".").append(std::to_string(patch));
  return version == numbers;
}

// The checks every crash shares: the report decodes, names `signal`, the
// system's version as numbers and exactly one crashed thread, whose first frame is in the function
// marked "crashed" (when one is), and the child ended by `ending` (by default the report's signal).
void expectOneWholeReport(const ChildRun& run, const std::string& signal, int ending = 0) {
  ASSERT_FALSE(run.hung) << "the child hung";
  ASSERT_TRUE(run.report.ok) << run.bytes.size() << " bytes\n" << run.report.text;
  EXPECT_EQ(run.report.signal, signal);
  EXPECT_TRUE(run.killedBy(ending != 0 ? ending : signalNamed(signal))) << run.status;
  EXPECT_TRUE(isVersionNumbers(run.report.osVersion)) << run.report.osVersion;
  const DecodedThread* crashed = run.report.crashed();
  ASSERT_NE(crashed, nullptr) << run.report.text;
  ASSERT_FALSE(crashed->pcs.empty());
  EXPECT_EQ(crashed->registers, 21u);
  if (run.marker("crashed") != 0) {
    EXPECT_TRUE(run.inFunction(crashed->pcs[0], "crashed"));
  }
}

class CrashChild : public ::testing::TestWithParam<std::string> {};

TEST_P(CrashChild, BacktraceOfGppFramesWithArgumentsSizeNotesMatchesTheLibrarys) {
  ChildRun run;
  runChild("fault", GetParam(), &run);
  expectOneWholeReport(run, "SIGSEGV");
  EXPECT_EQ(run.report.address, 0x10u);
  // Frame 0 is the faulting instruction; from the return address into its
  // caller on, the walk and the library's list (taken in the same function)
  // hold the same return addresses, down to the program's entry.
  std::vector<uint64_t> reference;
  for (auto [it, end] = run.markers.equal_range("backtrace"); it != end; ++it) {
    reference.push_back(it->second);
  }
  const auto& pcs = run.report.crashed()->pcs;
  ASSERT_GE(pcs.size(), 2u);
  size_t k = 0;
  while (k < reference.size() && reference[k] != pcs[1]) ++k;
  ASSERT_LT(k, reference.size()) << "the caller's return address is not in the library's list";
  ASSERT_GE(reference.size() - k, 8u) << "four chain frames, main and the entry";
  ASSERT_EQ(pcs.size() - 1, reference.size() - k);
  for (size_t i = 0; k + i < reference.size(); ++i) EXPECT_EQ(pcs[1 + i], reference[k + i]) << i;
}

// Runs `mode`, in which threads fault at the same moment, `rounds` times:
// each run leaves one whole report, of whichever crash came first.
void expectFaultsTogetherLeaveOneReport(const std::string& mode, const std::string& type,
                                        int rounds) {
  static const std::map<std::string, std::string> kFaultingFunction = {
      {"SIGSEGV", "fault"}, {"SIGILL", "illegal"}, {"SIGFPE", "divide"}};
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ChildRun run;
    runChild(mode, type, &run);
    ASSERT_TRUE(run.report.ok) << run.status << ", " << run.bytes.size() << " bytes\n"
                               << run.report.text;
    const auto function = kFaultingFunction.find(run.report.signal);
    ASSERT_NE(function, kFaultingFunction.end()) << run.report.signal;
    expectOneWholeReport(run, run.report.signal);
    EXPECT_TRUE(run.inFunction(run.report.crashed()->pcs[0], function->second));
    if (::testing::Test::HasFailure()) return;
  }
}

TEST_P(CrashChild, TwoThreadsFaultingTogetherLeaveOneReportAndTheFirstCrashsSignal) {
  expectFaultsTogetherLeaveOneReport("faults-together-2", GetParam(), 4);
}

// More threads fault than the engine has handler stacks: busy threads over a
// tenth of a second, or threads once the first crash's guard is in place (the
// action of SIGSEGV changed), with the parking signal blocked or not. The
// process ends by the fault with its one whole report. Where the threads are
// idle, the report shows where each was, those that wait for the end too
// (not with the parking signal blocked: one may not have faulted yet when its
// state is taken; busy threads on few processors may not run in time).
TEST_P(CrashChild, StormOfFaultsEndsTheProcessWithOneWholeReport) {
  for (const auto& [mode, threads] : std::vector<std::pair<std::string, size_t>>{
           {"storm-64-100", 0}, {"after-guard-20", 20}, {"after-guard-20-deaf", 0}}) {
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(mode + ", round " + std::to_string(round));
      ChildRun run;
      runChild(mode, GetParam(), &run);
      expectOneWholeReport(run, "SIGSEGV");
      size_t withFrames = 0;
      for (const auto& thread : run.report.threads) withFrames += !thread.pcs.empty();
      // Each faulting thread and the main thread.
      EXPECT_GE(withFrames, threads + 1);
      if (HasFailure()) return;
    }
  }
}

TEST_P(CrashChild, CrashRacingLiveReportsIsWrittenWhole) {
  ChildRun run;
  runChild("live-race", GetParam(), &run);
  expectOneWholeReport(run, "SIGSEGV");
  EXPECT_FALSE(run.report.userRequested);
}

TEST_P(CrashChild, FaultWithoutAUsableStackIsReportedOnAnyThread) {
  for (std::string mode : {"overflow-new", "overflow-old", "bad-sp"}) {
    SCOPED_TRACE(mode);
    ChildRun run;
    runChild(mode, GetParam(), &run);
    expectOneWholeReport(run, "SIGSEGV", SIGSEGV);
  }
}

// A fault, or an abort, in the crash callback.
TEST_P(CrashChild, FaultInTheCrashCallbackEndsTheProcessWithTheCrashsSignal) {
  for (const std::string mode : {"callback-fault", "callback-abort"}) {
    SCOPED_TRACE(mode);
    ChildRun run;
    runChild(mode, GetParam(), &run);
    expectOneWholeReport(run, "SIGILL");
  }
}

TEST_P(CrashChild, LoopingCallFrameExpressionStillLetsTheReportFinish) {
  ChildRun run;
  runChild("dwarf-loop", GetParam(), &run);
  expectOneWholeReport(run, "SIGSEGV");
}

TEST_P(CrashChild, MoreThreadsThanTheOldLimitAreListedWithTheCrashedOne) {
  ChildRun run;
  runChild("many-threads", GetParam(), &run);
  expectOneWholeReport(run, "SIGSEGV");
  EXPECT_GE(run.report.threads.size(), run.marker("threads") + 1);  // and the main thread
}

TEST_P(CrashChild, AbortHasNoAddress) {
  ChildRun run;
  runChild("abort", GetParam(), &run);
  expectOneWholeReport(run, "SIGABRT");
  EXPECT_EQ(run.report.address, 0u);
}

INSTANTIATE_TEST_SUITE_P(Handlers, CrashChild, ::testing::Values("signals", "mach"),
                         [](const auto& info) { return info.param; });

// Threads faulting at the same moment on small alternate stacks of their own,
// which leave the same room beyond the kernel's signal frame on any machine:
// whichever crash is written first is written whole. The handler type, the
// number of threads and the room in bytes.
class FaultsTogetherOnSmallStacks
    : public ::testing::TestWithParam<std::tuple<std::string, int, int>> {};

TEST_P(FaultsTogetherOnSmallStacks, AlwaysLeaveOneReport) {
  const auto& [type, threads, room] = GetParam();
  expectFaultsTogetherLeaveOneReport(
      "faults-together-" + std::to_string(threads) + "-" + std::to_string(room), type, 50);
}

INSTANTIATE_TEST_SUITE_P(Handlers, FaultsTogetherOnSmallStacks,
                         ::testing::Combine(::testing::Values("signals", "mach"),
                                            ::testing::Values(2, 3), ::testing::Values(4608, 2048)),
                         [](const auto& info) {
                           return std::get<0>(info.param) + "_" +
                                  std::to_string(std::get<1>(info.param)) + "_threads_" +
                                  std::to_string(std::get<2>(info.param)) + "_bytes";
                         });

TEST(CrashChildSignals, RaisedSignalHasNoAddress) {
  ChildRun run;
  runChild("raise", "signals", &run);
  expectOneWholeReport(run, "SIGSEGV");
  EXPECT_EQ(run.report.address, 0u);
}

// A thread with a descriptor table of its own, whose descriptors it closed
// and reopened, crashes, and the main thread leaves main once the crash has
// begun: the program ends by the crash, with its report and its callback
// run whole, every time and with either handler type; also with busy
// threads beside it, and when the main thread blocks the parking signal. So
// does a program whose main thread blocks every signal, leaves main and
// destroys a global made before enabling when a worker crashes; and one of
// 1,000 threads whose crash meets signals that keep coming (SIGTERM with its
// default action or a handler that exits, timers' SIGALRM and SIGPROF, and
// SIGSEGV, SIGABRT and SIGBUS sent by another process): none of the
// program's handlers runs once the crash has begun.
TEST(CrashChildSignals, NoThreadRunsOnOrEndsTheProgramWhileACrashIsWritten) {
  for (const auto& [mode, rounds] : {std::pair{"own-tables", 20},
                                     {"own-tables-loaded", 20},
                                     {"own-tables-deaf", 5},
                                     {"exit-in-destructor", 30},
                                     {"held-term", 3},
                                     {"held-term-exit", 3},
                                     {"held-alarm", 3},
                                     {"held-prof", 3},
                                     {"held-segv", 2},
                                     {"held-abrt", 2},
                                     {"held-bus", 2}}) {
    for (int round = 0; round < rounds; ++round) {
      SCOPED_TRACE(std::string(mode) + ", round " + std::to_string(round));
      ChildRun run;
      // Every other round in Mach mode, where the crashed thread waits for
      // its fault's answer, and then ends the process.
      runChild(mode, round % 2 == 0 ? "signals" : "mach", &run);
      expectOneWholeReport(run, "SIGSEGV");
      EXPECT_EQ(run.marker("late-handler"), 0u);
      EXPECT_EQ(run.marker("callback-ended"), 1u);
      if (HasFailure()) return;
    }
  }
}

TEST(CrashChildSignals, ThreadsThatNeverParkCostOneWaitForTheWholeCrash) {
  ChildRun run;
  runChild("deaf-threads", "signals", &run);
  expectOneWholeReport(run, "SIGSEGV");
  size_t withoutFrames = 0;
  for (const auto& t : run.report.threads) withoutFrames += t.pcs.empty();
  EXPECT_GE(withoutFrames, run.marker("deaf"));
  // One wait for the forty to unblock the signal, one for those asked to park.
  EXPECT_EQ(run.marker("parking-waits"), 2u);
}

// A system call trapped inside a handler (seccomp's SIGSYS, for the program
// to hold a crash at that point) ends the process under ThreadSanitizer,
// whose signal interception gets the trap's signal while it holds signals
// back.
constexpr const char* kTrapsBeyondThreadSanitizer =
    "ThreadSanitizer's signal interception holds signals back where the trap comes, and a "
    "trapped system call's SIGSYS then ends the process";

// A writer without files made nameless writes its report under a hidden
// name and names it once whole. An enabling removes what a writer killed
// before naming left, never the file of one that lives: here one that
// waits as it would name its report. Also where the writer shared its
// descriptor table with a process that lives on: a child made by clone with
// CLONE_FILES is killed there, then its parent writes its own crash.
TEST(CrashChildSignals, EnablingRemovesTheHiddenFilesOfEndedWritersOnly) {
  if (rocrash::testing::kThreadSanitizer) GTEST_SKIP() << kTrapsBeyondThreadSanitizer;
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

// The names of a plugin situation's first frames, from the faulting one
// (the plugins are CrashChildImages.cpp's).
std::vector<std::string> plugin(const std::string& letter, const std::string& caller) {
  const std::string prefix = "_kx_plugin_" + letter + "_";
  return {prefix + "fault",
          prefix + "descend",
          prefix + "descend",
          prefix + "descend",
          prefix + "descend",
          prefix + "run",
          caller};
}

std::vector<std::string> pluginCalledFromPlugin() {
  std::vector<std::string> names = plugin("b", "_kx_plugin_a_call");
  names.push_back("_kx_child_enter_call");
  return names;
}

const std::vector<std::string> kProgramFrames = {"_kx_child_fault", "_kx_child_descend",
                                                 "_kx_child_descend", "_kx_child_descend",
                                                 "_kx_child_descend"};

// Situations of ordinary programs, each in both handler modes: every
// process that crashes leaves its own whole report, naming it, and nothing
// hangs.
const CrashSituation kSituations[] = {
    // Forked processes: a child made through the C library or by the raw
    // system call (no fork handlers), then the parent's own crash; a daemon
    // whose parent is gone; a child that can map nothing more, or open
    // nothing more; eight children at once.
    {"fork-child", {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"raw-fork-child", {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"daemon", {{"daemon", {"daemonCrashes"}}}},
    {"tight-child", {{"child", {"forkedChildCrashes"}}}},
    {"descriptors-child", {{"child", {"forkedChildCrashes"}}}},
    {"children-together", {{"child", {"childrenCrashTogether"}}}},
    // Writing: no descriptor and no memory left; 8 KiB alternate stacks
    // (above a guard page) the program installed before or after enabling; a
    // handler that used most of its alternate stack.
    {"no-descriptors", {{"pid", {"faultWithoutDescriptors"}}}},
    {"memory-exhausted", {{"pid", {"faultWithoutMemory"}}}},
    {"small-stack-before", {{"pid", {"overflow"}}}},
    {"small-stack-after", {{"pid", {"overflow"}}}},
    {"used-alternate-stack", {{"pid", {"handlerFaults", "usedMostOfTheStack"}}}},
    // Threads: past the slots, in their destructors, with every signal
    // blocked by their creator or by themselves after enabling.
    {"threads-past-the-slots", {{"pid", {"overflow"}}}},
    {"thread-local-destructor", {{"pid", {"overflow"}}}},
    {"key-destructor", {{"pid", {"overflow"}}}},
    {"blocked-worker", {{"pid", {"blockedWorkerFaults"}}}},
    {"masks-after-enable", {{"pid", {"maskedThreadFaults"}}}},
    // A program's fault handler installed after enabling runs first, and
    // hands on what it does not repair.
    {"repairing-handler", {{"pid", {"faultPastTheRepairs"}}}, false, {}, {}, "repaired"},
    // Images: plugins opened after enabling (by the program, by another
    // plugin, bound deep), closed again, or deleted or replaced on disk; the
    // program's own file deleted or replaced; a plugin's search table
    // rotated, reversed or zeroed in memory. The walk goes through every
    // frame of the plugins and the program, each named.
    {"plugin", {{"pid", {}, plugin("a", "_kx_child_enter_plugin")}}, false, "libkx_plugin_a.so"},
    {"plugin-from-plugin", {{"pid", {}, pluginCalledFromPlugin()}}, false, "libkx_plugin_b.so"},
    {"plugin-deepbind", {{"pid", {}, pluginCalledFromPlugin()}}, false, "libkx_plugin_b.so"},
    {"plugin-closed",
     {{"pid", {}, plugin("a", "_kx_child_enter_plugin")}},
     false,
     "libkx_plugin_a.so",
     "libkx_plugin_b.so"},
    {"plugin-deleted",
     {{"pid", {}, plugin("a", "_kx_child_enter_plugin")}},
     false,
     "plugins/libkx_plugin_a.so"},
    {"plugin-replaced",
     {{"pid", {}, plugin("a", "_kx_child_enter_plugin")}},
     false,
     "plugins/libkx_plugin_a.so"},
    {"program-deleted", {{"pid", {}, kProgramFrames}}},
    {"program-replaced", {{"pid", {}, kProgramFrames}}},
    {"hdr-rotated", {{"pid", {}, plugin("a", "_kx_child_enter_plugin")}}},
    {"hdr-reversed", {{"pid", {}, plugin("a", "_kx_child_enter_plugin")}}},
    {"hdr-zeroed", {{"pid", {}, plugin("a", "_kx_child_enter_plugin")}}},
    // Images no notice lists before the crash, each with its span and build
    // id: a module the C library opens by itself, the crash right after; a
    // library whose constructor crashes inside the dlopen.
    {"library-module", {{"pid", {}, kProgramFrames}}, false, "/IBM037.so", {}, {}, 0, true},
    {"constructor-image",
     {{"pid", {"_kx_plugin_c_fault"}}},
     false,
     "libkx_plugin_c.so",
     {},
     {},
     0,
     true},
    // Programs around the engine: a child made by vfork crashes in the
    // program's memory, then the program asks for a live report and crashes;
    // a worker crashes after the main thread ended with pthread_exit; the
    // program closed the engine's descriptors and gave their numbers to its
    // own log, which stays as it was; a file-size limit below the report's
    // size; a fault in a global destructor of the program.
    {"vfork-child",
     {{"child", {"vforkChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"main-exited", {{"pid", {"workerCrashesAfterMainExited"}}}},
    {"descriptor-reused", {{"pid", {"faultWithReusedDescriptors"}}}, false, {}, {}, "untouched"},
    {"file-size-limit", {{"pid", {"faultUnderFileSizeLimit"}}}, false, {}, {}, {}, SIGSEGV},
    {"global-destructor", {{"pid", {"destructorFaults"}}}},
    // Faults the kernel names, reported in either mode as it gave them: a
    // store to read-only memory, a worker's stack overflow (both on a
    // protected page), an illegal instruction and an integer division by 0.
    {"read-only-store", {{"pid", {"storeToReadOnly"}, {}, "SIGSEGV", "SEGV_ACCERR"}}},
    {"thread-overflow", {{"pid", {"overflow"}, {}, "SIGSEGV", "SEGV_ACCERR"}}},
    {"illegal-instruction", {{"pid", {"kx_child_illegal"}, {}, "SIGILL", "ILL_ILLOPN"}}},
    {"divide-by-zero", {{"pid", {"kx_child_divide"}, {}, "SIGFPE", "FPE_INTDIV"}}},
    // Programs that change their environment after enabling: /proc covered
    // (a forked child crashes, then the program, whose thread waiting for
    // signals is left alone).
    {"proc-hidden",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "waiter-untouched"},
    // The program's own unnamed file took the inode of the engine's, in its
    // number: it is left as it was, and the report goes elsewhere.
    {"inode-reused", {{"pid", {"faultWithTheInodeTaken"}}}, false, {}, {}, "private-untouched"},
    // A first enabling failed (its folder could not be made); the second
    // one, into a good folder, holds.
    {"enable-retried", {{"pid", {"faultAfterARetriedEnable"}}}},
    // The enabling thread had an alternate stack of 1 MiB: it keeps it, and
    // the program's handler uses 96 KiB of it.
    {"own-alternate-stack",
     {{"pid", {"faultAfterTheProgramsHandler"}}},
     false,
     {},
     {},
     "own-stack-kept"},
    // Children made by clone in the program's memory that share its signal
    // actions or its descriptors crash; the program's own crash, with no
    // descriptor left, follows.
    {"clone-sighand", {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"clone-files", {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    // The same in a program that a process of its own forked: the child
    // still shares the program's table.
    {"clone-files+forked", {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    // The same children where kcmp is refused, as a container's filter
    // refuses it: each still ends, and reports, as it does where the kernel
    // answers, and the parent's crash after is still reported.
    {"vfork-child+kcmp-eperm",
     {{"child", {"vforkChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"vfork-child+kcmp-enosys",
     {{"child", {"vforkChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"descriptors-child+kcmp-eperm", {{"child", {"forkedChildCrashes"}}}},
    {"descriptors-child+kcmp-enosys", {{"child", {"forkedChildCrashes"}}}},
    {"clone-sighand+kcmp-eperm",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"clone-files+kcmp-enosys",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    // A program whose filter ends any process that asks the kernel what it
    // shares with another (kcmp), or traps it: one started by running the
    // program enables, makes live reports and crashes, and so do its
    // children, which tell what they share from /proc.
    {"live-race+kcmp-ends", {{"pid", {"faultHere"}}}},
    {"fork-child+kcmp-ends", {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"fork-child+kcmp-traps", {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"clone-files+kcmp-ends", {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"clone-sighand+kcmp-traps",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    // Where unshare ends the process, traps or is refused, every kind of
    // child reports, one in the program's memory ending by its own signal,
    // and so does the program after it.
    {"fork-child+unshare-ends",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"raw-fork-child+unshare-ends",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"fork-files+unshare-ends",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"vfork-child+unshare-ends",
     {{"child", {"vforkChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"clone-vm+unshare-ends",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"clone-files+unshare-ends",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"fork-child+unshare-traps",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"raw-fork-child+unshare-traps",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"fork-files+unshare-traps",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"vfork-child+unshare-traps",
     {{"child", {"vforkChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"clone-vm+unshare-traps",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"clone-files+unshare-traps",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"fork-child+unshare-eperm",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"raw-fork-child+unshare-eperm",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"fork-files+unshare-eperm",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"vfork-child+unshare-eperm",
     {{"child", {"vforkChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"clone-vm+unshare-eperm",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"clone-files+unshare-eperm",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    // Where the clone that asks what a sandbox allows ends the process or
    // traps: children in the program's memory report.
    {"clone-sighand+clone-vfork-traps",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    // And where /proc is covered too: the program's report goes through a
    // hidden file, made in the descriptor table it has.
    {"proc-hidden+clone-vfork-ends",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "waiter-untouched"},
    // Under an allow-list of the calls a crash makes (docs/LIMITS.md), that ends
    // the process for any other: every kind of child (those in the program's
    // memory below), then the program.
    {"fork-child+allow-list", {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"raw-fork-child+allow-list",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"fork-files+allow-list", {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    // Where the kernel wipes no page in a forked child: a child of the raw
    // system call, and children in the program's memory, whose crashes
    // leave the program's own report as it would be (its id, its report's
    // id).
    {"raw-fork-child+no-wipe",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"vfork-child+no-wipe",
     {{"child", {"vforkChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"clone-sighand+no-wipe", {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    // Children forked while the program's crash is written, from the crash
    // callback (the crash a fault, or an uncaught exception) or from another
    // thread: each gets a live report, and its own crash (a fault, or an
    // uncaught exception of its own) is reported as its own, without the
    // program's exception. One that returns from the callback ends by the
    // program's signal.
    {"fork-in-callback",
     {{"child", {"crashingProgramsChildFaults"}}, {"pid", {"programCrashesBeforeItsChild"}}},
     false,
     {},
     {},
     "live-in-child returning-child-ended"},
    {"fork-in-callback-exception",
     {{"child", {"crashingProgramsChildFaults"}, {}, {}, {}, "ChildsException"},
      {"pid", {"programCrashesBeforeItsChild"}, {}, {}, {}, "ProgramsException"}},
     true,
     {},
     {},
     "live-in-child returning-child-ended"},
    {"fork-while-writing",
     {{"child", {"crashingProgramsChildFaults"}}, {"pid", {"programCrashesBeforeItsChild"}}},
     false,
     {},
     {},
     "live-in-child"},
    // A child in the program's memory that shares its signal actions, made
    // in the crash callback, faults: it ends, as such a child does, rather
    // than waiting for the program's crash to end.
    {"clone-in-callback",
     {{"child", {"crashingProgramsChildFaults"}}, {"pid", {"programCrashesBeforeItsChild"}}},
     false,
     {},
     {},
     "clone-child-ended"},
    // A thread crashes while the enabling that installed the handler fails
    // and is undone: it waits in the handler until the enabling returned,
    // then reports with what the enabling had set up (as a signal: no
    // exception server was made).
    {"enable-fails-under-crash",
     {{"pid", {"crashDuringFailedEnabling"}}},
     true,
     {},
     {},
     "enable-failed",
     SIGSEGV},
    // A fault in a library of the last of many loader namespaces: the
    // library is listed, however many objects the namespaces hold.
    {"namespaces", {{"pid", {}}}, false, "libm.so.6", {}, {}, 0, true},
};

// Children in the program's memory where the throwaway that asks what a
// sandbox allows cannot be made (a pids limit, clone refused), or its end
// collected (wait4 ends the process), where clone ends the process or traps,
// and under an allow-list of the calls a crash makes: each reports and ends
// by its signal.
std::vector<CrashSituation> withoutAThrowaway() {
  std::vector<CrashSituation> rows;
  auto add = [&rows](const std::string& child, const std::string& sandbox, const char* marked) {
    const char* crashes = child == "vfork-child" ? "vforkChildCrashes" : "cloneChildCrashes";
    rows.push_back({child + "+" + sandbox,
                    {{"child", {crashes}}, {"pid", {"parentCrashesLater"}}},
                    false,
                    {},
                    {},
                    marked});
  };
  for (const char* sandbox : {"pids-limit", "clone-vfork-eperm", "wait4-ends", "clone-vfork-ends",
                              "clone-vfork-traps", "allow-list"}) {
    for (const char* child : {"vfork-child", "clone-vm", "clone-files"}) {
      add(child, sandbox, "child-ended-by-its-signal");
    }
  }
  // A program that handles SIGURG and SIGWINCH, as runtimes that preempt
  // their threads by signal do, where clone ends the process: children in its
  // memory tell whether they share its actions by SIGCONT's, and leave its
  // handlers as they were. Where it handles SIGCONT too, the child asks
  // through a throwaway, and the filter ends it.
  add("vfork-child", "handles-urg-winch+clone-vfork-ends",
      "child-ended-by-its-signal handlers-untouched");
  add("clone-sighand", "handles-urg-winch+clone-vfork-ends",
      "child-ended-by-sigkill handlers-untouched");
  add("clone-vm", "handles-urg-winch-cont+clone-vfork-ends",
      "child-ended-by-sigsys handlers-untouched");
  return rows;
}

// A child made by clone in the program's memory, without thread-local
// storage of its own, runs on its parent's ThreadSanitizer state.
constexpr const char* kCloneChildBeyondThreadSanitizer =
    "ThreadSanitizer keeps each thread's state in its thread-local storage, which a clone child "
    "without its own shares with its parent, so its signal handling and interceptors run on the "
    "parent's "
    "state";

constexpr const char* kForkInHandlerBeyondThreadSanitizer =
    "the crash callback forks and allocates inside the signal handler, which ThreadSanitizer "
    "reports as a signal-unsafe call, ending the process with its report";

// The situations ThreadSanitizer cannot host, and why: it fails there
// itself, before the engine's handler runs.
const std::map<std::string, std::string> kBeyondThreadSanitizer = {
    {"memory-exhausted",
     "ThreadSanitizer maps a thread's signal context at its first signal, and no memory is left"},
    {"tight-child",
     "ThreadSanitizer maps a thread's signal context at its first signal, and no memory is left"},
    {"used-alternate-stack",
     "ThreadSanitizer's own signal interception needs more than the little stack left"},
    {"main-exited",
     "ThreadSanitizer fails its own check (a thread number past its limit) once the main thread "
     "has exited"},
    {"threads-past-the-slots",
     "ThreadSanitizer gives each thread some 14 mappings and 1 MiB: 4,104 threads take 4 GiB and "
     "59,000 of the 65,530 mappings a process may have, and minutes on a loaded machine"},
    {"enable-fails-under-crash", kTrapsBeyondThreadSanitizer},
    {"clone-sighand", kCloneChildBeyondThreadSanitizer},
    {"clone-files", kCloneChildBeyondThreadSanitizer},
    {"clone-vm", kCloneChildBeyondThreadSanitizer},
    {"clone-in-callback", kCloneChildBeyondThreadSanitizer},
    {"fork-in-callback", kForkInHandlerBeyondThreadSanitizer},
    {"fork-in-callback-exception", kForkInHandlerBeyondThreadSanitizer},
};

// Whether a process may enter a mount namespace of its own, with the
// capability or in a user namespace, and cover /proc there (sandboxes may
// forbid it), asked of a forked child.
bool namespacesAllowed() {
  pid_t pid = fork();
  if (pid == 0) {
    _exit(base::testing::unshareNamespaces(CLONE_NEWNS) &&
                  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  mount("none", "/proc", "tmpfs", 0, nullptr) == 0
              ? 0
              : 1);
  }
  int status = 0;
  return pid > 0 && crashsituations::waitForChild(pid, &status, crashsituations::childDeadline()) &&
         WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether the file system under /tmp hands a freed inode to the next file
// made (ext4 does, tmpfs does not).
bool inodesReused() {
  struct stat first, next;
  int fd = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 || fstat(fd, &first) != 0) return false;
  close(fd);
  fd = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  const bool reused = fd >= 0 && fstat(fd, &next) == 0 && next.st_ino == first.st_ino;
  if (fd >= 0) close(fd);
  return reused;
}

bool pidsGroupsAllowed() {
  std::string group;
  return crash_child_make_pids_group(&group) && rmdir(group.c_str()) == 0;
}

// Situations that need what the sandbox or the file system may not give:
// the check, and why the situation is skipped without it.
const std::map<std::string, std::pair<bool (*)(), std::string>> kNeeds = {
    {"proc-hidden",
     {namespacesAllowed,
      "no mount namespace without the capability, and no user namespace to have it in (the "
      "sandbox forbids it, or the process has a thread, as under ThreadSanitizer)"}},
    {"inode-reused", {inodesReused, "the file system under /tmp does not reuse inodes at once"}},
    {"pids-limit",
     {pidsGroupsAllowed, "no pids cgroup can be made here (no controller, or no right to)"}},
};

// The first process (pid 1) of a pid namespace, as a container's is, whose
// child in its memory is the first process of a namespace of its own (clone
// with CLONE_VM and CLONE_NEWPID): both are pid 1. The child's crash is a
// report of its own, queued, that lists its one thread; the program's crash
// after it is the pending report.
TEST(CrashChildSignals, ChildInTheMemoryOfAPidOneWithPidOneToo) {
  if (rocrash::testing::kThreadSanitizer) GTEST_SKIP() << kCloneChildBeyondThreadSanitizer;
  ChildRun run;
  runChild("clone-vm-newpid+pid-one", "signals", &run, true);
  if (WIFEXITED(run.status) && WEXITSTATUS(run.status) == 7) {
    GTEST_SKIP() << "the system gives no pid namespace";
  }
  // The program's own parent passes on how it ended.
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 128 + SIGSEGV) << run.status;
  ASSERT_TRUE(run.report.ok) << run.report.text;
  ASSERT_NE(run.report.crashed(), nullptr);
  EXPECT_EQ(run.report.processID, 1u);
  auto names = [](const DecodedThread& thread, const std::string& function) {
    for (const auto& symbol : thread.symbols) {
      if (symbol.find(function) != std::string::npos) return true;
    }
    return false;
  };
  EXPECT_TRUE(names(*run.report.crashed(), "parentCrashesLater"));
  ASSERT_EQ(run.queued.size(), 1u);
  const auto& child = run.queued[0];
  ASSERT_TRUE(child.ok) << child.text;
  EXPECT_EQ(child.processID, 1u);
  ASSERT_EQ(child.threads.size(), 1u) << child.text;
  ASSERT_NE(child.crashed(), nullptr);
  EXPECT_TRUE(names(*child.crashed(), "cloneChildCrashes"));
  EXPECT_NE(run.marker("child-ended-by-its-signal"), 0u);
}

class CrashSituations : public ::testing::TestWithParam<std::tuple<CrashSituation, std::string>> {};

TEST_P(CrashSituations, EveryCrashedProcessLeavesItsOwnWholeReport) {
  const std::string& mode = std::get<0>(GetParam()).mode;
  if (rocrash::testing::kThreadSanitizer) {
    auto beyond = kBeyondThreadSanitizer.find(mode.substr(0, mode.find('+')));
    if (beyond != kBeyondThreadSanitizer.end()) GTEST_SKIP() << beyond->second;
    if (mode.find("+allow-list") != std::string::npos) {
      GTEST_SKIP() << "ThreadSanitizer's runtime makes system calls of its own, which the list "
                      "of those a crash makes leaves out";
    }
  }
  for (const auto& part : {mode.substr(0, mode.find('+')), mode.substr(mode.find('+') + 1)}) {
    if (auto need = kNeeds.find(part); need != kNeeds.end() && !need->second.first()) {
      GTEST_SKIP() << need->second.second;
    }
  }
  crashsituations::expectSituation(std::get<0>(GetParam()), std::get<1>(GetParam()));
}

std::string situationName(
    const ::testing::TestParamInfo<std::tuple<CrashSituation, std::string>>& info) {
  std::string name = std::get<0>(info.param).mode + "_" + std::get<1>(info.param);
  for (char& c : name) {
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Table, CrashSituations,
                         ::testing::Combine(::testing::ValuesIn(kSituations),
                                            ::testing::Values("signals", "mach")),
                         situationName);
INSTANTIATE_TEST_SUITE_P(WithoutAThrowaway, CrashSituations,
                         ::testing::Combine(::testing::ValuesIn(withoutAThrowaway()),
                                            ::testing::Values("signals", "mach")),
                         situationName);

// Backtraces as a debugger gives them, for the kinds of frames a walker gets
// wrong most easily (CrashChildFrames.cpp): the names of the crashed thread's
// frames from the first one on. "%" stands for the build (fp or nofp), "*"
// for one frame of the system libraries whose name does not matter, "..."
// for any number of them (up to the next name). With `whole`, the walk ends
// with the last one.
struct Backtrace {
  std::string kind;
  std::vector<std::string> frames;
  bool whole = false;
};

void PrintTo(const Backtrace& backtrace, std::ostream* out) { *out << backtrace.kind; }

const Backtrace kBacktraces[] = {
    // The caller of a function that never returns is named from its call,
    // not from the byte after it.
    {"noreturn",
     {"_kx_%_fault_noreturn", "_kx_%_ends_in_noreturn", "_kx_%_noreturn_scenario",
      "_crash_child_frames_%"}},
    {"terminate",
     {"...", "__ZSt9terminatev", "___cxa_throw", "_kx_%_throws", "_kx_%_terminate_scenario",
      "_crash_child_frames_%"}},
    {"exit",
     {"_kx_%_atexit_handler", "...", "_exit", "_kx_%_exit_scenario", "_crash_child_frames_%"}},
    // A call to where no image is: the caller from the return address.
    {"null", {"", "_kx_%_calls_null", "_crash_child_frames_%"}},
    {"heap", {"", "_kx_%_calls_heap", "_crash_child_frames_%"}},
    // The context's stack ends at the C library's context start, whatever
    // frame pointer its registers still hold.
    {"context", {"_kx_%_context_fault", "_kx_%_context_entry", "*"}, true},
    // Of a function's names, the one a debugger gives: "raise", not its
    // alias "gsignal". The handler's walk passes the signal's trampoline.
    {"abort",
     {"*", "_raise", "_abort", "_kx_%_aborts", "_kx_%_abort_scenario", "_crash_child_frames_%"}},
    {"handler",
     {"_kx_%_handler_faults", "*", "*", "_raise", "_kx_%_raises", "_kx_%_handler_scenario",
      "_crash_child_frames_%"}},
    // A library's constructor, run inside the dlopen that will list it: its
    // frames, the loader's, and the program's own below them.
    {"constructor",
     {"_kx_plugin_c_fault", "_kx_plugin_c_loaded", "...", "_kx_%_constructor_scenario",
      "_crash_child_frames_%"}},
};

// Whether `names` begins with (or with `whole`, is) what `want` describes.
bool framesMatch(const std::vector<std::string>& names, const std::vector<std::string>& want,
                 bool whole) {
  size_t n = 0;
  for (size_t w = 0; w < want.size(); ++w) {
    if (want[w] == "...") {
      if (w + 1 == want.size()) return true;
      while (n < names.size() && names[n] != want[w + 1]) ++n;
      continue;
    }
    if (n == names.size() || (want[w] != "*" && names[n] != want[w])) return false;
    ++n;
  }
  return !whole || n == names.size();
}

// The kinds whose frames ThreadSanitizer changes, and how.
const std::map<std::string, std::string> kBacktracesBeyondThreadSanitizer = {
    {"abort", "ThreadSanitizer's interceptor of abort adds frames of its own below it"},
    {"handler",
     "ThreadSanitizer defers the program's signal handler to a point of its own choosing"},
};

class CrashBacktraces
    : public ::testing::TestWithParam<std::tuple<Backtrace, std::string, std::string>> {};

TEST_P(CrashBacktraces, NameTheFramesADebuggerNames) {
  const auto& [backtrace, build, type] = GetParam();
  if (rocrash::testing::kThreadSanitizer) {
    auto beyond = kBacktracesBeyondThreadSanitizer.find(backtrace.kind);
    if (beyond != kBacktracesBeyondThreadSanitizer.end()) GTEST_SKIP() << beyond->second;
  }
  ChildRun run;
  runChild("frames-" + backtrace.kind + "-" + build, type, &run, true);
  ASSERT_FALSE(run.hung);
  ASSERT_TRUE(run.report.ok) << run.bytes.size() << " bytes\n" << run.report.text;
  const DecodedThread* crashed = run.report.crashed();
  ASSERT_NE(crashed, nullptr) << run.report.text;
  std::vector<std::string> want;
  for (std::string name : backtrace.frames) {
    if (size_t at = name.find('%'); at != std::string::npos) name.replace(at, 1, build);
    want.push_back(name);
  }
  EXPECT_TRUE(framesMatch(crashed->symbols, want, backtrace.whole))
      << ::testing::PrintToString(crashed->symbols) << "\nagainst "
      << ::testing::PrintToString(want);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashBacktraces,
                         ::testing::Combine(::testing::ValuesIn(kBacktraces),
                                            ::testing::Values("fp", "nofp"),
                                            ::testing::Values("signals", "mach")),
                         [](const auto& info) {
                           return std::get<0>(info.param).kind + "_" + std::get<1>(info.param) +
                                  "_" + std::get<2>(info.param);
                         });

}  // namespace
