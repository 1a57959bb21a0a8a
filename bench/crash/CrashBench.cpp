// The crash reporter's write, as a user waits for it: a child process with
// 1, 10, 100 or 1,000 threads, each parked about ten frames deep in ordinary
// compiled code, has one of them fault; the time from the faulting
// instruction to the report file being complete (the crash callback runs
// right after the file is closed) is the benchmark's time.
//
// The big program: the same with 300 threads 30 frames deep, every frame
// named from the symbol table of a program of more than 400,000 symbols
// (ManySymbols.S is linked in).
//
// Beside it, in the same iteration, the floor: the same threads' stacks (from
// the deepest frame's stack pointer to the top of the stack) read from the
// child with one process_vm_readv each, what a walker needs at least just to
// see the stacks (the quickest of three rounds). Each row gives the floor and
// the ratio.
//
// The child sets the two annotations the crash service keeps (a session and
// a user id), which every report carries. The report is decoded after each
// iteration: a row also tells how many threads it listed and how many frames
// each had on average.

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "crash-capture/ROCrashReport.h"
#include "crash-capture/ROReradUzerirud.h"

namespace {

constexpr int kMaxThreads = 1000;

int64_t monotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Shared between the benchmark and its child (an anonymous shared mapping
// made before the fork).
struct Shared {
  std::atomic<int> parked;  // threads at their deepest frame
  std::atomic<int> go;      // the benchmark's word to crash
  std::atomic<int64_t> faultNs;
  std::atomic<int64_t> reportNs;
  struct Stack {
    uint64_t sp;
    uint64_t top;
  } stacks[kMaxThreads];
};

Shared* gShared = nullptr;

uint64_t stackTop() {
  pthread_attr_t attr;
  void* base = nullptr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
  }
  return reinterpret_cast<uint64_t>(base) + size;
}

void recordStack(int index) {
  uint64_t sp = reinterpret_cast<uint64_t>(__builtin_frame_address(0));
  gShared->stacks[index] = {sp, stackTop()};
}

// Read from memory, so that the compiler cannot tell the store below is bad.
volatile uintptr_t gBadAddress = 0x10;

__attribute__((noinline)) void faultNow() {
  gShared->faultNs.store(monotonicNs());
  *reinterpret_cast<volatile int*>(gBadAddress) = 1;
  asm volatile("" ::: "memory");
}

// `depth` ordinary frames, then `bottom`. The empty statement after the call
// keeps it from becoming a jump.
__attribute__((noinline)) void descend(int depth, int index, void (*bottom)(int)) {
  volatile char pad[32];
  pad[0] = static_cast<char>(depth);
  if (depth == 0) {
    bottom(index);
  } else {
    descend(depth - 1, index, bottom);
  }
  asm volatile("" ::: "memory");
  (void)pad[0];
}

void parkHere(int index) {
  recordStack(index);
  gShared->parked.fetch_add(1);
  for (;;) pause();
}

void crashHere(int) { faultNow(); }

void reportWritten(siginfo_t*, void*, void*) { gShared->reportNs.store(monotonicNs()); }

[[noreturn]] void runChild(int threads, int depth, bool named, const std::string& folder) {
  auto config = ROReradUzerirudConfig::initWithSignalHandlerType(
      ROReradUzerirudSignalHandlerTypeBSD,
      named ? ROReradUzerirudSymbolicationStrategySymbolTable
            : ROReradUzerirudSymbolicationStrategyNone,
      true, folder);
  auto reporter =
      ROReradUzerirud::initWithApplicationIdentifier("com.example.bench", "1", "1.0", config);
  ROReradUzerirudCallbacks callbacks = {0, nullptr, reportWritten};
  reporter->setCrashCallbacks(&callbacks);
  // The annotations the crash service keeps: every report carries them.
  if (!ROReradUzerirud::setAnnotation("sessionId", "3f2a9c1e-5b7d-4e8f-9a0b-1c2d3e4f5a6b") ||
      !ROReradUzerirud::setAnnotation("userId", "c:someone@example.com")) {
    _exit(5);
  }
  if (!reporter->enableCrashReporter()) _exit(3);
  for (int i = 1; i < threads; ++i) {
    std::thread([i, depth] { descend(depth, i, parkHere); }).detach();
  }
  while (gShared->parked.load() < threads - 1) std::this_thread::yield();
  // The crashing thread's stack as it is now, for the floor.
  recordStack(0);
  gShared->parked.fetch_add(1);
  while (gShared->go.load() == 0) std::this_thread::yield();
  descend(depth, 0, crashHere);
  _exit(4);
}

// Reads each recorded stack of `pid` with one call; the bytes read.
uint64_t readStacks(pid_t pid, int threads, std::vector<uint8_t>& buffer) {
  uint64_t total = 0;
  for (int i = 0; i < threads; ++i) {
    const auto& s = gShared->stacks[i];
    size_t length = std::min<uint64_t>(s.top - s.sp, buffer.size());
    struct iovec local = {buffer.data(), length};
    struct iovec remote = {reinterpret_cast<void*>(s.sp), length};
    ssize_t n = process_vm_readv(pid, &local, 1, &remote, 1, 0);
    if (n > 0) total += static_cast<uint64_t>(n);
  }
  return total;
}

// Arguments: threads, frames each, whether frames are named.
void BM_FaultToCompleteReport(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  const int depth = static_cast<int>(state.range(1));
  const bool named = state.range(2) != 0;
  if (gShared == nullptr) {
    void* page =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    gShared = static_cast<Shared*>(page);
  }
  char pattern[] = "/tmp/kestrix-bench-crash-XXXXXX";
  const std::string folder = mkdtemp(pattern);
  // The report is looked for in the folder: the reporter is never set up in
  // this process, so that each child sets it up as a crashing program does.
  auto readReport = [&folder]() -> std::optional<std::vector<uint8_t>> {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
      if (entry.path().filename() != "live_report.rocrash") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
      std::filesystem::remove(entry.path());
      return bytes;
    }
    return std::nullopt;
  };
  std::vector<uint8_t> buffer(1 << 20);
  double floorNs = 0, reportNs = 0, listed = 0, frames = 0, symbols = 0, stackBytes = 0;
  for (auto _ : state) {
    new (gShared) Shared();
    pid_t pid = fork();
    if (pid == 0) runChild(threads, depth, named, folder);
    int status = 0;
    while (gShared->parked.load() < threads && waitpid(pid, &status, WNOHANG) == 0) {
      std::this_thread::yield();
    }
    if (gShared->parked.load() < threads) {
      state.SkipWithError("the child ended before crashing");
      break;
    }

    double floor = 0;
    uint64_t bytes = 0;
    for (int round = 0; round < 3; ++round) {
      int64_t start = monotonicNs();
      bytes = readStacks(pid, threads, buffer);
      const double took = static_cast<double>(monotonicNs() - start);
      if (round == 0 || took < floor) floor = took;
    }
    stackBytes += static_cast<double>(bytes);

    gShared->go.store(1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const int64_t written = gShared->reportNs.load();
    if (written == 0) {
      state.SkipWithError("no report was written");
      break;
    }
    const double elapsed = static_cast<double>(written - gShared->faultNs.load());
    state.SetIterationTime(elapsed / 1e9);
    floorNs += floor;
    reportNs += elapsed;

    auto data = readReport();
    auto report = data ? ROCrashReport::create(*data, nullptr) : nullptr;
    if (!report || !report->annotations() || report->annotations()->size() != 2) {
      state.SkipWithError("the report does not decode with its annotations");
      break;
    }
    listed += static_cast<double>(report->threads().size());
    for (const auto& t : report->threads()) {
      frames += static_cast<double>(t->stackFrames().size());
      for (const auto& frame : t->stackFrames()) symbols += frame->symbolInfo() != nullptr;
    }
  }
  const double n = static_cast<double>(state.iterations());
  if (n > 0 && listed > 0) {
    state.counters["floor_us"] = floorNs / n / 1e3;
    state.counters["x_floor"] = reportNs / floorNs;
    state.counters["threads"] = listed / n;
    state.counters["frames"] = frames / listed;
    state.counters["stack_bytes"] = stackBytes / n / threads;
    if (named) state.counters["named"] = symbols / frames;
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}
BENCHMARK(BM_FaultToCompleteReport)
    ->ArgNames({"threads", "depth", "named"})
    ->Args({1, 10, 0})
    ->Args({10, 10, 0})
    ->Args({100, 10, 0})
    ->Args({1000, 10, 0})
    ->Args({300, 30, 1})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
