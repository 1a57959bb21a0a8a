// Live reports: of the calling thread and of others, in forked children and
// in children that share the descriptor table, read back independently.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "ROReradUzerirudChildren.h"
#include "base/BuildFacts.h"
#include "baseTest/Children.h"
#include "baseTest/Polling.h"
#include "baseTest/SystemCallFilter.h"
#include "crash-capture/ROCrashReport.h"
#include "crash-capture/ROReradUzerirud.h"
#include "crash_report.pb-c.h"
#include "dispatchTest/TemporaryFolder.h"
#include "reporter/ROReradUzerirudGate.h"
#include "system/Mach.h"
#include "system/SystemFacts.h"
#include "system/Threads.h"
#include "systemTest/DescriptorTables.h"

namespace {

namespace fs = std::filesystem;
using base::testing::inChild;
using dispatch::testing::TemporaryFolder;
using reporterchildren::NoProcessRecords;
using reporterchildren::openDescriptors;

TEST(ROReradUzerirudLive, ReportOfTheCallingThreadIsUserRequested) {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.live", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  std::vector<uint8_t> custom = {9};
  reporter->setCustomData(custom);
  std::shared_ptr<foundation::NSError> error;
  auto data = reporter->generateLiveReportAndReturnError(&error);
  ASSERT_TRUE(data) << (error ? error->localizedDescription() : "");
  auto report = ROCrashReport::create(*data, &error);
  ASSERT_TRUE(report) << (error ? error->localizedDescription() : "");
  EXPECT_EQ(report->signalInfo()->name(), "SIGTRAP");
  EXPECT_EQ(report->signalInfo()->code(), "TRAP_TRACE");
  // The address is the return address into this test.
  uint64_t address = report->signalInfo()->address();
  int crashed = 0;
  for (const auto& t : report->threads()) {
    if (!t->crashed()) continue;
    ++crashed;
    ASSERT_GE(t->stackFrames().size(), 3u);
    EXPECT_EQ(t->registers().size(), 21u);
    EXPECT_NE(address, 0u);
  }
  EXPECT_EQ(crashed, 1);
  EXPECT_EQ(report->customData(), custom);
  EXPECT_FALSE(fs::exists(fs::path("/tmp") / "live_crash_report.XXXXXX"));
}

TEST(ROReradUzerirudLive, WriterThatCannotStartGivesNoReport) {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.live", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  sys::installSystemFactSource(std::make_shared<NoProcessRecords>());
  std::shared_ptr<foundation::NSError> error;
  auto data = reporter->generateLiveReportAndReturnError(&error);
  sys::installSystemFactSource(nullptr);
  EXPECT_FALSE(data);
  ASSERT_TRUE(error);
  EXPECT_NE(error->localizedDescription().find("crash log writer"), std::string::npos);
}

// A crash that waits for a live report is written next, however quickly a
// thread takes the next report once one ends.
TEST(ROReradUzerirudLive, CrashWaitingForAReportGoesBeforeTheNextOne) {
  EXPECT_EQ(inChild([] {
              static std::atomic<int> taken{0};
              std::thread([] {
                for (int i = 0; i < 2000; ++i) {
                  rocrash::reporter::beginLiveReport();
                  ++taken;
                  std::this_thread::sleep_for(std::chrono::microseconds(200));
                  rocrash::reporter::endLiveReport();
                }
              }).detach();
              while (taken.load() == 0) std::this_thread::yield();
              if (!rocrash::reporter::beginCrash(SIGSEGV)) return 2;
              // Kept waiting, it would have the gate only after the last.
              return taken.load() < 1000 ? 0 : 1;
            }),
            0);
}

TEST(ROReradUzerirudLive, ReportOfAnotherThreadLeavesTheCallerOut) {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.live", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::atomic<sys::thread_t> tid{0};
  std::thread other([&] {
    tid = sys::mach_thread_self();
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return done; });
  });
  while (tid == 0) std::this_thread::yield();
  sys::thread_t threads[128];
  uint32_t count = 0;
  EXPECT_EQ(sys::task_threads(sys::mach_task_self(), threads, 128, &count), sys::KERN_SUCCESS);
  auto data = reporter->generateLiveReportWithThread(tid);
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  cv.notify_all();
  other.join();
  ASSERT_TRUE(data);
  auto* m = rocrash__crash_report__unpack(nullptr, data->size() - 8, data->data() + 8);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->n_threads, count - 1);
  int crashed = 0;
  for (size_t i = 0; i < m->n_threads; ++i) crashed += m->threads[i]->crashed;
  EXPECT_EQ(crashed, 1);
  EXPECT_TRUE(m->report_info->user_requested);
  rocrash__crash_report__free_unpacked(m, nullptr);
}

