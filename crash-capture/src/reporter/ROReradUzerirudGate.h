#pragma once

#include <signal.h>

// One report at a time.
//
// The thread that writes a report holds the gate: a live report until it is
// done, a crash for good. A crash that finds a live report being written
// waits for it and then writes, before any live report asked for after; a thread that crashes while
// a crash is being written waits for the process to end, which the first crash's signal does. While
// a crash is written, every fatal signal goes to a guard: a fault of the writing thread itself (in
// the writer or the crash callback) ends the process with the first crash's signal, any other
// thread waits where its signal arrived, and a signal sent from elsewhere is dropped on whichever
// thread it reaches. A thread that waits for the end holds no handler stack and shows the report
// where it was.
//
// The gate belongs to the process that holds it. A child forked while it is
// held (by a live report, or by a crash written on another thread or by the
// crash callback itself) finds it open, whatever that thread was doing: the
// child's own fault is a crash of its own, written as a forked child's, and
// its live reports are written.
namespace rocrash::reporter {

// Whether a crash of this process is being written (or was).
bool crashBeingWritten();

// Waits for the process to end (the first crash's signal ends it): in a
// signal handler, `uap` is its signal's context, published as the thread's
// state for the report, and the handler stack it may work on is given back.
[[noreturn]] void waitForTheEnd(const void* uap = nullptr);
// Ends the process with the first crash's signal.
[[noreturn]] void endWithTheCrashSignal();
// Ends the process with `signo`.
[[noreturn]] void endWith(int signo);

// Whether a fatal signal was sent from elsewhere, rather than caused or
// raised by the thread it reached: with kill or sigqueue (by another
// process, or by any thread of this one), or to that thread alone by
// another process. While a crash is written such a signal is dropped,
// whichever thread it reaches: it carries no fault, and it cannot stay
// pending, as the crash keeps the faults' signals deliverable for faults of
// its own (a pending one would be lost anyway, as the crash's own signal
// ends the process). A signal a thread raises itself (`abort` or `raise`,
// in the crash callback too) comes to it alone with this process's id, and
// is not sent from elsewhere; nor, as nothing tells them apart, is one
// another thread of this process sends to that thread alone. Async-signal-safe.
bool sentFromElsewhere(const siginfo_t* info);

// Takes the gate for a crash with signal `signo`, waiting while a live
// report is written, or for the end (with `uap`, see `waitForTheEnd`) while
// another crash is. False when the calling thread is already writing a crash
// (it faulted in its own write).
bool beginCrash(int signo, const void* uap = nullptr);
// Takes the gate for a live report, waiting while another report is written.
void beginLiveReport();
// Lets go of the gate a live report took.
void endLiveReport();

}  // namespace rocrash::reporter
