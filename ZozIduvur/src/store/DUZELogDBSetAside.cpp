// Set-aside files of the log store: a database it cannot use is moved aside
// under a name of its own and never deleted, and the rows of every such file
// that still has a readable logs table are carried into the store once,
// after which the file is renamed as carried, bytes unchanged.

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "DUZELogLockFile.h"
#include "DUZESqlite.h"
#include "ZozIduvur/DUZELogDBStorage.h"
#include "ZozIduvur/DUZELogger.h"

#ifdef KX_TEST_SEAMS
#include "ZozIduvur/TestSeams.h"
#endif

namespace fs = std::filesystem;
using duze::sqlite::execute;
using duze::sqlite::Statement;
using duze::sqlite::StatementScope;
using duze::sqlite::Transaction;
using ReplacingLock = DUZELogLockFile::ReplacingLock;

namespace {

// What a set-aside file was when its rows were carried, recorded with them:
// a file that comes back under a set-aside name (its rename was cut short)
// is known and not carried twice.
constexpr const char* kCreateCarried =
    "CREATE TABLE IF NOT EXISTS \"carried_files\" (\"device\" INTEGER NOT NULL, "
    "\"inode\" INTEGER NOT NULL, \"size\" INTEGER NOT NULL, \"modified\" INTEGER NOT NULL)";
constexpr const char* kInsertCarried =
    "INSERT INTO \"carried_files\" (\"device\", \"inode\", \"size\", \"modified\") "
    "VALUES (?, ?, ?, ?)";
constexpr const char* kSelectCarried =
    "SELECT 1 FROM \"carried_files\" WHERE \"device\" = ? AND \"inode\" = ? AND \"size\" = ? "
    "AND \"modified\" = ?";

constexpr std::string_view kCompanionSuffixes[] = {"-wal", "-shm", "-journal"};

std::function<void(const fs::path&)> movedAwayHook;
std::function<void(const fs::path&)> renamingHook;
std::function<void(std::string_view, const fs::path&)> carryingHook;
std::function<void(const fs::path&)> linkedHook;

bool somethingAt(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

// Whether `path` (not followed) names the file `held` describes.
bool names(const fs::path& path, const struct stat& held) {
  struct stat found;
  return ::lstat(path.c_str(), &found) == 0 && found.st_dev == held.st_dev &&
         found.st_ino == held.st_ino;
}

// Moves `from` to `to` on a file system that cannot rename without replacing:
// a second name `to` for the file, which a taken name refuses, then the old
// name taken away. Another program without the lock may set the same file
// aside and put its new database at `from` meanwhile, so `from` is never
// unlinked by name: whatever stands there is moved to a name of this
// process's own, unlinked there only when it is the file given the second
// name (held open since before the link, so that its inode stays its own),
// and given its name back otherwise. `linked` tells whether the file system
// made the second name.
int moveByLinking(const fs::path& from, const fs::path& to, bool& linked) {
  static std::atomic<uint64_t> counter{0};
  const int held = ::open(from.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (held < 0) return errno;
  struct stat file;
  int error = ::fstat(held, &file) == 0 ? 0 : errno;
  if (error == 0 && ::link(from.c_str(), to.c_str()) != 0) error = errno;
  linked = error == 0;
  if (error == 0 && !names(to, file)) {
    // The name was another file's by the time of the link (this one was
    // moved away meanwhile): the name given to that file is taken back.
    ::unlink(to.c_str());
    error = ENOENT;
  }
  if (error == 0) {
    if (linkedHook) linkedHook(from);
    const fs::path parked = to.string() + ".moving." + std::to_string(::getpid()) + "." +
                            std::to_string(counter.fetch_add(1));
    if (::rename(from.c_str(), parked.c_str()) == 0) {
      if (names(parked, file) || ::link(parked.c_str(), from.c_str()) == 0) {
        ::unlink(parked.c_str());
      } else {
        // A third file took `from` meanwhile: the one moved away by mistake
        // stays under the parked name, beside the set-aside files, and is
        // never deleted.
        DUZELogWarning(kDUZELogTag,
                       "Another program's file at %@ was moved while a file was set aside; it is "
                       "kept as %@.",
                       from.string(), parked.filename().string());
      }
    } else if (errno != ENOENT) {
      // The file still stands at `from`: the move failed, and the second
      // name, which only this process made, is taken back (unless it names
      // another file by now). Gone from `from` (ENOENT) is a move all the
      // same: another program moved it, and it is kept at `to`.
      error = errno;
      if (names(to, file)) ::unlink(to.c_str());
    }
  }
  ::close(held);
  return error;
}

// Renames `from` to `to` unless something stands at `to` already (a file, a
// link, a folder): 0, or the error, EEXIST when the name is taken.
int renameWithoutReplacing(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  bool linked = false;
  const int moved = moveByLinking(from, to, linked);
  if (linked || (moved != EPERM && moved != EOPNOTSUPP)) return moved;
  // Nor can it make a second name: only a program that takes the name
  // between this look and the rename can lose its file.
  if (somethingAt(to)) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

}  // namespace

struct DUZELogDBStorage::FileIdentity {
  int64_t device = 0;
  int64_t inode = 0;
  int64_t size = 0;
  int64_t modified = 0;  // nanoseconds

  static std::optional<FileIdentity> of(const fs::path& file) {
    struct stat st;
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return FileIdentity{
        static_cast<int64_t>(st.st_dev), static_cast<int64_t>(st.st_ino),
        static_cast<int64_t>(st.st_size),
        static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
  }
  void bind(sqlite3_stmt* stmt) const {
    int index = 0;
    for (int64_t value : {device, inode, size, modified}) {
      sqlite3_bind_int64(stmt, ++index, value);
    }
  }
};

#ifdef KX_TEST_SEAMS
void DUZELogDBStorageSeams::setMovedAwayHookForTesting(std::function<void(const fs::path&)> hook) {
  movedAwayHook = std::move(hook);
}

void DUZELogDBStorageSeams::setRenamingHookForTesting(std::function<void(const fs::path&)> hook) {
  renamingHook = std::move(hook);
}

void DUZELogDBStorageSeams::setLinkedHookForTesting(std::function<void(const fs::path&)> hook) {
  linkedHook = std::move(hook);
}

void DUZELogDBStorageSeams::setCarryingHookForTesting(
    std::function<void(std::string_view, const fs::path&)> hook) {
  carryingHook = std::move(hook);
}
#endif

DUZELogDBStorage::OpenResult DUZELogDBStorage::replace() {
  // Not a database of this schema: it is moved aside (not deleted, a later
  // version may read it) and the store starts anew rather than lose every
  // later log.
  closeDatabase();
  int error = 0;
  // A name of its own: an earlier set-aside file is never overwritten. A
  // file gone meanwhile was set aside by another program without a usable
  // lock file: a new one takes its place all the same.
  if (const auto aside = moveToUnusedName(file_, ".unusable", error)) {
    DUZELogError(kDUZELogTag,
                 "The log database at %@ cannot be used; it is replaced (the old file is kept as "
                 "%@).",
                 file_.string(), aside->filename().string());
  } else if (error != ENOENT) {
    DUZELogError(kDUZELogTag, "The log database at %@ cannot be used nor moved aside: %@",
                 file_.string(), std::string(std::strerror(error)));
    return OpenResult::Unusable;
  }
  const OpenResult result = open();
  if (result != OpenResult::Opened) {
    DUZELogError(kDUZELogTag, "Couldn't open the log database at %@.", file_.string());
    // Its rows wait under the set-aside name for the first open that works.
    return OpenResult::Unusable;
  }
  return result;
}

std::optional<fs::path> DUZELogDBStorage::moveToUnusedName(const fs::path& from,
                                                           std::string_view tag, int& error) {
  for (int n = 1;; ++n) {
    // Appended piece by piece: g++ 12 at -O3 takes `"." + std::string` for an
    // overlapping copy and warns.
    std::string text = file_.string();
    text += tag;
    if (n > 1) {
      text += '.';
      text += std::to_string(n);
    }
    const fs::path name(std::move(text));
    if (somethingAt(name) ||
        std::any_of(std::begin(kCompanionSuffixes), std::end(kCompanionSuffixes),
                    [&](std::string_view suffix) {
                      return somethingAt(name.string() + std::string(suffix));
                    })) {
      continue;
    }
    if (renamingHook) renamingHook(name);
    // Free a moment ago, but a program without a usable lock file may be
    // setting a file aside under it at the same time: the rename never
    // replaces, and the next name is tried.
    error = renameWithoutReplacing(from, name);
    if (error == EEXIST) continue;
    if (error != 0) return std::nullopt;
    if (movedAwayHook) movedAwayHook(from);
    for (auto suffix : kCompanionSuffixes) {
      const fs::path companion(from.string() + std::string(suffix));
      if (!somethingAt(companion)) continue;
      if (const int failed =
              renameWithoutReplacing(companion, name.string() + std::string(suffix))) {
        DUZELogWarning(kDUZELogTag, "Couldn't move %@ beside %@: %@", companion.string(),
                       name.filename().string(), std::string(std::strerror(failed)));
      }
    }
    return name;
  }
}

std::vector<fs::path> DUZELogDBStorage::setAsideFiles() const {
  const std::string prefix = file_.filename().string() + ".unusable";
  // In the order they were set aside: "" first, then ".2", ".3", ...; any
  // other name after those.
  std::vector<std::pair<uint64_t, fs::path>> found;
  std::error_code ec;
  for (fs::directory_iterator it(file_.parent_path(), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // A link under such a name is none of the store's files: it is not
    // followed.
    std::error_code statError;
    if (name.rfind(prefix, 0) != 0 ||
        it->symlink_status(statError).type() != fs::file_type::regular) {
      continue;
    }
    const std::string rest = name.substr(prefix.size());
    if (std::any_of(std::begin(kCompanionSuffixes), std::end(kCompanionSuffixes),
                    [&](std::string_view suffix) { return rest.ends_with(suffix); })) {
      continue;
    }
    uint64_t order = UINT64_MAX;
    if (rest.empty()) {
      order = 1;
    } else if (rest.size() > 1 && rest.size() < 19 && rest[0] == '.' &&
               std::all_of(rest.begin() + 1, rest.end(),
                           [](char c) { return c >= '0' && c <= '9'; })) {
      order = std::stoull(rest.substr(1));
    }
    found.emplace_back(order, it->path());
  }
  std::sort(found.begin(), found.end());
  std::vector<fs::path> files;
  for (auto& [order, path] : found) files.push_back(std::move(path));
  return files;
}

void DUZELogDBStorage::carrySetAsideFiles() {
  if (setAsideFiles().empty()) return;
  // One store at a time; the list is read again under the lock, since
  // another store may have carried files meanwhile.
  ReplacingLock carrying(*lockFile_, ReplacingLock::Mode::Exclusive);
  for (const fs::path& aside : setAsideFiles()) {
    size_t carried = 0;
    const CarryResult result = carryRowsFrom(aside, carried);
    // Not a database with a logs table this version reads: it keeps its name
    // (a later version may read it). Rows that could not be stored wait for a
    // later open. A file gone meanwhile was renamed by another store.
    if (result != CarryResult::Carried && result != CarryResult::CarriedBefore) continue;
    int error = 0;
    const auto kept = moveToUnusedName(aside, ".carried", error);
    if (!kept) {
      // Known as carried: a later open renames it without carrying it again.
      if (error != ENOENT) {
        DUZELogWarning(kDUZELogTag, "Couldn't rename %@ as carried: %@", aside.filename().string(),
                       std::string(std::strerror(error)));
      }
      continue;
    }
    if (result == CarryResult::CarriedBefore) {
      DUZELogInfo(kDUZELogTag, "%@ was carried before; the file is kept as %@.",
                  aside.filename().string(), kept->filename().string());
    } else {
      DUZELogInfo(kDUZELogTag,
                  "%d log(s) of %@ were carried into the log database; the file is kept as %@.",
                  static_cast<int>(carried), aside.filename().string(), kept->filename().string());
    }
  }
}

bool DUZELogDBStorage::wasCarried(const FileIdentity& identity) {
  Statement select(db_, kSelectCarried);
  // No table: nothing was ever carried into this database.
  if (!select.prepared()) return false;
  identity.bind(select.get());
  return sqlite3_step(select.get()) == SQLITE_ROW;
}

DUZELogDBStorage::CarryResult DUZELogDBStorage::carryRowsFrom(const fs::path& aside,
                                                              size_t& carried) {
  carried = 0;
  sqlite3_stmt* insert = insertStatement();
  if (carryingHook) carryingHook("carrying", aside);
  if (!insert) return CarryResult::Failed;
  // Whether the file was carried is asked inside the transaction that
  // carries it, before a byte of it is read: without a usable lock file
  // another store may carry it meanwhile, and one that waited for that
  // store's commit finds the file carried (also when that store died before
  // renaming it) and copies nothing.
  Transaction transaction(db_);
  if (!transaction.began()) return CarryResult::Failed;
  const auto found = FileIdentity::of(aside);
  if (!found) return CarryResult::Gone;
  if (!execute(db_, kCreateCarried)) return CarryResult::Failed;
  if (wasCarried(*found)) return CarryResult::CarriedBefore;
  sqlite3* old = nullptr;
  bool read = false;
  bool stored = true;
  if (sqlite3_open_v2(duze::sqlite::openingName(aside).c_str(), &old,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                      nullptr) == SQLITE_OK) {
    Statement select(old,
                     "SELECT \"groupId\", \"log\", \"targetToken\", \"targetKey\", "
                     "\"priority\" FROM \"logs\" ORDER BY \"id\"");
    read = select.prepared();
    // The rows up to the first one that cannot be read; a row this schema
    // refuses (a missing group, say) is skipped.
    while (read && stored && sqlite3_step(select.get()) == SQLITE_ROW) {
      StatementScope scope{insert};
      for (int column = 0; column < 5; ++column) {
        sqlite3_bind_value(insert, column + 1, sqlite3_column_value(select.get(), column));
      }
      const int step = sqlite3_step(insert);
      if (step == SQLITE_DONE) {
        ++carried;
      } else if ((sqlite3_extended_errcode(db_) & 0xFF) != SQLITE_CONSTRAINT) {
        logSqliteError("carry a log into");
        stored = false;
      }
    }
  }
  // Closing may fold the file's write-ahead log into it: what it is after
  // that is what a later open finds.
  sqlite3_close_v2(old);
  if (!read) return CarryResult::NotCarried;
  const auto identity = FileIdentity::of(aside);
  if (stored && identity) {
    Statement record(db_, kInsertCarried);
    stored = record.prepared();
    if (stored) {
      identity->bind(record.get());
      stored = sqlite3_step(record.get()) == SQLITE_DONE;
    }
  }
  if (stored && identity && transaction.commit()) {
    if (carryingHook) carryingHook("carried", aside);
    return CarryResult::Carried;
  }
  carried = 0;
  return CarryResult::Failed;
}
