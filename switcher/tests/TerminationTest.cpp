// Termination requests by signal: they end the main loop instead of the
// process, also when they come before the loop runs, and the dispositions
// that were there before come back afterwards.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "dispatch/DispatchQueue.h"
#include "dispatch/MainLoop.h"
#include "switcher/Termination.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs the main loop until it is stopped; false when it ran for the whole
// (generous) bound instead.
bool mainLoopStops() {
  const auto start = Clock::now();
  dispatch::MainLoop::runUntil([] { return false; }, dispatch::DispatchTimeInterval::seconds(10));
  return Clock::now() - start < std::chrono::seconds(9);
}

TEST(Termination, EachSignalEndsTheRunningLoop) {
  TerminationSignals signals;
  for (const int signo : {SIGINT, SIGTERM}) {
    dispatch::DispatchQueue::main()->async([signo] { raise(signo); });
    EXPECT_TRUE(mainLoopStops()) << "signal " << signo;
  }
}

TEST(Termination, ARequestDuringTheLaunchEndsTheLoopOnceItRuns) {
  TerminationSignals signals;
  raise(SIGTERM);
  EXPECT_TRUE(mainLoopStops());
}

void ownHandler(int) {}

TEST(Termination, RestoresTheDispositionsItReplaced) {
  struct sigaction own {};
  own.sa_handler = ownHandler;
  sigemptyset(&own.sa_mask);
  struct sigaction savedInterrupt {
  }, savedTerminate{};
  ASSERT_EQ(sigaction(SIGINT, &own, &savedInterrupt), 0);
  ASSERT_EQ(sigaction(SIGTERM, nullptr, &savedTerminate), 0);

  {
    TerminationSignals signals;
    struct sigaction during {};
    sigaction(SIGINT, nullptr, &during);
    EXPECT_NE(during.sa_handler, ownHandler);
  }
  struct sigaction after {};
  sigaction(SIGINT, nullptr, &after);
  EXPECT_EQ(after.sa_handler, ownHandler);
  sigaction(SIGTERM, nullptr, &after);
  EXPECT_EQ(after.sa_handler, savedTerminate.sa_handler);

  // A second instance can be made once the first is gone.
  { TerminationSignals again; }

  sigaction(SIGINT, &savedInterrupt, nullptr);
}

}  // namespace
