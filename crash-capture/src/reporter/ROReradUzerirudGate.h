#pragma once

#include <atomic>

// One report at a time.
//
// The thread that writes a report holds the gate: a live report until it is
// done, a crash for good. A crash that finds a live report being written
// waits for it and then writes; a thread that crashes while a crash is being
// written waits for the process to end, which the first crash's signal does.
// While a crash is written, every fatal signal goes to a guard: a fault of
// the writing thread itself (in the writer or the crash callback) ends the
// process with the first crash's signal, any other thread waits.
namespace rocrash::reporter {

// Whether a crash is being written (or was).
extern std::atomic<bool> gCrashing;

// Waits for the process to end (the first crash's signal ends it).
[[noreturn]] void waitForTheEnd();
// Ends the process with the first crash's signal.
[[noreturn]] void endWithTheCrashSignal();
// Ends the process with `signo`.
[[noreturn]] void endWith(int signo);

// Takes the gate for a crash with signal `signo`. False when the calling
// thread is already writing a crash (it faulted in its own write).
bool beginCrash(int signo);
// Takes the gate for a live report, waiting while another report is written.
void beginLiveReport();
// Lets go of the gate a live report took.
void endLiveReport();

}  // namespace rocrash::reporter
