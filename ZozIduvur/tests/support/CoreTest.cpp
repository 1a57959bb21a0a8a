#include "ZozIduvurTest/CoreTest.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZETicketCache.h"
#include "ZozIduvur/DUZEUserIdContext.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "foundation/Paths.h"
#include "foundation/UserDefaults.h"

namespace duzetest {

void CoreTest::resetSharedState() {
  DUZESessionContext::resetSharedInstance();
  DUZEUserIdContext::resetSharedInstance();
  DUZEDeviceTracker::resetSharedInstance();
  DUZETicketCache::resetSharedInstance();
  DUZEZozIduvurUserDefaults::resetSharedInstance();
  foundation::NSUserDefaults::resetStandardUserDefaults();
}

void CoreTest::SetUp() {
  dataFolder_.emplace("zoziduvur-test");
  dataDir_ = dataFolder_->path();
  setenv(std::string(foundation::kDataDirectoryEnvironmentVariable).c_str(), dataDir_.c_str(), 1);
  resetSharedState();
  DUZELogger::setCurrentLogLevel(DUZELogLevelVerbose);
  DUZELogger::setLogHandler([this](const DUZELogMessageProvider& message, DUZELogLevel level,
                                   const std::string& tag, const char*, const char* function,
                                   uint32_t line) {
    std::string text = DUZELogger::formatLine(tag, level, function, line, message());
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(text));
  });
}

void CoreTest::TearDown() {
  DUZELogger::flush();
  DUZELogger::resetLogHandler();
  DUZELogger::setCurrentLogLevel(DUZELogLevelAssert);
  resetSharedState();
  unsetenv(std::string(foundation::kDataDirectoryEnvironmentVariable).c_str());
  dataFolder_.reset();
}

std::vector<std::string> CoreTest::lines() {
  DUZELogger::flush();
  std::lock_guard lock(mutex_);
  return lines_;
}

size_t CoreTest::countLines(const std::string& text) {
  size_t n = 0;
  for (const auto& line : lines())
    if (line.find(text) != std::string::npos) ++n;
  return n;
}

void CoreTest::clearLines() {
  DUZELogger::flush();
  std::lock_guard lock(mutex_);
  lines_.clear();
}

size_t CoreTest::storedRowsIn(const std::filesystem::path& folder, const std::string& groupId) {
  sqlite3* db = nullptr;
  const std::string path = (folder / "Logs.sqlite").string();
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return 0;
  }
  // The program under test may be writing at the same moment.
  sqlite3_busy_timeout(db, 1000);
  sqlite3_stmt* stmt = nullptr;
  size_t count = 0;
  if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM logs WHERE groupId = ?", -1, &stmt, nullptr) ==
      SQLITE_OK) {
    sqlite3_bind_text(stmt, 1, groupId.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(stmt) == SQLITE_ROW) {
      count = static_cast<size_t>(sqlite3_column_int64(stmt, 0));
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return count;
}

SmallDisk::SmallDisk(std::filesystem::path folder) : folder_(std::move(folder)) {
  std::filesystem::create_directories(folder_);
  mounted_ = geteuid() == 0 &&
             mount("kestrix-test", folder_.c_str(), "tmpfs", 0, "size=1m,mode=0700") == 0;
}

SmallDisk::~SmallDisk() {
  if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
}

void SmallDisk::fill() {
  const int fd = open((folder_ / ".filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  ASSERT_GE(fd, 0);
  // Large writes first, then single bytes for what is left of the last page.
  const std::vector<char> chunk(64 * 1024, 'x');
  for (size_t size : {chunk.size(), size_t{1}}) {
    while (write(fd, chunk.data(), size) > 0) {
    }
  }
  EXPECT_EQ(errno, ENOSPC);
  close(fd);
}

void SmallDisk::makeRoom() { std::filesystem::remove(folder_ / ".filler"); }

bool failOnThisThread(std::initializer_list<long> calls, int error) {
  std::vector<sock_filter> rules{BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
  for (long call : calls) {
    // A match jumps to the failure at the end; no match goes on to the next.
    const auto left = static_cast<unsigned char>(calls.size() - (rules.size() - 1));
    rules.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(call), left, 0));
  }
  rules.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  rules.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<uint32_t>(error)));
  const sock_fprog program{static_cast<unsigned short>(rules.size()), rules.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace duzetest
