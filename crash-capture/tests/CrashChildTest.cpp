// Real crashes: each case runs the crashing child program in one of its
// modes and reads the report it left with protoc, against the schema.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crash-capture/ROReradUzerirud.h"

namespace {

namespace fs = std::filesystem;

struct DecodedThread {
  bool crashed = false;
  size_t registers = 0;
  std::vector<uint64_t> pcs;
};

// The report as protoc prints it, and the fields the tests look at.
struct Decoded {
  bool ok = false;
  std::string text;
  std::vector<DecodedThread> threads;
  std::string signal;
  uint64_t address = ~0ull;
  bool userRequested = false;
  bool customData = false;

  const DecodedThread* crashed() const {
    const DecodedThread* found = nullptr;
    for (const auto& t : threads) {
      if (!t.crashed) continue;
      if (found != nullptr) return nullptr;  // two crashed threads
      found = &t;
    }
    return found;
  }
};

std::string run(const std::string& command) {
  FILE* out = popen(command.c_str(), "r");
  if (out == nullptr) return {};
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, out)) > 0) text.append(buffer, n);
  if (pclose(out) != 0) text = "exit failure\n" + text;
  return text;
}

Decoded decode(const std::vector<uint8_t>& bytes, const std::string& folder) {
  Decoded d;
  if (bytes.size() < 8 || std::string(bytes.begin(), bytes.begin() + 8) != "rocrash\x01") return d;
  std::string body = folder + "/body.bin";
  std::ofstream(body, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data() + 8),
             static_cast<std::streamsize>(bytes.size() - 8));
  d.text = run(std::string("protoc --decode=rocrash.CrashReport -I ") + ROCRASH_SCHEMA_DIR + " " +
               ROCRASH_SCHEMA_DIR + "/crash_report.proto < " + body + " 2>&1");
  if (d.text.rfind("exit failure", 0) == 0) return d;
  d.ok = true;
  std::vector<std::string> path;
  std::istringstream lines(d.text);
  for (std::string line; std::getline(lines, line);) {
    line.erase(0, line.find_first_not_of(' '));
    if (line == "}") {
      path.pop_back();
      continue;
    }
    if (line.size() > 2 && line.compare(line.size() - 2, 2, " {") == 0) {
      path.push_back(line.substr(0, line.size() - 2));
      if (path.size() == 1 && path[0] == "threads") d.threads.emplace_back();
      continue;
    }
    size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon), value = line.substr(colon + 2);
    std::string where;
    for (const auto& p : path) where += p + "/";
    if (where == "threads/" && key == "crashed") d.threads.back().crashed = value == "true";
    if (where == "threads/frames/" && key == "pc")
      d.threads.back().pcs.push_back(std::stoull(value));
    if (where == "threads/registers/" && key == "name") ++d.threads.back().registers;
    if (where == "signal/" && key == "name") d.signal = value.substr(1, value.size() - 2);
    if (where == "signal/" && key == "address") d.address = std::stoull(value);
    if (where == "report_info/" && key == "user_requested") d.userRequested = value == "true";
    if (where.empty() && key == "custom_data") d.customData = true;
  }
  return d;
}

struct ChildRun {
  int status = 0;
  bool hung = false;
  std::vector<uint8_t> bytes;
  Decoded report;
  std::multimap<std::string, uint64_t> markers;
  uint64_t elapsedNs = 0;  // from the crash to the written report, when the child tells

  bool killedBy(int signo) const { return WIFSIGNALED(status) && WTERMSIG(status) == signo; }
  uint64_t marker(const std::string& key) const {
    auto it = markers.find(key);
    return it == markers.end() ? 0 : it->second;
  }
  // Whether `pc` lies in the first 2 KiB of the marked function (the
  // sanitizers make small functions long).
  bool inFunction(uint64_t pc, const std::string& key) const {
    uint64_t start = marker(key);
    return start != 0 && pc >= start && pc < start + 2048;
  }
};

