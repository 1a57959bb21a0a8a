#include <sqlite3.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "ChannelSupport.h"
#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZELogDBStorage.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvur/TestSeams.h"
#include "dispatchTest/Waiting.h"
#include "foundation/Paths.h"
#include "foundationTest/Modes.h"

using dispatch::testing::eventually;
using duzetest::TestLog;

namespace {

class Storage : public duzetest::ChannelTest {
 protected:
  std::shared_ptr<TestLog> log(const std::string& name) {
    auto l = TestLog::named(name);
    l->setTimestamp(dispatch::Date(1));
    l->setDevice(DUZEDeviceTracker::describeHost());
    return l;
  }
  std::vector<std::string> names(const std::optional<DUZELogBatch>& batch) {
    std::vector<std::string> out;
    if (batch) {
      for (const auto& l : batch->logs)
        out.push_back(std::dynamic_pointer_cast<TestLog>(l)->name());
    }
    return out;
  }
  // The store refuses every new row from now on, as a full disk does.
  void refuseNewRows() {
    execute("CREATE TRIGGER refuse BEFORE INSERT ON logs BEGIN SELECT RAISE(FAIL, 'full'); END");
  }
  // Runs `sql` on a connection of the test's own. It waits for the store's
  // write lock as the store waits for others': a unit that tries again and
  // again may hold it at any moment, the longer on a loaded machine.
  void execute(const std::string& sql, const std::string& file = "Logs.sqlite") {
    sqlite3* db = nullptr;
    sqlite3_open((dataDir() / file).c_str(), &db);
    sqlite3_busy_timeout(db, 60'000);
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    sqlite3_close(db);
  }
};

}  // namespace

TEST_F(Storage, SchemaVersionAndColumns) {
  auto storage = DUZELogDBStorage::createInDataFolder();
  ASSERT_TRUE(storage->isOpen());
  EXPECT_EQ(storage->file(), dataDir() / "Logs.sqlite");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dataDir() / "Logs.sqlite").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(stmt, 0), 2);
  sqlite3_finalize(stmt);
  EXPECT_EQ(sqlite3_exec(db, "SELECT id, groupId, log, targetToken, targetKey, priority FROM logs",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
}

TEST_F(Storage, BatchesComeByPriorityThenAgeAndStayOutUntilReleased) {
  auto storage = DUZELogDBStorage::createInDataFolder();
  ASSERT_EQ(storage->saveLogs({{log("n1"), 1}, {log("c1"), 0x202}, {log("n2"), 1}}, "G"), 3u);
  ASSERT_TRUE(storage->saveLog(log("other"), "H", 1));
  EXPECT_EQ(storage->countLogs("G"), 3u);

  auto first = storage->loadLogsWithGroupId("G", 2, {});
  EXPECT_EQ(names(first), (std::vector<std::string>{"c1", "n1"}));
  EXPECT_EQ(storage->countLogs("G"), 1u);
  auto second = storage->loadLogsWithGroupId("G", 2, {});
  EXPECT_EQ(names(second), std::vector<std::string>{"n2"});
  EXPECT_FALSE(storage->loadLogsWithGroupId("G", 2, {}));

  storage->releaseBatch(first->batchId);
  storage->deleteLogsWithBatchId(second->batchId);
  EXPECT_EQ(names(storage->loadLogsWithGroupId("G", 5, {})),
            (std::vector<std::string>{"c1", "n1"}));
  EXPECT_EQ(storage->deleteLogsWithGroupId("G"), 2u);
  EXPECT_EQ(storage->countLogs("H"), 1u);
}

TEST_F(Storage, AFileOfTheFirstSchemaMovesForwardWithItsLogsAndNeedsNoSortForABatch) {
  execute(
      "CREATE TABLE logs (id INTEGER PRIMARY KEY AUTOINCREMENT, groupId TEXT NOT NULL, log BLOB "
      "NOT NULL, targetToken TEXT, targetKey TEXT, priority INTEGER NOT NULL); CREATE INDEX "
      "logs_by_group ON logs (groupId, priority, id); PRAGMA user_version = 1");
  for (const auto& [name, priority] : {std::pair{"n1", 1}, {"c1", 2}, {"n2", 1}}) {
    const auto bytes = *DUZEUtility::archiveKeyedData(foundation::Value(log(name)));
    std::string hex;
    for (uint8_t byte : bytes) {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      hex += kDigits[byte >> 4];
      hex += kDigits[byte & 15];
    }
    execute("INSERT INTO logs (groupId, log, priority) VALUES ('G', X'" + hex + "', " +
            std::to_string(priority) + ")");
  }
  auto storage = DUZELogDBStorage::createInDataFolder();
  EXPECT_EQ(names(storage->loadLogsWithGroupId("G", 2, {})),
            (std::vector<std::string>{"c1", "n1"}));
  // The batch order is read from an index, not sorted row by row.
  sqlite3* db = nullptr;
  sqlite3_open((dataDir() / "Logs.sqlite").c_str(), &db);
  sqlite3_stmt* plan = nullptr;
  sqlite3_prepare_v2(db,
                     "EXPLAIN QUERY PLAN SELECT id, log FROM logs WHERE groupId = 'G' ORDER BY "
                     "priority DESC, id LIMIT 50",
                     -1, &plan, nullptr);
  std::string steps;
  while (sqlite3_step(plan) == SQLITE_ROW) {
    steps += reinterpret_cast<const char*>(sqlite3_column_text(plan, 3)) + std::string("\n");
  }
  sqlite3_finalize(plan);
  sqlite3_close(db);
  EXPECT_EQ(steps.find("TEMP B-TREE"), std::string::npos) << steps;
  EXPECT_NE(steps.find("USING INDEX"), std::string::npos) << steps;
}

TEST_F(Storage, TargetTokensAreStoredEncryptedAndComeBackOnLoad) {
  auto storage = DUZELogDBStorage::createInDataFolder();
  auto withToken = log("t");
  withToken->addTransmissionTargetToken("keyZ-very-secret");
  ASSERT_TRUE(storage->saveLog(withToken, "G", 1));

  sqlite3* db = nullptr;
  sqlite3_open((dataDir() / "Logs.sqlite").c_str(), &db);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "SELECT targetToken, targetKey FROM logs", -1, &stmt, nullptr);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  const std::string stored = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  EXPECT_EQ(stored.find("secret"), std::string::npos);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)), "keyZ");
  sqlite3_finalize(stmt);
  sqlite3_close(db);

  EXPECT_FALSE(storage->loadLogsWithGroupId("G", 5, {"keyZ"}));
  auto batch = storage->loadLogsWithGroupId("G", 5, {});
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->logs[0]->transmissionTargetTokens(), std::set<std::string>{"keyZ-very-secret"});
}

