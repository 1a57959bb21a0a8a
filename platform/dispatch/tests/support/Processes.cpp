#include "dispatchTest/Processes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace dispatch::testing {

std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const auto& entry : overrides) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    std::erase_if(env, [&](const std::string& existing) { return existing.rfind(name, 0) == 0; });
    env.push_back(entry);
  }
  return env;
}

pid_t spawn(const std::string& program, std::vector<std::string> arguments,
            std::vector<std::string> environment, const posix_spawn_file_actions_t* actions) {
  std::vector<char*> argv;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), actions, nullptr, argv.data(), envp.data()) != 0) {
    return -1;
  }
  return pid;
}

namespace {

int runSelf(const std::string& filter, const std::vector<std::string>& environment,
            const posix_spawn_file_actions_t* actions) {
  const pid_t pid = spawn("/proc/self/exe", {"/proc/self/exe", "--gtest_filter=" + filter},
                          environmentWith(environment), actions);
  if (pid < 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

int exitStatus(int status) { return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

int spawnSelf(const std::string& filter, const std::vector<std::string>& environment) {
  return runSelf(filter, environment, nullptr);
}

int runChild(const std::string& filter, const std::vector<std::string>& environment) {
  return exitStatus(spawnSelf(filter, environment));
}

int runChildQuietly(const std::string& filter, const std::vector<std::string>& environment) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  const int status = runSelf(filter, environment, &actions);
  posix_spawn_file_actions_destroy(&actions);
  return exitStatus(status);
}

std::vector<std::string> crashingChildEnvironment(std::vector<std::string> environment) {
  const std::string fatalSignals =
      "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigill=0:handle_sigfpe=0:"
      "use_sigaltstack=0";
  environment.push_back("ASAN_OPTIONS=" + fatalSignals + ":detect_leaks=0");
  environment.push_back("TSAN_OPTIONS=" + fatalSignals + ":halt_on_error=1");
  return environment;
}

namespace {

std::string runningTestName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string(info->test_suite_name()) + "." + info->name();
}

}  // namespace

bool aloneInProcess(const char* variable) {
  const std::string name = runningTestName();
  if (const char* marker = std::getenv(variable); marker && name == marker) return true;
  return GTEST_FLAG_GET(filter) == name && GTEST_FLAG_GET(repeat) == 1;
}

bool inOwnProcess(const char* variable) {
  if (aloneInProcess(variable)) return true;
  const std::string name = runningTestName();
  EXPECT_EQ(runChild(name, {std::string(variable) + "=" + name}), 0)
      << name << " failed in a process of its own (its output is above)";
  return false;
}

bool roleIs(const char* variable, const char* role) {
  const char* value = std::getenv(variable);
  return value && std::string(value) == role;
}

}  // namespace dispatch::testing
