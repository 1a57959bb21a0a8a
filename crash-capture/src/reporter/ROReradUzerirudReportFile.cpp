#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ROReradUzerirudCrashTime.h"
#include "base/ProcFiles.h"
#include "safe/AsyncFile.h"
#include "system/ReservedDescriptors.h"
#include "system/SignalSafe.h"

// A report's file: made without a name (or under a hidden temporary one),
// written, and named once whole.

namespace rocrash::reporter {
namespace {

constexpr uint64_t kOutputLimit = 1024 * 1024;

// The longest path a crash-time name is built into.
constexpr size_t kPathRoom = 4096;

// A report's hidden temporary name: the prefix, a number, the suffix.
constexpr char kTemporaryPrefix[] = ".report-";
constexpr char kTemporarySuffix[] = ".tmp";

// Appends `text` to the path being built in `path` (kPathRoom bytes); false
// when it does not fit.
bool appendText(char* path, size_t* length, const char* text) {
  for (; *text != '\0'; ++text) {
    if (*length + 1 >= kPathRoom) return false;
    path[(*length)++] = *text;
  }
  path[*length] = '\0';
  return true;
}

bool appendNumber(char* path, size_t* length, uint64_t value) {
  char text[sys::kDecimalDigitsMax + 1];
  text[sys::format_decimal(value, text)] = '\0';
  return appendText(path, length, text);
}

// `folder`, "/", `bytes` (16) in hex and ".rocrash" into `path` (kPathRoom
// bytes): for a report's UUID, a name no other report has.
bool queuedNameOf(const char* folder, const uint8_t* bytes, char* path) {
  size_t length = 0;
  if (!appendText(path, &length, folder) || !appendText(path, &length, "/")) return false;
  char hex[33];
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    hex[2 * i] = kDigits[bytes[i] >> 4];
    hex[2 * i + 1] = kDigits[bytes[i] & 0xF];
  }
  hex[32] = '\0';
  return appendText(path, &length, hex) && appendText(path, &length, ".rocrash");
}

// The queued-reports folder's name for the report being written.
bool queuedName(const rocrash_log_writer& writer, char* path) {
  return queuedNameOf(gStorage.queueFolder, writer.report_info.uuid_bytes, path);
}

// Where a report is being written: a file without a name and the view of
// the writing thread's descriptors that names it, a hidden temporary name in
// the data folder, or the file prepared at enabling (`prepared`).
struct ReportFile {
  int fd = -1;
  // Whose descriptors name it in /proc (base/ProcFiles.h): the writing
  // thread's or the process's.
  int64_t view = base::kProcSelf;
  char temporary[kPathRoom] = {};
  bool prepared = false;
};

// A prepared file's first byte: 0 (as made, or while its report is being
// written after it), then this once the report that follows it is whole.
constexpr char kWholeMark = 1;

// The view of the writing thread's descriptors through which `fd` can be
// named, into `*view`; false when none can (/proc is gone: a sandbox entered
// after enabling covers it). The thread's own view comes first: the
// process's (/proc/self) is gone once the main thread has exited, while
// other threads run on.
bool viewNaming(int fd, int64_t* view) {
  struct stat file, seen;
  if (fstat(fd, &file) != 0) return false;
  for (const int64_t whose : {base::kProcThreadSelf, base::kProcSelf}) {
    const base::ProcPath path = base::ProcPath(whose).file("fd").id(fd);
    if (stat(path.c_str(), &seen) == 0 && seen.st_dev == file.st_dev &&
        seen.st_ino == file.st_ino) {
      *view = whose;
      return true;
    }
  }
  return false;
}

// Marks the file open on `fd` as being written, for as long as this process
// lives: a lock on its open file description, which the kernel lets go of
// however the process ends (no process id needed, which would not hold
// across process id namespaces). False when an enabling that removes the
// hidden files of ended writers holds the file: it has taken or takes its
// name away. Where the file system keeps no such locks nothing is removed.
bool markBeingWritten(int fd) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &lock) != 0) return errno != EAGAIN && errno != EACCES;
  // Removed between its making and the lock.
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_nlink > 0;
}

