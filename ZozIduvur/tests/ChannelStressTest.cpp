#include <atomic>
#include <fstream>
#include <set>
#include <thread>

#include "ChannelSupport.h"
#include "dispatchTest/Waiting.h"

using duzetest::TestLog;

namespace {

using dispatch::testing::eventually;
class ChannelStress : public duzetest::ChannelTest {};
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
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kStores; ++t) {
    threads.emplace_back([&, t] {
      ++ready;
      while (ready.load() < kStores) {
      }
      stores[t] = std::make_unique<DUZELogDBStorage>(dataDir() / "Logs.sqlite");
      claimed[t] = stores[t]->claimSending();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::count(claimed.begin(), claimed.end(), 1), 1);
  EXPECT_EQ(storedRows("G"), 100u);
  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(dataDir())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("Logs.sqlite.", 0) == 0) files.insert(name);
  }
  EXPECT_EQ(files, (std::set<std::string>{"Logs.sqlite.carried", "Logs.sqlite.lock",
                                          "Logs.sqlite.unusable.2"}));

  // Once the sender is closed, another store sends.
  stores[std::find(claimed.begin(), claimed.end(), 1) - claimed.begin()]->close();
  EXPECT_EQ(std::count_if(stores.begin(), stores.end(),
                          [](const auto& store) { return store->claimSending(); }),
            1);
}
