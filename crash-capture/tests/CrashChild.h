#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// Functions whose first instruction faults (CrashChildFaults.S): an illegal
// instruction, and an integer division by the zero `zero` points to.
extern "C" void kx_child_illegal();
extern "C" int kx_child_divide(const int* zero);

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

// Recurses until the stack runs out.
int overflow(int depth);

// The program's crash after its child's.
void parentCrashesLater();

// Gives the calling thread an alternate stack of its own that leaves `room`
// bytes beyond the signal frame the kernel makes.
void installAlternateStack(size_t room);

// What descriptor `fd` is open on, as /proc shows it ("" when it is not
// open), and whether that is the engine's unnamed report file.
std::string descriptorTarget(int fd);
bool isEnginesReportFile(const std::string& target);

// A child process: it marks itself as "child" and crashes, after limiting
// its address space to what it has, or using up its descriptors, when asked.
enum class Short { nothing, memory, descriptors };
[[noreturn]] void crashAsChild(Short of);

// Waits for the child `pid` to end; its wait status.
int waitFor(pid_t pid);

// Waits for the crashing child `pid`, and marks the signal that ended it.
void awaitCrashedChild(pid_t pid);

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

// The situations of faults the kernel names and of programs that change
// their environment after enabling (CrashChildEnvironment.cpp): -1 for
// another mode; and their set-up before enabling and checks in the crash
// callback.
int faultAsTheKernelNames(const std::string& mode);
int crashAfterTheChange(const std::string& mode);
void prepareTheChange();
void checkAfterTheChange();

// The situations of a crash that holds the rest of the program
// (CrashChildHolds.cpp); the return value is the exit status when the mode
// does not crash, -1 when `mode` is another one.
int crashWithHolds(const std::string& mode);

}  // namespace crashchild