// Opens a file of a hidden name of its own in `folder`, locked as being
// written (markBeingWritten): a name drawn at random, so that writers of
// other processes (of another process id namespace too) never meet. A file
// made but not locked is removed again.
bool openHidden(const char* folder, ReportFile* out) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    uint64_t draw = 0;
    if (syscall(SYS_getrandom, &draw, sizeof draw, GRND_NONBLOCK) != sizeof draw) {
      draw = static_cast<uint64_t>(getpid()) << 32 ^ static_cast<uint64_t>(sys::monotonic_ns()) ^
             static_cast<uint64_t>(attempt);
    }
    size_t length = 0;
    if (!appendText(out->temporary, &length, folder) || !appendText(out->temporary, &length, "/") ||
        !appendText(out->temporary, &length, kTemporaryPrefix) ||
        !appendNumber(out->temporary, &length, draw) ||
        !appendText(out->temporary, &length, kTemporarySuffix)) {
      break;
    }
    out->fd = open(out->temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out->fd >= 0 && markBeingWritten(out->fd)) return true;
    if (out->fd >= 0) {
      unlink(out->temporary);
      close(out->fd);
      out->fd = -1;
    } else if (errno != EEXIST) {
      break;
    }
  }
  out->temporary[0] = '\0';
  return false;
}

// A hidden file in the data folder for the report. Its lock lasts as long
// as a table holds its descriptor: a child (`child`) takes a table of its
// own first, so that a child killed before naming the file leaves it to the
// next enabling, also where it shared its parent's table (clone with
// CLONE_FILES) and the parent lives on; where none can be had, the file is
// made all the same. The enabling process writes into the table it has:
// taking another may need a throwaway process (sys::system_call_probe),
// whose clone a sandbox entered after enabling may answer by ending the
// process, and its report would be lost for a file that lingers only while
// a process that shares its table (a CLONE_FILES child of its) lives on.
bool openTemporary(const char* folder, bool child, ReportFile* out) {
  if (child) (void)sys::descriptor_table_make_own();
  return openHidden(folder, out);
}

// Opens a new file for a report in `folder`: one without a name, or a
// temporary one.
bool openNewReportFile(const char* folder, bool child, ReportFile* out) {
  out->fd = open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (out->fd >= 0) {
    if (viewNaming(out->fd, &out->view)) return true;
    close(out->fd);
  }
  return openTemporary(folder, child, out);
}

// Whether the data folder lets the process (as it is now, its effective
// user) make and name files there.
bool folderWritable() {
  return faccessat(AT_FDCWD, gStorage.dataFolder, W_OK | X_OK, AT_EACCESS) == 0;
}

// Opens the file the report goes into. `child`: a process other than the
// enabling one, which writes a file of its own; `sharedMemory`: one that runs
// in the enabling process's memory, which it leaves as it found it.
bool openReportFile(bool child, bool sharedMemory, ReportFile* out) {
  // The enabling process that gave up the user it enabled as (a daemon that
  // enabled as root): the file it prepared then.
  if (!child && gStorage.preparedFile >= 0 && !folderWritable() &&
      sys::descriptor_still_names(gStorage.preparedFile, gStorage.preparedFileIdentity, false)) {
    out->fd = gStorage.preparedFile;
    out->prepared = true;
    gStorage.preparedFile = -1;
    return true;
  }
  const int reserved = gStorage.reportFile;
  int parents = -1;
  if (reserved >= 0) {
    const bool ours = sys::descriptor_still_names(reserved, gStorage.reportFileIdentity, true);
    if (ours && !child && viewNaming(reserved, &out->view)) {
      out->fd = reserved;
      gStorage.reportFile = -1;
      return true;
    }
    // The process's own file goes when it cannot be named; a number that
    // names a file of the program's now is left alone.
    if (ours && !child) close(reserved);
    if (ours && child) parents = reserved;
    if (!sharedMemory) gStorage.reportFile = -1;
  }
  const bool opened = openNewReportFile(gStorage.dataFolder, child, out);
  if (parents < 0) return opened;
  // A child's copy of the parent's file goes once the child's own file tells
  // its table apart from the parent's, or, when it could open none (it used
  // up its descriptors), in a copy of its table made for this thread, where
  // its own then takes the number that frees. The enabling process's file
  // stays open in a table the child shares with it (clone with CLONE_FILES).
  sys::process_identity owner;
  owner.pid = static_cast<int32_t>(gStorage.writer.forked_process.set_up_in);
  owner.startTicks = gStorage.writer.process_info.start_ticks;
  const bool closed = sys::descriptor_close_copy(parents, owner, true, opened ? out->fd : -1);
  return opened || (closed && openNewReportFile(gStorage.dataFolder, child, out));
}

