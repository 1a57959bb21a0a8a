#pragma once

#include <cstdint>

#include "system/Task.h"

// The kernel's thread list, suspension and register state, as the crash
// engine expects them. Linux has no call that stops another thread of the
// own process and reads its registers, so suspension "parks" the thread: a
// reserved real-time signal makes it save its interrupted context into a
// prepared slot, wake the suspender and wait in its handler until it is
// resumed. A thread that has the signal blocked is never sent it (it may be
// waiting for signals of its own with `sigwaitinfo` or `signalfd`, and would
// take the engine's for one of them), and one that does not park within
// about 100 ms (it blocked the signal just then, or is gone) is not
// suspended either; neither has a state. Up to kThreadCapacity threads can
// be parked at once.
//
// Everything here is async-signal-safe (no heap, no locks); the slots are
// static storage. Only the own task is supported.
namespace sys {

inline constexpr kern_return_t KERN_RESOURCE_SHORTAGE = 6;
inline constexpr kern_return_t KERN_OPERATION_TIMED_OUT = 49;

// The most threads that can be parked at once.
inline constexpr uint32_t kThreadCapacity = 4096;

// The x86-64 general registers as Linux saves them in a signal frame
// (`mcontext_t.gregs`, 23 entries, indexed by REG_R8 ... REG_CR2).
inline constexpr int kThreadGregCount = 23;
struct thread_gregs {
  uint64_t gregs[kThreadGregCount];
};

// Installs the parking signal's handler for the process (idempotent) and
// keeps the thread list's folder open, so that a process that has used up its
// file descriptors can still list its threads. Called at the engine's set-up
// points; the suspend call installs it too when needed, which is
// async-signal-safe but better done before a crash. True when this call
// opened the folder (it was not kept open yet).
bool thread_parking_prepare() noexcept;

// Closes the thread list's folder that `thread_parking_prepare` keeps open,
// for a set-up that failed after preparing; the next preparation opens it
// again. The parking signal's handler stays.
void thread_parking_release_folder() noexcept;

// Opens /proc/<pid>/<file> (`file` may name a folder, with O_DIRECTORY in
// `flags`), close-on-exec, the calling process's as /proc/self/<file>; -1
// when it cannot. For the process whose thread
// list's folder is kept open (see `thread_parking_prepare`), through that
// folder when /proc cannot: it still reaches the process's files once /proc
// is covered or gone (a sandbox entered after set-up).
int process_file_open(task_t pid, const char* file, int flags) noexcept;

// The signal reserved for parking (a real-time signal near the top of the
// range).
int thread_parking_signal() noexcept;

// Lists the own task's threads (from /proc/self/task) into `threads`. With
// more threads than `capacity`, the first `capacity` are listed. A forked
// child lists its own threads, through a folder it opens in place of the one
// its parent kept open. KERN_INVALID_ARGUMENT for another task; KERN_FAILURE
// when the list cannot be read.
[[nodiscard]] kern_return_t task_threads(task_t task, thread_t* threads, uint32_t capacity,
                                         uint32_t* count) noexcept;

// Parks `thread` (a thread of the own task other than the caller) and returns
// once it is parked. KERN_INVALID_ARGUMENT for the calling thread or a thread
// that does not exist; KERN_OPERATION_TIMED_OUT when it did not park in time
// (or has the parking signal blocked);
// KERN_RESOURCE_SHORTAGE when every slot is in use.
[[nodiscard]] kern_return_t thread_suspend(thread_t thread) noexcept;

// Parks every thread of `threads[0, count)` other than the caller, those
// with the parking signal blocked and those waiting on a published fault
// (see `thread_publish_fault_state`), all at
// once: each is asked before any is waited for, and the wait for all of them
// together ends about 100 ms after the asking, so threads that never answer
// cost that once, not once each. `suspended[i]` tells whether threads[i]
// parked; release each one that did with `thread_resume`.
void thread_suspend_all(const thread_t* threads, uint32_t count, bool* suspended) noexcept;

// Releases a thread parked by `thread_suspend` or `thread_suspend_all`.
// KERN_FAILURE when it is not parked. During a crash (see
// `process_crash_began`) the thread stays parked, and the answer is
// KERN_SUCCESS.
[[nodiscard]] kern_return_t thread_resume(thread_t thread) noexcept;

// Marks the calling process as ending by a crash that the calling thread
// writes. From then on no other thread of the process runs its own code
// again: a thread parked stays parked until the process ends, with every
// signal blocked (as a parked thread always is), one the parking signal
// reaches late parks then, one started meanwhile parks before it runs, and
// one that calls `exit` waits there (the program cannot end before the
// crash does). No signal sent to the process runs the program's handlers,
// ends it or stops it any more: the calling thread blocks every signal but
// the faults, and each signal whose action would act (a handler, or a
// default action other than ignoring or continuing) but for the faults,
// SIGABRT and the parking signal gets an action that has the thread it
// reaches wait for the end, its state published as a waiting thread's (a
// thread whose fault waits on its answer drops it instead: that answer ends
// the process, or lets the thread go on). Its thread list closes a
// descriptor kept from a parent as `descriptor_close_copy` does at crash
// time. Kept with the process's token (base/ProcessToken.h): a child forked
// later is not ending, nor is the parent of a child in its memory whose
// crash it is (such a process that takes a held signal puts its action back
// and takes it again).
void process_crash_began() noexcept;
// Whether the calling process has been marked so.
bool process_crash_under_way() noexcept;
// Where the calling thread must run nothing more of the program's during a
// crash of its process (not the crash's own thread): waits, every signal
// blocked, for the end of the process; returns at once otherwise.
void process_crash_hold() noexcept;
// Has the program's `exit` (and a return from `main`) wait during a crash of
// its process, as `process_crash_hold` does: registered once (`atexit`), at
// set-up. A thread that ends the process otherwise (`_exit`, `quick_exit`,
// the system call) still ends it.
void process_crash_holds_exit() noexcept;

// The registers of `thread`: the context in which it faulted when it waits in
// the exception bridge (see `thread_publish_fault_state`), else the context
// in which it was parked. KERN_FAILURE when it is neither.
[[nodiscard]] kern_return_t thread_get_state(thread_t thread, thread_gregs* state) noexcept;

// What the kernel told of a fault: the signal, code and address of its
// `siginfo_t`.
struct thread_fault_signal {
  int32_t signo;
  int32_t code;
  uint64_t address;
};

// The calling thread announces the context and the signal of a fault it is
// waiting on, so that `thread_get_state` reports the faulting instruction
// rather than the waiting code, and `thread_get_fault_signal` what the kernel
// said of it. Returns false when the table is full. Withdrawn with
// `thread_withdraw_fault_state`.
bool thread_publish_fault_state(const thread_gregs* state,
                                const thread_fault_signal* signal) noexcept;
void thread_withdraw_fault_state() noexcept;

// The signal of the fault `thread` waits on (see `thread_publish_fault_state`);
// false when it waits on none.
bool thread_get_fault_signal(thread_t thread, thread_fault_signal* signal) noexcept;

}  // namespace sys