TEST_F(Storage, CorruptRowIsLoggedAndDeletedWithoutStoppingTheOthers) {
  auto storage = DUZELogDBStorage::createInDataFolder();
  storage->saveLog(log("before"), "G", 1);
  execute("INSERT INTO logs (groupId, log, priority) VALUES ('G', X'DEADBEEF00', 1)");
  storage->saveLog(log("after"), "G", 1);
  auto batch = storage->loadLogsWithGroupId("G", 10, {});
  EXPECT_EQ(names(batch), (std::vector<std::string>{"before", "after"}));
  EXPECT_TRUE(hasLine("Deserialization failed for log with id 2; it is deleted."));
  EXPECT_EQ(storedRows("G"), 2u);
}

TEST_F(Storage, AFileThatIsNotADatabaseIsReplaced) {
  std::ofstream(dataDir() / "Logs.sqlite")
      << "this is not a database, just text that is long enough";
  auto storage = DUZELogDBStorage::createInDataFolder();
  ASSERT_TRUE(storage->isOpen());
  EXPECT_TRUE(hasLine("cannot be used; it is replaced"));
  EXPECT_TRUE(storage->saveLog(log("fresh"), "G", 1));
  EXPECT_EQ(storedRows("G"), 1u);
}

TEST_F(Storage, ANewerSchemaIsSetAsideAndItsRowsCarriedOver) {
  {
    auto storage = DUZELogDBStorage::createInDataFolder();
    storage->saveLog(log("old"), "G", 1);
  }
  execute("PRAGMA user_version = 7");
  auto storage = DUZELogDBStorage::createInDataFolder();
  ASSERT_TRUE(storage->isOpen());
  EXPECT_FALSE(std::filesystem::exists(dataDir() / "Logs.sqlite.unusable"));
  EXPECT_TRUE(std::filesystem::exists(dataDir() / "Logs.sqlite.carried"));
  EXPECT_EQ(names(storage->loadLogsWithGroupId("G", 5, {})), std::vector<std::string>{"old"});
}