// A live report in a forked child, whose thread list comes through the
// folder the parent keeps, leaves the child's threads one descriptor table.
TEST(ROReradUzerirudLive, ReportInAForkedChildLeavesItsThreadsOneDescriptorTable) {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.live", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  sys::thread_parking_prepare();
  EXPECT_EQ(
      sys::testing::childTableAfter([&] { return reporter->generateLiveReport().has_value(); }),
      sys::testing::ChildTable::shared);
}

// ---- Descriptors of children ----

// What descriptor `fd` is open on (device and inode); {} when it is not.
std::pair<dev_t, ino_t> openOn(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return {};
  return {st.st_dev, st.st_ino};
}

// The descriptor the thread list keeps (on a folder named "task"), or -1.
int keptTaskFolder() {
  for (int fd = 3; fd < 1024; ++fd) {
    char link[64], target[256];
    snprintf(link, sizeof link, "/proc/thread-self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n > 5 && std::string(target, static_cast<size_t>(n)).ends_with("/task")) return fd;
  }
  return -1;
}

// Whether thread `tid` of this process runs (has not ended).
bool threadRuns(pid_t tid) {
  char path[64], text[512];
  snprintf(path, sizeof path, "/proc/thread-self/../%d/stat", static_cast<int>(tid));
  FILE* file = fopen(path, "r");
  if (file == nullptr) return false;
  const bool read = fgets(text, sizeof text, file) != nullptr;
  fclose(file);
  const char* end = read ? strrchr(text, ')') : nullptr;
  return end != nullptr && end[2] != 'Z' && end[2] != 'X';
}

// Starts `body` in a child made by clone with CLONE_FILES: it shares the
// caller's descriptor table, in a copy of its memory; its pid. The caller
// has one thread.
pid_t startSharingDescriptors(const std::function<int()>& body) {
  static char stack[256 * 1024];
  return clone([](void* call) { return (*static_cast<std::function<int()>*>(call))(); },
               stack + sizeof stack, CLONE_FILES | SIGCHLD,
               const_cast<std::function<int()>*>(&body));
}

// A live report, in a child process `generations` deep, each with as many
// descriptors open after its report as the caller: none is left per
// generation.
int reportsInGenerations(ROReradUzerirud& reporter, int generations, size_t open) {
  if (!reporter.generateLiveReport() || openDescriptors() != open) {
    fprintf(stderr, "%zu descriptors open, against %zu\n", openDescriptors(), open);
    return 1;
  }
  if (generations == 0) return 0;
  return base::testing::inChild(
      [&] { return reportsInGenerations(reporter, generations - 1, open); });
}

// Forked generations where kcmp is refused, as a container's filter refuses
// it, and children that share their parent's descriptors (CLONE_FILES), its
// thread list's folder kept or not, where the kernel would say what they
// share, where it cannot (kcmp refused, or the parent's first thread ended),
// where asking it ends the process or traps (as filters that list the calls
// they allow do), and in
// a pid namespace that kept the host's /proc (where the parent's number
// names another process): each live report leaves the descriptors as they
// were.
TEST(ROReradUzerirudLive, ChildrensReportsLeaveNoDescriptorBehind) {
  if (KX_TSAN) GTEST_SKIP() << "ThreadSanitizer fails in a clone child";
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.live", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  for (const int refusal : {EPERM, ENOSYS}) {
    SCOPED_TRACE(strerror(refusal));
    const int code = inChild([&] {
      if (!base::testing::filterCalls({{SYS_kcmp, base::testing::callFails(refusal)}}, true) ||
          !reporter->generateLiveReport()) {
        return 2;
      }
      return reportsInGenerations(*reporter, 5, openDescriptors());
    });
    EXPECT_EQ(code, 0);
  }
  const std::map<std::string, uint32_t> kcmpFilters = {
      {"kcmp refused", base::testing::callFails(EPERM)},
      {"kcmp ends the process", base::testing::callEndsTheProcess},
      {"kcmp traps", base::testing::callTraps}};
  for (const std::string way : {"told", "kcmp refused", "kcmp ends the process", "kcmp traps",
                                "first thread ended", "pid namespace, the host's /proc"}) {
    for (const bool kept : {true, false}) {
      SCOPED_TRACE(way + (kept ? ", the folder kept" : ", no folder kept"));
      auto children = [&] {
        if (!reporter->generateLiveReport()) return 2;
        if (!kept) sys::thread_parking_release_folder();
        const size_t open = openDescriptors();
        for (int child = 0; child < 10; ++child) {
          int status = 0;
          const pid_t pid =
              startSharingDescriptors([&] { return reporter->generateLiveReport() ? 0 : 1; });
          if (pid < 0 ||
              !base::testing::waitForChild(pid, &status, base::testing::childDeadline()) ||
              status != 0) {
            return 2;
          }
        }
        if (openDescriptors() == open) return 0;
        fprintf(stderr, "%zu descriptors open, against %zu\n", openDescriptors(), open);
        return 1;
      };
      if (way.starts_with("pid namespace")) {
        const auto code = base::testing::inPidNamespace(children);
        if (code) {
          EXPECT_EQ(*code, 0);
        }
        continue;
      }
      const int code = inChild([&] {
        if (const auto filter = kcmpFilters.find(way);
            filter != kcmpFilters.end() &&
            !base::testing::filterCalls({{SYS_kcmp, filter->second}}, true)) {
          return 2;
        }
        if (way != "first thread ended") return children();
        const pid_t first = getpid();
        std::thread([&] {
          base::testing::within([&] { return !threadRuns(first); });
          _exit(children());
        }).detach();
        syscall(SYS_exit, 0);  // this thread alone, as pthread_exit ends it
        return 2;
      });
      EXPECT_EQ(code, 0);
    }
  }
}

