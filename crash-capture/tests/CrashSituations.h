// Running the crash child program (CrashChild.cpp) and reading what it left:
// the pending report and the queued ones, each decoded with protoc against
// the schema, independently of the engine's own reader. A crash situation is
// one row of a table: the child program's mode and the reports it must leave.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "baseTest/Children.h"
#include "crash-capture/ROCrashReport.h"
#include "crash-capture/ROCrashReportTextFormatter.h"
#include "crash-capture/ROReradUzerirud.h"
#include "dispatchTest/Processes.h"
#include "systemTest/BuildIds.h"

namespace crashsituations {

using base::testing::childDeadline;
using base::testing::Deadline;
using base::testing::readableBefore;
using base::testing::waitForChild;

struct DecodedThread {
  bool crashed = false;
  size_t registers = 0;
  std::vector<uint64_t> pcs;
  std::vector<std::string> symbols;  // the frames' symbol names ("" for none)
};

struct DecodedImage {
  std::string name;
  uint64_t base = 0;
  uint64_t size = 0;
  std::string uuid;  // its bytes
};

// The report as protoc prints it, and the fields the tests look at.
struct Decoded {
  bool ok = false;
  std::string text;
  std::vector<DecodedThread> threads;
  std::string signal;
  std::string code;
  uint64_t address = ~0ull;
  bool machException = false;
  bool userRequested = false;
  bool customData = false;
  std::string exception;  // the name of the uncaught exception recorded
  uint64_t processID = 0;
  uint64_t parentProcessID = 0;
  std::string processName;
  std::string osVersion;
  std::vector<std::string> images;  // the binary images' names
  std::vector<DecodedImage> imageRecords;
  std::vector<uint8_t> bytes;  // the report file's

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

inline std::string runCommand(const std::string& command) {
  FILE* out = popen(command.c_str(), "r");
  if (out == nullptr) return {};
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, out)) > 0) text.append(buffer, n);
  if (pclose(out) != 0) text = "exit failure\n" + text;
  return text;
}

inline std::string unquoted(const std::string& value) {
  return value.size() >= 2 && value.front() == '"' ? value.substr(1, value.size() - 2) : value;
}

// The bytes of a quoted value as protoc prints bytes: octal escapes for most.
inline std::string unescaped(const std::string& value) {
  const std::string text = unquoted(value);
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      bytes += text[i];
      continue;
    }
    int octal = 0, digits = 0;
    while (digits < 3 && i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '7') {
      octal = octal * 8 + (text[++i] - '0');
      ++digits;
    }
    if (digits > 0) {
      bytes += static_cast<char>(octal);
      continue;
    }
    const char c = text[++i];
    bytes += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
  }
  return bytes;
}