int signalNamed(const std::string& name) {
  for (int s : {SIGILL, SIGTRAP, SIGABRT, SIGFPE, SIGBUS, SIGSEGV}) {
    if (name == std::string("SIG") + sigabbrev_np(s)) return s;
  }
  return -1;
}

// Runs the child in `mode` with the handler `type` ("signals" or "mach") and
// reads what it left.
void runChild(const std::string& mode, const std::string& type, ChildRun* result) {
  char pattern[] = "/tmp/rocrash_child_XXXXXX";
  std::string folder = mkdtemp(pattern);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The sanitizers keep out of the way of fatal signals, and give no thread
    // an alternate stack of their own: the reporter must.
    const std::string fatalSignals =
        "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigill=0:handle_sigfpe=0:"
        "use_sigaltstack=0";
    setenv("ASAN_OPTIONS", (fatalSignals + ":detect_leaks=0").c_str(), 1);
    setenv("TSAN_OPTIONS", (fatalSignals + ":halt_on_error=1").c_str(), 1);
    execl(ROCRASH_CHILD_PROGRAM, ROCRASH_CHILD_PROGRAM, mode.c_str(), type.c_str(), folder.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (waitpid(pid, &result->status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      result->hung = true;
      kill(pid, SIGKILL);
      waitpid(pid, &result->status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::ifstream markers(folder + "/markers");
  std::string key;
  uint64_t value;
  while (markers >> key >> value) result->markers.emplace(key, value);
  std::ifstream(folder + "/elapsed") >> result->elapsedNs;
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.child", "7", "1.0", ROReradUzerirudConfig::initWithBasePath(folder));
  if (auto data = reporter->loadPendingCrashReportData()) result->bytes = *data;
  result->report = decode(result->bytes, folder);
  fs::remove_all(folder);
}

// The checks every crash shares: the report decodes, names `signal` and
// exactly one crashed thread, whose first frame is in the function marked
// "crashed" (when one is), and the child ended by `ending` (by default the
// report's signal).
void expectOneWholeReport(const ChildRun& run, const std::string& signal, int ending = 0) {
  ASSERT_FALSE(run.hung) << "the child hung";
  ASSERT_TRUE(run.report.ok) << run.bytes.size() << " bytes\n" << run.report.text;
  EXPECT_EQ(run.report.signal, signal);
  EXPECT_TRUE(run.killedBy(ending != 0 ? ending : signalNamed(signal))) << run.status;
  const DecodedThread* crashed = run.report.crashed();
  ASSERT_NE(crashed, nullptr) << run.report.text;
  ASSERT_FALSE(crashed->pcs.empty());
  EXPECT_EQ(crashed->registers, 21u);
  if (run.marker("crashed") != 0) {
    EXPECT_TRUE(run.inFunction(crashed->pcs[0], "crashed"));
  }
}

class CrashChild : public ::testing::TestWithParam<std::string> {};

TEST_P(CrashChild, BacktraceOfGppFramesWithArgumentsSizeNotesMatchesTheLibrarys) {
  ChildRun run;
  runChild("fault", GetParam(), &run);
  expectOneWholeReport(run, "SIGSEGV");
  EXPECT_EQ(run.report.address, 0x10u);
  // Frame 0 is the faulting instruction; from the return address into its
  // caller on, the walk and the library's list (taken in the same function)
  // hold the same return addresses, down to the program's entry.
  std::vector<uint64_t> reference;
  for (auto [it, end] = run.markers.equal_range("backtrace"); it != end; ++it) {
    reference.push_back(it->second);
  }
  const auto& pcs = run.report.crashed()->pcs;
  ASSERT_GE(pcs.size(), 2u);
  size_t k = 0;
  while (k < reference.size() && reference[k] != pcs[1]) ++k;
  ASSERT_LT(k, reference.size()) << "the caller's return address is not in the library's list";
  ASSERT_GE(reference.size() - k, 8u) << "four chain frames, main and the entry";
  ASSERT_EQ(pcs.size() - 1, reference.size() - k);
  for (size_t i = 0; k + i < reference.size(); ++i) EXPECT_EQ(pcs[1 + i], reference[k + i]) << i;
}

TEST_P(CrashChild, TwoThreadsFaultingTogetherLeaveOneReportAndTheFirstCrashsSignal) {
  for (int round = 0; round < 4; ++round) {
    ChildRun run;
    runChild("two-faults", GetParam(), &run);
    ASSERT_TRUE(run.report.ok) << run.bytes.size() << " bytes\n" << run.report.text;
    const bool fault = run.report.signal == "SIGSEGV";
    expectOneWholeReport(run, fault ? "SIGSEGV" : "SIGILL");
    EXPECT_TRUE(run.inFunction(run.report.crashed()->pcs[0], fault ? "fault" : "illegal"));
  }
}

TEST_P(CrashChild, CrashRacingLiveReportsIsWrittenWhole) {
  ChildRun run;
  runChild("live-race", GetParam(), &run);
  expectOneWholeReport(run, "SIGSEGV");
  EXPECT_FALSE(run.report.userRequested);
}

TEST_P(CrashChild, FaultWithoutAUsableStackIsReportedOnAnyThread) {
  for (std::string mode : {"overflow-new", "overflow-old", "bad-sp"}) {
    SCOPED_TRACE(mode);
    ChildRun run;
    runChild(mode, GetParam(), &run);
    // A thread's stack ends in a protected guard page; as an exception, a
    // protection failure is recorded as SIGBUS.
    bool guardPage = GetParam() == "mach" && mode != "bad-sp";
    expectOneWholeReport(run, guardPage ? "SIGBUS" : "SIGSEGV", SIGSEGV);
  }
}

TEST_P(CrashChild, FaultInTheCrashCallbackEndsTheProcessWithTheCrashsSignal) {
  ChildRun run;
  runChild("callback-fault", GetParam(), &run);
  expectOneWholeReport(run, "SIGILL");
}

TEST_P(CrashChild, LoopingCallFrameExpressionStillLetsTheReportFinish) {
  ChildRun run;
  runChild("dwarf-loop", GetParam(), &run);
  expectOneWholeReport(run, "SIGSEGV");
}

TEST_P(CrashChild, MoreThreadsThanTheOldLimitAreListedWithTheCrashedOne) {
  ChildRun run;
  runChild("many-threads", GetParam(), &run);
  expectOneWholeReport(run, "SIGSEGV");
  EXPECT_GE(run.report.threads.size(), run.marker("threads") + 1);  // and the main thread
}

TEST_P(CrashChild, AbortHasNoAddress) {
  ChildRun run;
  runChild("abort", GetParam(), &run);
  expectOneWholeReport(run, "SIGABRT");
  EXPECT_EQ(run.report.address, 0u);
}

INSTANTIATE_TEST_SUITE_P(Handlers, CrashChild, ::testing::Values("signals", "mach"),
                         [](const auto& info) { return info.param; });

TEST(CrashChildSignals, RaisedSignalHasNoAddress) {
  ChildRun run;
  runChild("raise", "signals", &run);
  expectOneWholeReport(run, "SIGSEGV");
  EXPECT_EQ(run.report.address, 0u);
}

TEST(CrashChildSignals, ThreadsThatNeverParkCostOneWaitForTheWholeCrash) {
  ChildRun run;
  runChild("deaf-threads", "signals", &run);
  expectOneWholeReport(run, "SIGSEGV");
  size_t withoutFrames = 0;
  for (const auto& t : run.report.threads) withoutFrames += t.pcs.empty();
  EXPECT_GE(withoutFrames, run.marker("deaf"));
  // Forty threads waited for one after the other would take four seconds.
  EXPECT_GT(run.elapsedNs, 0u);
  EXPECT_LT(run.elapsedNs, 2'000'000'000u);
}

TEST(CrashChildSignals, ReportThatWouldPassTheOutputLimitStaysWhole) {
  ChildRun run;
  runChild("oversized", "signals", &run);
  expectOneWholeReport(run, "SIGSEGV");
  EXPECT_LE(run.bytes.size(), 1024u * 1024u);
}

}  // namespace