TEST_F(Storage, EverySetAsideFileIsCarriedOnceAlsoAfterARestart) {
  namespace fs = std::filesystem;
  // Files earlier runs or other versions set aside: one of this schema, one
  // of a newer one, and one that is no database.
  const auto setAside = [&](const std::string& name, const std::vector<std::string>& logs,
                            int version) {
    {
      DUZELogDBStorage old(dataDir() / "old.sqlite");
      for (const auto& l : logs) ASSERT_TRUE(old.saveLog(log(l), "G", 1));
    }
    execute("PRAGMA user_version = " + std::to_string(version), "old.sqlite");
    fs::rename(dataDir() / "old.sqlite", dataDir() / name);
  };
  setAside("Logs.sqlite.unusable", {"a1", "a2"}, 2);
  setAside("Logs.sqlite.unusable.2", {"b1"}, 7);
  std::ofstream(dataDir() / "Logs.sqlite.unusable.3") << "no database at all";
  const auto rowsIn = [&](const std::string& name) {
    sqlite3* db = nullptr;
    // Read-write, so that closing removes the write-ahead log it may leave.
    sqlite3_open_v2((dataDir() / name).c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM logs", -1, &count, nullptr);
    const int rows = sqlite3_step(count) == SQLITE_ROW ? sqlite3_column_int(count, 0) : -1;
    sqlite3_finalize(count);
    sqlite3_close(db);
    return rows;
  };

  DUZELogDBStorage::createInDataFolder();
  EXPECT_EQ(storedRows("G"), 3u);
  EXPECT_TRUE(
      hasLine("2 log(s) of Logs.sqlite.unusable were carried into the log database; the "
              "file is kept as Logs.sqlite.carried."));
  // The carried files keep their rows; one that is no database keeps its name.
  EXPECT_EQ(rowsIn("Logs.sqlite.carried"), 2);
  EXPECT_EQ(rowsIn("Logs.sqlite.carried.2"), 1);
  EXPECT_FALSE(fs::exists(dataDir() / "Logs.sqlite.unusable"));
  EXPECT_FALSE(fs::exists(dataDir() / "Logs.sqlite.unusable.2"));
  EXPECT_TRUE(fs::exists(dataDir() / "Logs.sqlite.unusable.3"));

  // A restart carries nothing twice, not even a carried file that is back
  // under its old name (a rename cut short).
  fs::rename(dataDir() / "Logs.sqlite.carried.2", dataDir() / "Logs.sqlite.unusable.2");
  auto storage = DUZELogDBStorage::createInDataFolder();
  EXPECT_EQ(names(storage->loadLogsWithGroupId("G", 10, {})),
            (std::vector<std::string>{"a1", "a2", "b1"}));
  EXPECT_FALSE(fs::exists(dataDir() / "Logs.sqlite.unusable.2"));
  EXPECT_EQ(rowsIn("Logs.sqlite.carried.2"), 1);
}

TEST_F(Storage, EveryUnusableFileIsKeptAsideUnderANameOfItsOwn) {
  auto readBack = [](const std::filesystem::path& path) {
    std::string text;
    std::ifstream in(path);
    std::getline(in, text);
    return text;
  };
  std::ofstream(dataDir() / "Logs.sqlite") << "not a database either, kept for a later look";
  DUZELogDBStorage::createInDataFolder();
  std::ofstream(dataDir() / "Logs.sqlite") << "a second file that is no database";
  DUZELogDBStorage::createInDataFolder();
  EXPECT_EQ(readBack(dataDir() / "Logs.sqlite.unusable"),
            "not a database either, kept for a later look");
  EXPECT_EQ(readBack(dataDir() / "Logs.sqlite.unusable.2"), "a second file that is no database");
}

TEST_F(Storage, AFullDiskAtStartKeepsTheStoreUntilThereIsRoomAgain) {
  duzetest::SmallDisk disk(dataDir() / "disk");
  DUZE_SKIP_UNLESS_MOUNTED(disk);
  const auto file = disk.folder() / "Logs.sqlite";
  {
    DUZELogDBStorage storage(file);
    for (int i = 0; i < 42; ++i) ASSERT_TRUE(storage.saveLog(log("unsent"), "G", 1));
  }
  disk.fill();
  DUZELogDBStorage storage(file);
  EXPECT_FALSE(std::filesystem::exists(disk.folder() / "Logs.sqlite.unusable"));
  disk.makeRoom();
  // Opened again at its next use, with every log it held.
  EXPECT_EQ(storage.countLogs("G"), 42u);
  EXPECT_TRUE(storage.saveLog(log("later"), "G", 1));
}

TEST_F(Storage, ACommitThatFailsOnAFullDiskIsSaidOnceAndTheStoreWritesOnOnceThereIsRoom) {
  duzetest::SmallDisk disk(dataDir() / "disk");
  DUZE_SKIP_UNLESS_MOUNTED(disk);
  DUZELogDBStorage storage(disk.folder() / "Logs.sqlite");
  ASSERT_TRUE(storage.saveLog(log("before"), "G", 1));
  disk.fill();
  clearLines();
  EXPECT_FALSE(storage.saveLog(log("lost"), "G", 1));
  EXPECT_TRUE(hasLine("COMMIT (database or disk is full)"));
  // SQLite rolled the transaction back itself: no second, misleading error.
  EXPECT_EQ(countLines("ERROR"), 1u);
  // Nor is every later try said.
  EXPECT_FALSE(storage.saveLog(log("lost"), "G", 1));
  EXPECT_EQ(countLines("ERROR"), 1u);
  disk.makeRoom();
  EXPECT_TRUE(storage.saveLog(log("after"), "G", 1));
  EXPECT_TRUE(hasLine("are stored in the log database " + storage.file().string() + " again"));
  // More than the disk holds: SQLite spills pages before the commit, and
  // ends the transaction itself when the disk is full.
  std::vector<DUZELogDBStorage::Entry> large;
  for (int i = 0; i < 400; ++i) {
    auto big = log("large");
    big->setProperties(DUZEProperties{{"padding", std::string(8 * 1024, 'a' + i % 26)}});
    large.push_back({big, 1});
  }
  clearLines();
  EXPECT_EQ(storage.saveLogs(large, "G"), 0u);
  EXPECT_EQ(countLines("ERROR"), 1u);
  EXPECT_FALSE(hasLine("no transaction is active"));
  EXPECT_EQ(storage.countLogs("G"), 2u);
}

TEST_F(Storage, ADataFolderNamedWithUriCharactersStoresAndSends) {
  const auto folder = dataDir() / "50%25 a%41 ?mode=memory #part";
  setenv(std::string(foundation::kDataDirectoryEnvironmentVariable).c_str(), folder.c_str(), 1);
  group_ = makeGroup(server_->baseUrl());
  auto unit =
      group_->addChannelUnitWithConfiguration(DUZEChannelUnitConfiguration("Odd", 1, 1000, 1, 3));
  unit->enqueueItem(TestLog::named("odd"), 1);
  ASSERT_TRUE(server_->waitForRequests(1));
  EXPECT_EQ(duzetest::logNames(server_->requests()[0]), std::vector<std::string>{"odd"});
  EXPECT_TRUE(std::filesystem::is_regular_file(folder / "Logs.sqlite"));
}

TEST_F(Storage, ALogThatCannotBeStoredIsKeptAndDoneOnlyOnceStored) {
  group_ = makeGroup(server_->baseUrl());
  auto unit =
      group_->addChannelUnitWithConfiguration(DUZEChannelUnitConfiguration("Unit", 1, 5, 1, 3));
  refuseNewRows();
  unit->enqueueItem(TestLog::named("kept"), 1);
  group_->waitUntilIdle();
  EXPECT_EQ(recorder_->count("complete kept"), 0u);
  EXPECT_TRUE(hasLine("[ZozIduvur] WARNING"));
  EXPECT_TRUE(hasLine("Couldn't store 1 log(s) of channel Unit; they are kept"));
  // Stored at the next flush interval, then done, then sent.
  execute("DROP TRIGGER refuse");
  ASSERT_TRUE(server_->waitForRequests(1));
  EXPECT_EQ(duzetest::logNames(server_->requests()[0]), std::vector<std::string>{"kept"});
  EXPECT_EQ(recorder_->count("complete kept"), 1u);
}

TEST_F(Storage, LogsThatCannotBeStoredWaitForPacedRetriesAndAreSentOnlyOnceStored) {
  duzetest::SmallDisk disk(dataDir() / "disk");
  DUZE_SKIP_UNLESS_MOUNTED(disk);
  setenv(std::string(foundation::kDataDirectoryEnvironmentVariable).c_str(), disk.folder().c_str(),
         1);
  group_ = makeGroup(server_->baseUrl());
  // A flush interval of 150 "seconds" (3 s): the first retry comes that long
  // after the failure.
  auto unit =
      group_->addChannelUnitWithConfiguration(DUZEChannelUnitConfiguration("Unit", 1, 150, 1, 3));
  unit->enqueueItem(TestLog::named("stored"), 1);
  ASSERT_TRUE(eventually([&] { return recorder_->count("success stored") == 1; }));
  group_->waitUntilIdle();
  disk.fill();
  clearLines();
  // Logs arriving one by one while the disk is full, then once there is room.
  for (int i = 0; i < 20; ++i) {
    unit->enqueueItem(TestLog::named("kept"), 1);
    group_->waitUntilIdle();
  }
  disk.makeRoom();
  unit->enqueueItem(TestLog::named("kept"), 1);
  group_->waitUntilIdle();
  // One try, said once, and nothing sent from memory: the retry stores them.
  EXPECT_EQ(recorder_->count("complete kept"), 0u);
  EXPECT_EQ(countLines("Couldn't store"), 1u);
  EXPECT_EQ(countLines("ERROR"), 1u);
  EXPECT_EQ(server_->requests().size(), 1u);
  ASSERT_TRUE(eventually([&] { return recorder_->count("success kept") == 21; }));
  EXPECT_EQ(recorder_->count("complete kept"), 21u);
  EXPECT_TRUE(hasLine("21 kept log(s) of channel Unit are stored"));
}

TEST_F(Storage, KeptLogsAreTriedAgainWithinAMinuteWhateverTheFlushInterval) {
  // "Seconds" of 1 ms: a retry comes at most 60 ms after a failure, where a
  // flush interval of a day is 86 s; another unit's interval is beyond what
  // any clock counts. Neither sends meanwhile: batches are large.
  DUZEChannelUnitDefaultSeams::setFlushIntervalUnitForTesting(
      dispatch::DispatchTimeInterval::milliseconds(1));
  group_ = makeGroup(server_->baseUrl());
  auto day = group_->addChannelUnitWithConfiguration(
      DUZEChannelUnitConfiguration("Day", 1, 86400, 100, 3));
  auto endless = group_->addChannelUnitWithConfiguration(
      DUZEChannelUnitConfiguration("Endless", 1, UINT64_MAX, 100, 3));
  refuseNewRows();
  clearLines();
  day->enqueueItem(TestLog::named("day"), 1);
  endless->enqueueItem(TestLog::named("endless"), 1);
  group_->waitUntilIdle();
  // Time for the tries to pass the longest doubled wait (eight intervals,
  // from the fifth try on); tries are not said one by one.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(recorder_->count("complete day") + recorder_->count("complete endless"), 0u);
  execute("DROP TRIGGER refuse");
  EXPECT_TRUE(eventually([&] {
    return recorder_->count("complete day") == 1 && recorder_->count("complete endless") == 1;
  }));
  EXPECT_EQ(storedRows("Day") + storedRows("Endless"), 2u);
}

// A flush interval of 0 does not try again at once, over and over, while
// storing fails: a try comes a "second" (here 100 ms) after a failure at the
// soonest, so there are at most so many tries in the time they took.
TEST_F(Storage, AFlushIntervalOfZeroTriesToStoreAtMostOnceASecond) {
  using std::chrono::milliseconds;
  DUZEChannelUnitDefaultSeams::setFlushIntervalUnitForTesting(
      dispatch::DispatchTimeInterval::milliseconds(100));
  group_ = makeGroup(server_->baseUrl());
  auto unit =
      group_->addChannelUnitWithConfiguration(DUZEChannelUnitConfiguration("Zero", 1, 0, 100, 3));
  refuseNewRows();
  const uint64_t before = DUZEChannelUnitDefaultSeams::storeTriesForTesting();
  const auto start = std::chrono::steady_clock::now();
  unit->enqueueItem(TestLog::named("kept"), 1);
  ASSERT_TRUE(eventually(
      [&] { return DUZEChannelUnitDefaultSeams::storeTriesForTesting() - before >= 3; }));
  const auto took = std::chrono::steady_clock::now() - start;
  const uint64_t tries = DUZEChannelUnitDefaultSeams::storeTriesForTesting() - before;
  EXPECT_LE(tries, 1 + static_cast<uint64_t>(took / milliseconds(100)));
  execute("DROP TRIGGER refuse");
  EXPECT_TRUE(eventually([&] { return recorder_->count("complete kept") == 1; }));
}

TEST_F(Storage, LogsLostAtAndAfterShutdownAreCountedAndDone) {
  group_ = makeGroup(server_->baseUrl());
  auto unit =
      group_->addChannelUnitWithConfiguration(DUZEChannelUnitConfiguration("Unit", 1, 150, 1, 3));
  refuseNewRows();
  unit->enqueueItem(TestLog::named("kept"), 1);
  group_->shutdown();
  EXPECT_EQ(countLines("1 log(s) of channel Unit could not be stored and are lost."), 1u);
  EXPECT_EQ(recorder_->count("complete kept"), 1u);
  // The store is closed for good: a log that comes later is lost, and
  // counted.
  unit->enqueueItem(TestLog::named("late"), 1);
  group_->waitUntilIdle();
  EXPECT_EQ(countLines("1 log(s) of channel Unit could not be stored and are lost."), 2u);
  EXPECT_EQ(recorder_->count("complete late"), 1u);
}

TEST_F(Storage, LogsThatFailPartwayAreNoneOfThemStoredAndTheStoreWritesOn) {
  auto storage = DUZELogDBStorage::createInDataFolder();
  // The third row is refused, as on a disk that fills up halfway.
  execute(
      "CREATE TRIGGER refuse BEFORE INSERT ON logs WHEN (SELECT count(*) FROM logs) >= 2 "
      "BEGIN SELECT RAISE(FAIL, 'full'); END");
  EXPECT_EQ(storage->saveLogs({{log("a"), 1}, {log("b"), 1}, {log("c"), 1}}, "G"), 0u);
  EXPECT_EQ(storedRows("G"), 0u);
  // Rolled back, not left open: another connection writes (the store's
  // would hold the write lock) and the store's next transaction begins.
  execute("DROP TRIGGER refuse");
  EXPECT_TRUE(storage->saveLog(log("d"), "G", 1));
  EXPECT_EQ(storedRows("G"), 1u);
}

TEST_F(Storage, WhatTheClientKeepsIsForItsUserAlone) {
  const auto folder = dataDir() / "data";
  setenv(std::string(foundation::kDataDirectoryEnvironmentVariable).c_str(), folder.c_str(), 1);
  auto storage = DUZELogDBStorage::createInDataFolder();
  ASSERT_TRUE(storage->saveLog(log("private"), "G", 1));
  ASSERT_TRUE(
      DUZEUtility::createFileAtPathComponent("inner/plain", foundation::Data{1}, false, true));
  ASSERT_TRUE(
      DUZEUtility::createFileAtPathComponent("inner/atomic", foundation::Data{1}, true, true));
  const auto mode = [](const std::filesystem::path& path) {
    return std::filesystem::status(path).permissions() & std::filesystem::perms::all;
  };
  using std::filesystem::perms;
  for (const char* name :
       {"Logs.sqlite", "Logs.sqlite-wal", "Logs.sqlite-shm", "inner/plain", "inner/atomic"}) {
    EXPECT_EQ(mode(folder / name), perms::owner_read | perms::owner_write) << name;
  }
  EXPECT_EQ(mode(folder), perms::owner_all);
  EXPECT_EQ(mode(folder / "inner"), perms::owner_all);
}

TEST_F(Storage, FoldersArePrivateFromTheirFirstMomentAlsoUnderAnOpenUmask) {
  namespace fs = std::filesystem;
  // A folder of someone else's above a data folder whose parents are missing.
  const auto shared = dataDir() / "shared";
  fs::create_directory(shared);
  fs::permissions(shared, static_cast<fs::perms>(0755));
  const auto folder = shared / "home" / "data";
  setenv(std::string(foundation::kDataDirectoryEnvironmentVariable).c_str(), folder.c_str(), 1);
  {
    foundationtest::ScopedUmask umask(0);
    // A run writes its defaults first, then the store and its files.
    DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value("x"), "Probe");
    auto storage = DUZELogDBStorage::createInDataFolder();
    ASSERT_TRUE(storage->saveLog(log("private"), "G", 1));
    ASSERT_TRUE(DUZEUtility::createFileAtPathComponent("inner/deeper/file", foundation::Data{1},
                                                       false, true));
  }
  EXPECT_EQ(foundationtest::modeOf(shared), 0755u);
  std::vector<std::string> folders;
  for (const auto& entry : fs::recursive_directory_iterator(shared)) {
    if (!entry.is_directory()) continue;
    folders.push_back(fs::relative(entry.path(), shared).string());
    EXPECT_EQ(foundationtest::modeOf(entry.path()), 0700u) << folders.back();
  }
  EXPECT_EQ(folders.size(), 4u);  // home, data, inner, deeper
}

TEST_F(Storage, RowsThatCannotBeReadAreSaidAndTriedAgain) {
  DUZELogDBStorage::createInDataFolder()->saveLog(log("stored"), "Unit", 1);
  // The table's first page is overwritten, its index kept: the rows are
  // counted but cannot be read.
  int root = 0;
  int pageSize = 0;
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dataDir() / "Logs.sqlite").c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
  sqlite3_stmt* query = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT rootpage, (SELECT page_size FROM pragma_page_size()) FROM "
                     "sqlite_master WHERE name = 'logs'",
                     -1, &query, nullptr);
  ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
  root = sqlite3_column_int(query, 0);
  pageSize = sqlite3_column_int(query, 1);
  sqlite3_finalize(query);
  sqlite3_close(db);
  {
    std::fstream file(dataDir() / "Logs.sqlite", std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(root - 1) * pageSize);
    file << std::string(16, '\xFF');
  }
  group_ = makeGroup(server_->baseUrl());
  group_->addChannelUnitWithConfiguration(DUZEChannelUnitConfiguration("Unit", 1, 1, 1, 1));
  ASSERT_TRUE(eventually([&] { return countLines("Couldn't read the logs of a group") >= 2; }));
  EXPECT_EQ(server_->requests().size(), 0u);
}