// Decodes a report file's bytes with protoc (`folder` takes a scratch file).
inline Decoded decode(const std::vector<uint8_t>& bytes, const std::string& folder) {
  Decoded d;
  d.bytes = bytes;
  if (bytes.size() < 8 || std::string(bytes.begin(), bytes.begin() + 8) != "rocrash\x01") return d;
  std::string body = folder + "/body.bin";
  std::ofstream(body, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data() + 8),
             static_cast<std::streamsize>(bytes.size() - 8));
  d.text = runCommand(std::string("protoc --decode=rocrash.CrashReport -I ") + ROCRASH_SCHEMA_DIR +
                      " " + ROCRASH_SCHEMA_DIR + "/crash_report.proto < " + body + " 2>&1");
  std::filesystem::remove(body);
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
      if (path.size() == 1 && path[0] == "binary_images") d.imageRecords.emplace_back();
      continue;
    }
    size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon), value = line.substr(colon + 2);
    std::string where;
    for (const auto& p : path) where += p + "/";
    if (where == "threads/" && key == "crashed") d.threads.back().crashed = value == "true";
    if (where == "threads/frames/" && key == "pc") {
      d.threads.back().pcs.push_back(std::stoull(value));
      d.threads.back().symbols.emplace_back();
    }
    if (where == "threads/frames/symbol/" && key == "name" && !d.threads.back().symbols.empty()) {
      d.threads.back().symbols.back() = unquoted(value);
    }
    if (where == "threads/registers/" && key == "name") ++d.threads.back().registers;
    if (where == "signal/" && key == "name") d.signal = unquoted(value);
    if (where == "signal/" && key == "code") d.code = unquoted(value);
    if (where == "signal/" && key == "address") d.address = std::stoull(value);
    if (where == "signal/mach_exception/" && key == "type") d.machException = true;
    if (where == "report_info/" && key == "user_requested") d.userRequested = value == "true";
    if (where == "process_info/" && key == "process_id") d.processID = std::stoull(value);
    if (where == "process_info/" && key == "parent_process_id") {
      d.parentProcessID = std::stoull(value);
    }
    if (where == "process_info/" && key == "process_name") d.processName = unquoted(value);
    if (where == "system_info/" && key == "os_version") d.osVersion = unquoted(value);
    if (where == "binary_images/" && key == "name") d.images.push_back(unquoted(value));
    if (where == "binary_images/") {
      DecodedImage& image = d.imageRecords.back();
      if (key == "name") image.name = unquoted(value);
      if (key == "base_address") image.base = std::stoull(value);
      if (key == "size") image.size = std::stoull(value);
      if (key == "uuid") image.uuid = unescaped(value);
    }
    if (where.empty() && key == "custom_data") d.customData = true;
    if (where == "exception/" && key == "name") d.exception = unquoted(value);
  }
  return d;
}

