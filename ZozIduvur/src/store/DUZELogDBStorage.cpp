#include "ZozIduvur/DUZELogDBStorage.h"

#include <sqlite3.h>

#include <nlohmann/json.hpp>
#include <utility>

#include "DUZELogLockFile.h"
#include "DUZEOwnFile.h"
#include "DUZESqlite.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEUtility.h"
#include "foundation/UUID.h"

namespace fs = std::filesystem;
using duze::sqlite::bindText;
using duze::sqlite::execute;
using duze::sqlite::Statement;
using duze::sqlite::StatementScope;
using duze::sqlite::Transaction;
using ReplacingLock = DUZELogLockFile::ReplacingLock;

namespace {

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS \"logs\" ("
    "\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, "
    "\"groupId\" TEXT NOT NULL, "
    "\"log\" BLOB NOT NULL, "
    "\"targetToken\" TEXT, "
    "\"targetKey\" TEXT, "
    "\"priority\" INTEGER NOT NULL)";
// Rows of a group in the order they are sent: highest priority first, then
// oldest first. The index holds that order, so that a batch is read from its
// first rows instead of sorting the whole group.
constexpr const char* kCreateIndex =
    "CREATE INDEX IF NOT EXISTS \"logs_by_group_priority\" ON \"logs\" (\"groupId\", "
    "\"priority\" DESC, \"id\")";
// Schema version 1 had the index in ascending priority order.
constexpr const char* kDropVersion1Index = "DROP INDEX IF EXISTS \"logs_by_group\"";
constexpr const char* kInsert =
    "INSERT INTO \"logs\" (\"groupId\", \"log\", \"targetToken\", \"targetKey\", \"priority\") "
    "VALUES (?, ?, ?, ?, ?)";
// Lists of row ids and target keys are bound as JSON arrays.
constexpr const char* kSelectBatch =
    "SELECT \"id\", \"log\", \"targetToken\", \"targetKey\" FROM \"logs\" "
    "WHERE \"groupId\" = ?1 AND \"id\" NOT IN (SELECT \"value\" FROM json_each(?2)) "
    "AND (\"targetKey\" IS NULL OR \"targetKey\" NOT IN (SELECT \"value\" FROM json_each(?3))) "
    "ORDER BY \"priority\" DESC, \"id\" ASC LIMIT ?4";
constexpr const char* kCount =
    "SELECT count(*) FROM \"logs\" WHERE \"groupId\" = ?1 "
    "AND \"id\" NOT IN (SELECT \"value\" FROM json_each(?2))";
constexpr const char* kDeleteIds =
    "DELETE FROM \"logs\" WHERE \"id\" IN (SELECT \"value\" FROM json_each(?1))";
constexpr const char* kDeleteByGroup = "DELETE FROM \"logs\" WHERE \"groupId\" = ?";

template <class Ids>
void appendIds(std::string& json, const Ids& ids) {
  for (int64_t id : ids) {
    json += json.size() > 1 ? "," : "";
    json += std::to_string(id);
  }
}

std::string keysJson(const std::set<std::string>& keys) {
  if (keys.empty()) return "[]";
  // Text that is not UTF-8 cannot be a stored key either.
  return nlohmann::json(keys).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<std::string> columnText(sqlite3_stmt* stmt, int index) {
  if (sqlite3_column_type(stmt, index) == SQLITE_NULL) return std::nullopt;
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, index));
  return std::string(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(stmt, index)));
}

// Relative names would depend on the working folder of the moment.
fs::path absolutePath(fs::path file) {
  std::error_code ec;
  fs::path absolute = fs::absolute(file, ec);
  return ec ? file : absolute;
}

}  // namespace

std::shared_ptr<DUZELogDBStorage> DUZELogDBStorage::createInDataFolder() {
  return std::make_shared<DUZELogDBStorage>(DUZEUtility::dataFolder() /
                                            std::string(kDatabaseFileName));
}

DUZELogDBStorage::DUZELogDBStorage(fs::path file)
    : file_(absolutePath(std::move(file))),
      lockFile_(std::make_unique<DUZELogLockFile>(file_.string() + ".lock")) {
  base::LockGuard lock(mutex_);
  openOrSetAside();
}

