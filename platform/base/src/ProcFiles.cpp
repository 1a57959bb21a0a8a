#include "base/ProcFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/ProcStat.h"

namespace base {
namespace {

// Opens `path` for reading, close-on-exec, errno kept; -1 when it cannot be.
int openForReading(const char* path) {
  if (path == nullptr) return -1;
  const int savedErrno = errno;
  const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
  errno = savedErrno;
  return fd;
}

// One read of `fd` into `buffer`, again when a signal interrupts it: the
// bytes read, 0 at the end, -1 when it fails.
long readOnce(int fd, char* buffer, size_t room) {
  for (;;) {
    const long got = syscall(SYS_read, fd, buffer, room);
    if (got >= 0 || errno != EINTR) return got;
  }
}

// A piece of a status or stat file read at a time: the lines are scanned as
// they come, so a file of any length needs no more.
constexpr size_t kPiece = 256;

// Feeds the file open on `fd`, from where it stands to its end, to `lines`
// (a scanner), a piece at a time, and closes it: false when a read fails.
template <class Scanner>
bool scanAndClose(int fd, Scanner* lines) {
  char piece[kPiece];
  long got;
  while ((got = readOnce(fd, piece, sizeof piece)) > 0)
    lines->feed(piece, static_cast<size_t>(got));
  syscall(SYS_close, fd);
  return got == 0;
}

// The status lines read, by their place in kStatusFields.
enum StatusLine : size_t {
  kStateLine,
  kTracerLine,
  kIdsLine,
  kPendingLine,
  kBlockedLine,
  kSwitchesLine,
  kIgnoredLine,
  kSeccompLine
};
constexpr ProcLineScanner::Field kStatusFields[] = {
    {"State:", ProcLineScanner::Kind::letter},
    {"TracerPid:", ProcLineScanner::Kind::decimal},
    {"NSpid:", ProcLineScanner::Kind::decimal},
    {"SigPnd:", ProcLineScanner::Kind::hex},
    {"SigBlk:", ProcLineScanner::Kind::hex},
    {"voluntary_ctxt_switches:", ProcLineScanner::Kind::decimal},
    {"SigIgn:", ProcLineScanner::Kind::hex},
    {"Seccomp:", ProcLineScanner::Kind::decimal},
};

constexpr ProcLineScanner::Field kBootTimeField[] = {{"btime ", ProcLineScanner::Kind::decimal}};

bool bootTimeOf(const ProcLineScanner::Value& value, int64_t* seconds) {
  if (!value.found || value.count != 1) return false;
  *seconds = static_cast<int64_t>(value.last);
  return true;
}

}  // namespace

ssize_t proc_read_and_close(int fd, char* text, size_t room) noexcept {
  const int savedErrno = errno;
  size_t filled = 0;
  long got = 0;
  while (filled + 1 < room && (got = readOnce(fd, text + filled, room - 1 - filled)) > 0) {
    filled += static_cast<size_t>(got);
  }
  syscall(SYS_close, fd);
  text[filled] = '\0';
  errno = savedErrno;
  return got < 0 ? -1 : static_cast<ssize_t>(filled);
}

ssize_t proc_read(const char* path, char* text, size_t room) noexcept {
  const int fd = openForReading(path);
  return fd < 0 ? -1 : proc_read_and_close(fd, text, room);
}

void ProcLineScanner::start(const Field* fields, size_t count, Value* values) noexcept {
  fields_ = fields;
  fieldCount_ = count;
  values_ = values;
  for (size_t i = 0; i < count; ++i) values[i] = {false, 0, 0};
  startLine();
}

void ProcLineScanner::startLine() noexcept {
  nameLength_ = 0;
  field_ = kInName;
  spoiled_ = false;
  digits_ = 0;
  count_ = 0;
  number_ = 0;
  last_ = 0;
}

void ProcLineScanner::feed(const char* bytes, size_t length) noexcept {
  for (size_t i = 0; i < length; ++i) take(bytes[i]);
}

void ProcLineScanner::endLine() noexcept {
  if (field_ >= 0 && digits_ > 0) {
    ++count_;
    last_ = number_;
  }
  if (field_ >= 0 && !spoiled_ && count_ > 0) values_[field_] = {true, count_, last_};
  startLine();
}

void ProcLineScanner::take(char c) noexcept {
  if (c == '\n') {
    endLine();
    return;
  }
  if (field_ == kNoField) return;
  if (field_ == kInName) {
    if (nameLength_ == kNameRoom) {
      field_ = kNoField;
      return;
    }
    name_[nameLength_++] = c;
    if (c != ':' && c != ' ') return;
    field_ = kNoField;
    for (size_t f = 0; f < fieldCount_; ++f) {
      const char* name = fields_[f].name;
      size_t at = 0;
      while (at < nameLength_ && name[at] == name_[at]) ++at;
      if (at == nameLength_ && name[at] == '\0') field_ = static_cast<int>(f);
    }
    return;
  }
  const Kind kind = fields_[field_].kind;
  const bool blank = c == ' ' || c == '\t';
  if (kind == Kind::letter) {
    if (!blank && count_ == 0) {
      count_ = 1;
      last_ = static_cast<unsigned char>(c);
    }
    return;
  }
  int digit = c >= '0' && c <= '9' ? c - '0' : -1;
  if (kind == Kind::hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
  if (kind == Kind::hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
  if (digit >= 0) {
    // A number that may not fit 64 bits is no number of the kernel's.
    if (++digits_ > (kind == Kind::hex ? 16u : 19u)) spoiled_ = true;
    number_ = number_ * (kind == Kind::hex ? 16 : 10) + static_cast<uint64_t>(digit);
  } else if (blank) {
    if (digits_ > 0) {
      ++count_;
      last_ = number_;
    }
    digits_ = 0;
    number_ = 0;
  } else {
    spoiled_ = true;
  }
}

void ProcStatusScanner::start() noexcept { lines_.start(kStatusFields, kFields, values_); }

void ProcStatusScanner::feed(const char* bytes, size_t length) noexcept {
  lines_.feed(bytes, length);
}

ProcStatus ProcStatusScanner::status() const noexcept {
  static_assert(sizeof kStatusFields / sizeof kStatusFields[0] == kFields);
  ProcStatus status = {};
  // One number where one is meant (NSpid may have several): its value, and
  // `bit` in `found`.
  auto one = [this, &status](StatusLine line, uint32_t bit) {
    const ProcLineScanner::Value& value = values_[line];
    if (!value.found || value.count != 1) return uint64_t{0};
    status.found |= bit;
    return value.last;
  };
  status.state = static_cast<char>(one(kStateLine, ProcStatus::kState));
  status.tracer = static_cast<int64_t>(one(kTracerLine, ProcStatus::kTracer));
  status.pending = one(kPendingLine, ProcStatus::kPending);
  status.blocked = one(kBlockedLine, ProcStatus::kBlocked);
  status.switches = one(kSwitchesLine, ProcStatus::kSwitches);
  status.ignored = one(kIgnoredLine, ProcStatus::kIgnored);
  status.seccomp = one(kSeccompLine, ProcStatus::kSeccomp);
  if (values_[kIdsLine].found) {
    status.found |= ProcStatus::kIds;
    status.idCount = values_[kIdsLine].count;
    status.ownId = static_cast<int64_t>(values_[kIdsLine].last);
  }
  return status;
}

bool proc_stat_read_and_close(int fd, ProcStat* stat) noexcept {
  const int savedErrno = errno;
  ProcStatScanner scanner;
  scanner.start();
  scanAndClose(fd, &scanner);
  errno = savedErrno;
  if (!scanner.complete()) return false;
  *stat = scanner.stat();
  return true;
}

bool proc_stat_read(const char* path, ProcStat* stat) noexcept {
  const int fd = openForReading(path);
  return fd >= 0 && proc_stat_read_and_close(fd, stat);
}

bool proc_status_read_and_close(int fd, ProcStatus* status) noexcept {
  const int savedErrno = errno;
  ProcStatusScanner scanner;
  scanner.start();
  const bool read = scanAndClose(fd, &scanner);
  *status = scanner.status();
  errno = savedErrno;
  return read;
}

bool proc_status_read(const char* path, ProcStatus* status) noexcept {
  const int fd = openForReading(path);
  if (fd < 0) {
    *status = {};
    return false;
  }
  return proc_status_read_and_close(fd, status);
}

bool proc_status_numbers_as_own(const ProcStatus& status) noexcept {
  return (status.found & ProcStatus::kIds) != 0 && status.idCount == 1;
}

bool proc_numbers_as_this_process() noexcept {
  static constexpr ProcPath kOwn = ProcPath(kProcThreadSelf);
  static constexpr ProcPath kOwnStatus = ProcPath(kProcThreadSelf).file("status");
  ProcStatus status;
  if (proc_status_read(kOwnStatus.c_str(), &status)) return proc_status_numbers_as_own(status);
  // No descriptor to read it with: the link names "<process>/task/<thread>"
  // by /proc's numbers, which are the own ones where they agree.
  const int savedErrno = errno;
  char target[64];
  const ssize_t length = readlink(kOwn.c_str(), target, sizeof target - 1);
  errno = savedErrno;
  if (length <= 0) return false;
  target[length] = '\0';
  // The own numbers as /proc would name them, without "/proc/".
  const ProcPath own = ProcPath(syscall(SYS_getpid)).file("task").id(syscall(SYS_gettid));
  const char* ownPath = own.c_str() + sizeof "/proc";
  for (ssize_t i = 0; i <= length; ++i) {
    if (ownPath[i] != target[i]) return false;
  }
  return true;
}

bool proc_boot_time_parse(const char* text, size_t length, int64_t* seconds) noexcept {
  ProcLineScanner lines;
  ProcLineScanner::Value value;
  lines.start(kBootTimeField, 1, &value);
  lines.feed(text, length);
  return bootTimeOf(value, seconds);
}

bool proc_boot_time(int64_t* seconds) noexcept {
  static constexpr ProcPath kSystemStat = ProcPath(kProcSystem).file("stat");
  const int savedErrno = errno;
  const int fd = openForReading(kSystemStat.c_str());
  ProcLineScanner lines;
  ProcLineScanner::Value value;
  lines.start(kBootTimeField, 1, &value);
  const bool read = fd >= 0 && scanAndClose(fd, &lines);
  errno = savedErrno;
  return read && bootTimeOf(value, seconds);
}

long detail::gProcClockTicks = 0;

long detail::procClockTicksSlow() noexcept {
  // Every kernel gives the rate; 100 is what it has been wherever this runs.
  const int savedErrno = errno;
  long ticks = static_cast<long>(getauxval(AT_CLKTCK));
  errno = savedErrno;
  if (ticks <= 0) ticks = 100;
  __atomic_store_n(&gProcClockTicks, ticks, __ATOMIC_RELAXED);
  return ticks;
}

namespace {
__attribute__((constructor(101))) void clockTicksAtLoad() { (void)detail::procClockTicksSlow(); }
}  // namespace

}  // namespace base
