#include "DUZELogLockFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "DUZEOwnFile.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvur/DUZEUtility.h"
#include "base/Fork.h"
#include "base/Mutex.h"
#include "base/ThreadSafety.h"

namespace {

// The bytes the header describes.
constexpr off_t kSendingByte = 0;
constexpr off_t kReplacingByte = 1;

// Locks one byte of an open lock file, as `command` says (waiting or not);
// 0, or the error.
int lockByte(int fd, off_t byte, int command, short type = F_WRLCK) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  while (::fcntl(fd, command, &lock) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Every lock file of the process: one is opened and closed under this lock,
// which a fork takes too, so that a forked child knows every lock file
// descriptor it copied. Never destroyed: stores held by other static objects
// may end after it would.
struct LockFileRegistry {
  base::Mutex mutex;
  std::set<DUZELogLockFile*> members KX_GUARDED_BY(mutex);
};
LockFileRegistry& registry() {
  static LockFileRegistry* const registry = new LockFileRegistry;
  return *registry;
}

// Held from before a fork until it is done, in the parent and in the child.
void lockRegistryForFork() KX_ACQUIRE(registry().mutex) { registry().mutex.lock(); }
void unlockRegistryAfterFork() KX_RELEASE(registry().mutex) { registry().mutex.unlock(); }

}  // namespace

DUZELogLockFile::DUZELogLockFile(std::filesystem::path path) : path_(std::move(path)) {
  // Without its handlers a forked child would keep its parent's lock.
  static std::once_flag forkHandlers;
  std::call_once(forkHandlers, [] {
    base::fork_join_or_stop(base::ForkPhase::telemetry, {.prepare = lockRegistryForFork,
                                                         .parent = unlockRegistryAfterFork,
                                                         .child = afterForkInChild});
  });
  LockFileRegistry& files = registry();
  base::LockGuard lock(files.mutex);
  files.members.insert(this);
}

DUZELogLockFile::~DUZELogLockFile() {
  close();
  LockFileRegistry& files = registry();
  base::LockGuard lock(files.mutex);
  files.members.erase(this);
}

// Only the forking thread runs in the child, holding the registry's lock
// since before the fork. A store's own lock is not taken: a thread that held
// it did not come along and never lets it go.
void DUZELogLockFile::afterForkInChild() KX_RELEASE(registry().mutex) {
  for (DUZELogLockFile* file : registry().members) {
    // The copy would keep the parent's locks for as long as the child lives
    // (a lock of an open file description lasts while any copy of it is
    // open), and the parent's claim is not the child's: a child that sends
    // takes a lock of its own, on a description of its own.
    if (file->fd_ >= 0) ::close(file->fd_);
    file->fd_ = -1;
    file->sending_ = false;
  }
  unlockRegistryAfterFork();
}

void DUZELogLockFile::close() {
  {
    base::LockGuard files(registry().mutex);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  sending_ = false;
}

int DUZELogLockFile::descriptor() {
  if (fd_ >= 0) return fd_;
  DUZEUtility::createDirectoryAtURL(path_.parent_path());
  base::LockGuard files(registry().mutex);
  // Owner-read-write whatever the umask, and given back to a lock file of
  // this user's that lost it: one without the owner's write permission would
  // keep every later run from locking it. A link there is not followed.
  const duze::OwnFile file = duze::makeOwnerOnly(path_, true);
  const int fd = file.regular() ? ::open(path_.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC) : -1;
  if (fd < 0) {
    openError_ = file.regular() ? errno : file.error;
    return -1;
  }
  fd_ = fd;
  return fd;
}

bool DUZELogLockFile::claimSending() {
  if (sending_) return true;
  const int fd = descriptor();
  if (fd < 0) {
    // Another user's file (left by a run under sudo), a folder, ...: sending
    // goes on without the lock rather than never.
    warnSendingWithoutLock(true, openError_);
    return true;
  }
  const int error = lockByte(fd, kSendingByte, F_OFD_SETLK);
  if (error == EAGAIN || error == EACCES) return false;  // another store sends
  if (error != 0) warnSendingWithoutLock(false, error);
  sending_ = error == 0;
  return true;
}

void DUZELogLockFile::warnSendingWithoutLock(bool unopenable, int error) {
  if (std::exchange(warned_, true)) return;
  const std::string lock = path_.string();
  DUZELogWarning(
      kDUZELogTag,
      "The sending lock %@ (%@); logs are sent without it, and other programs on this "
      "data folder may send the same logs.",
      unopenable ? "file " + lock + " cannot be opened" : "of " + lock + " cannot be taken",
      error == ELOOP ? std::string("it is a symbolic link, which is not followed")
                     : std::string(std::strerror(error)));
}

DUZELogLockFile::ReplacingLock::ReplacingLock(DUZELogLockFile& file, Mode mode)
    : fd_(file.descriptor()) {
  const short type = mode == Mode::Shared ? F_RDLCK : F_WRLCK;
  if (fd_ >= 0 && lockByte(fd_, kReplacingByte, F_OFD_SETLKW, type) != 0) fd_ = -1;
}

DUZELogLockFile::ReplacingLock::~ReplacingLock() {
  if (fd_ < 0) return;
  struct flock unlock {};
  unlock.l_type = F_UNLCK;
  unlock.l_whence = SEEK_SET;
  unlock.l_start = kReplacingByte;
  unlock.l_len = 1;
  ::fcntl(fd_, F_OFD_SETLK, &unlock);
}
