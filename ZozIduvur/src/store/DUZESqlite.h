#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <string_view>

// The few pieces over SQLite's C interface that the log store's files share.
namespace duze::sqlite {

// The name a database file is opened by, with SQLITE_OPEN_NOFOLLOW: its
// folder with every symbolic link in it resolved (SQLite would refuse a
// link anywhere in the name with that flag, and a data folder under a linked
// home is as good as any), the file's own name as it stands, so that a link
// there is refused. The plain name, never a URI: a data folder may be named
// with "%", "?" or "#", which a URI would decode or cut off.
std::string openingName(const std::filesystem::path& file);

// Runs statements that return no rows; false, with an error log naming the
// statement and SQLite's message (unless not `reported`), when one fails.
bool execute(sqlite3* db, const char* sql, bool reported = true);

// Binds text that outlives the statement's step.
inline void bindText(sqlite3_stmt* stmt, int index, std::string_view text) {
  sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

// A one-off statement: prepared when it is made, finalized when the scope
// ends, however it ends. A statement that was stepped holds its read of the
// database until then, so its scope ends where its use does.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql);
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // False when it could not be prepared (the connection's error says why).
  bool prepared() const { return stmt_ != nullptr; }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Resets a cached statement and clears its bindings when the scope ends.
struct StatementScope {
  sqlite3_stmt* stmt;
  ~StatementScope() {
    if (stmt) {
      sqlite3_reset(stmt);
      sqlite3_clear_bindings(stmt);
    }
  }
};

// A transaction for a scope. It begins IMMEDIATE: the database's write lock
// is taken at the start (waiting as long as the connection's busy timeout),
// so what the transaction reads stays true until it commits, and no write in
// it fails halfway for a writer that came between. It commits only when
// asked; whatever ends the scope before a commit went through (an early
// return, a failed step, a failed commit) rolls it back, unless SQLite did
// so itself (a full disk or an I/O error can end a transaction halfway): a
// commit then fails without sending anything. A statement of it that fails
// is logged as `execute` logs it, unless it is not `reported`.
class Transaction {
 public:
  explicit Transaction(sqlite3* db, bool reported = true);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // False when it could not begin: it holds nothing, and commits nothing.
  bool began() const { return state_ != State::NotBegun; }
  // False when it did not begin or the commit failed.
  bool commit();

 private:
  // Ended: committed, or rolled back by SQLite itself.
  enum class State { NotBegun, Open, Ended };
  sqlite3* db_;
  bool reported_;
  State state_ = State::NotBegun;
};

}  // namespace duze::sqlite
