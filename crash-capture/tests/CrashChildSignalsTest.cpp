// Real crashes and the program's signals: raised signals, signals and exits
// held while a crash is written, threads that never park.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "CrashSituations.h"

namespace {

using crashsituations::ChildRun;
using crashsituations::expectOneWholeReport;
using crashsituations::runChild;

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

}  // namespace
