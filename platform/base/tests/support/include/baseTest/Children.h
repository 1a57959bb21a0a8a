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

// How a child is made: by the C library's fork, whose fork handlers run, or
// by the raw system call, as a sandbox or another language's runtime makes
// children, where none runs.
enum class ForkBy { library, systemCall };

// Runs `body` in a forked child, for a case that changes the process for
// good, and answers the child's exit code (100 + the signal when a signal
// ended it). A child that outlives `childDeadline` fails the test and is
// killed.
int inChild(const std::function<int()>& body, ForkBy how = ForkBy::library);

// Moves the calling process into the new namespaces `flags` (CLONE_NEW*
// bits): directly with the administration capability, which a process with
// threads needs (ThreadSanitizer's forked child has one of its own), else in
// a new user namespace too, which only a process without threads may enter.
// False when both are refused.
bool unshareNamespaces(int flags);

// Runs `body` as the first process (pid 1) of a new pid namespace, with a
// mount namespace and /proc of its own, in a child of the caller; the answer
// is as `inChild`'s, or -1 when the kernel refuses the namespaces.
int inNewPidNamespace(const std::function<int()>& body);

// In such a namespace: has the kernel give `id` (an id no process or thread
// holds) to the next process or thread made, as it gives one again once it
// wraps round; false when it cannot. Only the caller may make one meanwhile.
bool giveIdNext(pid_t id);

// In such a namespace: forks a child whose id is `id` (an id no process
// holds), as the kernel gives one again once it wraps round; -1 when it
// cannot be had. Only the calling thread may fork meanwhile.
pid_t forkWithId(pid_t id);

// In the first process of such a namespace, to which every orphan comes:
// reaps the processes that end until `fd` becomes readable (true) or
// `deadline` passes (false).
bool reapUntilReadable(int fd, Deadline deadline);

// Runs `body` in a new pid namespace that keeps this process's /proc, as
// `unshare -pf` without `--mount-proc` does: as the namespace's second
// process (pid 2), beside its first, which waits for it. Answers as `inChild`
// does, or none when the system gives no pid namespace (without the
// administration capability, and without user namespaces to have it in).
std::optional<int> inPidNamespace(const std::function<int()>& body);

}  // namespace base::testing
