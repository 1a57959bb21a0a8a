// A program that enables the crash reporter and then crashes in the way its
// first argument names, for the crash tests to read the report it leaves.
//
//   crash-capture_child <mode> <signals|mach> <folder>
//
// The report goes under <folder>. Before crashing, the program writes what
// the tests check the report against to <folder>/markers, one "key value"
// line each (addresses in decimal).
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "CrashChildImages.h"
#include "crash-capture/ROReradUzerirud.h"
#include "system/Threads.h"

extern "C" void crash_child_looping_cfi();

namespace {

std::string gFolder;
std::string gMode;
char gElapsedPath[4096];
std::atomic<int64_t> gCrashStart{0};

int64_t monotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// 0, read at run time: the optimiser cannot prove the faulting stores below
// write outside any object and so does not warn about them or drop them.
volatile uintptr_t gLowAddress = 0;

void mark(const std::string& key, uint64_t value) {
  FILE* f = fopen((gFolder + "/markers").c_str(), "a");
  fprintf(f, "%s %llu\n", key.c_str(), static_cast<unsigned long long>(value));
  fclose(f);
}

void markFunction(const std::string& key, void (*function)()) {
  mark(key, reinterpret_cast<uint64_t>(function));
}

__attribute__((noinline)) void faultHere() {
  *reinterpret_cast<volatile int*>(gLowAddress + 0x10) = 1;
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

// Starts `count` threads that wait for ever, with the parking signal blocked
// when asked.
void startSleepers(int count, bool deaf) {
  std::atomic<int> started{0};
  for (int i = 0; i < count; ++i) {
    std::thread([&started, deaf] {
      if (deaf) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, sys::thread_parking_signal());
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
      }
      ++started;
      for (;;) pause();
    }).detach();
  }
  while (started.load() < count) std::this_thread::yield();
}

[[noreturn]] void waitForTheEnd() {
  for (;;) pause();
}

void handleSignal(siginfo_t*, void*, void*) {
  if (gMode == "callback-fault") {
    *reinterpret_cast<volatile int*>(gLowAddress + 0x20) = 1;
  } else if (gMode == "deaf-threads") {
    // The time from the crash to the written report, in nanoseconds.
    char text[32];
    int64_t elapsed = monotonicNs() - gCrashStart.load();
    int n = 0;
    char digits[24];
    do {
      digits[n++] = static_cast<char>('0' + elapsed % 10);
      elapsed /= 10;
    } while (elapsed > 0);
    for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
    int fd = open(gElapsedPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ssize_t written = write(fd, text, static_cast<size_t>(n));
    (void)written;
    close(fd);
  }
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
  }
}

int crash() {
  if (gMode == "fault") {
    markFunction("crashed", faultAfterBacktrace);
    argumentsChain(3, 1, 2, 3, 4, 5, 6, 7, 8);
  } else if (gMode == "two-faults") {
    // Both threads fault at the same moment; either may be first.
    markFunction("fault", faultHere);
    markFunction("illegal", illegalHere);
    std::atomic<int> ready{0};
    std::thread a([&] {
      ++ready;
      while (ready.load() < 2) {
      }
      faultHere();
    });
    std::thread b([&] {
      ++ready;
      while (ready.load() < 2) {
      }
      illegalHere();
    });
    a.join();
    b.join();
  } else if (gMode == "live-race") {
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
  } else if (gMode == "overflow-new") {
    markFunction("crashed", reinterpret_cast<void (*)()>(overflow));
    std::thread([] { overflow(0); }).join();
  } else if (gMode == "overflow-old") {
    markFunction("crashed", reinterpret_cast<void (*)()>(overflow));
    gEnabled = true;
    gEarlyThread.join();
  } else if (gMode == "bad-sp") {
    markFunction("crashed", badStackPointer);
    std::thread([] { badStackPointer(); }).join();
  } else if (gMode == "callback-fault") {
    markFunction("crashed", illegalHere);
    illegalHere();
  } else if (gMode == "dwarf-loop") {
    markFunction("crashed", crash_child_looping_cfi);
    crash_child_looping_cfi();
  } else if (gMode == "many-threads") {
    constexpr int kThreads = 600;
    startSleepers(kThreads - 1, false);
    markFunction("crashed", faultHere);
    mark("threads", kThreads);
    // The last thread made crashes: it is listed late.
    std::thread([] { faultHere(); }).join();
  } else if (gMode == "deaf-threads") {
    constexpr int kDeaf = 40;
    startSleepers(kDeaf, true);
    mark("deaf", kDeaf);
    markFunction("crashed", faultHere);
    gCrashStart = monotonicNs();
    faultHere();
  } else if (gMode == "raise") {
    raise(SIGSEGV);
  } else if (gMode == "abort") {
    abort();
  } else if (gMode == "oversized") {
    markFunction("crashed", faultHere);
    startSleepers(8, false);
    faultHere();
  } else {
    return 2;
  }
  waitForTheEnd();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  gMode = argv[1];
  std::string type = argv[2];
  gFolder = argv[3];
  snprintf(gElapsedPath, sizeof gElapsedPath, "%s/elapsed", gFolder.c_str());
  // What the process does by default on a fatal signal is what follows a
  // crash; the sanitizers' own handlers stay out of the way.
  for (int s : {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE, SIGTRAP}) signal(s, SIG_DFL);
  if (int images = crash_child_images(argv[1], argv[2], argv[3]); images >= 0) return images;
  prepare();
  auto config = ROReradUzerirudConfig::initWithSignalHandlerType(
      type == "mach" ? ROReradUzerirudSignalHandlerTypeMach : ROReradUzerirudSignalHandlerTypeBSD,
      0, true, gFolder);
  auto reporter =
      ROReradUzerirud::initWithApplicationIdentifier("com.example.child", "7", "1.0", config);
  ROReradUzerirudCallbacks callbacks = {0, nullptr, handleSignal};
  reporter->setCrashCallbacks(&callbacks);
  if (gMode == "oversized") {
    // Nearly the whole output limit: with everything else the report would
    // pass it.
    reporter->setCustomData(std::vector<uint8_t>(1024 * 1024 - 2048, 0xAB));
  }
  if (!reporter->enableCrashReporter()) return 3;
  return crash();
}
