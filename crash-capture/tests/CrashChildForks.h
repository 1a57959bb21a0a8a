#pragma once

#include <string>

// The crash child's situations of children forked while the program's own
// crash is being written: from the crash callback, on the thread that
// crashed (or, in the Mach mode, on the exception server's thread that
// wrote the report), the crash a fault or (with "-exception") an uncaught
// exception; and from another thread, one that keeps the parking signal
// blocked (so that the writer runs beside it), as soon as the crash has
// begun. Each child marks itself "child", asks for a live report (and marks
// "live-in-child" when it gets one), then crashes as the program did. The
// program's crash callback waits for the child, and kills it when it has not
// ended within 20 s (CrashChild.cpp). In the callback's situations a second
// child returns from the callback, and the program marks
// "returning-child-ended" once it has ended by the program's crash signal.
// In "clone-in-callback" the callback makes a child in the program's memory
// that shares its signal actions (clone with CLONE_VM and CLONE_SIGHAND),
// which faults, and the program marks "clone-child-ended" once a signal has
// ended it by itself.
//
// Starts the situation `mode` in the program, whose reporter is enabled and
// reports under `folder`; the return value is the exit status when it does
// not crash. -1 when `mode` is another one.
int crash_child_forks(const std::string& mode, const std::string& folder);

// The part of the program's crash callback in the situation `mode`: nothing
// in another mode, or in a process other than the program.
void crash_child_forks_callback(const std::string& mode);
