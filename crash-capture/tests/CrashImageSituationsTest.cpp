// Crashes in the images a program loads while it runs, in both handler
// modes: the crash child runs each image situation (CrashChildImages.cpp)
// and crashes; the report it leaves is read with protoc against the schema.
// Each crashed thread must start with the situation's frames, each named:
// the walk goes through every frame of the plugins and the program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crash-capture/ROReradUzerirud.h"

namespace {

namespace fs = std::filesystem;

struct Report {
  bool ok = false;
  std::string text;
  uint64_t pid = 0;
  std::string processName;
  std::string signal;
  struct Thread {
    bool crashed = false;
    std::vector<std::string> names;  // one per frame, "" when unnamed
  };
  std::vector<Thread> threads;
  std::vector<std::string> images;
};

std::string run(const std::string& command) {
  FILE* out = popen(command.c_str(), "r");
  if (out == nullptr) return "exit failure\n";
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, out)) > 0) text.append(buffer, n);
  if (pclose(out) != 0) text = "exit failure\n" + text;
  return text;
}

std::string unquote(const std::string& value) {
  return value.size() >= 2 && value.front() == '"' ? value.substr(1, value.size() - 2) : value;
}

Report decode(const std::vector<uint8_t>& bytes, const std::string& folder) {
  Report report;
  if (bytes.size() < 8 || std::string(bytes.begin(), bytes.begin() + 7) != "rocrash") return report;
  const std::string body = folder + "/body.bin";
  std::ofstream(body, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data() + 8),
             static_cast<std::streamsize>(bytes.size() - 8));
  report.text = run(std::string("protoc --decode=rocrash.CrashReport -I ") + ROCRASH_SCHEMA_DIR +
                    " " + ROCRASH_SCHEMA_DIR + "/crash_report.proto < " + body + " 2>&1");
  if (report.text.rfind("exit failure", 0) == 0) return report;
  report.ok = true;
  std::vector<std::string> path;
  std::istringstream lines(report.text);
  for (std::string line; std::getline(lines, line);) {
    line.erase(0, line.find_first_not_of(' '));
    if (line == "}") {
      path.pop_back();
      continue;
    }
    if (line.size() > 2 && line.compare(line.size() - 2, 2, " {") == 0) {
      path.push_back(line.substr(0, line.size() - 2));
      std::string where;
      for (const auto& p : path) where += p + "/";
      if (where == "threads/") report.threads.emplace_back();
      if (where == "threads/frames/") report.threads.back().names.emplace_back();
      continue;
    }
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    const std::string key = line.substr(0, colon), value = line.substr(colon + 2);
    std::string where;
    for (const auto& p : path) where += p + "/";
    if (where == "threads/" && key == "crashed") report.threads.back().crashed = value == "true";
    if (where == "threads/frames/symbol/" && key == "name") {
      report.threads.back().names.back() = unquote(value);
    }
    if (where == "binary_images/" && key == "name") report.images.push_back(unquote(value));
    if (where == "signal/" && key == "name") report.signal = unquote(value);
    if (where == "process_info/" && key == "process_id") report.pid = std::stoull(value);
    if (where == "process_info/" && key == "process_name") report.processName = unquote(value);
  }
  return report;
}

struct ChildRun {
  pid_t pid = 0;
  int status = 0;
  bool hung = false;
  std::vector<uint8_t> bytes;
  Report report;
};

