// The first process stores user defaults, an archive and an encrypted value
// in a data folder; a second process, started afresh, reads them back. Two
// processes that store into one data folder at once send each log once; a
// lock file that cannot be used, a forked child and a carrier killed midway
// neither stop sending nor make a log come twice.

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>

#include "ChannelSupport.h"
#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZEEncrypter.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZEStartServiceLog.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvur/TestSeams.h"
#include "ZozIduvurTest/CoreTest.h"
#include "dispatchTest/Processes.h"
#include "dispatchTest/TemporaryFolder.h"
#include "dispatchTest/Waiting.h"
#include "foundation/Paths.h"
#include "foundationTest/Modes.h"

namespace {

using dispatch::testing::roleIs;

constexpr const char* kRole = "ZOZIDUVUR_TEST_ROLE";
// The shared data folder, the ingestion and the name of a sending child.
constexpr const char* kSharedFolder = "ZOZIDUVUR_TEST_SHARED_FOLDER";
constexpr const char* kSharedUrl = "ZOZIDUVUR_TEST_SHARED_URL";
constexpr const char* kSenderName = "ZOZIDUVUR_TEST_SENDER";
// What a child should find of the lock file: "unopenable" or "repaired".
constexpr const char* kLockExpectation = "ZOZIDUVUR_TEST_LOCK";
// The user and group a child started by root runs as.
constexpr uid_t kNobody = 65534;

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
  EXPECT_NE(dispatch::testing::runChildQuietly("TwoProcessChild.Reader",
                                               {dir, std::string(kRole) + "=reader"}),
            0);
}

namespace {
class OneSenderChild : public duzetest::ChannelTest {};
class OneSender : public duzetest::ChannelTest {};
}  // namespace

