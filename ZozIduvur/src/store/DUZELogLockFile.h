#pragma once

#include <filesystem>

// The lock file beside a log database ("<database>.lock"), through which the
// stores on one database (in this process or others) take turns. Each byte
// of it guards one thing:
// - the sending byte, held by the store that sends while it is open;
// - the replacing byte, held shared while a store opens the database, and
//   exclusively while a store sets a file aside or carries rows.
// Its locks belong to the open file, not to the process, so that two stores
// in one process exclude each other as two processes do; closing the file,
// or the end of the process however it ends, lets them go.
//
// The file is opened on first use. Not thread-safe: its store calls it under
// its own lock.
class DUZELogLockFile {
 public:
  explicit DUZELogLockFile(std::filesystem::path path);
  ~DUZELogLockFile();
  DUZELogLockFile(const DUZELogLockFile&) = delete;
  DUZELogLockFile& operator=(const DUZELogLockFile&) = delete;

  // Whether its store may send: see DUZELogDBStorage::claimSending, which
  // says what this does when the file cannot be opened or locked.
  bool claimSending();
  // Closes the file, letting go of every byte it holds; another store may
  // send from now on. A later use opens it again.
  void close();

  // Holds the replacing byte for a scope, waiting for it; without a usable
  // lock file it holds nothing.
  class ReplacingLock {
   public:
    enum class Mode { Shared, Exclusive };
    ReplacingLock(DUZELogLockFile& file, Mode mode);
    ~ReplacingLock();
    ReplacingLock(const ReplacingLock&) = delete;
    ReplacingLock& operator=(const ReplacingLock&) = delete;

   private:
    int fd_;
  };

 private:
  // The descriptor, opened (and made owner-read-write) on first use; -1 when
  // the file cannot be opened for writing or is a symbolic link (never
  // followed), with the reason in `openError_`.
  int descriptor();
  // Says once that its store sends without the lock, and why.
  void warnSendingWithoutLock(bool unopenable, int error);
  // In a forked child, for every lock file: lets go of the copy of the
  // parent's descriptor and of the parent's claim to send.
  static void afterForkInChild();

  std::filesystem::path path_;
  // Opened and closed under the registry of lock files too (see
  // afterForkInChild).
  int fd_ = -1;
  int openError_ = 0;
  bool sending_ = false;
  bool warned_ = false;
};
