#include <errno.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "baseTest/Children.h"
#include "system/SystemFacts.h"

namespace {

class FixedFacts : public sys::SystemFactSource {
 public:
  std::optional<std::string> text(const std::string& name) override {
    if (name == "kern.osrelease") return "13.4.1-custom";
    if (name == "hw.model") return std::nullopt;
    return sys::SystemFactSource::text(name);
  }
  std::optional<int32_t> number(const std::string& name) override {
    if (name == "hw.cpusubtype") return -2;
    return sys::SystemFactSource::number(name);
  }
};

class SystemFacts : public ::testing::Test {
 protected:
  void TearDown() override { sys::installSystemFactSource(nullptr); }
};

TEST_F(SystemFacts, TextQueryReportsSizeThenValue) {
  size_t size = 0;
  ASSERT_EQ(sys::sysctlbyname("kern.osrelease", nullptr, &size, nullptr, 0), 0);
  std::string buffer(size, 'x');
  size_t small = size - 1;
  errno = 0;
  EXPECT_EQ(sys::sysctlbyname("kern.osrelease", buffer.data(), &small, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOMEM);
  ASSERT_EQ(sys::sysctlbyname("kern.osrelease", buffer.data(), &size, nullptr, 0), 0);
  EXPECT_EQ(buffer.back(), '\0');
  EXPECT_GT(std::strlen(buffer.c_str()), 0u);
}

TEST_F(SystemFacts, HostDescribesItselfAsX8664) {
  int32_t value = 0;
  size_t size = sizeof value;
  ASSERT_EQ(sys::sysctlbyname("hw.cputype", &value, &size, nullptr, 0), 0);
  EXPECT_EQ(value, 0x01000007);
  ASSERT_EQ(sys::sysctlbyname("hw.logicalcpu_max", &value, &size, nullptr, 0), 0);
  EXPECT_EQ(value, sysconf(_SC_NPROCESSORS_CONF));
  int32_t physical = 0;
  ASSERT_EQ(sys::sysctlbyname("hw.physicalcpu_max", &physical, &size, nullptr, 0), 0);
  EXPECT_GE(physical, 1);
  EXPECT_LE(physical, value);
  errno = 0;
  EXPECT_EQ(sys::sysctlbyname("hw.nosuchkey", &value, &size, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(SystemFacts, InstalledSourceAnswersQueries) {
  sys::installSystemFactSource(std::make_shared<FixedFacts>());
  char release[32] = {};
  size_t size = sizeof release;
  ASSERT_EQ(sys::sysctlbyname("kern.osrelease", release, &size, nullptr, 0), 0);
  EXPECT_STREQ(release, "13.4.1-custom");
  int32_t subtype = 0;
  size = sizeof subtype;
  ASSERT_EQ(sys::sysctlbyname("hw.cpusubtype", &subtype, &size, nullptr, 0), 0);
  EXPECT_EQ(subtype, -2);
  EXPECT_EQ(sys::sysctlbyname("hw.model", nullptr, &size, nullptr, 0), -1);
  sys::installSystemFactSource(nullptr);
  EXPECT_EQ(sys::sysctlbyname("hw.cpusubtype", &subtype, &size, nullptr, 0), 0);
  EXPECT_EQ(subtype, 3);
}

TEST_F(SystemFacts, OperatingSystemFromOsReleaseElseTheKernel) {
  auto os = sys::describeOperatingSystem(
      "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
      "VERSION_ID='12'\r\nID=debian\n",
      "Linux", "6.1.0-18-amd64");
  EXPECT_EQ(os.name, "Debian GNU/Linux");
  EXPECT_EQ(os.version, "12.0");
  EXPECT_EQ(os.build, "6.1.0-18-amd64");
  // Major and minor always, the patch from 1 on, as numbers.
  for (const auto& [id, version] : std::map<std::string, std::string>{
           {"11.4.1", "11.4.1"}, {"22.04", "22.4"}, {"3.19.0", "3.19"}, {"8.", "8.0"}}) {
    EXPECT_EQ(sys::describeOperatingSystem("VERSION_ID=" + id, "Linux", "6.1.0").version, version)
        << id;
  }
  // A rolling distribution has no version of its own; nothing readable at all.
  os = sys::describeOperatingSystem("NAME=Arch\nVERSION_ID=\n", "Linux", "6.7.4-arch1-1");
  EXPECT_EQ(os.name, "Arch");
  EXPECT_EQ(os.version, "6.7.4");
  EXPECT_EQ(sys::describeOperatingSystem("VERSION_ID=rolling", "Linux", "6.1.0-18-amd64").version,
            "6.1");
  os = sys::describeOperatingSystem("", std::nullopt, std::nullopt);
  EXPECT_EQ(os.name, "Linux");
  EXPECT_EQ(os.version, "0.0");
  EXPECT_FALSE(os.build);

  // The host's answer is read once and is what the build query gives.
  auto host = sys::systemFacts()->operatingSystem();
  EXPECT_EQ(sys::SystemFactSource().operatingSystem().version, host.version);
  char build[256] = {};
  size_t size = sizeof build;
  ASSERT_EQ(sys::sysctlbyname("kern.osversion", build, &size, nullptr, 0), 0);
  EXPECT_EQ(std::string(build), host.build);
}

std::string nameOf(const sys::ProcessRecord& record) {
  return std::string(record.commandName, strnlen(record.commandName, sizeof record.commandName));
}

TEST_F(SystemFacts, ProcessRecordOfSelfAndParent) {
  auto self = sys::systemFacts()->currentProcess();
  ASSERT_TRUE(self);
  EXPECT_EQ(self->pid, getpid());
  EXPECT_EQ(self->parentPid, getppid());
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  EXPECT_EQ(nameOf(*self), name);
  time_t now = time(nullptr);
  EXPECT_LE(self->startSeconds, now);
  EXPECT_GT(self->startSeconds, now - 24 * 3600 * 365);
  // The ticks since boot, as the kernel gives them: the parent started first.
  auto parent = sys::systemFacts()->parentProcess();
  ASSERT_TRUE(parent);
  EXPECT_EQ(parent->pid, getppid());
  EXPECT_GT(self->startTicks, 0u);
  EXPECT_LE(parent->startTicks, self->startTicks);
  // Where /proc numbers processes as this one does, by number too.
  auto byNumber = sys::systemFacts()->process(getppid());
  ASSERT_TRUE(byNumber);
  EXPECT_EQ(byNumber->startTicks, parent->startTicks);
  EXPECT_EQ(nameOf(*byNumber), nameOf(*parent));
  EXPECT_EQ(sys::systemFacts()->process(getpid())->startTicks, self->startTicks);
  EXPECT_FALSE(sys::systemFacts()->process(-5));
}

// The crash-time reading agrees with the ordinary one, also for a name with
// a parenthesis and spaces in it.
TEST_F(SystemFacts, CrashTimeRecordMatchesTheOrdinaryOne) {
  sys::process_records_prepare();
  char original[17] = {};
  ASSERT_EQ(prctl(PR_GET_NAME, original), 0);
  std::string name = "odd) name (x";
  ASSERT_EQ(prctl(PR_SET_NAME, name.c_str()), 0);
  auto expected = sys::systemFacts()->currentProcess();
  sys::ProcessRecord now;
  bool read = sys::process_record_self_now(&now);
  prctl(PR_SET_NAME, original);
  ASSERT_TRUE(read);
  ASSERT_TRUE(expected);
  EXPECT_EQ(now.pid, expected->pid);
  EXPECT_EQ(now.parentPid, expected->parentPid);
  EXPECT_EQ(nameOf(now), name);
  EXPECT_EQ(now.startSeconds, expected->startSeconds);
  EXPECT_EQ(now.startMicroseconds, expected->startMicroseconds);
  EXPECT_EQ(now.startTicks, expected->startTicks);
  auto parent = sys::systemFacts()->parentProcess();
  ASSERT_TRUE(parent);
  ASSERT_TRUE(sys::process_record_parent_now(&now));
  EXPECT_EQ(now.pid, parent->pid);
  EXPECT_EQ(nameOf(now), nameOf(*parent));
  EXPECT_EQ(now.startTicks, parent->startTicks);
}

// In a pid namespace that kept the host's /proc, a process's own number there
// is another process's: its records, ordinary and crash-time, are its own and
// its parent's all the same, and a record by number is not given.
TEST_F(SystemFacts, InAPidNamespaceWithTheHostsProcTheRecordsAreTheProcesssOwn) {
  sys::process_records_prepare();
  const auto code = base::testing::inPidNamespace([] {
    if (prctl(PR_SET_NAME, "kx-ns-parent") != 0) return 1;
    const pid_t child = fork();
    if (child < 0) return 2;
    if (child == 0) {
      if (prctl(PR_SET_NAME, "kx-ns-child") != 0) _exit(3);
      const auto facts = sys::systemFacts();
      const auto self = facts->currentProcess();
      const auto parent = facts->parentProcess();
      if (!self || self->pid != getpid() || self->parentPid != getppid()) _exit(4);
      if (nameOf(*self) != "kx-ns-child") _exit(5);
      if (!parent || parent->pid != getppid() || nameOf(*parent) != "kx-ns-parent") _exit(6);
      if (!facts->process(getpid()) || nameOf(*facts->process(getpid())) != "kx-ns-child") _exit(7);
      if (facts->process(getppid())) _exit(8);
      sys::ProcessRecord now;
      if (!sys::process_record_self_now(&now) || nameOf(now) != "kx-ns-child" ||
          now.startTicks != self->startTicks || now.pid != getpid()) {
        _exit(9);
      }
      if (!sys::process_record_parent_now(&now) || nameOf(now) != "kx-ns-parent") _exit(10);
      _exit(0);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 11;
    return WEXITSTATUS(status);
  });
  if (!code) GTEST_SKIP() << "the system gives this test no pid namespace";
  EXPECT_EQ(*code, 0);
}

TEST_F(SystemFacts, BootIdIsTheKernelsAndTheSameForEveryRead) {
  auto boot = sys::systemFacts()->bootId();
  if (!std::ifstream("/proc/sys/kernel/random/boot_id")) {
    EXPECT_FALSE(boot);
    return;
  }
  ASSERT_TRUE(boot);
  EXPECT_EQ(boot->size(), 36u) << *boot;
  EXPECT_EQ(sys::systemFacts()->bootId(), boot);
}

TEST_F(SystemFacts, ExecutablePathIsThisProgram) {
  auto path = sys::systemFacts()->executablePath();
  ASSERT_TRUE(path);
  EXPECT_NE(path->find("system_tests"), std::string::npos);
}

}  // namespace