// Gives the whole report the name `path`, never replacing a file there: an
// unnamed file through the view that names it, a temporary one renamed.
bool nameReport(ReportFile* file, const char* path) {
  if (file->temporary[0] != '\0') {
    if (renameat2(AT_FDCWD, file->temporary, AT_FDCWD, path, RENAME_NOREPLACE) == 0) {
      file->temporary[0] = '\0';
      return true;
    }
    // A file system that cannot rename without replacing: a second name,
    // the temporary one removed after.
    if (errno != EINVAL) return false;
    return link(file->temporary, path) == 0;
  }
  const base::ProcPath self = base::ProcPath(file->view).file("fd").id(file->fd);
  return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
}

// The report of the process that enabled the reporter becomes the pending
// report, unless an earlier run's is still there: it is never replaced, and
// this one is queued beside it. A forked child's report is queued, so that
// any number of children's reports survive to the next launch.
bool publishReport(bool child, const rocrash_log_writer& writer, ReportFile* file) {
  char path[kPathRoom];
  if (!child) {
    if (nameReport(file, gStorage.reportPath)) return true;
    if (errno != EEXIST) return false;
  }
  return queuedName(writer, path) && nameReport(file, path);
}

}  // namespace

namespace {

// A queued report's name nobody has: 16 random bytes for a UUID.
std::string randomQueuedName(const char* folder) {
  uint8_t bytes[16] = {};
  if (getrandom(bytes, sizeof bytes, 0) != sizeof bytes) {
    const uint64_t stir =
        static_cast<uint64_t>(sys::monotonic_ns()) ^ static_cast<uint64_t>(getpid());
    memcpy(bytes, &stir, sizeof stir);
  }
  char path[kPathRoom];
  return queuedNameOf(folder, bytes, path) ? std::string(path) : std::string();
}

// Names the whole report a prepared file `fd` holds after its mark: a copy
// without the mark, made as a crash makes its file (without a name, or under
// a hidden name of its own where the file system cannot make such files) and
// named as the pending report, or queued when one is pending. False, leaving
// everything for a later enabling, when that cannot be done.
bool namePreparedReport(int fd, const char* dataFolder, const char* reportPath,
                        const char* queueFolder) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size <= 1 || st.st_size > static_cast<off_t>(kOutputLimit) + 1) {
    return false;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size) - 1);
  if (pread(fd, bytes.data(), bytes.size(), 1) != static_cast<ssize_t>(bytes.size())) return false;
  ReportFile copy;
  if (!openNewReportFile(dataFolder, false, &copy)) return false;
  bool named = write(copy.fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  if (named && !nameReport(&copy, reportPath)) {
    named = errno == EEXIST && nameReport(&copy, randomQueuedName(queueFolder).c_str());
  }
  if (copy.temporary[0] != '\0') unlink(copy.temporary);
  close(copy.fd);
  return named;
}

// The file prepared for this process (see prepareReportFile): its name, and
// the process that made it, which alone removes it.
char gPreparedName[kPathRoom];
sys::process_identity gPreparedBy;

// Removes the name of the file prepared for this process, while no crash
// has taken it (a crash takes it out of the record before it writes), as
// long as the process is the one that made it (not a child that ends
// normally while its parent lives on). A process that may no longer change
// the folder (it gave up root) leaves it to the next enabling.
void removePreparedName() {
  const int fd = gStorage.preparedFile;
  if (fd < 0 || gPreparedName[0] == '\0' ||
      !sys::descriptor_still_names(fd, gStorage.preparedFileIdentity, false)) {
    return;
  }
  const sys::process_identity self = sys::process_identity_self();
  struct stat held, named;
  if (self.pid == gPreparedBy.pid && self.startTicks == gPreparedBy.startTicks &&
      fstat(fd, &held) == 0 && lstat(gPreparedName, &named) == 0 && named.st_dev == held.st_dev &&
      named.st_ino == held.st_ino) {
    unlink(gPreparedName);
  }
}

}  // namespace

