// The first process stores user defaults, an archive and an encrypted value
// in a data folder; a second process, started afresh, reads them back. Two
// processes that store into one data folder at once send each log once.

#include <sys/wait.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

#include "ChannelSupport.h"
#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZEEncrypter.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZEStartServiceLog.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurTest/CoreTest.h"
#include "dispatchTest/Processes.h"
#include "dispatchTest/Waiting.h"
#include "foundation/Paths.h"

namespace {

using dispatch::testing::roleIs;

constexpr const char* kRole = "ZOZIDUVUR_TEST_ROLE";
// The shared data folder, the ingestion and the name of a sending child.
constexpr const char* kSharedFolder = "ZOZIDUVUR_TEST_SHARED_FOLDER";
constexpr const char* kSharedUrl = "ZOZIDUVUR_TEST_SHARED_URL";
constexpr const char* kSenderName = "ZOZIDUVUR_TEST_SENDER";

}  // namespace

TEST(TwoProcessChild, Writer) {
  if (!roleIs(kRole, "writer")) GTEST_SKIP() << "runs as a child of TwoProcess.*";
  DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value("persisted"), "Probe");
  DUZESessionContext::sharedInstance()->setSessionId("SESSION-1");
  auto log = DUZEStartServiceLog::create();
  log->setServices(std::vector<std::string>{"Crashes"});
  log->setTimestamp(dispatch::Date(42));
  auto archive = DUZEUtility::archiveKeyedData(foundation::Value(log));
  ASSERT_TRUE(archive);
  ASSERT_TRUE(DUZEUtility::createFileAtPathComponent("probe/log.archive", *archive, true, true));
  auto encrypted = DUZEEncrypter::create()->encryptString("secret-token");
  ASSERT_TRUE(encrypted);
  ASSERT_TRUE(DUZEUtility::createFileAtPathComponent(
      "probe/token.txt", foundation::dataFromString(*encrypted), true, true));
}

TEST(TwoProcessChild, Reader) {
  if (!roleIs(kRole, "reader")) GTEST_SKIP() << "runs as a child of TwoProcess.*";
  EXPECT_EQ(DUZEZozIduvurUserDefaults::shared()->objectForKey("Probe"),
            foundation::Value("persisted"));
  EXPECT_FALSE(DUZESessionContext::sharedInstance()->sessionId());
  EXPECT_EQ(DUZESessionContext::sharedInstance()->sessionIdAt(dispatch::Date::now()), "SESSION-1");
  auto archive = DUZEUtility::loadDataForPathComponent("probe/log.archive");
  ASSERT_TRUE(archive);
  auto log = DUZEUtility::unarchiveObject<DUZEStartServiceLog>(*archive);
  ASSERT_TRUE(log);
  EXPECT_EQ(log->services(), std::vector<std::string>{"Crashes"});
  EXPECT_EQ(log->timestamp(), dispatch::Date(42));
  auto token = DUZEUtility::loadDataForPathComponent("probe/token.txt");
  ASSERT_TRUE(token);
  EXPECT_EQ(DUZEEncrypter::create()->decryptString(foundation::stringFromData(*token)),
            "secret-token");
}

namespace {
class TwoProcess : public duzetest::CoreTest {};
}  // namespace

TEST_F(TwoProcess, ALaterProcessReadsWhatAnEarlierOneStored) {
  const std::string dir =
      std::string(foundation::kDataDirectoryEnvironmentVariable) + "=" + dataDir().string();
  ASSERT_EQ(
      dispatch::testing::runChild("TwoProcessChild.Writer", {dir, std::string(kRole) + "=writer"}),
      0);
  EXPECT_TRUE(std::filesystem::exists(dataDir() / "UserDefaults.json"));
  EXPECT_TRUE(std::filesystem::exists(dataDir() / "encryption.key"));
  EXPECT_EQ(
      dispatch::testing::runChild("TwoProcessChild.Reader", {dir, std::string(kRole) + "=reader"}),
      0);
  // A reader that finds nothing must fail, or the check above proves nothing.
  std::filesystem::remove(dataDir() / "encryption.key");
  EXPECT_NE(
      dispatch::testing::runChild("TwoProcessChild.Reader", {dir, std::string(kRole) + "=reader"}),
      0);
}

namespace {
class OneSenderChild : public duzetest::ChannelTest {};
class OneSender : public duzetest::ChannelTest {};
}  // namespace

