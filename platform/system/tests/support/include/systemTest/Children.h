#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>

namespace sys::testing {

using Deadline = std::chrono::steady_clock::time_point;

// When a child of a test, and every process it made, must have ended: only a
// hang comes near it.
Deadline childDeadline();

// Whether `fd` becomes readable (or reads as ended) before `deadline`.
bool readableBefore(int fd, Deadline deadline);

// Waits for the child `pid` to end before `deadline`: true, with its wait
// status in `*status`. A child still running then is killed and reaped, and
// the answer is false.
bool waitForChild(pid_t pid, int* status, Deadline deadline);

// Runs `body` in a forked child, for a case that changes the process for
// good, and answers the child's exit code (100 + the signal when a signal
// ended it). A child that outlives `childDeadline` fails the test and is
// killed.
int inChild(const std::function<int()>& body);

}  // namespace sys::testing