DUZELogDBStorage::~DUZELogDBStorage() {
  base::LockGuard lock(mutex_);
  closeDatabase();
  lockFile_->close();
}

bool DUZELogDBStorage::isOpen() {
  base::LockGuard lock(mutex_);
  return db_ != nullptr;
}

bool DUZELogDBStorage::ensureOpen() {
  return db_ != nullptr || (!closedForGood_ && openOrSetAside());
}

bool DUZELogDBStorage::openOrSetAside() {
  OpenResult result;
  {
    // Stores open the file together, but never while another one moves it
    // away: SQLite names the write-ahead log and shared memory of a
    // connection after the path it opened, and creates or removes them by
    // that name. A store opening the path just after it was moved would
    // create a new file whose log and shared memory the mover then carries
    // off with the old one (its rows lost to every other store), and one
    // that closes the old file after the move would remove those of the new
    // file. A connection that is not kept is closed before the lock goes.
    ReplacingLock opening(*lockFile_, ReplacingLock::Mode::Shared);
    result = open();
    if (result != OpenResult::Opened) closeDatabase();
  }
  if (result == OpenResult::Unusable) {
    // One store at a time replaces the file, and a file that another one
    // replaced meanwhile is opened, not set aside again.
    ReplacingLock replacing(*lockFile_, ReplacingLock::Mode::Exclusive);
    result = open();
    if (result == OpenResult::Unusable) result = replace();
    if (result != OpenResult::Opened) closeDatabase();
  }
  if (result != OpenResult::Opened) {
    if (result == OpenResult::Failed) {
      // A full disk, a read-only folder, an I/O error or another process
      // holding the file say nothing about what the file holds: it is kept,
      // and opened again at the next use of the store.
      DUZELogWarning(kDUZELogTag,
                     "The log database at %@ cannot be opened now; it is kept and opened again "
                     "later.",
                     file_.string());
    }
    return false;
  }
  carrySetAsideFiles();
  return true;
}

bool DUZELogDBStorage::claimSending() {
  base::LockGuard lock(mutex_);
  if (closedForGood_) return false;
  return lockFile_->claimSending();
}

DUZELogDBStorage::OpenResult DUZELogDBStorage::open() {
  DUZEUtility::createDirectoryAtURL(file_.parent_path());
  // Owner-only, and so are the write-ahead log and shared-memory files,
  // which SQLite makes with the database file's mode. A link at any of these
  // names is refused: the database or its changes would land wherever it
  // points.
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    const fs::path name = file_.string() + suffix;
    if (duze::makeOwnerOnly(name, *suffix == '\0').link()) {
      DUZELogError(kDUZELogTag,
                   "%@ is a symbolic link where the log store keeps a file of its own; it is not "
                   "followed, and the store stays closed until the link is removed.",
                   name.string());
      return OpenResult::Failed;
    }
  }
  if (sqlite3_open_v2(
          duze::sqlite::openingName(file_).c_str(), &db_,
          SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
          nullptr) != SQLITE_OK) {
    return failure("open");
  }
  sqlite3_busy_timeout(db_, 5000);
  // Reading the version also proves the file is a database.
  int userVersion = -1;
  {
    Statement version(db_, "PRAGMA user_version");
    if (version.prepared() && sqlite3_step(version.get()) == SQLITE_ROW) {
      userVersion = sqlite3_column_int(version.get(), 0);
    }
  }
  if (userVersion < 0) return failure("read the schema version of");
  if (userVersion > kSchemaVersion) {
    DUZELogError(kDUZELogTag, "The log database has schema version %d, newer than %d.", userVersion,
                 kSchemaVersion);
    return OpenResult::Unusable;
  }
  // Write-ahead logging with normal syncing: a commit reaches the file
  // system before it returns, so it survives the process; only a power loss
  // may take the last commits.
  if (!execute(db_, "PRAGMA journal_mode=WAL") || !execute(db_, "PRAGMA synchronous=NORMAL")) {
    return failure("set up");
  }
  if (userVersion < kSchemaVersion) {
    // Files of earlier versions move forward in one step, their rows kept.
    // `failure` reads the error of the statement that failed, so it runs
    // before the end of the scope rolls back.
    Transaction upgrade(db_);
    if (!upgrade.began()) return failure("set up");
    if (!execute(db_, kCreateTable) || !execute(db_, kDropVersion1Index) ||
        !execute(db_, kCreateIndex) ||
        !execute(db_, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str()) ||
        !upgrade.commit()) {
      return failure("set up");
    }
  }
  for (const char* sql : {kInsert, kSelectBatch, kCount, kDeleteIds, kDeleteByGroup}) {
    if (!statement(sql)) return failure("prepare a statement for");
  }
  return OpenResult::Opened;
}

