#pragma once

#include <signal.h>

#include <cstdint>
#include <span>
#include <string>

// What the crash child's files share (CrashChild.cpp): the mode it runs,
// the folder it reports under, its markers, the functions it crashes in,
// and the situations each file of its own starts.
namespace crashchild {

extern std::string gFolder;
extern std::string& gMode;

// 0, read at run time: the optimiser cannot prove the faulting stores
// write outside any object and so does not warn about them or drop them.
extern volatile uintptr_t gLowAddress;

// A "key value" line for the markers file; from the crash callback, the
// one that neither allocates nor formats.
void mark(const std::string& key, uint64_t value);
void markFromCallback(const char* key, uint64_t value);
void markFunction(const std::string& key, void (*function)());

void faultHere();

// The crashes of the situations, each in a function of its own that the
// report must name. Each stores its own value, so that no optimiser folds
// them into one.
inline void faultWith(int value) {
  *reinterpret_cast<volatile int*>(gLowAddress + 0x10) = value;
  asm volatile("" ::: "memory");
}

// Blocks the engine's parking signal on the calling thread, as a thread that
// waits for signals of its own may.
void blockParkingSignal();

// Starts `count` threads that wait for ever, with the parking signal blocked
// when asked.
void startSleepers(int count, bool deaf);

[[noreturn]] void waitForTheEnd();

// SIGABRT's action once enabled, which the crash's guard replaces (the
// exception bridge may put back the action of a fault's signal before).
extern struct sigaction gEnabledAbortAction;

// Whether this process's crash has begun: the action of SIGABRT is no longer
// the one enabling installed. Async-signal-safe.
bool crashHasBegun();

// A mode of the program: its name, whether the mode only begins with it
// (the rest being its setting), and the crash, which returns the exit
// status when the mode does not crash.
struct CrashMode {
  const char* name;
  bool prefix;
  int (*crash)(const std::string& setting);
};

// Runs the crash of the row of `modes` that `mode` names; -1 when none does.
int crashInMode(std::span<const CrashMode> modes, const std::string& mode);

// The situations of a crash that holds the rest of the program
// (CrashChildHolds.cpp); the return value is the exit status when the mode
// does not crash, -1 when `mode` is another one.
int crashWithHolds(const std::string& mode);

}  // namespace crashchild
