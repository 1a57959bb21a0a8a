// The telemetry core's log store path:
// - logs per second from `enqueueItem` to a committed row, against raw
//   SQLite inserts of the same archived bytes, one transaction per batch, in
//   the same database settings, table and index (time and process CPU time,
//   since the store works on the logs queue's thread); the logs are made
//   outside the measured time, as the bytes of the raw inserts are;
// - the time of one batch load from stores of 50, 1,000 and 100,000 unsent
//   logs: draining a backlog is linear only while this stays flat.

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ZozIduvur/DUZEChannelGroupDefault.h"
#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZELogDBStorage.h"
#include "ZozIduvur/DUZELogWithProperties.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEUtility.h"
#include "foundation/Paths.h"

namespace {

constexpr int kBatch = 50;

// A temporary data folder for one benchmark run.
class DataFolder {
 public:
  DataFolder() {
    char pattern[] = "/tmp/kestrix-bench-XXXXXX";
    path_ = mkdtemp(pattern);
    setenv(std::string(foundation::kDataDirectoryEnvironmentVariable).c_str(), path_.c_str(), 1);
  }
  ~DataFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A log as a service would hand it over: a type, a few properties.
std::shared_ptr<DUZELogWithProperties> makeLog(int i) {
  auto log = std::make_shared<DUZELogWithProperties>();
  log->setType("event");
  log->setProperties(DUZEProperties{{"name", "Opened switcher"},
                                    {"index", std::to_string(i)},
                                    {"windows", "12"},
                                    {"source", "hotkey"}});
  return log;
}

void BM_EnqueueToCommittedRow(benchmark::State& state) {
  DataFolder folder;
  DUZELogger::setCurrentLogLevel(DUZELogLevelAssert);
  auto client = DUZEHttpClient::create();
  // Nothing is sent while measuring: the batch limit and interval are out of reach.
  auto group = DUZEChannelGroupDefault::create(
      DUZEServiceIngestion::create(client, "http://127.0.0.1:9", "secret", "install"),
      DUZECollectorIngestion::create(client, "http://127.0.0.1:9"),
      DUZELogDBStorage::createInDataFolder());
  auto unit = group->addChannelUnitWithConfiguration(
      DUZEChannelUnitConfiguration("Bench", 1, 1'000'000, 1'000'000'000, 3));
  DUZEDeviceTracker::sharedInstance();  // the host is described once, before measuring
  int n = 0;
  std::vector<std::shared_ptr<DUZELogWithProperties>> logs(kBatch);
  for (auto _ : state) {
    // Making the logs is the caller's work, as making the bytes is outside
    // the raw inserts.
    state.PauseTiming();
    for (auto& log : logs) log = makeLog(n++);
    state.ResumeTiming();
    for (auto& log : logs) unit->enqueueItem(log, 1);
    group->waitUntilIdle();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  group->shutdown();
}
BENCHMARK(BM_EnqueueToCommittedRow)
    ->Unit(benchmark::kMicrosecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void BM_RawSQLiteInsertsOfTheSameBytes(benchmark::State& state) {
  DataFolder folder;
  // The bytes the store writes for such a log.
  auto log = makeLog(0);
  log->setTimestamp(dispatch::Date::now());
  log->setDevice(DUZEDeviceTracker::describeHost());
  const auto bytes = *DUZEUtility::archiveKeyedData(foundation::Value(log));

  sqlite3* db = nullptr;
  sqlite3_open((folder.path() / "Raw.sqlite").c_str(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  sqlite3_exec(db,
               "CREATE TABLE logs (id INTEGER PRIMARY KEY AUTOINCREMENT, groupId TEXT NOT NULL, "
               "log BLOB NOT NULL, targetToken TEXT, targetKey TEXT, priority INTEGER NOT NULL)",
               nullptr, nullptr, nullptr);
  sqlite3_exec(db, "CREATE INDEX logs_by_group_priority ON logs (groupId, priority DESC, id)",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO logs (groupId, log, priority) VALUES (?, ?, ?)", -1, &insert,
                     nullptr);
  for (auto _ : state) {
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    for (int i = 0; i < kBatch; ++i) {
      sqlite3_bind_text(insert, 1, "Bench", -1, SQLITE_STATIC);
      sqlite3_bind_blob(insert, 2, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
      sqlite3_bind_int64(insert, 3, 1);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["bytes_per_log"] = static_cast<double>(bytes.size());
  sqlite3_finalize(insert);
  sqlite3_close(db);
}
BENCHMARK(BM_RawSQLiteInsertsOfTheSameBytes)
    ->Unit(benchmark::kMicrosecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// One batch load from a store holding `state.range(0)` unsent logs of the
// group: the rows are loaded, decoded and handed back (released) each round,
// so the store stays the same size. A backlog drains in linear time only
// when this cost does not grow with the number of stored logs.
class StoredLogs {
 public:
  explicit StoredLogs(int64_t count) {
    DUZEUtility::addAllowedClasses({foundation::ArchivableClass::of<DUZELogWithProperties>()});
    char pattern[] = "/tmp/kestrix-bench-load-XXXXXX";
    folder_ = mkdtemp(pattern);
    storage_ = std::make_shared<DUZELogDBStorage>(folder_ / "Logs.sqlite");
    std::vector<DUZELogDBStorage::Entry> entries;
    for (int64_t i = 0; i < count; ++i) {
      auto log = makeLog(static_cast<int>(i));
      log->setTimestamp(dispatch::Date::now());
      log->setDevice(DUZEDeviceTracker::describeHost());
      entries.push_back({log, 1});
      if (entries.size() == 1000 || i + 1 == count) {
        storage_->saveLogs(entries, "Bench");
        entries.clear();
      }
    }
  }
  ~StoredLogs() {
    storage_.reset();
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  DUZELogDBStorage& storage() { return *storage_; }

  // One store per size for the whole run: filling 100,000 rows is not what
  // is measured.
  static StoredLogs& of(int64_t count) {
    static std::map<int64_t, std::unique_ptr<StoredLogs>> stores;
    auto& store = stores[count];
    if (!store) store = std::make_unique<StoredLogs>(count);
    return *store;
  }

 private:
  std::filesystem::path folder_;
  std::shared_ptr<DUZELogDBStorage> storage_;
};

void BM_BatchLoadFromStoredLogs(benchmark::State& state) {
  DUZELogger::setCurrentLogLevel(DUZELogLevelAssert);
  auto& store = StoredLogs::of(state.range(0));
  for (auto _ : state) {
    auto batch = store.storage().loadLogsWithGroupId("Bench", kBatch, {});
    if (!batch || batch->logs.size() != kBatch) {
      state.SkipWithError("short batch");
      break;
    }
    store.storage().releaseBatch(batch->batchId);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_BatchLoadFromStoredLogs)
    ->Arg(50)
    ->Arg(1'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
