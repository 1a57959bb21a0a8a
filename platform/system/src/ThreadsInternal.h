#pragma once

#include <sys/types.h>

#include "base/ProcFiles.h"
#include "system/HandlerStacks.h"
#include "system/Threads.h"

// What the parking signal and the alternate stacks share inside this layer.
namespace sys::detail {

// The parking signal's value that asks a thread to take the alternate stack
// offered to it (parking requests carry a slot index, never negative).
inline constexpr int kAlternateStackRequest = -2;

// Parking (ThreadParking.cpp) and the thread list (Threads.cpp) share:

// Keeps the thread list's folder open (see `thread_parking_prepare`); true
// when this call opened it.
bool task_folder_reserve() noexcept;

// Reads the text of the own process's "task/<thread>/<file>" into `text`
// (room for `room` bytes with a terminating zero), by the process's own
// number for the thread; its length, or -1.
ssize_t thread_file_read(thread_t thread, const char* file, char* text, size_t room) noexcept;

// Reads the status of the own process's `thread`, by the process's own
// number for it: false when it cannot be read.
bool thread_status_read(thread_t thread, base::ProcStatus* status) noexcept;

// Parses a number in `base` (10 or 16, "0x" allowed) at `*at`, moving past
// it, after any blanks.
uint64_t parse_number(const char** at, int base) noexcept;

// The registers `thread` was parked with; false when it is not parked.
bool thread_parked_state(thread_t thread, thread_gregs* state) noexcept;

// Whether `thread` of the own process has the parking signal blocked (from
// its status in /proc). Such a thread is never sent the signal: it is waiting
// for signals of its own (`sigwaitinfo`, `signalfd`) and would take the
// engine's for one of them. False when the status cannot be read.
// Async-signal-safe.
bool thread_blocks_parking_signal(thread_t thread) noexcept;

// A thread that is starting or ending, or in a handler that blocks every
// signal, has the parking signal blocked for a moment only. Looks again, for
// about 20 ms, at each thread `threads[i]` whose `pending[i]` is set: one
// that no longer blocks the signal is handed to `ask(i, context)` and its
// flag cleared; the flags left set are those of threads that kept it
// blocked throughout. Async-signal-safe.
void thread_await_parking_unblocked(const thread_t* threads, uint32_t count, bool* pending,
                                    void (*ask)(uint32_t index, void* context),
                                    void* context) noexcept;

// Sends the parking signal with `value` to `thread` of the own process.
bool thread_send_parking_signal(thread_t thread, int value) noexcept;

// Runs in the parking signal's handler of a thread asked to take its offered
// alternate stack; `context` is the handler's ucontext.
void thread_alternate_stack_offered(void* context) noexcept;

// Publishes the registers of `uap` (a signal handler's context) as the state
// of the calling thread `self`, which waits for the process to end and never
// withdraws it: see `thread_publish_fault_state`, whose table it shares (its
// signal is all zero). For a handler's entry, on whatever stack: makes no
// call. False when the table is full.
KX_HANDLER_ENTRY bool thread_publish_waiting_state(thread_t self, const void* uap) noexcept;

}  // namespace sys::detail
