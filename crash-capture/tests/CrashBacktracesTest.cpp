// Real crashes' backtraces, against the names a debugger gives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "CrashSituations.h"
#include "base/BuildFacts.h"

namespace {

using crashsituations::ChildRun;
using crashsituations::DecodedThread;
using crashsituations::runChild;

// Backtraces as a debugger gives them, for the kinds of frames a walker gets
// wrong most easily (CrashChildFrames.cpp): the names of the crashed thread's
// frames from the first one on. "%" stands for the build (fp or nofp), "*"
// for one frame of the system libraries whose name does not matter, "..."
// for any number of them (up to the next name). With `whole`, the walk ends
// with the last one.
struct Backtrace {
  std::string kind;
  std::vector<std::string> frames;
  bool whole = false;
};

void PrintTo(const Backtrace& backtrace, std::ostream* out) { *out << backtrace.kind; }

const Backtrace kBacktraces[] = {
    // The caller of a function that never returns is named from its call,
    // not from the byte after it.
    {"noreturn",
     {"_kx_%_fault_noreturn", "_kx_%_ends_in_noreturn", "_kx_%_noreturn_scenario",
      "_crash_child_frames_%"}},
    {"terminate",
     {"...", "__ZSt9terminatev", "___cxa_throw", "_kx_%_throws", "_kx_%_terminate_scenario",
      "_crash_child_frames_%"}},
    {"exit",
     {"_kx_%_atexit_handler", "...", "_exit", "_kx_%_exit_scenario", "_crash_child_frames_%"}},
    // A call to where no image is: the caller from the return address.
    {"null", {"", "_kx_%_calls_null", "_crash_child_frames_%"}},
    {"heap", {"", "_kx_%_calls_heap", "_crash_child_frames_%"}},
    // The context's stack ends at the C library's context start, whatever
    // frame pointer its registers still hold.
    {"context", {"_kx_%_context_fault", "_kx_%_context_entry", "*"}, true},
    // Of a function's names, the one a debugger gives: "raise", not its
    // alias "gsignal". The handler's walk passes the signal's trampoline.
    {"abort",
     {"*", "_raise", "_abort", "_kx_%_aborts", "_kx_%_abort_scenario", "_crash_child_frames_%"}},
    {"handler",
     {"_kx_%_handler_faults", "*", "*", "_raise", "_kx_%_raises", "_kx_%_handler_scenario",
      "_crash_child_frames_%"}},
    // A library's constructor, run inside the dlopen that will list it: its
    // frames, the loader's, and the program's own below them.
    {"constructor",
     {"_kx_plugin_c_fault", "_kx_plugin_c_loaded", "...", "_kx_%_constructor_scenario",
      "_crash_child_frames_%"}},
};

// Whether `names` begins with (or with `whole`, is) what `want` describes.
bool framesMatch(const std::vector<std::string>& names, const std::vector<std::string>& want,
                 bool whole) {
  size_t n = 0;
  for (size_t w = 0; w < want.size(); ++w) {
    if (want[w] == "...") {
      if (w + 1 == want.size()) return true;
      while (n < names.size() && names[n] != want[w + 1]) ++n;
      continue;
    }
    if (n == names.size() || (want[w] != "*" && names[n] != want[w])) return false;
    ++n;
  }
  return !whole || n == names.size();
}

// The kinds whose frames ThreadSanitizer changes, and how.
const std::map<std::string, std::string> kBacktracesBeyondThreadSanitizer = {
    {"abort", "ThreadSanitizer's interceptor of abort adds frames of its own below it"},
    {"handler",
     "ThreadSanitizer defers the program's signal handler to a point of its own choosing"},
};

class CrashBacktraces
    : public ::testing::TestWithParam<std::tuple<Backtrace, std::string, std::string>> {};

TEST_P(CrashBacktraces, NameTheFramesADebuggerNames) {
  const auto& [backtrace, build, type] = GetParam();
  if (KX_TSAN) {
    auto beyond = kBacktracesBeyondThreadSanitizer.find(backtrace.kind);
    if (beyond != kBacktracesBeyondThreadSanitizer.end()) GTEST_SKIP() << beyond->second;
  }
  ChildRun run;
  runChild("frames-" + backtrace.kind + "-" + build, type, &run, true);
  ASSERT_FALSE(run.hung);
  ASSERT_TRUE(run.report.ok) << run.bytes.size() << " bytes\n" << run.report.text;
  const DecodedThread* crashed = run.report.crashed();
  ASSERT_NE(crashed, nullptr) << run.report.text;
  std::vector<std::string> want;
  for (std::string name : backtrace.frames) {
    if (size_t at = name.find('%'); at != std::string::npos) name.replace(at, 1, build);
    want.push_back(name);
  }
  EXPECT_TRUE(framesMatch(crashed->symbols, want, backtrace.whole))
      << ::testing::PrintToString(crashed->symbols) << "\nagainst "
      << ::testing::PrintToString(want);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashBacktraces,
                         ::testing::Combine(::testing::ValuesIn(kBacktraces),
                                            ::testing::Values("fp", "nofp"),
                                            ::testing::Values("signals", "mach")),
                         [](const auto& info) {
                           return std::get<0>(info.param).kind + "_" + std::get<1>(info.param) +
                                  "_" + std::get<2>(info.param);
                         });

}  // namespace
