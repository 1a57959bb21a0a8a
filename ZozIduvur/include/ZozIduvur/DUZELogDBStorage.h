#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ZozIduvur/DUZEAbstractLog.h"
#include "ZozIduvur/DUZEEncrypter.h"
#include "base/Mutex.h"
#include "base/ThreadSafety.h"

struct sqlite3;
struct sqlite3_stmt;
class DUZELogLockFile;

// A batch of stored logs handed out for sending. Its rows stay out of later
// batches until the batch is deleted or released.
struct DUZELogBatch {
  std::string batchId;
  std::vector<std::shared_ptr<DUZEAbstractLog>> logs;
};

// The log store: the SQLite database "Logs.sqlite" with the table "logs"
// (the archived log, its group, priority, target key and encrypted target
// token). Prepared statements with bound parameters only; write-ahead logging
// so that a committed log survives the death of the process. Thread-safe.
//
// Several processes may store into one database; one store at a time sends
// its logs (`claimSending`). Beside the database lies "<file>.lock", whose
// advisory locks say which store sends and which one replaces or carries
// files, with no store opening the database meanwhile (the kernel releases
// them when the store closes or its process ends, however it ends).
class DUZELogDBStorage {
 public:
  static constexpr std::string_view kDatabaseFileName = "Logs.sqlite";
  static constexpr std::string_view kTableName = "logs";
  static constexpr int kSchemaVersion = 2;

  // The store in the data folder.
  static std::shared_ptr<DUZELogDBStorage> createInDataFolder();
  // Opens (creating when needed) the database at `file`. A file that is not
  // a database, or holds a newer schema, is set aside under a name no other
  // set-aside file has ("<file>.unusable", "<file>.unusable.2", ...), with
  // an error log, and a new database takes its place. Any other failure (a
  // full disk, a read-only folder, an I/O error, a busy file, a symbolic link
  // at the database's name or at its companions', which is never followed)
  // keeps the file: the store stays closed and tries again whenever it is
  // used.
  //
  // Each open carries the readable rows of every set-aside file that has a
  // logs table (set aside by this run, an earlier one or another version)
  // into the database once, then renames the file to "<file>.carried" (then
  // ".carried.2", ...): it keeps its bytes, and no version carries it again.
  // A file whose rows cannot be stored now (a full disk) keeps its name and
  // is carried at a later open.
  explicit DUZELogDBStorage(std::filesystem::path file);
  ~DUZELogDBStorage();
  DUZELogDBStorage(const DUZELogDBStorage&) = delete;
  DUZELogDBStorage& operator=(const DUZELogDBStorage&) = delete;

  bool isOpen();
  // Closes the database for good (the last connection checkpoints the
  // write-ahead log and removes it and the shared-memory file); every later
  // call finds the store closed.
  void close();
  const std::filesystem::path& file() const { return file_; }

  // A log in the form it is stored in: archived, with its priority (`flags`
  // AND 0xFF) and its first target token (encrypted) and target key.
  struct Row {
    foundation::Data archive;
    std::optional<std::string> token;
    std::optional<std::string> targetKey;
    int64_t priority = 0;
  };
  // The row of a log; std::nullopt (with an error log) when the log cannot
  // be archived. Any thread; takes no lock of the store.
  std::optional<Row> rowForLog(const std::shared_ptr<DUZEAbstractLog>& log, uint64_t flags);
  // Stores rows of a group in one transaction. False when nothing could be
  // stored (the store cannot be opened or written now: a full disk, say).
  // SQLite's reason is logged for the first failure only, and the first
  // success after failures says that rows are stored again.
  bool saveRows(const std::vector<const Row*>& rows, std::string_view groupId);

  struct Entry {
    std::shared_ptr<DUZEAbstractLog> log;
    uint64_t flags = 0;
  };
  // Stores the logs of a group in one transaction; the priority is
  // `flags` AND 0xFF. Answers how many were stored (0 on failure: nothing is
  // stored then).
  size_t saveLogs(const std::vector<Entry>& entries, std::string_view groupId);
  bool saveLog(const std::shared_ptr<DUZEAbstractLog>& log, std::string_view groupId,
               uint64_t flags) {
    return saveLogs({{log, flags}}, groupId) == 1;
  }

  // Up to `limit` logs of the group, highest priority first and oldest first
  // within a priority, leaving out rows of pending batches and rows whose
  // target key is in `excludedTargetKeys`. Each log gets its decrypted target
  // token back. A row that cannot be decoded is logged and deleted. None when
  // nothing is left to send, and none too when the rows cannot be read now
  // (the database does not open, or reading fails; said in the log): then
  // `unreadable`, when given, is set.
  std::optional<DUZELogBatch> loadLogsWithGroupId(std::string_view groupId, size_t limit,
                                                  const std::set<std::string>& excludedTargetKeys,
                                                  bool* unreadable = nullptr);
  // Deletes the rows of a batch (sent, or refused for good), and with them
  // those of the group that could not be deleted before. False when they
  // cannot be deleted now (a full disk): they stay out of later batches and
  // counts until `retryDeletingLogsWithGroupId` or a later delete of the
  // group gets rid of them (or the store is closed). The first failure is
  // said in the log, with SQLite's reason, and so is the end of them.
  bool deleteLogsWithBatchId(const std::string& batchId);
  // Tries again to delete the rows of the group that could not be deleted;
  // true when none of them is left.
  bool retryDeletingLogsWithGroupId(std::string_view groupId);
  // Makes the rows of a batch loadable again (to be sent later).
  void releaseBatch(const std::string& batchId);
  // Deletes every row of the group and forgets its batches; answers how many
  // rows went.
  size_t deleteLogsWithGroupId(std::string_view groupId);
  // Rows of the group that are not in a pending batch.
  size_t countLogs(std::string_view groupId);