// Stores five logs of its own in the shared folder, says so with a file, and
// runs until no log of the folder is left to send, saying with another file
// once it has been refused the sending lock. Its install id is its name.
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
  bool refused = false;
  EXPECT_TRUE(dispatch::testing::eventually(
      [&] {
        if (!refused && hasLine("while another program holds the sending lock")) {
          refused = true;
          std::ofstream(folder / ("refused-" + name)).put('x');
        }
        return storedRowsIn(folder, "G") == 0;
      },
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
  // The other process has asked for the sending lock and been refused: it
  // sends nothing.
  ASSERT_TRUE(dispatch::testing::eventually(
      [&] { return fs::exists(dataDir() / "refused-A") || fs::exists(dataDir() / "refused-B"); }));
  const auto held = server_->requests();
  ASSERT_FALSE(held.empty());
  const std::string first = held[0].header("install-id");
  for (const auto& request : held) EXPECT_EQ(request.header("install-id"), first);
  EXPECT_FALSE(fs::exists(dataDir() / ("refused-" + first)));
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

// Runs as the user nobody when started by root (else as its own user), and
// stores three logs in the shared folder, one at a time, each sent before the
// next: the lock file there is one it cannot open for writing.
TEST_F(OneSenderChild, SendsWhateverItsLockFileIs) {
  if (!roleIs(kRole, "lock-file")) GTEST_SKIP() << "runs as a child of OneSender.*";
  const std::filesystem::path folder = std::getenv(kSharedFolder);
  if (::geteuid() == 0) {
    // Its own test folder goes along, so that it can remove it at the end.
    ASSERT_EQ(::chown(dataDir().c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::setgid(kNobody), 0);
    ASSERT_EQ(::setuid(kNobody), 0);
    ::prctl(PR_SET_DUMPABLE, 1);
  }
  setenv(std::string(foundation::kDataDirectoryEnvironmentVariable).c_str(), folder.c_str(), 1);
  group_ = makeGroup(std::getenv(kSharedUrl));
  auto unit =
      group_->addChannelUnitWithConfiguration(DUZEChannelUnitConfiguration("G", 1, 1, 50, 3));
  for (size_t i = 1; i <= 3; ++i) {
    unit->enqueueItem(duzetest::TestLog::named("sent-" + std::to_string(i)), 1);
    ASSERT_TRUE(dispatch::testing::eventually([&] { return recorder_->count("success") == i; }));
  }
  const bool unopenable = std::string(std::getenv(kLockExpectation)) == "unopenable";
  EXPECT_EQ(countLines("cannot be opened"), unopenable ? 1u : 0u);
  if (!unopenable) {
    EXPECT_EQ(foundationtest::modeOf(folder / "Logs.sqlite.lock"), 0600u);
  }
}

TEST_F(OneSender, ALockFileTheUserCannotWriteStopsNoSending) {
  namespace fs = std::filesystem;
  // A lock file made under a umask that takes the owner's write permission
  // away is made owner-read-write all the same, or no later run could use it.
  {
    foundationtest::ScopedUmask umask(0277);
    DUZELogDBStorage store(dataDir() / "Logs.sqlite");
    EXPECT_TRUE(store.claimSending());
  }
  EXPECT_EQ(foundationtest::modeOf(dataDir() / "Logs.sqlite.lock"), 0600u);

  const bool root = ::geteuid() == 0;
  const uid_t user = root ? kNobody : ::geteuid();
  const gid_t group = root ? kNobody : ::getegid();
  // One left 0400 by its owner is made writable again; one of another user
  // (root's, after a run under sudo) cannot be, and logs go without it.
  for (const bool othersFile : {false, true}) {
    SCOPED_TRACE(othersFile ? "another user's lock file" : "a lock file left 0400");
    if (othersFile && !root) {
      std::cout << "[ SKIPPED  ] running as another user needs root\n";
      continue;
    }
    dispatch::testing::TemporaryFolder folder("zoziduvur-lock");
    const fs::path lock = folder.path() / "Logs.sqlite.lock";
    ::close(::open(lock.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    if (!othersFile) {
      ASSERT_EQ(::chown(lock.c_str(), user, group), 0);
      ASSERT_EQ(::chmod(lock.c_str(), 0400), 0);
    }
    ASSERT_EQ(::chown(folder.path().c_str(), user, group), 0);
    const size_t before = server_->requests().size();
    EXPECT_EQ(dispatch::testing::runChild(
                  "OneSenderChild.SendsWhateverItsLockFileIs",
                  {std::string(kRole) + "=lock-file",
                   std::string(kSharedFolder) + "=" + folder.path().string(),
                   std::string(kSharedUrl) + "=" + server_->baseUrl(),
                   std::string(kLockExpectation) + "=" + (othersFile ? "unopenable" : "repaired"),
                   "ASAN_OPTIONS=detect_leaks=0"}),
              0);
    EXPECT_EQ(server_->requests().size(), before + 3);
  }
}

TEST_F(OneSender, AForkedChildNeitherHoldsNorUsesTheSendingLock) {
  auto sender = std::make_unique<DUZELogDBStorage>(dataDir() / "Logs.sqlite");
  ASSERT_TRUE(sender->claimSending());
  int report[2];
  int release[2];
  ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A helper that never execs (a worker of a prefork server): the store
    // it copied must not send beside its parent's.
    ::close(release[1]);
    const char sends = sender->claimSending() ? 'y' : 'n';
    (void)!::write(report[1], &sends, 1);
    char byte;
    (void)!::read(release[0], &byte, 1);  // lives until its parent lets it go
    ::_exit(0);
  }
  ::close(report[1]);
  ::close(release[0]);
  char sends = 0;
  EXPECT_EQ(::read(report[0], &sends, 1), 1);
  EXPECT_EQ(sends, 'n');
  // The sender ends while its helper lives: another store (a second sender
  // as much as one in another process would be) takes over.
  sender->close();
  DUZELogDBStorage next(dataDir() / "Logs.sqlite");
  EXPECT_TRUE(next.claimSending());
  ::close(release[1]);
  ::close(report[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
}

// Carries the set-aside file of the shared folder once the other store has
// reached its carrying too, and is killed right after its commit, before it
// renames the file.
TEST(CarryingChild, IsKilledAfterItsCommit) {
  if (!roleIs(kRole, "carrier")) GTEST_SKIP() << "runs as a child of OneSender.*";
  const std::filesystem::path folder = std::getenv(kSharedFolder);
  DUZELogDBStorageSeams::setCarryingHookForTesting(
      [&](std::string_view step, const std::filesystem::path&) {
        if (step == "carried") ::raise(SIGKILL);
        std::ofstream(folder / "carrier-carrying").put('x');
        EXPECT_TRUE(dispatch::testing::eventually(
            [&] { return std::filesystem::exists(folder / "other-carrying"); }));
      });
  DUZELogDBStorage store(folder / "Logs.sqlite");
  ADD_FAILURE() << "the carrier lived on";
}

TEST_F(OneSender, ASetAsideFileIsCarriedOnceWithoutAUsableLock) {
  namespace fs = std::filesystem;
  // No store can open this lock file: each goes on without the lock.
  fs::create_directory(dataDir() / "Logs.sqlite.lock");
  DUZELogDBStorage(dataDir() / "Logs.sqlite").close();
  {
    DUZELogDBStorage old(dataDir() / "old.sqlite");
    std::vector<DUZELogDBStorage::Entry> entries;
    for (int i = 0; i < 100; ++i) entries.push_back({duzetest::TestLog::named("old"), 1});
    ASSERT_EQ(old.saveLogs(entries, "G"), 100u);
  }
  fs::rename(dataDir() / "old.sqlite", dataDir() / "Logs.sqlite.unusable");
  const pid_t carrier = dispatch::testing::spawn(
      "/proc/self/exe", {"/proc/self/exe", "--gtest_filter=CarryingChild.IsKilledAfterItsCommit"},
      dispatch::testing::environmentWith({std::string(kRole) + "=carrier",
                                          std::string(kSharedFolder) + "=" + dataDir().string()}));
  ASSERT_GT(carrier, 0);
  ASSERT_TRUE(
      dispatch::testing::eventually([&] { return fs::exists(dataDir() / "carrier-carrying"); }));
  struct ResetHook {
    ~ResetHook() { DUZELogDBStorageSeams::setCarryingHookForTesting({}); }
  } resetHook;
  // This store looks at the file while the carrier has not committed yet,
  // and carries once the carrier died between its commit and its rename.
  int status = 0;
  DUZELogDBStorageSeams::setCarryingHookForTesting([&](std::string_view step, const fs::path&) {
    if (step != "carrying" || status != 0) return;
    std::ofstream(dataDir() / "other-carrying").put('x');
    ASSERT_EQ(::waitpid(carrier, &status, 0), carrier);
  });
  DUZELogDBStorage other(dataDir() / "Logs.sqlite");
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_EQ(storedRows("G"), 100u);
  EXPECT_TRUE(fs::exists(dataDir() / "Logs.sqlite.carried"));
  EXPECT_FALSE(fs::exists(dataDir() / "Logs.sqlite.unusable"));
  sqlite3* db = nullptr;
  sqlite3_open_v2((dataDir() / "Logs.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* count = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM carried_files", -1, &count, nullptr);
  EXPECT_EQ(sqlite3_step(count), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(count, 0), 1);
  sqlite3_finalize(count);
  sqlite3_close(db);
}