DUZELogDBStorage::OpenResult DUZELogDBStorage::failure(const char* what) {
  const int code = db_ ? sqlite3_extended_errcode(db_) : SQLITE_NOMEM;
  logSqliteError(what);
  // Only what the file holds makes it unusable; every other error may pass.
  switch (code & 0xFF) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return OpenResult::Unusable;
    default:
      return OpenResult::Failed;
  }
}

void DUZELogDBStorage::close() {
  base::LockGuard lock(mutex_);
  closedForGood_ = true;
  closeDatabase();
  // Another store may send from now on.
  lockFile_->close();
}

void DUZELogDBStorage::closeDatabase() {
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  statements_.clear();
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

sqlite3_stmt* DUZELogDBStorage::insertStatement() { return statement(kInsert); }

sqlite3_stmt* DUZELogDBStorage::statement(const char* sql) {
  if (!db_) return nullptr;
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    logSqliteError("prepare a statement for");
    return nullptr;
  }
  statements_.emplace(sql, stmt);
  return stmt;
}

void DUZELogDBStorage::logSqliteError(const char* what) {
  DUZELogError(kDUZELogTag, "Couldn't %@ the log database %@: %@", what, file_.string(),
               db_ ? sqlite3_errmsg(db_) : "out of memory");
}

std::optional<DUZELogDBStorage::Row> DUZELogDBStorage::rowForLog(
    const std::shared_ptr<DUZEAbstractLog>& log, uint64_t flags) {
  auto archive = DUZEUtility::archiveKeyedData(foundation::Value(log));
  if (!archive) return std::nullopt;
  Row row{std::move(*archive), std::nullopt, std::nullopt, static_cast<int64_t>(flags & 0xFF)};
  if (const auto& tokens = log->transmissionTargetTokens(); !tokens.empty()) {
    row.targetKey = DUZEUtility::targetKeyFromTargetToken(*tokens.begin());
    row.token = encrypter_->encryptString(*tokens.begin());
  }
  return row;
}

bool DUZELogDBStorage::saveRows(const std::vector<const Row*>& rows, std::string_view groupId) {
  base::LockGuard lock(mutex_);
  if (rows.empty()) return true;
  if (!ensureOpen()) return false;
  sqlite3_stmt* insert = insertStatement();
  if (!insert) return false;
  // Said for the first failure, and when rows are stored again: a full disk
  // would otherwise fill the log at every try.
  const bool reported = !savingFails_;
  bool saved = false;
  {
    Transaction transaction(db_, reported);
    saved = transaction.began();
    for (size_t i = 0; saved && i < rows.size(); ++i) {
      const Row& row = *rows[i];
      StatementScope scope{insert};
      bindText(insert, 1, groupId);
      sqlite3_bind_blob(insert, 2, row.archive.data(), static_cast<int>(row.archive.size()),
                        SQLITE_STATIC);
      if (row.token) bindText(insert, 3, *row.token);
      if (row.targetKey) bindText(insert, 4, *row.targetKey);
      sqlite3_bind_int64(insert, 5, row.priority);
      if (sqlite3_step(insert) != SQLITE_DONE) {
        if (reported) logSqliteError("store a log in");
        saved = false;
      }
    }
    saved = saved && transaction.commit();
  }
  if (saved && std::exchange(savingFails_, false)) {
    DUZELogInfo(kDUZELogTag, "Logs are stored in the log database %@ again.", file_.string());
  }
  if (!saved) savingFails_ = true;
  return saved;
}

