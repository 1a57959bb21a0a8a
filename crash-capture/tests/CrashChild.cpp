// A program that enables the crash reporter and then crashes in the way its
// first argument names, for the crash tests to read the report it leaves.
//
//   crash-capture_child <mode>[+<sandbox>] <signals|mach> <folder> [symbols]
//
// With a sandbox, the mode runs under a filter of system calls
// (CrashChildSandbox.h).
// The report goes under <folder>; with "symbols" the reporter names the
// frames from the images' symbol tables. Before crashing, the program writes
// what the tests check the report against to <folder>/markers, one "key
// value" line each (addresses in decimal): "pid" and "pid.parent" name the
// program and its parent, and a mode whose other processes crash names each
// of them the same way under a key of its own.
#include "CrashChild.h"

#include <alloca.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "CrashChildForks.h"
#include "CrashChildFrames.h"
#include "CrashChildImages.h"
#include "CrashChildSandbox.h"
#include "crash-capture/ROReradUzerirud.h"
#include "system/TestSeams.h"
#include "system/Threads.h"
#include "systemTest/AddressSpace.h"
#include "systemTest/DescriptorTables.h"

extern "C" void crash_child_looping_cfi();

namespace crashchild {

std::string gFolder;
// Never destroyed: the crash callback reads it while an exit destroys the
// globals.
std::string& gMode = *new std::string;
char gMarkersPath[4096];
// The waits parking had begun before the crash.
uint64_t gParkingWaitsBefore = 0;

int64_t monotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

volatile uintptr_t gLowAddress = 0;

// One line with one write, so that processes marking at once never mix
// their lines.
void mark(const std::string& key, uint64_t value) {
  char line[256];
  int n =
      snprintf(line, sizeof line, "%s %llu\n", key.c_str(), static_cast<unsigned long long>(value));
  int fd = open((gFolder + "/markers").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ssize_t written = write(fd, line, static_cast<size_t>(n));
  (void)written;
  close(fd);
}

// A "key value" line for the markers file, from the crash callback: no heap
// and no formatting of the C library's.
void markFromCallback(const char* key, uint64_t value) {
  char line[64];
  size_t n = 0;
  while (*key != '\0' && n < sizeof line - 23) line[n++] = *key++;
  line[n++] = ' ';
  char digits[20];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (count > 0) line[n++] = digits[--count];
  line[n++] = '\n';
  int markers = open(gMarkersPath, O_WRONLY | O_APPEND | O_CLOEXEC);
  ssize_t written = write(markers, line, n);
  (void)written;
  close(markers);
}

// Marks the calling process under `key`, with its parent.
void markProcess(const std::string& key) {
  mark(key, static_cast<uint64_t>(getpid()));
  mark(key + ".parent", static_cast<uint64_t>(getppid()));
}

void markFunction(const std::string& key, void (*function)()) {
  mark(key, reinterpret_cast<uint64_t>(function));
}

__attribute__((noinline)) void faultHere() {
  *reinterpret_cast<volatile int*>(gLowAddress + 0x10) = 1;
  asm volatile("" ::: "memory");
}

// Faults at an address of the caller's own: threads that fault at once
// write no location in common, which ThreadSanitizer would report as a race
// before the fault.
__attribute__((noinline)) void faultAt(uintptr_t offset) {
  *reinterpret_cast<volatile int*>(gLowAddress + offset) = 1;
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void illegalHere() { asm volatile("ud2"); }

// Records the C library's backtrace from here, then faults.
__attribute__((noinline)) void faultAfterBacktrace() {
  void* frames[64];
  int n = backtrace(frames, 64);
  for (int i = 0; i < n; ++i) mark("backtrace", reinterpret_cast<uint64_t>(frames[i]));
  *reinterpret_cast<volatile int*>(gLowAddress + 0x10) = 1;
  asm volatile("" ::: "memory");
}

struct Cleanup {
  ~Cleanup();
};
__attribute__((noinline)) Cleanup::~Cleanup() { asm volatile("" ::: "memory"); }

// Ordinary C++ frames that pass arguments on the stack and have cleanups to
// run, so that g++ notes the arguments' size around every call.
__attribute__((noinline)) void argumentsChain(int depth, long a, long b, long c, long d, long e,
                                              long f, long g, long h) {
  Cleanup cleanup;
  if (depth == 0) {
    faultAfterBacktrace();
  } else {
    argumentsChain(depth - 1, a + 1, b, c, d, e, f, g, h + 1);
  }
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) int overflow(int depth) {
  volatile char pad[256];
  pad[0] = static_cast<char>(depth);
  if (depth == 1 << 30) return 0;  // never: the stack runs out long before
  return overflow(depth + 1) + pad[0];
}

__attribute__((noinline)) void badStackPointer() {
  asm volatile(
      "mov $0x10, %%rsp\n"
      "push %%rax\n" ::
          : "memory");
}

__attribute__((noinline)) void forkedChildCrashes() { faultWith(11); }
__attribute__((noinline)) void parentCrashesLater() { faultWith(12); }
__attribute__((noinline)) void daemonCrashes() { faultWith(13); }
__attribute__((noinline)) void childrenCrashTogether() { faultWith(14); }
__attribute__((noinline)) void faultWithoutDescriptors() { faultWith(15); }
__attribute__((noinline)) void faultWithoutMemory() { faultWith(16); }
__attribute__((noinline)) void blockedWorkerFaults() { faultWith(17); }
__attribute__((noinline)) void maskedThreadFaults() { faultWith(18); }
__attribute__((noinline)) void faultPastTheRepairs() { faultWith(32); }
__attribute__((noinline)) void handlerFaults(volatile char* used) {
  used[0] = 2;
  faultWith(19);
}

// What an application's small alternate stack leaves beyond the kernel's
// signal frame: what 8 KiB leave with the widest vector registers.
constexpr size_t kSmallStackRoom = 4608;

// An application's handler on a small alternate stack: it uses all of it but
// what the kernel needs for the next signal's frame and a little more, then
// faults.
__attribute__((noinline)) void usedMostOfTheStack(int, siginfo_t*, void*) {
  stack_t stack;
  sigaltstack(nullptr, &stack);
  auto* here = static_cast<char*>(__builtin_frame_address(0));
  size_t left = static_cast<size_t>(here - static_cast<char*>(stack.ss_sp));
  size_t keep = getauxval(AT_MINSIGSTKSZ) + 3072;
  size_t use = left > keep ? left - keep : 16;
  auto* block = static_cast<volatile char*>(alloca(use));
  for (size_t i = 0; i < use; i += 512) block[i] = 1;
  handlerFaults(block);
}

// The signal frame the kernel makes for this process, measured: the size it
// tells (AT_MINSIGSTKSZ) is the largest any process may need, some 8 KiB more
// than a process that never asked for the widest registers (AMX) gets.
size_t signalFrameSize() {
  static char probeStack[64 * 1024];
  static uintptr_t deepest = 0;
  stack_t probe = {probeStack, 0, sizeof probeStack}, before;
  struct sigaction action = {}, previous;
  action.sa_handler = [](int) {
    volatile char here = 0;
    deepest = reinterpret_cast<uintptr_t>(&here);
  };
  action.sa_flags = SA_ONSTACK;
  sigaltstack(&probe, &before);
  sigaction(SIGURG, &action, &previous);
  raise(SIGURG);
  sigaction(SIGURG, &previous, nullptr);
  sigaltstack(&before, nullptr);
  return reinterpret_cast<uintptr_t>(probeStack + sizeof probeStack) - deepest;
}

// Gives the calling thread an alternate stack of its own, as an application
// or another runtime would, that leaves `room` bytes beyond the signal frame
// the kernel makes (some 1 KiB on one machine, 3.4 KiB with the widest vector
// registers), above an inaccessible guard page: a handler that needs more
// than it has faults there rather than writing over whatever lies below.
void installAlternateStack(size_t room) {
  static const size_t frame = signalFrameSize();
  const size_t size = frame + room;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* mapping =
      mmap(nullptr, page + size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) abort();
  mprotect(mapping, page, PROT_NONE);
  stack_t stack;
  stack.ss_sp = static_cast<char*>(mapping) + page;
  stack.ss_size = size;
  stack.ss_flags = 0;
  sigaltstack(&stack, nullptr);
}

// faults-together-<threads>[-<room>]: that many threads fault at the same
// moment, each in a function the markers name ("fault", "illegal",
// "divide"), so that any may be first. With a room, each has an alternate
// stack of its own that leaves that room.
void faultTogether(const char* setting) {
  char* rest = nullptr;
  const int threads = static_cast<int>(strtol(setting, &rest, 10));
  const size_t room = *rest == '-' ? strtoul(rest + 1, nullptr, 10) : 0;
  markFunction("fault", faultHere);
  markFunction("illegal", illegalHere);
  markFunction("divide", reinterpret_cast<void (*)()>(kx_child_divide));
  static const int zero = 0;
  std::atomic<int> ready{0};
  std::vector<std::thread> faulting;
  for (int i = 0; i < threads; ++i) {
    faulting.emplace_back([&ready, threads, room, i] {
      if (room != 0) installAlternateStack(room);
      ++ready;
      while (ready.load() < threads) {
      }
      if (i % 3 == 0) faultHere();
      if (i % 3 == 1) illegalHere();
      kx_child_divide(&zero);
    });
  }
  for (auto& thread : faulting) thread.join();
}

void blockParkingSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sys::thread_parking_signal());
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// storm-<threads>-<milliseconds>: that many threads, busy on the processors
// (as a program's working threads are, so that the report's writer
// competes with them), fault in "crashed", each at a moment of its own drawn
// within that many milliseconds once all of them run.
void faultStorm(const char* setting) {
  char* rest = nullptr;
  const int threads = static_cast<int>(strtol(setting, &rest, 10));
  const int64_t window = *rest == '-' ? strtol(rest + 1, nullptr, 10) * 1'000'000 : 1;
  markFunction("crashed", reinterpret_cast<void (*)()>(faultAt));
  static std::atomic<int64_t> start{0};
  static std::atomic<int> running{0};
  unsigned draw = static_cast<unsigned>(monotonicNs());
  for (int i = 0; i < threads; ++i) {
    const int64_t delay = rand_r(&draw) % window;
    std::thread([delay, i] {
      ++running;
      while (start.load() == 0) usleep(1000);
      while (monotonicNs() < start.load() + delay) {
      }
      faultAt(0x100 + 64 * static_cast<uintptr_t>(i));
    }).detach();
  }
  while (running.load() < threads) usleep(1000);
  start = monotonicNs();
}

// after-guard-<threads>[-deaf]: that many threads fault in "crashed" once the
// first crash (the main thread's) changed the action of SIGSEGV, with the
// parking signal blocked when "deaf".
void faultAfterTheGuard(const char* setting) {
  char* rest = nullptr;
  const int threads = static_cast<int>(strtol(setting, &rest, 10));
  const bool deaf = strcmp(rest, "-deaf") == 0;
  markFunction("crashed", reinterpret_cast<void (*)()>(faultAt));
  static struct sigaction enabled;
  sigaction(SIGSEGV, nullptr, &enabled);
  static std::atomic<int> ready{0};
  for (int i = 1; i <= threads; ++i) {
    std::thread([deaf, i] {
      if (deaf) blockParkingSignal();
      ++ready;
      for (struct sigaction now = enabled; now.sa_sigaction == enabled.sa_sigaction;) {
        const struct timespec pause = {0, 100'000};
        nanosleep(&pause, nullptr);
        sigaction(SIGSEGV, nullptr, &now);
      }
      faultAt(0x100 + 64 * static_cast<uintptr_t>(i));
    }).detach();
  }
  while (ready.load() < threads) std::this_thread::yield();
  faultAt(0x100);
}

struct OverflowsWhenDestroyed {
  ~OverflowsWhenDestroyed() { overflow(0); }
};

void startSleepers(int count, bool deaf) {
  std::atomic<int> started{0};
  for (int i = 0; i < count; ++i) {
    std::thread([&started, deaf] {
      if (deaf) blockParkingSignal();
      ++started;
      for (;;) pause();
    }).detach();
  }
  while (started.load() < count) std::this_thread::yield();
}

int crashInMode(std::span<const CrashMode> modes, const std::string& mode) {
  for (const CrashMode& row : modes) {
    const size_t length = strlen(row.name);
    if (mode.rfind(row.name, 0) == 0 && (row.prefix || mode.size() == length)) {
      return row.crash(mode.substr(length));
    }
  }
  return -1;
}

[[noreturn]] void waitForTheEnd() {
  for (;;) pause();
}

// ---- Situations of programs that live past, or around, the engine ----

__attribute__((noinline)) void vforkChildCrashes() { faultWith(20); }
__attribute__((noinline)) void workerCrashesAfterMainExited() { faultWith(21); }
__attribute__((noinline)) void faultWithReusedDescriptors() { faultWith(22); }
__attribute__((noinline)) void faultUnderFileSizeLimit() { faultWith(23); }
__attribute__((noinline)) void destructorFaults() { faultWith(24); }

// Destroyed after every global of the engine (made before them all): a
// program's own global whose destructor faults, or closes a library.
struct AtExit {
  bool fault = false;
  void* library = nullptr;
  ~AtExit() {
    if (library != nullptr) dlclose(library);
    if (fault) destructorFaults();
  }
};
__attribute__((init_priority(101))) AtExit gAtExit;

// The program's own log, which takes the numbers of the engine's descriptors
// in "descriptor-reused": its text, its path and the descriptor it was
// written through.
constexpr char kProgramLog[] = "the program's own log\n";
char gProgramLogPath[4096];
int gProgramLog = -1;

// What descriptor `fd` is open on, as /proc shows it ("" when it is not open).
std::string descriptorTarget(int fd) {
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// Whether a descriptor's target is the engine's unnamed report file.
bool isEnginesReportFile(const std::string& target) {
  return target.find("org.kestrix.crash-capture") != std::string::npos &&
         target.find("(deleted)") != std::string::npos;
}

// Closes the descriptors the engine keeps (its unnamed report file and its
// thread list's folder), as a program closing what it did not open does, and
// gives both numbers to the program's log.
bool reuseTheEnginesDescriptors() {
  snprintf(gProgramLogPath, sizeof gProgramLogPath, "%s/program.log", gFolder.c_str());
  gProgramLog = open(gProgramLogPath, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (gProgramLog < 0 || write(gProgramLog, kProgramLog, sizeof kProgramLog - 1) !=
                             static_cast<ssize_t>(sizeof kProgramLog - 1)) {
    return false;
  }
  int taken = 0;
  for (int fd = 3; fd < 1024; ++fd) {
    const std::string name = descriptorTarget(fd);
    const bool reportFile = isEnginesReportFile(name);
    const bool taskFolder = name.size() > 5 && name.compare(name.size() - 5, 5, "/task") == 0;
    if ((reportFile || taskFolder) && dup2(gProgramLog, fd) == fd) ++taken;
  }
  return taken == 2;
}

// After the crash's report: the program's log is as the program left it
// (text and position), and marks "untouched" when it is.
void checkTheProgramsLog() {
  char text[sizeof kProgramLog] = {};
  int fd = open(gProgramLogPath, O_RDONLY | O_CLOEXEC);
  ssize_t n = read(fd, text, sizeof text);
  close(fd);
  const bool untouched = n == static_cast<ssize_t>(sizeof kProgramLog - 1) &&
                         memcmp(text, kProgramLog, sizeof kProgramLog - 1) == 0 &&
                         lseek(gProgramLog, 0, SEEK_CUR) == n;
  if (untouched) markFromCallback("untouched", 1);
}

void handleSignal(siginfo_t*, void*, void*) {
  checkAfterTheChange();
  crash_child_forks_callback(gMode);
  if (gMode == "descriptor-reused") {
    checkTheProgramsLog();
  } else if (gMode == "callback-fault") {
    *reinterpret_cast<volatile int*>(gLowAddress + 0x20) = 1;
  } else if (gMode == "callback-abort") {
    abort();
  } else if (gMode == "deaf-threads") {
    markFromCallback("parking-waits", sys::threadParkingWaitsForTesting() - gParkingWaitsBefore);
  }
  markFromCallback("callback-ended", 1);
}

// What happens before enabling.
std::atomic<bool> gEnabled{false};
std::thread gEarlyThread;

void prepare() {
  if (gMode == "overflow-old") {
    gEarlyThread = std::thread([] {
      while (!gEnabled.load()) std::this_thread::yield();
      overflow(0);
    });
  } else if (gMode == "small-stack-before") {
    gEarlyThread = std::thread([] {
      installAlternateStack(kSmallStackRoom);
      while (!gEnabled.load()) std::this_thread::yield();
      overflow(0);
    });
  } else if (gMode == "masks-after-enable") {
    gEarlyThread = std::thread([] {
      while (!gEnabled.load()) std::this_thread::yield();
      sigset_t all;
      sigfillset(&all);
      pthread_sigmask(SIG_BLOCK, &all, nullptr);
      sigprocmask(SIG_SETMASK, &all, nullptr);
      maskedThreadFaults();
    });
  }
  prepareTheChange();
}

using sys::testing::useUpDescriptors;

[[noreturn]] void crashAsChild(Short of) {
  markProcess("child");
  if (of == Short::memory) sys::testing::exhaustAddressSpace();
  if (of == Short::descriptors) useUpDescriptors();
  forkedChildCrashes();
  _exit(1);
}

// Waits for the child `pid` to end; its wait status. By waitid, not wait4,
// which a sandbox may end the process for (wait4-ends).
int waitFor(pid_t pid) {
  siginfo_t ended{};
  while (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED) < 0 && errno == EINTR) {
  }
  return ended.si_code == CLD_EXITED ? ended.si_status << 8 : ended.si_status;
}

// Waits for the crashing child `pid`, and marks the signal that ended it
// (its fault's, SIGKILL or SIGSYS), and whether the program's signal
// actions are as it set them.
void awaitCrashedChild(pid_t pid) {
  const int status = waitFor(pid);
  const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (signal == SIGSEGV) mark("child-ended-by-its-signal", 1);
  if (signal == SIGKILL) mark("child-ended-by-sigkill", 1);
  if (signal == SIGSYS) mark("child-ended-by-sigsys", 1);
  if (crash_child_handlers_untouched()) mark("handlers-untouched", 1);
}

// Waits (at most 10 s) until the parent `parent` has ended and this process
// has a new one. The kernel hands a process's children on before it tells
// those watching the process that it has ended.
bool waitForParentsEnd(pid_t parent) {
  const int ended = static_cast<int>(syscall(SYS_pidfd_open, parent, 0));
  if (ended >= 0) {
    if (getppid() == parent) {
      pollfd end{ended, POLLIN, 0};
      while (poll(&end, 1, 10000) < 0 && errno == EINTR) {
      }
    }
    close(ended);
  }
  return getppid() != parent;
}

// The situations of programs that live past, or around, the engine; -1
// for another mode.
int crashAroundTheEngine() {
  if (gMode == "vfork-child") {
    // The child runs in the program's memory until it ends. A live report and
    // the program's own crash come after.
    pid_t child = vfork();
    if (child == 0) {
      vforkChildCrashes();
      _exit(1);
    }
    mark("child", static_cast<uint64_t>(child));
    mark("child.parent", static_cast<uint64_t>(getpid()));
    awaitCrashedChild(child);
    auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
        "com.example.child", "1", std::nullopt,
        ROReradUzerirudConfig::initWithBasePath(gFolder + "/live"));
    if (!reporter->generateLiveReport()) return 6;
    parentCrashesLater();
  } else if (gMode == "main-exited") {
    // A worker crashes once the main thread has ended with pthread_exit.
    const pthread_t mainThread = pthread_self();
    std::thread([mainThread] {
      pthread_join(mainThread, nullptr);
      workerCrashesAfterMainExited();
    }).detach();
    pthread_exit(nullptr);
  } else if (gMode == "descriptor-reused") {
    if (!reuseTheEnginesDescriptors()) return 6;
    faultWithReusedDescriptors();
  } else if (gMode == "file-size-limit") {
    // Far below the report's size with its custom data (see main).
    struct rlimit limit = {64 * 1024, 64 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    faultUnderFileSizeLimit();
  } else if (gMode == "global-destructor") {
    gAtExit.fault = true;
    return 0;
  } else if (gMode == "dlclose-at-exit") {
    gAtExit.library = dlopen(ROCRASH_PLUGIN_A, RTLD_NOW);
    return gAtExit.library != nullptr ? 0 : 6;
  } else {
    return -1;
  }
  waitForTheEnd();
}

// ---- A daemon that gives up root after enabling ----

__attribute__((noinline)) void faultAfterGivingUpRoot() { faultWith(30); }
__attribute__((noinline)) void childOfTheUnprivilegedDaemonCrashes() { faultWith(31); }

// drop-privileges: enabled as root, the program takes nobody's user and
// group (65534), as a daemon does (a child it forked before has ended
// normally); a child it forks then crashes, and then the program.
int crashAfterGivingUpRoot() {
  // A child that ends normally first leaves the program's prepared file.
  const pid_t ended = fork();
  if (ended == 0) exit(0);
  waitFor(ended);
  if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
      setresuid(65534, 65534, 65534) != 0) {
    return 7;
  }
  const pid_t child = fork();
  if (child == 0) {
    childOfTheUnprivilegedDaemonCrashes();
    _exit(1);
  }
  waitFor(child);
  faultAfterGivingUpRoot();
  return 1;
}

// ---- A program that repairs faults ----

// The page the program's handler repairs (made writable) at its faults, and
// the action that handler found at enabling, which gets every other fault.
char* gRepairable = nullptr;
struct sigaction gEnginesAction;

void repairOrHandOn(int signo, siginfo_t* info, void* uap) {
  auto* at = static_cast<char*>(info->si_addr);
  if (at >= gRepairable && at < gRepairable + 4096) {
    mprotect(gRepairable, 4096, PROT_READ | PROT_WRITE);
    return;
  }
  gEnginesAction.sa_sigaction(signo, info, uap);
}

// repairing-handler: a program whose handler, installed after enabling,
// repairs its faults on a page of its own (as a runtime's guard page) and
// hands every other one on to the engine's: the page faults and is
// repaired, then a fault elsewhere is reported.
int faultPastARepairingHandler() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return 5;
  gRepairable = static_cast<char*>(page);
  struct sigaction repair = {};
  repair.sa_sigaction = repairOrHandOn;
  repair.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigfillset(&repair.sa_mask);
  if (sigaction(SIGSEGV, &repair, &gEnginesAction) != 0) return 6;
  *reinterpret_cast<volatile char*>(gRepairable) = 1;
  mark("repaired", 1);
  faultPastTheRepairs();
  return 0;
}

// callback-fault, callback-abort: an illegal instruction, then a fault or
// an abort in the crash callback.
int crashIllegally(const std::string&) {
  markFunction("crashed", illegalHere);
  illegalHere();
  waitForTheEnd();
}

// fork-child, raw-fork-child: the child (of the C library's fork, or of the
// system call) crashes first; its parent, which enabled the reporter, then
// crashes too and must still be reported.
int parentCrashesAfterItsChild(const std::string&) {
  pid_t child = gMode == "fork-child" ? fork() : static_cast<pid_t>(syscall(SYS_fork));
  if (child == 0) crashAsChild(Short::nothing);
  waitFor(child);
  parentCrashesLater();
  waitForTheEnd();
}

// tight-child, descriptors-child: a child short of memory or descriptors
// crashes.
int childCrashesShort(const std::string&) {
  pid_t child = fork();
  if (child == 0) crashAsChild(gMode == "tight-child" ? Short::memory : Short::descriptors);
  waitFor(child);
  return 0;
}

// The program's own modes (CrashChild.h).
const CrashMode kModes[] = {
    {"fault", false,
     [](const std::string&) -> int {
       markFunction("crashed", faultAfterBacktrace);
       argumentsChain(3, 1, 2, 3, 4, 5, 6, 7, 8);
       waitForTheEnd();
     }},
    {"faults-together-", true,
     [](const std::string& setting) -> int {
       faultTogether(setting.c_str());
       waitForTheEnd();
     }},
    {"storm-", true,
     [](const std::string& setting) -> int {
       faultStorm(setting.c_str());
       waitForTheEnd();
     }},
    {"after-guard-", true,
     [](const std::string& setting) -> int {
       faultAfterTheGuard(setting.c_str());
       waitForTheEnd();
     }},
    {"live-race", false,
     [](const std::string&) -> int {
       markFunction("crashed", faultHere);
       std::atomic<int> made{0};
       std::thread([&made] {
         auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
             "com.example.child", "1", std::nullopt,
             ROReradUzerirudConfig::initWithBasePath(gFolder + "/live"));
         for (;;) {
           reporter->generateLiveReport();
           ++made;
         }
       }).detach();
       while (made.load() < 2) std::this_thread::yield();
       faultHere();
       waitForTheEnd();
     }},
    {"overflow-new", false,
     [](const std::string&) -> int {
       markFunction("crashed", reinterpret_cast<void (*)()>(overflow));
       std::thread([] { overflow(0); }).join();
       waitForTheEnd();
     }},
    {"overflow-old", false,
     [](const std::string&) -> int {
       markFunction("crashed", reinterpret_cast<void (*)()>(overflow));
       gEnabled = true;
       gEarlyThread.join();
       waitForTheEnd();
     }},
    {"bad-sp", false,
     [](const std::string&) -> int {
       markFunction("crashed", badStackPointer);
       std::thread([] { badStackPointer(); }).join();
       waitForTheEnd();
     }},
    {"callback-fault", false, crashIllegally},
    {"callback-abort", false, crashIllegally},
    {"dwarf-loop", false,
     [](const std::string&) -> int {
       markFunction("crashed", crash_child_looping_cfi);
       crash_child_looping_cfi();
       waitForTheEnd();
     }},
    {"many-threads", false,
     [](const std::string&) -> int {
       constexpr int kThreads = 600;
       startSleepers(kThreads - 1, false);
       markFunction("crashed", faultHere);
       mark("threads", kThreads);
       // The last thread made crashes: it is listed late.
       std::thread([] { faultHere(); }).join();
       waitForTheEnd();
     }},
    {"deaf-threads", false,
     [](const std::string&) -> int {
       constexpr int kDeaf = 40;
       startSleepers(kDeaf, true);
       startSleepers(3, false);  // and a few that park
       mark("deaf", kDeaf);
       markFunction("crashed", faultHere);
       gParkingWaitsBefore = sys::threadParkingWaitsForTesting();
       faultHere();
       waitForTheEnd();
     }},
    {"drop-privileges", false, [](const std::string&) -> int { return crashAfterGivingUpRoot(); }},
    {"enable", false,
     [](const std::string&) -> int {
       return 0;  // and the program ends normally
       waitForTheEnd();
     }},
    {"fork-child", false, parentCrashesAfterItsChild},
    {"raw-fork-child", false, parentCrashesAfterItsChild},
    {"tight-child", false, childCrashesShort},
    {"descriptors-child", false, childCrashesShort},
    {"children-together", false,
     [](const std::string&) -> int {
       constexpr int kChildren = 8;
       auto* ready = static_cast<std::atomic<int>*>(mmap(nullptr, sizeof(std::atomic<int>),
                                                         PROT_READ | PROT_WRITE,
                                                         MAP_SHARED | MAP_ANONYMOUS, -1, 0));
       ready->store(0);
       pid_t children[kChildren];
       for (auto& child : children) {
         child = fork();
         if (child == 0) {
           markProcess("child");
           ready->fetch_add(1);
           while (ready->load() < kChildren) {
           }
           childrenCrashTogether();
           _exit(1);
         }
       }
       for (pid_t child : children) waitFor(child);
       return 0;
     }},
    {"daemon", false,
     [](const std::string&) -> int {
       // A daemon made the usual way: its parent has exited before it crashes.
       // The program waits until the daemon's end closes the pipe.
       int fds[2];
       if (pipe(fds) != 0) return 4;
       pid_t first = fork();
       if (first == 0) {
         close(fds[0]);
         const pid_t self = getpid();
         if (fork() == 0) {
           if (!waitForParentsEnd(self)) _exit(5);
           setsid();
           markProcess("daemon");
           daemonCrashes();
         }
         _exit(0);
       }
       close(fds[1]);
       waitFor(first);
       char byte;
       while (read(fds[0], &byte, 1) > 0) {
       }
       return 0;
     }},
    {"no-descriptors", false,
     [](const std::string&) -> int {
       useUpDescriptors();
       faultWithoutDescriptors();
       waitForTheEnd();
     }},
    {"memory-exhausted", false,
     [](const std::string&) -> int {
       sys::testing::exhaustAddressSpace();
       faultWithoutMemory();
       waitForTheEnd();
     }},
    {"small-stack-before", false,
     [](const std::string&) -> int {
       gEnabled = true;
       gEarlyThread.join();
       waitForTheEnd();
     }},
    {"small-stack-after", false,
     [](const std::string&) -> int {
       std::thread([] {
         installAlternateStack(kSmallStackRoom);
         overflow(0);
       }).join();
       waitForTheEnd();
     }},
    {"used-alternate-stack", false,
     [](const std::string&) -> int {
       std::thread([] {
         installAlternateStack(12 * 1024);
         struct sigaction action;
         memset(&action, 0, sizeof action);
         action.sa_sigaction = usedMostOfTheStack;
         action.sa_flags = SA_SIGINFO | SA_ONSTACK;
         sigemptyset(&action.sa_mask);
         sigaction(SIGUSR1, &action, nullptr);
         pthread_kill(pthread_self(), SIGUSR1);
       }).join();
       waitForTheEnd();
     }},
    {"threads-past-the-slots", false,
     [](const std::string&) -> int {
       // More threads than the engine has slots for; the last one made
       // overflows its stack.
       constexpr int kThreads = static_cast<int>(sys::kThreadCapacity) + 8;
       pthread_attr_t attributes;
       pthread_attr_init(&attributes);
       pthread_attr_setstacksize(&attributes, 64 * 1024);
       static std::atomic<int> started{0};
       for (int i = 0; i < kThreads; ++i) {
         pthread_t thread;
         if (pthread_create(
                 &thread, &attributes,
                 [](void*) -> void* {
                   ++started;
                   for (;;) pause();
                 },
                 nullptr) != 0) {
           return 5;
         }
       }
       while (started.load() < kThreads) std::this_thread::yield();
       std::thread([] { overflow(0); }).join();
       waitForTheEnd();
     }},
    {"thread-local-destructor", false,
     [](const std::string&) -> int {
       std::thread([] {
         static thread_local OverflowsWhenDestroyed guard;
         asm volatile("" ::"r"(&guard) : "memory");
       }).join();
       waitForTheEnd();
     }},
    {"key-destructor", false,
     [](const std::string&) -> int {
       static pthread_key_t key;
       pthread_key_create(&key, [](void*) { overflow(0); });
       std::thread([] { pthread_setspecific(key, &key); }).join();
       waitForTheEnd();
     }},
    {"blocked-worker", false,
     [](const std::string&) -> int {
       // Every signal blocked past the engine's reach; the worker inherits the
       // mask.
       uint64_t all = ~uint64_t{0};
       syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, nullptr, sizeof all);
       std::thread([] { blockedWorkerFaults(); }).join();
       waitForTheEnd();
     }},
    {"masks-after-enable", false,
     [](const std::string&) -> int {
       gEnabled = true;
       gEarlyThread.join();
       waitForTheEnd();
     }},
    {"repairing-handler", false,
     [](const std::string&) -> int { return faultPastARepairingHandler(); }},
    {"raise", false,
     [](const std::string&) -> int {
       raise(SIGSEGV);
       waitForTheEnd();
     }},
    {"abort", false,
     [](const std::string&) -> int {
       abort();
       waitForTheEnd();
     }},
    {"oversized", false,
     [](const std::string&) -> int {
       markFunction("crashed", faultHere);
       startSleepers(8, false);
       faultHere();
       waitForTheEnd();
     }},
    {"frames-", true,
     [](const std::string&) -> int {
       // frames-<kind>-<fp|nofp>: a backtrace situation, built with frame
       // pointers or without.
       const size_t dash = gMode.rfind('-');
       const std::string kind = gMode.substr(7, dash > 7 ? dash - 7 : 0);
       const std::string variant = gMode.substr(dash + 1);
       if (variant == "fp") return crash_child_frames_fp(kind.c_str());
       if (variant == "nofp") return crash_child_frames_nofp(kind.c_str());
       return 2;
     }},
};