// Stores five logs of its own in the shared folder, says so with a file, and
// runs until no log of the folder is left to send. Its install id is its name.
TEST_F(OneSenderChild, StoresThenRunsUntilEveryLogIsSent) {
  if (!roleIs(kRole, "sender")) GTEST_SKIP() << "runs as a child of OneSender.*";
  const std::filesystem::path folder = std::getenv(kSharedFolder);
  const std::string name = std::getenv(kSenderName);
  const std::string url = std::getenv(kSharedUrl);
  setenv(std::string(foundation::kDataDirectoryEnvironmentVariable).c_str(), folder.c_str(), 1);
  group_ = DUZEChannelGroupDefault::create(
      DUZEServiceIngestion::create(client_, url, "secret-123", name),
      DUZECollectorIngestion::create(client_, url), DUZELogDBStorage::createInDataFolder());
  auto unit =
      group_->addChannelUnitWithConfiguration(DUZEChannelUnitConfiguration("G", 1, 1, 50, 3));
  for (int i = 0; i < 5; ++i)
    unit->enqueueItem(duzetest::TestLog::named(name + "-" + std::to_string(i)), 1);
  group_->waitUntilIdle();
  std::ofstream(folder / ("stored-" + name)).put('x');
  EXPECT_TRUE(dispatch::testing::eventually([&] { return storedRowsIn(folder, "G") == 0; },
                                            std::chrono::seconds(30)));
}

TEST_F(OneSender, TwoProcessesSendEachLogOnceAndOneTakesOverFromAKilledSender) {
  namespace fs = std::filesystem;
  {
    DUZELogDBStorage backlog(dataDir() / "Logs.sqlite");
    std::vector<DUZELogDBStorage::Entry> entries;
    for (int i = 0; i < 300; ++i) {
      auto log = duzetest::TestLog::named("backlog-" + std::to_string(i));
      log->setTimestamp(dispatch::Date::now());
      log->setDevice(DUZEDeviceTracker::describeHost());
      entries.push_back({log, 1});
    }
    ASSERT_EQ(backlog.saveLogs(entries, "G"), 300u);
  }
  // Nothing is answered while the first sender lives.
  server_->hold(true);
  std::map<std::string, pid_t> children;
  for (const char* name : {"A", "B"}) {
    children[name] = dispatch::testing::spawn(
        "/proc/self/exe",
        {"/proc/self/exe", "--gtest_filter=OneSenderChild.StoresThenRunsUntilEveryLogIsSent"},
        dispatch::testing::environmentWith(
            {std::string(kRole) + "=sender", std::string(kSharedFolder) + "=" + dataDir().string(),
             std::string(kSharedUrl) + "=" + server_->baseUrl(),
             std::string(kSenderName) + "=" + name, "ASAN_OPTIONS=detect_leaks=0"}));
    ASSERT_GT(children[name], 0);
  }
  ASSERT_TRUE(dispatch::testing::eventually([&] {
    return fs::exists(dataDir() / "stored-A") && fs::exists(dataDir() / "stored-B") &&
           server_->requests().size() >= 3;
  }));
  // Many flush intervals of the other process: it sends nothing meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto held = server_->requests();
  ASSERT_FALSE(held.empty());
  const std::string first = held[0].header("install-id");
  for (const auto& request : held) EXPECT_EQ(request.header("install-id"), first);
  EXPECT_EQ(held.size(), 3u);  // its batches in flight

  // The sender dies with its batches unanswered; the other one takes over.
  ::kill(children[first], SIGKILL);
  int status = 0;
  ::waitpid(children[first], &status, 0);
  server_->hold(false);
  const pid_t other = children[first == "A" ? "B" : "A"];
  ASSERT_EQ(::waitpid(other, &status, 0), other);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(storedRows("G"), 0u);

  // Every log arrived; twice only those of the batches the killed sender had
  // in flight, once from each process.
  std::map<std::string, std::vector<std::string>> senders;
  for (const auto& request : server_->requests()) {
    for (const auto& name : duzetest::logNames(request)) {
      senders[name].push_back(request.header("install-id"));
    }
  }
  EXPECT_EQ(senders.size(), 310u);
  size_t twice = 0;
  for (const auto& [name, ids] : senders) {
    if (ids.size() == 1) continue;
    ++twice;
    EXPECT_EQ(ids.size(), 2u) << name;
    EXPECT_EQ(std::count(ids.begin(), ids.end(), first), 1) << name;
  }
  EXPECT_EQ(twice, 150u);
}