size_t DUZELogDBStorage::saveLogs(const std::vector<Entry>& entries, std::string_view groupId) {
  std::vector<Row> rows;
  rows.reserve(entries.size());
  for (const auto& entry : entries) {
    if (!entry.log) continue;
    if (auto row = rowForLog(entry.log, entry.flags)) rows.push_back(std::move(*row));
  }
  std::vector<const Row*> pointers;
  for (const Row& row : rows) pointers.push_back(&row);
  return !rows.empty() && saveRows(pointers, groupId) ? rows.size() : 0;
}

std::optional<DUZELogBatch> DUZELogDBStorage::loadLogsWithGroupId(
    std::string_view groupId, size_t limit, const std::set<std::string>& excludedTargetKeys,
    bool* unreadable) {
  base::LockGuard lock(mutex_);
  if (unreadable) *unreadable = false;
  if (limit == 0) return std::nullopt;
  sqlite3_stmt* select = ensureOpen() ? statement(kSelectBatch) : nullptr;
  sqlite3_stmt* remove = statement(kDeleteIds);
  if (!select || !remove) {
    if (unreadable) *unreadable = true;
    return std::nullopt;
  }
  const std::string excluded = keysJson(excludedTargetKeys);
  DUZELogBatch batch;
  std::vector<int64_t> rowIds;
  // Rows that do not decode are deleted in one transaction, and the batch
  // is filled up from the rows after them.
  std::vector<int64_t> corrupt;
  std::vector<int64_t> kept;            // corrupt rows that could not be deleted
  std::optional<Transaction> deleting;  // begun at the first corrupt row
  bool readFailed = false;
  while (batch.logs.size() < limit && !readFailed) {
    const size_t wanted = limit - batch.logs.size();
    std::string skipped = "[";
    appendIds(skipped, pendingRows_);
    appendIds(skipped, rowIds);
    appendIds(skipped, kept);
    skipped += "]";
    size_t seen = 0;
    {
      StatementScope scope{select};
      bindText(select, 1, groupId);
      bindText(select, 2, skipped);
      bindText(select, 3, excluded);
      sqlite3_bind_int64(select, 4, static_cast<int64_t>(wanted));
      int step = SQLITE_ROW;
      while ((step = sqlite3_step(select)) == SQLITE_ROW) {
        ++seen;
        const int64_t id = sqlite3_column_int64(select, 0);
        const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(select, 1));
        foundation::Data bytes(blob, blob + sqlite3_column_bytes(select, 1));
        auto log = DUZEUtility::unarchiveObject<DUZEAbstractLog>(bytes);
        if (!log) {
          DUZELogError(kDUZELogTag, "Deserialization failed for log with id %lld; it is deleted.",
                       static_cast<long long>(id));
          corrupt.push_back(id);
          continue;
        }
        if (auto token = columnText(select, 2)) {
          if (auto plain = encrypter_->decryptString(*token)) {
            log->addTransmissionTargetToken(*plain);
          } else {
            DUZELogError(kDUZELogTag, "Failed to decrypt the target token of log %lld.",
                         static_cast<long long>(id));
          }
        }
        rowIds.push_back(id);
        batch.logs.push_back(std::move(log));
      }
      if (step != SQLITE_DONE) {
        logSqliteError("read the logs of a group from");
        readFailed = true;
      }
    }
    if (!corrupt.empty()) {
      if (!deleting || !deleting->began()) deleting.emplace(db_);
      std::string ids = "[";
      appendIds(ids, corrupt);
      ids += "]";
      StatementScope scope{remove};
      bindText(remove, 1, ids);
      if (!deleting->began() || sqlite3_step(remove) != SQLITE_DONE) {
        logSqliteError("delete rows that do not decode from");
        kept.insert(kept.end(), corrupt.begin(), corrupt.end());
      }
      corrupt.clear();
    }
    if (seen < wanted) break;
  }
  if (deleting) deleting->commit();
  if (batch.logs.empty()) {
    if (unreadable) *unreadable = readFailed;
    return std::nullopt;
  }
  batch.batchId = foundation::NSUUID().UUIDString();
  pendingRows_.insert(rowIds.begin(), rowIds.end());
  batches_.emplace(batch.batchId, std::make_pair(std::string(groupId), std::move(rowIds)));
  return batch;
}