// A live report in a child that shares its parent's descriptors (CLONE_FILES)
// where /proc cannot say so, as the parent (the owner of the thread list's
// folder) is named by a first thread that has ended, or is gone, its id
// perhaps another process's now: the folder the owner keeps stays open, on
// what it was opened on.
TEST(ROReradUzerirudLive, ChildKeepsTheFolderOfAnOwnerItCannotTellItsTableFrom) {
  if (KX_TSAN) GTEST_SKIP() << "ThreadSanitizer fails in a clone child";
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.live", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  // In the owner, after its own report: whether the report of a child that
  // shares its descriptors left the folder as it was.
  auto childKeepsTheFolder = [&] {
    const int kept = keptTaskFolder();
    const auto folder = openOn(kept);
    int status = 0;
    const pid_t child = startSharingDescriptors(
        [&] { return reporter->generateLiveReport() && openOn(kept) == folder ? 0 : 1; });
    return kept >= 0 && child > 0 &&
           base::testing::waitForChild(child, &status, base::testing::childDeadline()) &&
           status == 0 && openOn(kept) == folder;
  };
  {
    SCOPED_TRACE("the owner's first thread has ended");
    const int code = inChild([&] {
      if (!reporter->generateLiveReport()) return 2;
      const pid_t first = getpid();
      std::thread([&] {
        base::testing::within([&] { return !threadRuns(first); });
        _exit(childKeepsTheFolder() ? 0 : 1);
      }).detach();
      syscall(SYS_exit, 0);  // this thread alone, as pthread_exit ends it
      return 2;
    });
    EXPECT_EQ(code, 0);
  }
  // Gone, or gone with its id given to another process since.
  for (const bool idGivenAgain : {false, true}) {
    SCOPED_TRACE(idGivenAgain ? "the owner's id is another process's" : "the owner is gone");
    const int code = base::testing::inNewPidNamespace([&] {
      int go[2], verdict[2];
      if (pipe(go) != 0 || pipe(verdict) != 0) return 2;
      const pid_t owner = fork();
      if (owner == 0) {
        if (!reporter->generateLiveReport()) _exit(2);
        const int kept = keptTaskFolder();
        const auto folder = openOn(kept);
        const pid_t child = startSharingDescriptors([&] {
          char byte = 1;
          if (read(go[0], &byte, 1) != 1) return 1;
          byte = reporter->generateLiveReport() && openOn(kept) == folder ? 0 : 1;
          return write(verdict[1], &byte, 1) == 1 ? 0 : 1;
        });
        _exit(kept >= 0 && child > 0 ? 0 : 2);
      }
      int status = 0;
      const auto deadline = base::testing::childDeadline();
      char byte = 2;
      if (!base::testing::waitForChild(owner, &status, deadline) || status != 0) return 2;
      if (idGivenAgain) usleep(20'000);  // a later start, by the kernel's clock ticks
      const pid_t other = idGivenAgain ? base::testing::forkWithId(owner) : -2;
      if (other == 0) _exit(pause());
      if (other == -1 || write(go[1], &byte, 1) != 1 ||
          !base::testing::readableBefore(verdict[0], deadline) || read(verdict[0], &byte, 1) != 1) {
        return 2;
      }
      if (other > 0) kill(other, SIGKILL);
      return static_cast<int>(byte);
    });
    if (code < 0) GTEST_SKIP() << "the kernel refuses a pid namespace here";
    EXPECT_EQ(code, 0);
  }
}

TEST(ROReradUzerirudLive, ProtocReadsTheReportIndependently) {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "com.example.protoc", "3", std::nullopt, ROReradUzerirudConfig::defaultConfiguration());
  ASSERT_TRUE(ROReradUzerirud::setAnnotation("session", "caf\xC3\xA9"));
  auto data = reporter->generateLiveReport();
  ROReradUzerirud::removeAnnotation("session");
  ASSERT_TRUE(data);
  TemporaryFolder folder("rocrash_reporter");
  std::string body = folder.path().string() + "/body.bin";
  std::ofstream(body, std::ios::binary)
      .write(reinterpret_cast<const char*>(data->data() + 8),
             static_cast<std::streamsize>(data->size() - 8));
  std::string command = std::string("protoc --decode=rocrash.CrashReport -I ") +
                        ROCRASH_SCHEMA_DIR + " " + ROCRASH_SCHEMA_DIR + "/crash_report.proto < " +
                        body + " 2>&1";
  FILE* out = popen(command.c_str(), "r");
  ASSERT_NE(out, nullptr);
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, out)) > 0) text.append(buffer, n);
  EXPECT_EQ(pclose(out), 0) << text;
  EXPECT_NE(text.find("identifier: \"com.example.protoc\""), std::string::npos);
  EXPECT_NE(text.find("name: \"SIGTRAP\""), std::string::npos);
  EXPECT_NE(text.find("name: \"rip\""), std::string::npos);
  EXPECT_NE(text.find("annotations {\n  entries {\n    name: \"session\"\n    value: "
                      "\"caf\\303\\251\"\n  }\n}"),
            std::string::npos)
      << text.substr(text.find("annotations"));
}

}  // namespace
