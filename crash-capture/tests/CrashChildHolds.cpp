// The crash child's situations of a crash that holds the rest of the
// program: signals that keep coming while it is written, an exit on another
// thread, threads that own their descriptor tables (CrashChild.h).
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "CrashChild.h"

namespace crashchild {

struct sigaction gEnabledAbortAction;

bool crashHasBegun() {
  struct sigaction now;
  sigaction(SIGABRT, nullptr, &now);
  return now.sa_sigaction != gEnabledAbortAction.sa_sigaction;
}

namespace {

// ---- Signals and exits during a crash ----

// Blocks every signal, as a program that takes its signals through signalfd
// does.
void blockEverySignal() {
  sigset_t every;
  sigfillset(&every);
  pthread_sigmask(SIG_SETMASK, &every, nullptr);
}

// The program's handler of a signal that keeps coming: marks "late-handler"
// when it runs once the crash has begun; a SIGTERM ends the program, as a
// graceful shutdown does.
void lateHandler(int signo) {
  if (crashHasBegun()) markFromCallback("late-handler", static_cast<uint64_t>(signo));
  if (signo == SIGTERM) exit(0);
}

// Sends `signo` to the program `program` every millisecond, with kill, or
// with sigqueue when `queued`, once a byte comes through `start`; ends with
// the program.
[[noreturn]] void sendFromAnotherProcess(pid_t program, int start, int signo, bool queued) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  char go;
  if (getppid() != program || read(start, &go, 1) != 1) _exit(0);
  for (;;) {
    if (queued) {
      sigqueue(program, signo, sigval{});
    } else {
      kill(program, signo);
    }
    usleep(1000);
  }
}

// held-<kind>: a thread of a program with 1,000 crashes while signals keep
// coming, every millisecond once the crash has begun: SIGTERM sent by a
// thread that blocks every signal, with its default action ("term") or a
// handler ("term-exit"); a timer's SIGALRM ("alarm") or SIGPROF ("prof"),
// each with a handler; or faults' signals sent by another process, SIGSEGV
// ("segv") and SIGABRT ("abrt") with kill, SIGBUS ("bus") with sigqueue.
int crashWhileSignalsCome(const std::string& kind) {
  const int sent = kind == "segv" ? SIGSEGV : kind == "abrt" ? SIGABRT : kind == "bus" ? SIGBUS : 0;
  int start[2] = {-1, -1};
  if (sent != 0) {
    const pid_t program = getpid();
    if (pipe(start) != 0) return 4;
    if (fork() == 0) sendFromAnotherProcess(program, start[0], sent, sent == SIGBUS);
  }
  if (kind.rfind("term", 0) == 0 || sent != 0) {
    std::thread([start = start[1]] {
      blockEverySignal();
      while (!crashHasBegun()) sched_yield();
      if (start >= 0) {
        ssize_t written = write(start, "", 1);
        (void)written;
        waitForTheEnd();
      }
      for (;;) {
        kill(getpid(), SIGTERM);
        usleep(1000);
      }
    }).detach();
  }
  const int signo = kind == "alarm" ? SIGALRM : kind == "prof" ? SIGPROF : SIGTERM;
  if (kind != "term") signal(signo, lateHandler);
  if (kind == "alarm" || kind == "prof") {
    const struct itimerval every = {{0, 1000}, {0, 1000}};
    setitimer(kind == "alarm" ? ITIMER_REAL : ITIMER_PROF, &every, nullptr);
  }
  startSleepers(997, false);
  markFunction("crashed", faultHere);
  std::thread(faultHere).join();
  return 0;
}

// Destroyed after the engine's exit hold (made before enabling): in
// "exit-in-destructor" a worker crashes while it runs, and it returns once
// the crash has begun.
std::atomic<bool> gDestroying{false};
struct DestroyedDuringACrash {
  ~DestroyedDuringACrash() {
    if (gMode != "exit-in-destructor") return;
    gDestroying = true;
    while (!crashHasBegun()) usleep(100);
  }
};
DestroyedDuringACrash gDestroyedDuringACrash;

// exit-in-destructor: the main thread blocks every signal and leaves main; a
// worker crashes while a global made before enabling is destroyed.
int crashWhileAGlobalIsDestroyed() {
  markFunction("crashed", faultHere);
  std::thread([] {
    while (!gDestroying.load()) usleep(100);
    faultHere();
  }).detach();
  blockEverySignal();
  return 0;
}

// ---- Threads that own their descriptor tables ----

__attribute__((noinline)) void ownTableThreadCrashes() { faultWith(29); }

// own-tables[-loaded|-deaf]: threads each give themselves a descriptor
// table of their own and close and reopen every descriptor there (the
// engine's among them); one of them crashes, and the main thread leaves
// main once the crash has begun (when it is not parked first), which ends
// the program unless the crash holds it. With "-loaded", busy threads
// compete for the processors meanwhile; with "-deaf", the main thread
// blocks the parking signal.
int crashWithOwnTables(bool loaded, bool deaf) {
  constexpr int kOwners = 4;
  static std::atomic<int> ready{0};
  if (deaf) blockParkingSignal();
  if (loaded) {
    for (unsigned i = 0; i < 2 * std::thread::hardware_concurrency(); ++i) {
      std::thread([] {
        for (;;) asm volatile("" ::: "memory");
      }).detach();
    }
  }
  for (int i = 0; i < kOwners; ++i) {
    std::thread([] {
      if (unshare(CLONE_FILES) != 0 || syscall(SYS_close_range, 3, ~0u, 0) != 0) _exit(9);
      for (int n = 0; n < 8; ++n) {
        if (open("/dev/null", O_RDONLY) < 0) _exit(9);
      }
      if (++ready == kOwners) ownTableThreadCrashes();
      for (;;) pause();
    }).detach();
  }
  while (!crashHasBegun()) usleep(100);
  return 0;
}

// The modes of this file.
constexpr CrashMode kHeldModes[] = {
    {"own-tables", false, [](const std::string&) { return crashWithOwnTables(false, false); }},
    {"own-tables-loaded", false,
     [](const std::string&) { return crashWithOwnTables(true, false); }},
    {"own-tables-deaf", false, [](const std::string&) { return crashWithOwnTables(false, true); }},
    {"held-", true, crashWhileSignalsCome},
    {"exit-in-destructor", false,
     [](const std::string&) { return crashWhileAGlobalIsDestroyed(); }},
};

}  // namespace

int crashWithHolds(const std::string& mode) { return crashInMode(kHeldModes, mode); }

}  // namespace crashchild