bool DUZELogDBStorage::deleteLogsWithBatchId(const std::string& batchId) {
  base::LockGuard lock(mutex_);
  auto it = batches_.find(batchId);
  if (it == batches_.end()) return true;
  auto [groupId, ids] = std::move(it->second);
  batches_.erase(it);
  return deleteSentRows(groupId, ids);
}

bool DUZELogDBStorage::retryDeletingLogsWithGroupId(std::string_view groupId) {
  base::LockGuard lock(mutex_);
  return undeleted_.find(groupId) == undeleted_.end() || deleteSentRows(std::string(groupId), {});
}

bool DUZELogDBStorage::deleteSentRows(const std::string& groupId, const std::vector<int64_t>& ids) {
  auto waiting = undeleted_.find(groupId);
  std::string json = "[";
  appendIds(json, ids);
  if (waiting != undeleted_.end()) appendIds(json, waiting->second);
  json += "]";
  sqlite3_stmt* remove = ensureOpen() ? statement(kDeleteIds) : nullptr;
  bool deleted = false;
  if (remove) {
    StatementScope scope{remove};
    bindText(remove, 1, json);
    deleted = sqlite3_step(remove) == SQLITE_DONE;
  }
  if (!deleted) {
    // Sent, so not sent again by this store; the rows stay pending until a
    // later delete goes through. Said once while deletes fail, or a full
    // disk would fill the log at every batch.
    if (undeleted_.empty()) {
      DUZELogWarning(kDUZELogTag,
                     "Couldn't delete sent logs from the log database %@: %@. They are not sent "
                     "again, and deleting them is tried again at each flush.",
                     file_.string(), db_ ? sqlite3_errmsg(db_) : "it cannot be opened");
    }
    auto& rows = undeleted_[groupId];
    rows.insert(rows.end(), ids.begin(), ids.end());
    return false;
  }
  for (int64_t id : ids) pendingRows_.erase(id);
  if (waiting != undeleted_.end()) {
    for (int64_t id : waiting->second) pendingRows_.erase(id);
    undeleted_.erase(waiting);
    if (undeleted_.empty()) {
      DUZELogInfo(kDUZELogTag, "Sent logs are deleted from the log database %@ again.",
                  file_.string());
    }
  }
  return true;
}

void DUZELogDBStorage::releaseBatch(const std::string& batchId) {
  base::LockGuard lock(mutex_);
  auto it = batches_.find(batchId);
  if (it == batches_.end()) return;
  for (int64_t id : it->second.second) pendingRows_.erase(id);
  batches_.erase(it);
}

size_t DUZELogDBStorage::deleteLogsWithGroupId(std::string_view groupId) {
  base::LockGuard lock(mutex_);
  for (auto it = batches_.begin(); it != batches_.end();) {
    if (it->second.first == groupId) {
      for (int64_t id : it->second.second) pendingRows_.erase(id);
      it = batches_.erase(it);
    } else {
      ++it;
    }
  }
  if (!ensureOpen()) return 0;
  sqlite3_stmt* remove = statement(kDeleteByGroup);
  if (!remove) return 0;
  StatementScope scope{remove};
  bindText(remove, 1, groupId);
  if (sqlite3_step(remove) != SQLITE_DONE) {
    logSqliteError("delete the logs of a group from");
    return 0;
  }
  if (auto waiting = undeleted_.find(groupId); waiting != undeleted_.end()) {
    for (int64_t id : waiting->second) pendingRows_.erase(id);
    undeleted_.erase(waiting);
  }
  return static_cast<size_t>(sqlite3_changes(db_));
}

size_t DUZELogDBStorage::countLogs(std::string_view groupId) {
  base::LockGuard lock(mutex_);
  if (!ensureOpen()) return 0;
  sqlite3_stmt* count = statement(kCount);
  if (!count) return 0;
  std::string skipped = "[";
  appendIds(skipped, pendingRows_);
  skipped += "]";
  StatementScope scope{count};
  bindText(count, 1, groupId);
  bindText(count, 2, skipped);
  if (sqlite3_step(count) != SQLITE_ROW) {
    logSqliteError("count the logs of");
    return 0;
  }
  return static_cast<size_t>(sqlite3_column_int64(count, 0));
}
