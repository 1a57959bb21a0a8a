#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>

namespace sys::testing {

// Blocks the parking signal on the calling thread: a report's writer lists
// it without parking it (after a short wait for it to unblock), and writes
// while it runs on.
void blockParkingSignal();

// Returns once the action of `signo` is no longer `before`, as when a crash
// has begun (its guard takes over the fatal signals' actions).
void awaitActionChange(int signo, const struct sigaction& before);

// Once the action of SIGSEGV is no longer `before` (a crash has begun),
// forks a child that runs `child` (which must not return), puts its id in
// `*forked`, and waits for good, for the crash to end the process.
[[noreturn]] void forkOnceTheCrashBegins(const struct sigaction& before, void (*child)(),
                                         std::atomic<pid_t>* forked);

}  // namespace sys::testing
