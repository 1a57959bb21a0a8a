#pragma once

#include <signal.h>

namespace sys::testing {

// Blocks the parking signal on the calling thread: a report's writer lists
// it without parking it (after a short wait for it to unblock), and writes
// while it runs on.
void blockParkingSignal();

// Returns once the action of `signo` is no longer `before`, as when a crash
// has begun (its guard takes over the fatal signals' actions).
void awaitActionChange(int signo, const struct sigaction& before);

}  // namespace sys::testing