// The program's own modes, then those of the child's other files; 2 for a
// mode none of them has.
int crash() {
  if (int status = crashInMode(kModes, gMode); status >= 0) return status;
  if (int status = crashWithHolds(gMode); status >= 0) return status;
  if (int status = crashAroundTheEngine(); status >= 0) return status;
  if (int status = faultAsTheKernelNames(gMode); status >= 0) return status;
  if (int status = crashAfterTheChange(gMode); status >= 0) return status;
  if (int status = crash_child_forks(gMode, gFolder); status >= 0) return status;
  return 2;
}

}  // namespace crashchild

using namespace crashchild;

void crash_child_mark(const std::string& key, uint64_t value) { mark(key, value); }

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) return 2;
  gMode = argv[1];
  std::string sandbox;
  if (const size_t plus = gMode.find('+'); plus != std::string::npos) {
    sandbox = gMode.substr(plus + 1);
    gMode.resize(plus);
  }
  std::string type = argv[2];
  gFolder = argv[3];
  const bool symbols = argc == 5 && std::string(argv[4]) == "symbols";
  if (sandbox == "no-wipe") {
    if (int status = crash_child_without_wipe(argv); status >= 0) return status;
  }
  // As a program that a process of its own forked, not one started by
  // running it.
  // Or as the first process (pid 1) of a pid namespace of its own, which
  // keeps the /proc of the namespace it came from.
  if (sandbox == "pid-one" && unshare(CLONE_NEWPID) != 0) return 7;
  if (sandbox == "pids-limit") {
    if (int status = crash_child_in_pids_group(); status >= 0) return status;
  }
  if (const pid_t program = sandbox == "forked" || sandbox == "pid-one" ? fork() : 0; program > 0) {
    int status = 0;
    waitpid(program, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  markProcess("pid");
  snprintf(gMarkersPath, sizeof gMarkersPath, "%s/markers", gFolder.c_str());
  // What the process does by default on a fatal signal is what follows a
  // crash; the sanitizers' own handlers stay out of the way.
  for (int s : {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE, SIGTRAP}) signal(s, SIG_DFL);
  if (int images = crash_child_images(argv[1], argv[2], argv[3]); images >= 0) return images;
  if (int own = crash_child_sandboxed(argv[1], argv[2], argv[3]); own >= 0) return own;
  prepare();
  auto config = ROReradUzerirudConfig::initWithSignalHandlerType(
      type == "mach" ? ROReradUzerirudSignalHandlerTypeMach : ROReradUzerirudSignalHandlerTypeBSD,
      symbols ? ROReradUzerirudSymbolicationStrategySymbolTable
              : ROReradUzerirudSymbolicationStrategyNone,
      true, gFolder);
  auto reporter =
      ROReradUzerirud::initWithApplicationIdentifier("com.example.child", "7", "1.0", config);
  ROReradUzerirudCallbacks callbacks = {0, nullptr, handleSignal};
  reporter->setCrashCallbacks(&callbacks);
  if (gMode == "oversized") {
    // Nearly the whole output limit: with everything else the report would
    // pass it.
    reporter->setCustomData(std::vector<uint8_t>(1024 * 1024 - 2048, 0xAB));
  }
  if (gMode == "file-size-limit") {
    reporter->setCustomData(std::vector<uint8_t>(256 * 1024, 0xCD));
  }
  if (!crash_child_sandbox(sandbox, gFolder, false)) return 8;
  if (!reporter->enableCrashReporter()) return 3;
  sigaction(SIGABRT, nullptr, &gEnabledAbortAction);
  if (!crash_child_sandbox(sandbox, gFolder, true)) return 8;
  return crash();
}
