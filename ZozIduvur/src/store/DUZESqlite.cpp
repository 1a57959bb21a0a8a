#include "DUZESqlite.h"

#include "ZozIduvur/DUZELogger.h"

namespace duze::sqlite {

std::string openingName(const std::filesystem::path& file) {
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::canonical(file.parent_path(), ec);
  return ec ? file.string() : (folder / file.filename()).string();
}

bool execute(sqlite3* db, const char* sql, bool reported) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    if (reported) {
      DUZELogError(kDUZELogTag, "SQLite statement failed: %@ (%@)", sql, message ? message : "");
    }
    sqlite3_free(message);
    return false;
  }
  return true;
}

Statement::Statement(sqlite3* db, const char* sql) {
  if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
}

Transaction::Transaction(sqlite3* db, bool reported) : db_(db), reported_(reported) {
  if (execute(db_, "BEGIN IMMEDIATE", reported_)) state_ = State::Open;
}

Transaction::~Transaction() {
  // Also after a failed commit: one that failed busy leaves the transaction
  // open, and the connection's next one could not begin. One that SQLite
  // ended itself (a statement or commit that failed on a full disk or an
  // I/O error after pages were spilled) is not rolled back again: that
  // would only add a second, misleading error.
  if (state_ == State::Open && !sqlite3_get_autocommit(db_)) execute(db_, "ROLLBACK", reported_);
}

bool Transaction::commit() {
  if (state_ != State::Open) return false;
  // Rolled back by SQLite when one of its statements failed: there is
  // nothing to commit, and the error that ended it was said already.
  if (sqlite3_get_autocommit(db_)) {
    state_ = State::Ended;
    return false;
  }
  if (!execute(db_, "COMMIT", reported_)) {
    if (sqlite3_get_autocommit(db_)) state_ = State::Ended;
    return false;
  }
  state_ = State::Ended;
  return true;
}

}  // namespace duze::sqlite
