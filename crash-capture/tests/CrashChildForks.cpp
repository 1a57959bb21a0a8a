#include "CrashChildForks.h"

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <thread>

#include "CrashChildImages.h"
#include "baseTest/Children.h"
#include "baseTest/Polling.h"
#include "crash-capture/ROReradUzerirud.h"
#include "objc/NSException.h"
#include "systemTest/Parking.h"

namespace {

std::string gFolder;
pid_t gProgram = 0;
// The child forked by the thread beside the crash, once it is.
std::atomic<pid_t> gForked{0};

// 0, read at run time: the stores below are not known to fault.
volatile uintptr_t gLowAddress = 0;

// Whether the crashes are uncaught exceptions (else faults).
bool gByException = false;

// The crash of `name` (an uncaught exception of that name), or a fault.
// Always inlined, so that it happens in the function a report must name: an
// optimised call to it would be a jump, leaving that function's frame out.
__attribute__((always_inline)) inline void crash(const char* name, int value) {
  if (gByException) {
    uncaught_exception_handler(objc::NSException::exceptionWithName(name, "crashed").get());
  }
  *reinterpret_cast<volatile int*>(gLowAddress + 0x10) = value;
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void programCrashesBeforeItsChild() { crash("ProgramsException", 40); }

__attribute__((noinline)) void crashingProgramsChildFaults() { crash("ChildsException", 41); }

[[noreturn]] void childOfTheCrash() {
  crash_child_mark("child", static_cast<uint64_t>(getpid()));
  crash_child_mark("child.parent", static_cast<uint64_t>(getppid()));
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.child", "1", std::nullopt,
      ROReradUzerirudConfig::initWithBasePath(gFolder + "/live"));
  if (reporter->generateLiveReport()) crash_child_mark("live-in-child", 1);
  crashingProgramsChildFaults();
  _exit(1);
}

// Waits for `child` (20 s at most, then kills it); its wait status.
int waitForTheChild(pid_t child) {
  int status = 0;
  base::testing::waitForChild(child, &status,
                              std::chrono::steady_clock::now() + std::chrono::seconds(20));
  return status;
}

}  // namespace

int crash_child_forks(const std::string& mode, const std::string& folder) {
  gFolder = folder;
  gProgram = getpid();
  if (mode == "fork-in-callback" || mode == "fork-in-callback-exception" ||
      mode == "clone-in-callback") {
    gByException = mode == "fork-in-callback-exception";
    programCrashesBeforeItsChild();
  } else if (mode == "fork-while-writing") {
    static struct sigaction enabled;
    sigaction(SIGSEGV, nullptr, &enabled);
    static std::atomic<bool> ready{false};
    std::thread([] {
      sys::testing::blockParkingSignal();
      ready = true;
      sys::testing::forkOnceTheCrashBegins(enabled, childOfTheCrash, &gForked);
    }).detach();
    while (!ready.load()) std::this_thread::yield();
    programCrashesBeforeItsChild();
  } else {
    return -1;
  }
  return 1;
}

void crash_child_forks_callback(const std::string& mode) {
  if (getpid() != gProgram) return;
  if (mode == "fork-in-callback" || mode == "fork-in-callback-exception") {
    const pid_t child = fork();
    if (child == 0) childOfTheCrash();
    waitForTheChild(child);
    // A second child returns from the callback, as the program would: it
    // ends by the program's crash signal.
    const pid_t returning = fork();
    if (returning == 0) return;
    const int status = waitForTheChild(returning);
    if (WIFSIGNALED(status) && WTERMSIG(status) == (gByException ? SIGABRT : SIGSEGV)) {
      crash_child_mark("returning-child-ended", 1);
    }
  } else if (mode == "fork-while-writing") {
    base::testing::within([] { return gForked.load() != 0; });
    if (gForked.load() > 0) waitForTheChild(gForked.load());
  } else if (mode == "clone-in-callback") {
    constexpr size_t kStackSize = 256 * 1024;
    void* stack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return;
    const pid_t child = clone(
        [](void*) {
          crashingProgramsChildFaults();
          return 1;
        },
        static_cast<char*>(stack) + kStackSize, CLONE_VM | CLONE_SIGHAND | SIGCHLD, nullptr);
    if (child < 0) return;
    crash_child_mark("child", static_cast<uint64_t>(child));
    crash_child_mark("child.parent", static_cast<uint64_t>(getpid()));
    int status = 0;
    if (base::testing::waitForChild(child, &status,
                                    std::chrono::steady_clock::now() + std::chrono::seconds(20)) &&
        WIFSIGNALED(status)) {
      crash_child_mark("clone-child-ended", 1);
    }
  }
}
