#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ZozIduvurCrashesTest/CrashFolders.h"
#include "dispatchTest/Processes.h"
#include "foundationTest/HTTPServer.h"

namespace switchertest {

// Every test of the application runs with a data folder and a crash-report
// folder of its own, the telemetry client's ingestion on a loopback server,
// and fresh shared instances of the client.
class SwitcherTest : public crashestest::CrashFoldersTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The JSON logs the server got at "/logs", in the order they came.
  std::vector<nlohmann::json> sentLogs();
  // The first sent log of the type, or null.
  nlohmann::json sentLogOfType(const std::string& type);
  // The crash engine's pending report files under this test's folder.
  std::vector<std::filesystem::path> pendingCrashReports() const;

  std::unique_ptr<foundationtest::HTTPServer> server_;
};

// A test that sets up the crash engine (once per process for good) runs in a
// process of its own: answers true in that process, and otherwise runs the
// child, expects it to pass and answers false.
#define SWITCHER_RUN_IN_OWN_PROCESS()                                            \
  do {                                                                           \
    if (!::dispatch::testing::inOwnProcess("SWITCHER_TEST_OWN_PROCESS")) return; \
  } while (false)

// One run of the real program, with the test's environment plus `environment`
// and its standard error kept in a file.
class ProgramRun {
 public:
  ProgramRun(const std::filesystem::path& stderrFile, const std::vector<std::string>& environment);
  // Kills a program still running.
  ~ProgramRun();
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  bool started() const { return pid_ > 0; }
  // Still running (not exited, not killed).
  bool running();
  // Sends `signal` and waits for the end (killing the program after
  // `timeout`); the raw wait status, or none when it had to be killed.
  std::optional<int> stopWith(int signal,
                              std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // What the program wrote to standard error.
  std::string standardError() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::filesystem::path stderrFile_;
};

}  // namespace switchertest
