#include "SwitcherTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "ZozIduvur/DUZEChannelUnitDefault.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvur/TestSeams.h"
#include "ZozIduvurAnalytics/DUZEAnalytics.h"
#include "ZozIduvurCrashes/DUZECrashes.h"
#include "ZozIduvurCrashes/TestSeams.h"
#include "ZozIduvurTest/SentLogs.h"
#include "dispatch/MainLoop.h"
#include "dispatchTest/Processes.h"
#include "dispatchTest/Waiting.h"

namespace switchertest {

using dispatch::testing::environmentWith;
using dispatch::testing::eventually;
using dispatch::testing::spawn;

namespace fs = std::filesystem;

void SwitcherTest::SetUp() {
  CrashFoldersTest::SetUp();
  DUZECrashes::resetSharedInstance();
  DUZEAnalytics::resetSharedInstance();
  server_ = std::make_unique<foundationtest::HTTPServer>();
  setenv(std::string(kDUZELogUrlEnvironmentVariable).c_str(), server_->baseUrl().c_str(), 1);
}

void SwitcherTest::TearDown() {
  DUZEZozIduvur::resetSharedInstance();
  DUZECrashes::resetSharedInstance();
  DUZEAnalytics::resetSharedInstance();
  DUZECrashesSeams::setProcessingDelayForTesting(std::nullopt);
  DUZEChannelUnitDefaultSeams::setFlushIntervalUnitForTesting(std::nullopt);
  dispatch::MainLoop::drainPending();
  unsetenv(std::string(kDUZELogUrlEnvironmentVariable).c_str());
  server_.reset();
  CrashFoldersTest::TearDown();
}

std::vector<nlohmann::json> SwitcherTest::sentLogs() {
  return duzetest::sentLogs(server_->requests());
}

nlohmann::json SwitcherTest::sentLogOfType(const std::string& type) {
  for (const auto& log : sentLogs()) {
    if (log.value("type", "") == type) return log;
  }
  return nullptr;
}

std::vector<fs::path> SwitcherTest::pendingCrashReports() const {
  std::vector<fs::path> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dataDir(), ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path().filename() == "live_report.rocrash") out.push_back(it->path());
  }
  return out;
}

ProgramRun::ProgramRun(const fs::path& stderrFile, const std::vector<std::string>& environment)
    : stderrFile_(stderrFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrFile_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_ = spawn(KESTRIX_PROGRAM, {KESTRIX_PROGRAM}, environmentWith(environment), &actions);
  posix_spawn_file_actions_destroy(&actions);
}

ProgramRun::~ProgramRun() {
  if (running()) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
}

bool ProgramRun::running() {
  if (pid_ <= 0 || status_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = status;
    return false;
  }
  return true;
}

std::optional<int> ProgramRun::stopWith(int signal, std::chrono::milliseconds timeout) {
  if (!running()) return status_;
  kill(pid_, signal);
  if (eventually([this] { return !running(); }, timeout)) return status_;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  status_ = status;
  return std::nullopt;
}

std::string ProgramRun::standardError() const {
  std::ifstream in(stderrFile_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace switchertest
