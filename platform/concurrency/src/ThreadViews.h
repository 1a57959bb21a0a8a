#pragma once

// What the kernel shows of another thread of the process, for the handover
// after a failed barrier (AsymmetricFence.cpp): whether it is off its
// processor, and what it blocks and has blocked on. Each read is a few system
// calls; none changes anything about the thread.

#include <sys/types.h>

#include <cstdint>

namespace concurrency::detail {

pid_t currentThreadId() noexcept;

// CLOCK_MONOTONIC, in nanoseconds.
uint64_t monotonicNow() noexcept;

// What the kernel says of a thread: off its processor since the previous
// look, running, or nothing (it refuses to say).
enum class Seen { stopped, running, unknown };

// One look of the clock proof (AsymmetricFence.h, fenceThreadStopped) at
// thread `tid`: `last` holds what the previous look read (0 for none).
// Unknown where the kernel refuses the interval or the clock, or where a
// running thread may read the same twice (fineThreadClocks).
Seen clockPair(pid_t tid, uint64_t& last) noexcept;

// The proof from /proc, in one look: the system call the kernel shows thread
// `tid` in, which it shows only once the thread is off its processor and out
// of its run queue (and "running" otherwise). Unknown without /proc, or where
// /proc numbers threads otherwise than the process.
Seen procSyscall(pid_t tid) noexcept;

// After fork: the child may be in a pid namespace of its own, whose /proc
// is looked at again.
void forgetProcNumbering() noexcept;

// What /proc shows of a thread's signals and sleeps: its state ('R' while
// it runs or may run), its own pending signals and its mask (bit n - 1 for
// signal n), and how many times it has blocked so far.
struct ThreadStatus {
  char state = '?';
  uint64_t pending = 0;
  uint64_t blocked = 0;
  uint64_t blocks = 0;
};

bool threadStatus(pid_t tid, ThreadStatus& status) noexcept;

// The processor time thread `tid` has used: its clock, or where the kernel
// refuses it, the ticks its line in /proc counts.
bool processorTime(pid_t tid, uint64_t& nanoseconds) noexcept;

}  // namespace concurrency::detail
