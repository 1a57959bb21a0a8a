#include <gtest/gtest.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "base/ProcFiles.h"
#include "base/ProcStat.h"
#include "baseTest/Children.h"

namespace {

// A stat line whose name holds ")", spaces and digits, read whole and a byte
// at a time: the fields are those after the name's last ")".
TEST(ProcStat, FieldsComeAfterTheNamesLastParenthesis) {
  std::string line = "4242 (a) 1 2 (b)) R 17";
  for (int field = 5; field <= 21; ++field) line += " " + std::to_string(field);
  line += " 987654 23 24\n";
  for (const size_t piece : {line.size(), size_t{1}}) {
    base::ProcStatScanner scanner;
    scanner.start();
    for (size_t at = 0; at < line.size(); at += piece) {
      scanner.feed(line.data() + at, std::min(piece, line.size() - at));
    }
    ASSERT_TRUE(scanner.complete());
    const base::ProcStat& stat = scanner.stat();
    EXPECT_EQ(std::string(stat.name, stat.nameLength), "a) 1 2 (b)");
    EXPECT_EQ(stat.state, 'R');
    EXPECT_EQ(stat.parent, 17);
    EXPECT_EQ(stat.userTicks, 14u);
    EXPECT_EQ(stat.systemTicks, 15u);
    EXPECT_EQ(stat.startTicks, 987654u);
  }
  // Cut before the start, or without the name's parentheses: no fields.
  for (const std::string& odd :
       {line.substr(0, line.find(" 987654")), std::string("4242 a R 1 2")}) {
    base::ProcStatScanner cut;
    cut.start();
    cut.feed(odd.data(), odd.size());
    EXPECT_FALSE(cut.complete()) << odd;
  }
  base::ProcStat self;
  ASSERT_TRUE(base::proc_stat_read(base::ProcPath(base::kProcSelf).file("stat").c_str(), &self));
  EXPECT_EQ(self.state, 'R');
  EXPECT_GT(self.startTicks, 0u);
  EXPECT_FALSE(base::proc_stat_read(nullptr, &self));
}

// Status files as the kernel writes them, and as it may not: each row read
// whole and a byte at a time.
TEST(ProcStatus, TakesWholeLinesOfTheNamesItReads) {
  using S = base::ProcStatus;
  constexpr uint32_t kAll = S::kState | S::kTracer | S::kIds | S::kPending | S::kBlocked |
                            S::kSwitches | S::kIgnored | S::kSeccomp;
  const std::string rest =
      "SigPnd:\t0000000000000004\nSigBlk:\t0000000000010000\nSigIgn:\t0000000000801000\n"
      "Seccomp:\t2\nSeccomp_filters:\t3\nCpus_allowed:\tff\nvoluntary_ctxt_switches:\t12\n";
  struct Row {
    std::string text;
    uint32_t found;
    char state;
    int64_t tracer;
    uint32_t ids;
    int64_t own;
    bool numbersAsOwn;
  } rows[] = {
      {"Name:\tkx (a) b\nState:\tS (sleeping)\nTracerPid:\t0\nNSpid:\t7\n" + rest, kAll, 'S', 0, 1,
       7, true},
      // A kernel before 4.1 shows no NSpid: /proc is not taken to number as
      // the process does.
      {"State:\tR (running)\nTracerPid:\t31\n" + rest, kAll & ~S::kIds, 'R', 31, 0, 0, false},
      // One id in each pid namespace from /proc's down to the process's own.
      {"State:\tT\nTracerPid:\t0\nNSpid:\t900\t40 7\n" + rest, kAll, 'T', 0, 3, 7, false},
      // A name that looks like the fields, a name too long to be one.
      {"Name:\tNSpid:\t5\nnonvoluntary_ctxt_switches:\t9\nNSpid:\t8\n", S::kIds, 0, 0, 1, 8, true},
      // Not numbers, a mask past 64 bits, and a last line the end cut short.
      {"TracerPid:\t1x\nNSpid:\t-1\nSigBlk:\t10000000000000000\nSigPnd:\t00000000", 0, 0, 0, 0, 0,
       false},
      {"", 0, 0, 0, 0, 0, false},
  };
  for (const Row& row : rows) {
    for (const size_t piece : {row.text.size() + 1, size_t{1}}) {
      base::ProcStatusScanner scanner;
      scanner.start();
      for (size_t at = 0; at < row.text.size(); at += piece) {
        scanner.feed(row.text.data() + at, std::min(piece, row.text.size() - at));
      }
      const S status = scanner.status();
      EXPECT_EQ(status.found, row.found) << row.text;
      EXPECT_EQ(status.state, row.state) << row.text;
      EXPECT_EQ(status.tracer, row.tracer) << row.text;
      EXPECT_EQ(status.idCount, row.ids) << row.text;
      EXPECT_EQ(status.ownId, row.own) << row.text;
      EXPECT_EQ(base::proc_status_numbers_as_own(status), row.numbersAsOwn) << row.text;
      if ((row.found & S::kSwitches) != 0) {
        EXPECT_EQ(status.pending, 4u);
        EXPECT_EQ(status.blocked, 0x10000u);
        EXPECT_EQ(status.switches, 12u);
        EXPECT_EQ(status.ignored, 0x801000u);
        EXPECT_EQ(status.seccomp, 2u);
      }
    }
  }
  base::ProcStatus self;
  ASSERT_TRUE(
      base::proc_status_read(base::ProcPath(base::kProcThreadSelf).file("status").c_str(), &self));
  EXPECT_EQ(self.found, kAll);
  EXPECT_EQ(self.ownId, gettid());
  EXPECT_FALSE(base::proc_status_read(base::ProcPath(base::kProcSelf).file("none").c_str(), &self));
}

// Whether /proc numbers processes as the process does, in a pid namespace
// with a /proc of its own and in one that kept the host's; with descriptors,
// and with none left to read a status with (1 for each yes).
int numberingAnswers() {
  const int with = base::proc_numbers_as_this_process() ? 1 : 0;
  struct rlimit none = {0, 0};
  getrlimit(RLIMIT_NOFILE, &none);
  none.rlim_cur = 0;
  setrlimit(RLIMIT_NOFILE, &none);
  return with + (base::proc_numbers_as_this_process() ? 1 : 0);
}

TEST(ProcStatus, NumbersAsThisProcessOnlyInTheNamespaceProcWasMountedFor) {
  EXPECT_EQ(base::testing::inChild(numberingAnswers), 2);
  const int own = base::testing::inNewPidNamespace(numberingAnswers);
  if (own >= 0) {
    EXPECT_EQ(own, 2);
  }
  const auto host = base::testing::inPidNamespace(numberingAnswers);
  if (host) {
    EXPECT_EQ(*host, 0);
  }
}

TEST(ProcFiles, BootTimeAndClockTicks) {
  struct Row {
    const char* text;
    int64_t seconds;  // -1: none
  } rows[] = {
      {"cpu  1 2 3\nintr 5 6\nbtime 1700000000\nprocesses 9\n", 1700000000},
      {"xbtime 5\nbtime\t6\nbtime 1700000000", -1},
      {"btime 17 18\n", -1},
  };
  for (const Row& row : rows) {
    int64_t seconds = -1;
    EXPECT_EQ(base::proc_boot_time_parse(row.text, std::strlen(row.text), &seconds),
              row.seconds >= 0);
    EXPECT_EQ(seconds, row.seconds) << row.text;
  }
  // The wall clock less the time since boot.
  int64_t boot = 0;
  ASSERT_TRUE(base::proc_boot_time(&boot));
  timespec wall{}, sinceBoot{};
  clock_gettime(CLOCK_REALTIME, &wall);
  clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
  EXPECT_NEAR(static_cast<double>(boot), static_cast<double>(wall.tv_sec - sinceBoot.tv_sec), 2);
  EXPECT_EQ(base::proc_clock_ticks(), sysconf(_SC_CLK_TCK));
}

TEST(ProcFiles, PathsAndReadsIntoTheCallersBuffer) {
  static_assert(std::string_view(base::ProcPath(base::kProcSelf).file("exe").c_str()) ==
                "/proc/self/exe");
  EXPECT_STREQ(base::ProcPath(base::kProcThreadSelf).file("fd").id(7).c_str(),
               "/proc/thread-self/fd/7");
  EXPECT_STREQ(base::ProcPath(4242).file("task").id(0).file("stat").c_str(),
               "/proc/4242/task/0/stat");
  EXPECT_STREQ(base::ProcPath(base::kProcSystem).file("meminfo").c_str(), "/proc/meminfo");
  EXPECT_EQ(base::ProcPath(base::kProcSelf).id(-3).c_str(), nullptr);
  const std::string longest(base::ProcPath::kRoom - sizeof "/proc/self/", 'x');
  EXPECT_NE(base::ProcPath(base::kProcSelf).file(longest.c_str()).c_str(), nullptr);
  EXPECT_EQ(base::ProcPath(base::kProcSelf).file((longest + "x").c_str()).c_str(), nullptr);

  // A buffer shorter than the file holds its start; errno is kept.
  const base::ProcPath path = base::ProcPath(base::kProcSelf).file("stat");
  const char* stat = path.c_str();
  char whole[1024], start[8];
  const ssize_t length = base::proc_read(stat, whole, sizeof whole);
  ASSERT_GT(length, 8);
  errno = 1234;
  EXPECT_EQ(base::proc_read(stat, start, sizeof start), 7);
  EXPECT_EQ(std::string(start), std::string(whole, 7));
  EXPECT_EQ(base::proc_read(stat, start, 1), 0);
  EXPECT_EQ(start[0], '\0');
  EXPECT_EQ(base::proc_read("/proc/self/none", start, sizeof start), -1);
  EXPECT_EQ(errno, 1234);
}

}  // namespace