struct ChildRun {
  int status = 0;
  bool hung = false;
  std::vector<uint8_t> bytes;  // the pending report
  Decoded report;
  std::vector<Decoded> queued;  // the queued reports, in no order
  std::multimap<std::string, uint64_t> markers;

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

inline int signalNamed(const std::string& name) {
  for (int s : {SIGILL, SIGTRAP, SIGABRT, SIGFPE, SIGBUS, SIGSEGV}) {
    if (name == std::string("SIG") + sigabbrev_np(s)) return s;
  }
  return -1;
}

// A folder of its own for one run of the child program.
inline std::string childFolder() {
  char pattern[] = "/tmp/rocrash_child_XXXXXX";
  return mkdtemp(pattern);
}

// The reporter of the child program that reports under `folder`, as a later
// run of the program makes it.
inline std::shared_ptr<ROReradUzerirud> childReporter(const std::string& folder) {
  return ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.child", "7", "1.0", ROReradUzerirudConfig::initWithBasePath(folder));
}

// Starts the child program in `mode` with the handler `type` ("signals" or
// "mach"), reporting under `folder`, with symbolication when asked, in a
// process group of its own: -1 when it cannot. `*ended` gets a pipe's read
// end, whose write end the program and its descendants hold: it reads as
// ended once they all are. `overrides` are variables of its environment.
inline pid_t startChild(const std::string& mode, const std::string& type, const std::string& folder,
                        bool symbols, int* ended, const std::vector<std::string>& overrides = {}) {
  std::vector<std::string> arguments = {ROCRASH_CHILD_PROGRAM, mode, type, folder};
  if (symbols) arguments.emplace_back("symbols");
  std::vector<std::string> variables = dispatch::testing::crashingChildEnvironment({});
  variables.insert(variables.end(), overrides.begin(), overrides.end());
  std::vector<std::string> environment = dispatch::testing::environmentWith(variables);
  std::vector<char*> argv, envp;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    setpgid(0, 0);
    execve(ROCRASH_CHILD_PROGRAM, argv.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  *ended = fds[0];
  if (pid < 0) close(fds[0]);
  return pid;
}

// Runs the child program in `mode` with the handler `type` ("signals" or
// "mach"), with symbolication when asked, and reads what it left. The child
// and every process it made have 90 s to end.
inline void runChild(const std::string& mode, const std::string& type, ChildRun* result,
                     bool symbols = false) {
  namespace fs = std::filesystem;
  const std::string folder = childFolder();
  int ended = -1;
  const pid_t pid = startChild(mode, type, folder, symbols, &ended);
  ASSERT_GE(pid, 0);
  const Deadline deadline = childDeadline();
  result->hung = !waitForChild(pid, &result->status, deadline);
  // Then for the processes it made, which hold the pipe's write end too.
  for (char byte; !result->hung;) {
    result->hung = !readableBefore(ended, deadline);
    if (!result->hung && read(ended, &byte, 1) == 0) break;
  }
  close(ended);
  std::ifstream markers(folder + "/markers");
  std::string key;
  uint64_t value;
  while (markers >> key >> value) result->markers.emplace(key, value);
  if (result->hung) {
    // Whatever is left of it, a daemon in a session of its own too.
    kill(-pid, SIGKILL);
    for (const auto& [name, process] : result->markers) {
      if (name.find('.') == std::string::npos && name != "pid") {
        kill(static_cast<pid_t>(process), SIGKILL);
      }
    }
  }
  auto reporter = childReporter(folder);
  if (auto data = reporter->loadPendingCrashReportData()) result->bytes = *data;
  result->report = decode(result->bytes, folder);
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(reporter->queuedCrashReportDirectory(), ec)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    result->queued.push_back(decode(bytes, folder));
  }
  fs::remove_all(folder);
}

// One report a situation must leave: the process it names, as the marker
// key under which that process (or each of several) marked itself ("pid" is
// the program), functions the symbols of its crashed thread's frames must
// name, and, when given, the exact names of that thread's first frames (the
// walk went through each of them and named it). With `signal` and `code`,
// the kernel's account of the fault must be the report's and its text's, at
// an address from the process's marker "<process>.fault" up to (not
// including) "<process>.fault.end". The report records the uncaught
// exception `exception` names, or none.
struct ExpectedReport {
  std::string process;
  std::vector<std::string> functions;
  std::vector<std::string> firstFrames = {};
  std::string signal = {};
  std::string code = {};
  std::string exception = {};
};

// A situation: the child program's mode and every report it must leave. In
// the Mach handler mode the program's own fault reports carry their
// exception, unless `signalsOnly` (it is not caught as one). `listed` and
// `unlisted` are parts of image names that the reports' image lists must and
// must not hold. `marked`, when given, names the markers (apart by spaces)
// the program leaves when checks it makes of itself hold; `endsBy`, when
// given, the signal the program must end by. With `listedWhole`, the listed
// image carries its file's build id and the span the program marked
// ("listed.base" and "listed.size"), else one that holds the crash.
struct CrashSituation {
  std::string mode;
  std::vector<ExpectedReport> reports;
  bool signalsOnly = false;
  std::string listed = {};
  std::string unlisted = {};
  std::string marked = {};
  int endsBy = 0;
  bool listedWhole = false;
};

inline void PrintTo(const CrashSituation& situation, std::ostream* out) { *out << situation.mode; }

inline std::string describe(const Decoded& report) {
  std::ostringstream text;
  text << "process " << report.processID << " (" << report.processName << "), parent "
       << report.parentProcessID << ", " << report.signal;
  return text.str();
}

// An image of `report` whose name holds `part` carries its file's build id,
// and the span `run` marked, else one that holds the crash.
inline void expectListedWhole(const Decoded& report, const std::string& part, const ChildRun& run) {
  const uint64_t base = run.marker("listed.base"), pc = report.crashed()->pcs[0];
  const DecodedImage* image = nullptr;
  for (const auto& record : report.imageRecords) {
    const bool there = base != 0 ? record.base == base : pc - record.base < record.size;
    if (record.name.find(part) != std::string::npos && there) image = &record;
  }
  ASSERT_NE(image, nullptr) << part << " is not listed where it must be, among "
                            << report.imageRecords.size() << " images";
  const std::vector<uint8_t> id = sys::testing::buildIdOfFile(image->name);
  const std::string buildId(id.begin(), id.end());
  ASSERT_EQ(buildId.size(), 16u) << image->name;
  EXPECT_EQ(image->uuid, buildId) << image->name;
  if (base != 0) {
    EXPECT_EQ(image->size, run.marker("listed.size"));
  }
}

// The report and the text it is shown as name the signal, code and address
// the kernel gave the process (see ExpectedReport).
inline void expectKernelSignal(const Decoded& report, const ExpectedReport& want,
                               const ChildRun& run) {
  EXPECT_EQ(report.signal, want.signal);
  EXPECT_EQ(report.code, want.code);
  const uint64_t from = run.marker(want.process + ".fault");
  const uint64_t to = run.marker(want.process + ".fault.end");
  EXPECT_TRUE(report.address >= from && report.address < to)
      << std::hex << report.address << " outside [" << from << ", " << to << ")";
  std::shared_ptr<foundation::NSError> error;
  auto decoded = ROCrashReport::create(report.bytes, &error);
  ASSERT_TRUE(decoded) << (error ? error->localizedDescription() : "");
  std::ostringstream lines;
  lines << "Exception Type:  " << want.signal << "\nException Codes: " << want.code << " at 0x"
        << std::hex << report.address << "\n";
  const std::string text =
      ROCrashReportTextFormatter::stringValueForCrashReport(*decoded, ROCrashReportTextFormatiOS);
  EXPECT_NE(text.find(lines.str()), std::string::npos) << text.substr(0, 1024);
}

// Runs `situation` under the handler `type` and checks that nothing hung and
// that it left exactly the reports it must: each whole, naming the right
// process and parent, with one crashed thread (its registers and the named
// functions among its frames).
inline void expectSituation(const CrashSituation& situation, const std::string& type) {
  ChildRun run;
  // A situation that needs a resource other processes may take first (a
  // freed inode) is arranged again when it was lost to them.
  for (int attempt = 0; attempt < 8; ++attempt) {
    run = ChildRun{};
    runChild(situation.mode, type, &run, true);
    if (run.marker("not-arranged") == 0) break;
  }
  ASSERT_EQ(run.marker("not-arranged"), 0u) << "other processes took what the situation needs";
  ASSERT_FALSE(run.hung) << "a process of the situation hung";
  std::vector<const Decoded*> reports;
  if (!run.bytes.empty()) reports.push_back(&run.report);
  for (const auto& queued : run.queued) reports.push_back(&queued);
  // A process marks itself again when it runs a new program (the same pid).
  std::set<uint64_t> crashedProcesses;
  for (const auto& report : situation.reports) {
    auto [from, to] = run.markers.equal_range(report.process);
    for (auto it = from; it != to; ++it) crashedProcesses.insert(it->second);
  }
  const size_t expected = crashedProcesses.size();
  EXPECT_EQ(reports.size(), expected) << "reports left, against processes that crashed";
  std::istringstream marked(situation.marked);
  for (std::string marker; marked >> marker;) EXPECT_NE(run.marker(marker), 0u) << marker;
  if (situation.endsBy != 0) {
    EXPECT_TRUE(run.killedBy(situation.endsBy)) << run.status;
  }

  for (const auto& want : situation.reports) {
    auto [from, to] = run.markers.equal_range(want.process);
    ASSERT_NE(from, to) << "no process marked itself " << want.process;
    const uint64_t parent = run.marker(want.process + ".parent");
    for (auto it = from; it != to; ++it) {
      SCOPED_TRACE(want.process + " " + std::to_string(it->second));
      const Decoded* found = nullptr;
      for (const Decoded* report : reports) {
        if (report->processID == it->second) found = report;
      }
      ASSERT_NE(found, nullptr) << "no report names the process";
      ASSERT_TRUE(found->ok) << found->text;
      EXPECT_EQ(found->parentProcessID, parent) << describe(*found);
      EXPECT_FALSE(found->processName.empty());
      const bool exception = type == "mach" && want.process == "pid" && !situation.signalsOnly;
      EXPECT_EQ(found->machException, exception) << describe(*found);
      EXPECT_EQ(found->exception, want.exception) << describe(*found);
      const DecodedThread* crashed = found->crashed();
      ASSERT_NE(crashed, nullptr) << "not exactly one crashed thread\n" << found->text;
      EXPECT_EQ(crashed->registers, 21u);
      ASSERT_FALSE(crashed->pcs.empty());
      for (const auto& function : want.functions) {
        bool named = false;
        for (const auto& symbol : crashed->symbols) {
          named = named || symbol.find(function) != std::string::npos;
        }
        EXPECT_TRUE(named) << function << " is not among the crashed thread's frames\n"
                           << found->text.substr(0, 4096);
      }
      if (!want.firstFrames.empty()) {
        const size_t n = std::min(crashed->symbols.size(), want.firstFrames.size());
        EXPECT_EQ(std::vector<std::string>(crashed->symbols.begin(), crashed->symbols.begin() + n),
                  want.firstFrames)
            << found->text.substr(0, 4096);
      }
      if (!want.signal.empty()) expectKernelSignal(*found, want, run);
      auto listed = [&](const std::string& part) {
        for (const auto& image : found->images) {
          if (image.find(part) != std::string::npos) return true;
        }
        return false;
      };
      if (!situation.listed.empty()) {
        EXPECT_TRUE(listed(situation.listed)) << situation.listed;
      }
      if (!situation.unlisted.empty()) {
        EXPECT_FALSE(listed(situation.unlisted)) << situation.unlisted;
      }
      if (situation.listedWhole) expectListedWhole(*found, situation.listed, run);
    }
  }
}

// Whether `version` is the system's version as numbers: major and minor,
// and the patch when it is 1 or more ("12.0", "6.1.3").
inline bool isVersionNumbers(const std::string& version) {
  unsigned long long major = 0, minor = 0, patch = 0;
  sscanf(version.c_str(), "%llu.%llu.%llu", &major, &minor, &patch);
  std::string numbers = std::to_string(major) + "." + std::to_string(minor);
  if (patch >= 1) numbers.append(".").append(std::to_string(patch));
  return version == numbers;
}

// The checks every crash shares: the report decodes, names `signal`, the
// system's version as numbers and exactly one crashed thread, whose first frame is in the function
// marked "crashed" (when one is), and the child ended by `ending` (by default the report's signal).
inline void expectOneWholeReport(const ChildRun& run, const std::string& signal, int ending = 0) {
  ASSERT_FALSE(run.hung) << "the child hung";
  ASSERT_TRUE(run.report.ok) << run.bytes.size() << " bytes\n" << run.report.text;
  EXPECT_EQ(run.report.signal, signal);
  EXPECT_TRUE(run.killedBy(ending != 0 ? ending : signalNamed(signal))) << run.status;
  EXPECT_TRUE(isVersionNumbers(run.report.osVersion)) << run.report.osVersion;
  const DecodedThread* crashed = run.report.crashed();
  ASSERT_NE(crashed, nullptr) << run.report.text;
  ASSERT_FALSE(crashed->pcs.empty());
  EXPECT_EQ(crashed->registers, 21u);
  if (run.marker("crashed") != 0) {
    EXPECT_TRUE(run.inFunction(crashed->pcs[0], "crashed"));
  }
}

// A system call trapped inside a handler (seccomp's SIGSYS, for the program
// to hold a crash at that point) ends the process under ThreadSanitizer,
// whose signal interception gets the trap's signal while it holds signals
// back.
inline constexpr const char* kTrapsBeyondThreadSanitizer =
    "ThreadSanitizer's signal interception holds signals back where the trap comes, and a "
    "trapped system call's SIGSYS then ends the process";

}  // namespace crashsituations