// Runs the crash child in `mode` with the handler `type` and reads its report.
void runChild(const std::string& mode, const std::string& type, ChildRun* result) {
  char pattern[] = "/tmp/rocrash_images_XXXXXX";
  const std::string folder = mkdtemp(pattern);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string fatalSignals =
        "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigill=0:handle_sigfpe=0:"
        "use_sigaltstack=0";
    setenv("ASAN_OPTIONS", (fatalSignals + ":detect_leaks=0").c_str(), 1);
    setenv("TSAN_OPTIONS", (fatalSignals + ":halt_on_error=1").c_str(), 1);
    execl(ROCRASH_CHILD_PROGRAM, ROCRASH_CHILD_PROGRAM, mode.c_str(), type.c_str(), folder.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  result->pid = pid;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (waitpid(pid, &result->status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      result->hung = true;
      kill(pid, SIGKILL);
      waitpid(pid, &result->status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.child", "7", "1.0", ROReradUzerirudConfig::initWithBasePath(folder));
  if (auto data = reporter->loadPendingCrashReportData()) result->bytes = *data;
  result->report = decode(result->bytes, folder);
  fs::remove_all(folder);
}

// The names of the frames a situation starts with, from the faulting one.
std::vector<std::string> plugin(const std::string& letter, const std::string& caller) {
  const std::string prefix = "_kx_plugin_" + letter + "_";
  return {prefix + "fault",
          prefix + "descend",
          prefix + "descend",
          prefix + "descend",
          prefix + "descend",
          prefix + "run",
          caller};
}

std::vector<std::string> pluginCalledFromPlugin() {
  std::vector<std::string> names = plugin("b", "_kx_plugin_a_call");
  names.push_back("_kx_child_enter_call");
  return names;
}

struct Situation {
  const char* mode;
  std::vector<std::string> frames;  // the crashed thread's first frames
  const char* listed = nullptr;     // in an image's name
  const char* unlisted = nullptr;   // in no image's name
};

const std::vector<Situation>& situations() {
  static const std::vector<Situation> all = {
      {"plugin", plugin("a", "_kx_child_enter_plugin"), "libkx_plugin_a.so"},
      {"plugin-from-plugin", pluginCalledFromPlugin(), "libkx_plugin_b.so"},
      {"plugin-deepbind", pluginCalledFromPlugin(), "libkx_plugin_b.so"},
      {"plugin-closed", plugin("a", "_kx_child_enter_plugin"), "libkx_plugin_a.so",
       "libkx_plugin_b.so"},
      {"plugin-deleted", plugin("a", "_kx_child_enter_plugin"), "plugins/libkx_plugin_a.so"},
      {"plugin-replaced", plugin("a", "_kx_child_enter_plugin"), "plugins/libkx_plugin_a.so"},
      {"program-deleted",
       {"_kx_child_fault", "_kx_child_descend", "_kx_child_descend", "_kx_child_descend",
        "_kx_child_descend"}},
      {"program-replaced",
       {"_kx_child_fault", "_kx_child_descend", "_kx_child_descend", "_kx_child_descend",
        "_kx_child_descend"}},
      {"hdr-rotated", plugin("a", "_kx_child_enter_plugin")},
      {"hdr-reversed", plugin("a", "_kx_child_enter_plugin")},
      {"hdr-zeroed", plugin("a", "_kx_child_enter_plugin")},
  };
  return all;
}

// The checks of one situation's report: one whole report of the child, with
// one crashed thread whose first frames are the situation's.
void expectWalkedAndNamed(const Situation& situation, const std::string& type) {
  ChildRun child;
  runChild(situation.mode, type, &child);
  ASSERT_FALSE(child.hung) << "the child hung";
  const Report& report = child.report;
  ASSERT_TRUE(report.ok) << child.bytes.size() << " bytes, status " << child.status << "\n"
                         << report.text;
  EXPECT_TRUE(WIFSIGNALED(child.status) && WTERMSIG(child.status) == SIGSEGV) << child.status;
  EXPECT_EQ(report.signal, "SIGSEGV");
  EXPECT_EQ(report.pid, static_cast<uint64_t>(child.pid));
  // The kernel's name of the process, cut to 15 characters.
  EXPECT_EQ(report.processName, std::string("crash-capture_child").substr(0, 15));
  std::vector<const Report::Thread*> crashed;
  for (const auto& thread : report.threads) {
    if (thread.crashed) crashed.push_back(&thread);
  }
  ASSERT_EQ(crashed.size(), 1u) << report.text;
  const std::vector<std::string>& names = crashed[0]->names;
  const std::vector<std::string> first(
      names.begin(), names.begin() + std::min(names.size(), situation.frames.size()));
  EXPECT_EQ(first, situation.frames) << report.text;
  auto listed = [&](const char* part) {
    for (const auto& image : report.images) {
      if (image.find(part) != std::string::npos) return true;
    }
    return false;
  };
  if (situation.listed != nullptr) {
    EXPECT_TRUE(listed(situation.listed));
  }
  if (situation.unlisted != nullptr) {
    EXPECT_FALSE(listed(situation.unlisted));
  }
}

class CrashImageSituations : public ::testing::TestWithParam<std::string> {};

TEST_P(CrashImageSituations, EveryFrameIsWalkedAndNamed) {
  for (const Situation& situation : situations()) {
    SCOPED_TRACE(situation.mode);
    expectWalkedAndNamed(situation, GetParam());
  }
}

INSTANTIATE_TEST_SUITE_P(Handlers, CrashImageSituations, ::testing::Values("signals", "mach"),
                         [](const auto& info) { return info.param; });

}  // namespace
