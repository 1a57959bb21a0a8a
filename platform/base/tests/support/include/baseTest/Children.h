#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>

namespace base::testing {

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

// Runs `body` in a new pid namespace that keeps this process's /proc, as
// `unshare -pf` without `--mount-proc` does: as the namespace's second
// process (pid 2), beside its first, which waits for it. Answers as `inChild`
// does, or none when the system gives no pid namespace (without the
// administration capability, and without user namespaces to have it in).
std::optional<int> inPidNamespace(const std::function<int()>& body);

}  // namespace base::testing
