// Real crashes of each handler type: faults in known functions, faults
// together and in storms, and faults where the crash itself is in trouble.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "CrashSituations.h"

namespace {

using crashsituations::ChildRun;
using crashsituations::expectOneWholeReport;
using crashsituations::runChild;

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

}  // namespace
