#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <latch>
#include <set>
#include <thread>

#include "ChannelSupport.h"
#include "ZozIduvur/TestSeams.h"
#include "dispatchTest/Waiting.h"

using duzetest::TestLog;

namespace {

using dispatch::testing::eventually;
class ChannelStress : public duzetest::ChannelTest {
 protected:
  // The names of the database's files beside it.
  std::set<std::string> databaseFiles() {
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dataDir())) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("Logs.sqlite.", 0) == 0) files.insert(name);
    }
    return files;
  }
};

// Whether an open file waits for a lock on `file`: the kernel lists waiters
// with "->" in /proc/locks, by device and inode.
bool someoneWaitsToLock(const std::filesystem::path& file) {
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) return false;
  char id[64];
  std::snprintf(id, sizeof id, " %02x:%02x:%llu ", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    if (line.find(" -> ") != std::string::npos && line.find(id) != std::string::npos) return true;
  }
  return false;
}
}  // namespace

TEST_F(ChannelStress, ConcurrentEnqueuersLoseAndDuplicateNothing) {
  group_ = makeGroup(server_->baseUrl());
  auto a = group_->addChannelUnitWithConfiguration(DUZEChannelUnitConfiguration("A", 1, 1, 10, 3));
  auto b = group_->addChannelUnitWithConfiguration(DUZEChannelUnitConfiguration("B", 2, 1, 7, 2));
  constexpr int kThreads = 4;
  constexpr int kPerThread = 60;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        auto log = TestLog::named(std::to_string(t) + "-" + std::to_string(i));
        (i % 2 ? a : b)->enqueueItem(log, 1);
        if (i == kPerThread / 2) {
          // Pauses and resumes race with the sending.
          auto holder = std::make_shared<int>(t);
          a->pauseWithIdentifyingObject(holder);
          a->resumeWithIdentifyingObject(holder);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(eventually([&] { return recorder_->count("success") == kThreads * kPerThread; },
                         std::chrono::seconds(60)));
  std::multiset<std::string> sent;
  for (const auto& request : server_->requests()) {
    for (const auto& name : duzetest::logNames(request)) sent.insert(name);
  }
  EXPECT_EQ(sent.size(), static_cast<size_t>(kThreads * kPerThread));
  EXPECT_EQ(std::set<std::string>(sent.begin(), sent.end()).size(), sent.size());
  EXPECT_TRUE(recorder_->allOnLogsQueue());
}

TEST_F(ChannelStress, StoresOpenedTogetherReplaceAndCarryOnceAndOneOfThemSends) {
  namespace fs = std::filesystem;
  {
    DUZELogDBStorage old(dataDir() / "old.sqlite");
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(old.saveLog(TestLog::named("old"), "G", 1));
  }
  fs::rename(dataDir() / "old.sqlite", dataDir() / "Logs.sqlite.unusable");
  std::ofstream(dataDir() / "Logs.sqlite") << "not a database: to be set aside exactly once";

  constexpr int kStores = 8;
  std::vector<std::unique_ptr<DUZELogDBStorage>> stores(kStores);
  std::vector<char> claimed(kStores);
  std::latch ready(kStores);
  std::vector<std::thread> threads;
  for (int t = 0; t < kStores; ++t) {
    threads.emplace_back([&, t] {
      ready.arrive_and_wait();
      stores[t] = std::make_unique<DUZELogDBStorage>(dataDir() / "Logs.sqlite");
      claimed[t] = stores[t]->claimSending();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::count(claimed.begin(), claimed.end(), 1), 1);
  EXPECT_EQ(storedRows("G"), 100u);
  EXPECT_EQ(databaseFiles(), (std::set<std::string>{"Logs.sqlite.carried", "Logs.sqlite.lock",
                                                    "Logs.sqlite.unusable.2"}));

  // Once the sender is closed, another store sends.
  stores[std::find(claimed.begin(), claimed.end(), 1) - claimed.begin()]->close();
  EXPECT_EQ(std::count_if(stores.begin(), stores.end(),
                          [](const auto& store) { return store->claimSending(); }),
            1);
}

// A store opened while another one moves an unusable file away waits for it:
// a database it made meanwhile would have its write-ahead log and shared
// memory carried off with the old file, and its rows with them.
TEST_F(ChannelStress, AStoreOpenedWhileAnotherSetsTheFileAsideWaitsUntilItIsDone) {
  namespace fs = std::filesystem;
  std::ofstream(dataDir() / "Logs.sqlite") << "not a database: set aside while a store opens";
  std::unique_ptr<DUZELogDBStorage> late;
  std::atomic<bool> lateOpened{false};
  std::thread opening;
  struct ResetHook {
    ~ResetHook() { DUZELogDBStorageSeams::setMovedAwayHookForTesting({}); }
  } resetHook;
  DUZELogDBStorageSeams::setMovedAwayHookForTesting([&](const fs::path& from) {
    if (from.filename() != "Logs.sqlite" || opening.joinable()) return;
    opening = std::thread([&] {
      late = std::make_unique<DUZELogDBStorage>(dataDir() / "Logs.sqlite");
      lateOpened = true;
    });
    // Until the late store is open, or waits for this one.
    EXPECT_TRUE(eventually(
        [&] { return lateOpened || someoneWaitsToLock(dataDir() / "Logs.sqlite.lock"); }));
  });
  DUZELogDBStorage first(dataDir() / "Logs.sqlite");
  ASSERT_TRUE(opening.joinable());
  opening.join();
  EXPECT_TRUE(first.saveLog(TestLog::named("first"), "G", 1));
  EXPECT_TRUE(late->saveLog(TestLog::named("late"), "G", 1));
  EXPECT_EQ(storedRows("G"), 2u);
  EXPECT_EQ(databaseFiles(), (std::set<std::string>{"Logs.sqlite.lock", "Logs.sqlite.unusable"}));
}