void removeEndedWritersFiles(const char* dataFolder, const char* reportPath,
                             const char* queueFolder) {
  const int folder = open(dataFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return;
  DIR* entries = fdopendir(dup(folder));
  const size_t prefix = strlen(kTemporaryPrefix), suffix = strlen(kTemporarySuffix);
  while (struct dirent* entry = entries != nullptr ? readdir(entries) : nullptr) {
    const char* name = entry->d_name;
    const size_t length = strlen(name);
    if (length <= prefix + suffix || strncmp(name, kTemporaryPrefix, prefix) != 0 ||
        strcmp(name + length - suffix, kTemporarySuffix) != 0) {
      continue;
    }
    const int fd = openat(folder, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    // A writer that lives holds its file's lock: a file whose lock can be
    // had is one a writer left when it ended, unless the name is another
    // file's by now. The lock is the whole file's and this process's alone,
    // so that no other enabling names or removes the file meanwhile, and it
    // goes with this process (a child forked meanwhile does not hold it, as
    // it would hold a lock on the open file).
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    struct stat held, named;
    char mark = 0;
    if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && fcntl(fd, F_SETLK, &lock) == 0 &&
        fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino &&
        (pread(fd, &mark, 1, 0) != 1 || mark != kWholeMark ||
         namePreparedReport(fd, dataFolder, reportPath, queueFolder))) {
      unlinkat(folder, name, 0);
    }
    close(fd);
  }
  if (entries != nullptr) closedir(entries);
  close(folder);
}

void prepareReportFile(const char* dataFolder) {
  ReportFile prepared;
  if (geteuid() != 0 || !openHidden(dataFolder, &prepared)) return;
  if (!sys::descriptor_identify(prepared.fd, &gStorage.preparedFileIdentity)) {
    unlink(prepared.temporary);
    close(prepared.fd);
    return;
  }
  memcpy(gPreparedName, prepared.temporary, sizeof gPreparedName);
  gPreparedBy = sys::process_identity_self();
  gStorage.preparedFile = prepared.fd;
  // A process that ends without a crash leaves no file behind.
  static std::once_flag registered;
  std::call_once(registered, [] { atexit(removePreparedName); });
}

void closePreparedFile() {
  removePreparedName();
  if (gStorage.preparedFile >= 0 &&
      sys::descriptor_still_names(gStorage.preparedFile, gStorage.preparedFileIdentity, false)) {
    close(gStorage.preparedFile);
  }
  gStorage.preparedFile = -1;
  gPreparedName[0] = '\0';
}

// The most bytes a report may take: the engine's limit, or the file-size
// limit when that is lower (a report cut off by it could not be read). 0
// when nothing may be written.
uint64_t reportLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur >= kOutputLimit) {
    return kOutputLimit;
  }
  return limit.rlim_cur;
}

// Writes the report into a file without a name (or a temporary one) and names
// it only once it is whole: a writer that is killed, or that faults, leaves
// no cut report and replaces none. The report is fitted to the file-size
// limit, and the limit's signal stays blocked on this thread for good: the
// crash's own signal, not that one, ends the process.
rocrash_error_t writeCrashReport(rocrash_log_writer* writer, sys::thread_t crashedThread,
                                 const rocrash_log_crash_info* info,
                                 const rocrash_async_thread_state* current, bool sharedMemory) {
  sigset_t fileSize;
  sigemptyset(&fileSize);
  sigaddset(&fileSize, SIGXFSZ);
  sigprocmask(SIG_BLOCK, &fileSize, nullptr);
  const uint64_t limit = reportLimit();
  if (limit == 0) return ROCRASH_ERR_INTERNAL;
  // A forked child's facts are read first, while the descriptor the report
  // file will take is still free.
  const bool child = rocrash_log_writer_adopt_process(writer);
  ReportFile report;
  if (!openReportFile(child, sharedMemory, &report)) return ROCRASH_ERR_INTERNAL;
  // A prepared file's report follows its mark, which is written last: the
  // next enabling names a report whose mark says it is whole.
  if (report.prepared && lseek(report.fd, 1, SEEK_SET) != 1) return ROCRASH_ERR_INTERNAL;
  rocrash_async_file file;
  rocrash_async_file_init(&file, report.fd, limit);
  rocrash_error_t result =
      rocrash_log_writer_write(writer, crashedThread, &gImageList, &file, info, current);
  bool whole = rocrash_log_writer_close(writer) == ROCRASH_ERR_NONE &&
               rocrash_async_file_flush(&file) && !file.refused;
  bool published = whole && (report.prepared ? pwrite(report.fd, &kWholeMark, 1, 0) == 1
                                             : publishReport(child, *writer, &report));
  if (report.temporary[0] != '\0') unlink(report.temporary);
  if (close(report.fd) != 0 || !published) return ROCRASH_ERR_INTERNAL;
  return result;
}

}  // namespace rocrash::reporter