  // Whether this store may send its logs: true while it holds the sending
  // lock of its database, which it takes when no other store holds it (in
  // this process or another). A closed store never sends. A store that
  // cannot lock (a lock file it cannot open for writing, such as another
  // user's, or locks the file system refuses) sends without the lock rather
  // than never, and says so once. A lock file of its own user that lacks
  // the owner's write permission is given it back.
  //
  // A forked child neither keeps nor uses its parent's lock: the copies of
  // every store's lock file are closed in the child as it starts, and a store
  // there that sends takes a lock of its own.
  bool claimSending();

 private:
  enum class OpenResult { Opened, Unusable, Failed };
  // Carried now, or by an earlier open (or another store); not a database
  // with a logs table this version reads; not stored now; gone meanwhile.
  enum class CarryResult { Carried, CarriedBefore, NotCarried, Failed, Gone };
  struct FileIdentity;

  // All of these run under `mutex_`.
  bool ensureOpen() KX_REQUIRES(mutex_);
  bool openOrSetAside() KX_REQUIRES(mutex_);
  OpenResult open() KX_REQUIRES(mutex_);
  // Logs the error of the last call and judges it.
  OpenResult failure(const char* what) KX_REQUIRES(mutex_);
  void closeDatabase() KX_REQUIRES(mutex_);
  sqlite3_stmt* statement(const char* sql) KX_REQUIRES(mutex_);
  // The statement that stores a row of the logs table, with its five
  // columns in the order they are bound: group, log, token, key, priority.
  sqlite3_stmt* insertStatement() KX_REQUIRES(mutex_);
  void logSqliteError(const char* what) KX_REQUIRES(mutex_);
  // Deletes `ids` together with the group's undeleted rows; on failure
  // `ids` join those.
  bool deleteSentRows(const std::string& groupId, const std::vector<int64_t>& ids)
      KX_REQUIRES(mutex_);

  // Setting files aside and carrying their rows (src/store/DUZELogDBSetAside.cpp).
  // Sets the unusable file aside and opens a new one in its place.
  OpenResult replace() KX_REQUIRES(mutex_);
  // Renames a database file, then its write-ahead log, shared memory and
  // journal, to the first of "<file><tag>", "<file><tag>.2", ... that
  // neither a file nor its companions have, never over anything that stands
  // there. std::nullopt, with `error`, when the file cannot be renamed
  // (ENOENT: it is gone).
  std::optional<std::filesystem::path> moveToUnusedName(const std::filesystem::path& from,
                                                        std::string_view tag, int& error)
      KX_REQUIRES(mutex_);
  std::vector<std::filesystem::path> setAsideFiles() const KX_REQUIRES(mutex_);
  void carrySetAsideFiles() KX_REQUIRES(mutex_);
  CarryResult carryRowsFrom(const std::filesystem::path& aside, size_t& carried)
      KX_REQUIRES(mutex_);
  bool wasCarried(const FileIdentity& identity) KX_REQUIRES(mutex_);

  std::filesystem::path file_;
  base::Mutex mutex_;
  sqlite3* db_ KX_GUARDED_BY(mutex_) = nullptr;
  bool closedForGood_ KX_GUARDED_BY(mutex_) = false;
  // "<file>.lock", with the claim to send (src/DUZELogLockFile.h).
  const std::unique_ptr<DUZELogLockFile> lockFile_ KX_PT_GUARDED_BY(mutex_);
  std::map<std::string, sqlite3_stmt*, std::less<>> statements_ KX_GUARDED_BY(mutex_);
  // batch id -> (group id, row ids)
  std::map<std::string, std::pair<std::string, std::vector<int64_t>>> batches_
      KX_GUARDED_BY(mutex_);
  // Rows of pending batches and rows sent but not deleted yet: neither is
  // loaded or counted.
  std::set<int64_t> pendingRows_ KX_GUARDED_BY(mutex_);
  // The last rows to store could not be stored.
  bool savingFails_ KX_GUARDED_BY(mutex_) = false;
  // group id -> rows sent whose deletion failed
  std::map<std::string, std::vector<int64_t>, std::less<>> undeleted_ KX_GUARDED_BY(mutex_);
  std::shared_ptr<DUZEEncrypter> encrypter_ = DUZEEncrypter::create();
};
