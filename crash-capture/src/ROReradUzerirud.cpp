#include "crash-capture/ROReradUzerirud.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <type_traits>

#include "crash-capture/AsyncFile.h"
#include "crash-capture/AsyncMachException.h"
#include "crash-capture/ROCrashLog.h"
#include "crash-capture/ROCrashLogWriter.h"
#include "crash-capture/ROCrashProcessInfo.h"
#include "crash-capture/ROCrashSignalHandler.h"
#include "crash-capture/ROReradUzerirudError.h"
#include "crash-capture/detail/Assert.h"
#include "foundation/Bundle.h"
#include "foundation/Paths.h"
#include "objc/NSException.h"
#include "system/ImageEvents.h"
#include "system/ReservedDescriptors.h"
#include "system/SystemFacts.h"
#include "system/ThreadStacks.h"

namespace {

// The engine's own folder under the caches folder.
constexpr const char* kDataFolderName = "org.kestrix.crash-capture";
constexpr const char* kExceptionName = "ROReradUzerirudException";
constexpr uint64_t kOutputLimit = 1024 * 1024;
constexpr int kFatalSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};

// Everything the crash-time callbacks read, filled before any handler can
// run and read without locks.
struct CrashStorage {
  rocrash_log_writer writer;
  char* reportPath = nullptr;
  char* dataFolder = nullptr;
  char* queueFolder = nullptr;
  // The report's file, made at enabling without a name (O_TMPFILE) in the
  // data folder: a process that has used up its descriptors still has it. It
  // gets its name once the report in it is whole. -1 where the file system
  // cannot make such files; the file is then made at crash time. It is
  // written only while the number still names that file, unnamed: a program
  // that closed it and got the number back for a file of its own keeps that
  // file as it was.
  int reportFile = -1;
  sys::descriptor_identity reportFileIdentity;
  rocrash_mach_exception_port_set previousPorts{};
  void* callbackContext = nullptr;
  void (*handleSignal)(siginfo_t*, void*, void*) = nullptr;
};
CrashStorage gStorage;
// Read by the handlers until the process ends, static destruction included.
static_assert(std::is_trivially_destructible_v<CrashStorage>);

std::mutex gEnableLock;
bool gEnabledOnce = false;
std::atomic<uint32_t> gUncaughtExceptionSeen{0};
std::atomic<NSUncaughtExceptionHandler> gUncaughtExceptionHandler{nullptr};
// In Mach mode the server lives as long as the process, through the static
// destruction at exit too: a crash in a global destructor still has it.
std::shared_ptr<ROCrashMachExceptionServer>& gMachServer =
    *new std::shared_ptr<ROCrashMachExceptionServer>();

rocrash_async_image_list gImageList;
std::once_flag gInitializeOnce;

void initializeClass() {
  std::call_once(gInitializeOnce, [] {
    rocrash_async_image_list_init(&gImageList, sys::mach_task_self());
    rocrash_async_image_list_register_notifications(&gImageList);
  });
}

// Where reports are kept unless the configuration says: beside the
// application's data when a data folder is named for the run (so that two
// data folders never share a pending report), else the user's caches.
std::string userCachesFolder() {
  const std::string dataVariable(foundation::kDataDirectoryEnvironmentVariable);
  if (const char* data = getenv(dataVariable.c_str()); data != nullptr && data[0] != '\0') {
    return data;
  }
  const char* xdg = getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = getenv("HOME");
  return std::string(home != nullptr ? home : "/tmp") + "/.cache";
}

std::string temporaryFolder() {
  const char* tmp = getenv("TMPDIR");
  return tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
}

void raiseEngineException(const std::string& reason) {
  objc::NSException::raise(kExceptionName, reason);
}

std::shared_ptr<foundation::NSError> posixError(int errorNumber) {
  return foundation::NSError::create(std::string(foundation::NSPOSIXErrorDomain), errorNumber);
}

std::shared_ptr<foundation::NSError> fileError(const std::string& path, int errorNumber) {
  return foundation::NSError::create(std::string(foundation::NSPOSIXErrorDomain), errorNumber,
                                     path + ": " + strerror(errorNumber));
}

// ---- One report at a time ----
//
// The thread that writes a report holds the gate: a live report until it is
// done, a crash for good. A crash that finds a live report being written
// waits for it and then writes; a thread that crashes while a crash is being
// written waits for the process to end, which the first crash's signal does.
// While a crash is written, every fatal signal goes to a guard: a fault of
// the writing thread itself (in the writer or the crash callback) ends the
// process with the first crash's signal, any other thread waits.

std::atomic<int32_t> gWriter{0};
std::atomic<bool> gCrashing{false};
std::atomic<int> gCrashSignal{0};

int* futexWord(std::atomic<int32_t>* word) { return reinterpret_cast<int*>(word); }

[[noreturn]] void waitForTheEnd() {
  // Sleeping, not spinning: the writer can still park this thread, and the
  // first crash's signal ends it with the process.
  for (;;) pause();
}

[[noreturn]] void endWithTheCrashSignal() {
  int signo = gCrashSignal.load();
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signo, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signo);
  _exit(128 + signo);
}

void guardHandler(int, siginfo_t*, void*) {
  if (gWriter.load() == rocrash_async_mach_thread_self()) endWithTheCrashSignal();
  waitForTheEnd();
}

void installGuard() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = guardHandler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int s : kFatalSignals) sigaction(s, &action, nullptr);
}

// Takes the gate for a crash with signal `signo`. False when the calling
// thread is already writing a crash (it faulted in its own write).
bool beginCrash(int signo) {
  const int32_t self = rocrash_async_mach_thread_self();
  for (;;) {
    int32_t owner = 0;
    if (gWriter.compare_exchange_strong(owner, self)) break;
    if (owner == self) {
      if (gCrashing.load()) return false;
      break;  // crashed while writing a live report: this is the crash now
    }
    if (gCrashing.load()) waitForTheEnd();
    syscall(SYS_futex, futexWord(&gWriter), FUTEX_WAIT, owner, nullptr, nullptr, 0);
  }
  gCrashSignal.store(signo);
  gCrashing.store(true);
  installGuard();
  // A fault of this thread from here on must reach the guard, even where the
  // handler it runs in blocks the other fatal signals.
  sigset_t others;
  sigemptyset(&others);
  for (int s : kFatalSignals) {
    if (s != signo) sigaddset(&others, s);
  }
  sigprocmask(SIG_UNBLOCK, &others, nullptr);
  return true;
}

// Takes the gate for a live report, waiting while another report is written.
void beginLiveReport() {
  const int32_t self = rocrash_async_mach_thread_self();
  for (;;) {
    int32_t owner = 0;
    if (gWriter.compare_exchange_strong(owner, self)) return;
    if (gCrashing.load()) waitForTheEnd();
    syscall(SYS_futex, futexWord(&gWriter), FUTEX_WAIT, owner, nullptr, nullptr, 0);
  }
}

void endLiveReport() {
  int32_t self = rocrash_async_mach_thread_self();
  if (gWriter.compare_exchange_strong(self, 0)) {
    syscall(SYS_futex, futexWord(&gWriter), FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
  }
}

// ---- Crash time ----

// The longest path a crash-time name is built into.
constexpr size_t kPathRoom = 4096;

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
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  char text[24];
  for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  text[n] = '\0';
  return appendText(path, length, text);
}

// The queued-reports folder joined with the report's UUID in hex and
// ".rocrash": a name no other report has.
bool queuedName(const rocrash_log_writer& writer, char* path) {
  size_t length = 0;
  if (!appendText(path, &length, gStorage.queueFolder) || !appendText(path, &length, "/")) {
    return false;
  }
  char hex[33];
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    hex[2 * i] = kDigits[writer.report_info.uuid_bytes[i] >> 4];
    hex[2 * i + 1] = kDigits[writer.report_info.uuid_bytes[i] & 0xF];
  }
  hex[32] = '\0';
  return appendText(path, &length, hex) && appendText(path, &length, ".rocrash");
}

// Where a report is being written: a file without a name, or, where the file
// system cannot make one, a hidden temporary name in the data folder.
struct ReportFile {
  int fd = -1;
  char temporary[kPathRoom] = {};
};

// Opens the file the report goes into. `child`: a process other than the
// enabling one, which writes a file of its own; `sharedMemory`: one that runs
// in the enabling process's memory, which it leaves as it found it.
bool openReportFile(bool child, bool sharedMemory, ReportFile* out) {
  const int reserved = gStorage.reportFile;
  if (reserved >= 0) {
    const bool ours = sys::descriptor_still_names(reserved, gStorage.reportFileIdentity, true);
    if (ours && !child) {
      out->fd = reserved;
      gStorage.reportFile = -1;
      return true;
    }
    // A child's copy of the parent's file goes, and the child's own file
    // takes the descriptor that frees (it may have used up all the others).
    // A number that names a file of the program's now is left alone.
    if (ours) close(reserved);
    if (!sharedMemory) gStorage.reportFile = -1;
  }
  out->fd = open(gStorage.dataFolder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (out->fd >= 0) return true;
  size_t length = 0;
  if (!appendText(out->temporary, &length, gStorage.dataFolder) ||
      !appendText(out->temporary, &length, "/.report-") ||
      !appendNumber(out->temporary, &length, static_cast<uint64_t>(getpid())) ||
      !appendText(out->temporary, &length, ".tmp")) {
    return false;
  }
  out->fd = open(out->temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  return out->fd >= 0;
}

// Gives the whole report the name `path`, never replacing a file there. The
// unnamed file is named through the writing thread's own view of its
// descriptors: the process's (/proc/self) is gone once the main thread has
// exited, while other threads run on.
bool nameReport(const ReportFile& file, const char* path) {
  if (file.temporary[0] != '\0') return link(file.temporary, path) == 0;
  for (const char* view : {"/proc/thread-self/fd/", "/proc/self/fd/"}) {
    char self[64];
    size_t length = 0;
    appendText(self, &length, view);
    appendNumber(self, &length, static_cast<uint64_t>(file.fd));
    if (linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno == EEXIST) return false;
  }
  return false;
}

// The report of the process that enabled the reporter becomes the pending
// report, unless an earlier run's is still there: it is never replaced, and
// this one is queued beside it. A forked child's report is queued, so that
// any number of children's reports survive to the next launch.
bool publishReport(bool child, const rocrash_log_writer& writer, const ReportFile& file) {
  char path[kPathRoom];
  if (!child) {
    if (nameReport(file, gStorage.reportPath)) return true;
    if (errno != EEXIST) return false;
  }
  return queuedName(writer, path) && nameReport(file, path);
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
  rocrash_async_file file;
  rocrash_async_file_init(&file, report.fd, limit);
  rocrash_error_t result =
      rocrash_log_writer_write(writer, crashedThread, &gImageList, &file, info, current);
  bool whole = rocrash_log_writer_close(writer) == ROCRASH_ERR_NONE &&
               rocrash_async_file_flush(&file) && !file.refused;
  bool published = whole && publishReport(child, *writer, report);
  if (report.temporary[0] != '\0') unlink(report.temporary);
  if (close(report.fd) != 0 || !published) return ROCRASH_ERR_INTERNAL;
  return result;
}

// ---- A child in its parent's memory ----
//
// A child made by vfork (or clone with CLONE_VM) runs in its parent's memory
// until it runs a new program or ends, and the parent goes on then: its
// crash must change nothing the parent's own crashes and live reports rely
// on. It never takes the one-report gate (the parent's), lists only its own
// threads, and writes with a copy of the writer on its own stack (the set-up
// facts, its own process's read now), queued as a child's report. The
// application's crash callback does not run: what it would write is the
// parent's. Its signal actions are its own, not the parent's.

// The crash of such a child: its thread in the upper half, its signal in
// the lower one, so that a fault of its own write ends it with that signal.
std::atomic<uint64_t> gSharedChildCrash{0};

void sharedChildGuard(int signo, siginfo_t*, void*) {
  const uint64_t crash = gSharedChildCrash.load();
  const bool own = static_cast<int32_t>(crash >> 32) == rocrash_async_mach_thread_self();
  const int end = own ? static_cast<int>(crash & 0xFFFFFFFF) : signo;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(end, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, end);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(end);
  _exit(128 + end);
}

bool sharedChildCallback(int signo, siginfo_t* info, void* uap) {
  const sys::thread_t self = rocrash_async_mach_thread_self();
  gSharedChildCrash.store(static_cast<uint64_t>(static_cast<uint32_t>(self)) << 32 |
                          static_cast<uint32_t>(signo));
  struct sigaction guard;
  memset(&guard, 0, sizeof guard);
  guard.sa_sigaction = sharedChildGuard;
  guard.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&guard.sa_mask);
  sigset_t others;
  sigemptyset(&others);
  for (int s : kFatalSignals) {
    sigaction(s, &guard, nullptr);
    if (s != signo) sigaddset(&others, s);
  }
  sigprocmask(SIG_UNBLOCK, &others, nullptr);

  rocrash_async_thread_state state;
  rocrash_async_thread_state_mcontext_init(&state, uap);
  const uint64_t address = info->si_code > 0 ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
  rocrash_async_siginfo si = {signo, info->si_code, address};
  rocrash_log_crash_info crashInfo = {&si, nullptr};
  rocrash_log_writer writer = gStorage.writer;
  writer.thread_storage = {};  // the write's room on this stack
  // Written or not, the child ends by its signal.
  (void)writeCrashReport(&writer, self, &crashInfo, &state, true);

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signo, &action, nullptr);
  return false;
}

// Set by the Mach callback once the server is done with a crash: the
// thread it was for then ends the process with its own signal when that
// signal reaches the handlers here (report written or not), instead of
// waiting for an end that only it can bring.
std::atomic<int32_t> gServerDoneWith{0};

[[noreturn]] void endWith(int signo) {
  gCrashSignal.store(signo);
  endWithTheCrashSignal();
}

bool signalCallback(int signo, siginfo_t* info, void* uap, void*,
                    rocrash_signal_handler_callback_next_context*) {
  if (sys::task_shares_parent_memory()) return sharedChildCallback(signo, info, uap);
  sys::task_self_refresh();
  if (gServerDoneWith.load() == rocrash_async_mach_thread_self()) endWith(signo);
  if (!beginCrash(signo)) endWithTheCrashSignal();
  rocrash_async_thread_state state;
  rocrash_async_thread_state_mcontext_init(&state, uap);
  // A signal sent with kill, raise or abort (a code of 0 or below) carries the
  // sender's process id where a fault carries its address.
  uint64_t address = info->si_code > 0 ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
  rocrash_async_siginfo si = {signo, info->si_code, address};
  rocrash_log_crash_info crashInfo = {&si, nullptr};
  rocrash_error_t result = writeCrashReport(&gStorage.writer, rocrash_async_mach_thread_self(),
                                            &crashInfo, &state, false);
  if (result == ROCRASH_ERR_NONE && gStorage.handleSignal != nullptr) {
    gStorage.handleSignal(info, uap, gStorage.callbackContext);
  }
  // The crash's own signal now ends the process when the registry raises it
  // again; every other fatal signal stays with the guard.
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signo, &action, nullptr);
  return false;
}

struct MachWrite {
  sys::thread_t crashedThread;
  const rocrash_log_crash_info* info;
};

rocrash_error_t writeFromServerThread(rocrash_async_thread_state* state, void* context) {
  auto* write = static_cast<MachWrite*>(context);
  return writeCrashReport(&gStorage.writer, write->crashedThread, write->info, state, false);
}

sys::kern_return_t machCallback(sys::task_t task, sys::thread_t thread, sys::exception_type_t type,
                                const uint64_t* codes, uint32_t codeCount, void*) {
  // An exception of a second thread while a crash is being written, or after
  // it: left unanswered, the thread waits until the first crash ends the
  // process.
  if (gCrashing.load()) waitForTheEnd();
  if (rocrash_mach_exception_forward(task, thread, type, codes, codeCount,
                                     &gStorage.previousPorts) == sys::KERN_SUCCESS) {
    return sys::KERN_SUCCESS;
  }
  rocrash_async_siginfo si;
  if (!rocrash_async_mach_exception_siginfo(static_cast<uint64_t>(type), codes, codeCount, &si)) {
    return sys::KERN_FAILURE;
  }
  // This server thread writes the report: a fault of its own from here on
  // goes to the guard, never back to this server, which could not answer it.
  if (!beginCrash(si.signo)) waitForTheEnd();
  rocrash_log_mach_exception_info mach = {static_cast<uint64_t>(type), codes, codeCount};
  rocrash_log_crash_info crashInfo = {&si, &mach};
  MachWrite write = {thread, &crashInfo};
  rocrash_error_t result = rocrash_async_thread_state_current(writeFromServerThread, &write);
  gServerDoneWith.store(thread);
  if (result != ROCRASH_ERR_NONE || gStorage.handleSignal == nullptr) return sys::KERN_FAILURE;

  // The callback gets the mapped signal and a context whose machine state
  // is all zero: the crash did not arrive as a signal.
  siginfo_t info;
  memset(&info, 0, sizeof info);
  info.si_signo = si.signo;
  info.si_code = si.code;
  info.si_addr = reinterpret_cast<void*>(si.address);
  ucontext_t uc;
  memset(&uc, 0, sizeof uc);
  gStorage.handleSignal(&info, &uc, gStorage.callbackContext);
  return sys::KERN_FAILURE;
}

}  // namespace

namespace rocrash {

void NSSetUncaughtExceptionHandler(NSUncaughtExceptionHandler handler) {
  gUncaughtExceptionHandler.store(handler);
}

NSUncaughtExceptionHandler NSGetUncaughtExceptionHandler() {
  return gUncaughtExceptionHandler.load();
}

}  // namespace rocrash

void uncaught_exception_handler(objc::NSException* exception) {
  // The record and the flag would be the parent's.
  if (sys::task_shares_parent_memory()) abort();
  uint32_t expected = 0;
  if (!gUncaughtExceptionSeen.compare_exchange_strong(expected, 1)) return;
  rocrash_log_writer_set_exception(&gStorage.writer, exception);
  abort();
}

// ---- ROReradUzerirudConfig ----

std::shared_ptr<ROReradUzerirudConfig> ROReradUzerirudConfig::defaultConfiguration() {
  return init();
}

std::shared_ptr<ROReradUzerirudConfig> ROReradUzerirudConfig::init() {
  return initWithSignalHandlerType(ROReradUzerirudSignalHandlerTypeBSD,
                                   ROReradUzerirudSymbolicationStrategyNone, true, std::nullopt);
}

std::shared_ptr<ROReradUzerirudConfig> ROReradUzerirudConfig::initWithBasePath(
    std::string basePath) {
  return initWithSignalHandlerType(ROReradUzerirudSignalHandlerTypeBSD,
                                   ROReradUzerirudSymbolicationStrategyNone, true,
                                   std::move(basePath));
}

std::shared_ptr<ROReradUzerirudConfig> ROReradUzerirudConfig::initWithSignalHandlerType(
    uint64_t signalHandlerType, uint64_t symbolicationStrategy) {
  return initWithSignalHandlerType(signalHandlerType, symbolicationStrategy, true, std::nullopt);
}

std::shared_ptr<ROReradUzerirudConfig> ROReradUzerirudConfig::initWithSignalHandlerType(
    uint64_t signalHandlerType, uint64_t symbolicationStrategy, std::string basePath) {
  return initWithSignalHandlerType(signalHandlerType, symbolicationStrategy, true,
                                   std::move(basePath));
}

std::shared_ptr<ROReradUzerirudConfig> ROReradUzerirudConfig::initWithSignalHandlerType(
    uint64_t signalHandlerType, uint64_t symbolicationStrategy,
    bool shouldRegisterUncaughtExceptionHandler) {
  return initWithSignalHandlerType(signalHandlerType, symbolicationStrategy,
                                   shouldRegisterUncaughtExceptionHandler, std::nullopt);
}

std::shared_ptr<ROReradUzerirudConfig> ROReradUzerirudConfig::initWithSignalHandlerType(
    uint64_t signalHandlerType, uint64_t symbolicationStrategy,
    bool shouldRegisterUncaughtExceptionHandler, std::optional<std::string> basePath) {
  std::shared_ptr<ROReradUzerirudConfig> config(new ROReradUzerirudConfig());
  config->signalHandlerType_ = signalHandlerType;
  config->symbolicationStrategy_ = symbolicationStrategy;
  config->shouldRegisterUncaughtExceptionHandler_ = shouldRegisterUncaughtExceptionHandler;
  config->basePath_ = std::move(basePath);
  return config;
}

// ---- ROCrashHostInfo ----

std::shared_ptr<ROCrashHostInfo> ROCrashHostInfo::currentHostInfo() {
  size_t size = 0;
  if (sys::sysctlbyname("kern.osrelease", nullptr, &size, nullptr, 0) != 0) {
    int e = errno;
    ROCrashLog("[ROReradUzerirud] Failed to fetch kern.osrelease value " + std::to_string(e) +
               ": " + strerror(e));
    return nullptr;
  }
  std::string text(size + 1, '\0');
  if (sys::sysctlbyname("kern.osrelease", text.data(), &size, nullptr, 0) != 0) {
    int e = errno;
    ROCrashLog("[ROReradUzerirud] Failed to fetch kern.osrelease value " + std::to_string(e) +
               ": " + strerror(e));
    return nullptr;
  }
  text.resize(strlen(text.c_str()));
  std::shared_ptr<ROCrashHostInfo> info(new ROCrashHostInfo());
  long major = 0, minor = 0, revision = 0;
  int scanned = sscanf(text.c_str(), "%ld.%ld.%ld", &major, &minor, &revision);
  if (scanned != 3) {
    ROCrashLog("[ROReradUzerirud] Unexpected kern.osrelease string format: " + text);
  }
  if (scanned >= 1) info->version_.major = major;
  if (scanned >= 2) info->version_.minor = minor;
  if (scanned >= 3) info->version_.revision = revision;
  return info;
}

// ---- ROReradUzerirud ----

rocrash_async_image_list* ROReradUzerirud::processImageList() {
  initializeClass();
  return &gImageList;
}

std::shared_ptr<ROReradUzerirud> ROReradUzerirud::sharedReporter() {
  static std::shared_ptr<ROReradUzerirud> shared = initWithBundle(
      foundation::NSBundle::mainBundle(), ROReradUzerirudConfig::defaultConfiguration());
  return shared;
}

std::shared_ptr<ROReradUzerirud> ROReradUzerirud::init() {
  return initWithConfiguration(ROReradUzerirudConfig::defaultConfiguration());
}

std::shared_ptr<ROReradUzerirud> ROReradUzerirud::initWithConfiguration(
    std::shared_ptr<ROReradUzerirudConfig> configuration) {
  return initWithBundle(foundation::NSBundle::mainBundle(), std::move(configuration));
}

std::shared_ptr<ROReradUzerirud> ROReradUzerirud::initWithBundle(
    const std::shared_ptr<foundation::NSBundle>& bundle,
    std::shared_ptr<ROReradUzerirudConfig> configuration) {
  std::string identifier = bundle ? bundle->bundleIdentifier() : std::string();
  if (identifier.empty()) {
    auto process = ROCrashProcessInfo::currentProcessInfo();
    if (!process || !process->processName()) {
      raiseEngineException("Can not determine process identifier or process name");
    }
    identifier = *process->processName();
    ROCrashLog("[ROReradUzerirud] Warning -- bundle identifier, using process name " + identifier);
  }
  std::string version;
  std::optional<std::string> marketing;
  if (bundle) {
    if (auto v = bundle->objectForInfoDictionaryKey(foundation::kCFBundleVersionKey)) {
      if (const std::string* s = v->stringValue()) version = *s;
    }
    if (auto m = bundle->objectForInfoDictionaryKey(foundation::kCFBundleShortVersionStringKey)) {
      if (const std::string* s = m->stringValue()) marketing = *s;
    }
  }
  if (version.empty()) ROCrashLog("[ROReradUzerirud] Warning -- bundle version unavailable");
  return initWithApplicationIdentifier(identifier, version, marketing, std::move(configuration));
}

std::shared_ptr<ROReradUzerirud> ROReradUzerirud::initWithApplicationIdentifier(
    std::string applicationIdentifier, std::string appVersion,
    std::optional<std::string> appMarketingVersion,
    std::shared_ptr<ROReradUzerirudConfig> configuration) {
  initializeClass();
  std::shared_ptr<ROReradUzerirud> reporter(new ROReradUzerirud());
  reporter->config_ = std::move(configuration);
  reporter->applicationIdentifier_ = std::move(applicationIdentifier);
  reporter->applicationVersion_ = std::move(appVersion);
  reporter->applicationMarketingVersion_ = std::move(appMarketingVersion);
  std::string folder = reporter->applicationIdentifier_;
  for (char& c : folder) {
    if (c == '/') c = '_';
  }
  std::string base = reporter->config_->basePath().value_or(userCachesFolder());
  reporter->crashReportDirectory_ =
      (std::filesystem::path(base) / kDataFolderName / folder).string();
  return reporter;
}

std::string ROReradUzerirud::queuedCrashReportDirectory() const {
  return (std::filesystem::path(crashReportDirectory_) / "queued_reports").string();
}

std::string ROReradUzerirud::crashReportPath() const {
  return (std::filesystem::path(crashReportDirectory_) / "live_report.rocrash").string();
}

uint32_t ROReradUzerirud::mapToAsyncSymbolicationStrategy(uint64_t strategy) const {
  return static_cast<uint32_t>(strategy & ROReradUzerirudSymbolicationStrategyAll);
}

bool ROReradUzerirud::hasPendingCrashReport() const {
  struct stat st;
  return stat(crashReportPath().c_str(), &st) == 0;
}

std::optional<std::vector<uint8_t>> ROReradUzerirud::loadPendingCrashReportData() const {
  return loadPendingCrashReportDataAndReturnError(nullptr);
}

std::optional<std::vector<uint8_t>> ROReradUzerirud::loadPendingCrashReportDataAndReturnError(
    std::shared_ptr<foundation::NSError>* error) const {
  std::string path = crashReportPath();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    foundation::setError(error, fileError(path, errno != 0 ? errno : ENOENT));
    return std::nullopt;
  }
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool ROReradUzerirud::purgePendingCrashReport() {
  return purgePendingCrashReportAndReturnError(nullptr);
}

bool ROReradUzerirud::purgePendingCrashReportAndReturnError(
    std::shared_ptr<foundation::NSError>* error) {
  std::string path = crashReportPath();
  if (unlink(path.c_str()) != 0) {
    foundation::setError(error, fileError(path, errno));
    return false;
  }
  return true;
}

std::vector<std::string> ROReradUzerirud::queuedCrashReportPaths() const {
  std::vector<std::pair<std::filesystem::file_time_type, std::string>> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(queuedCrashReportDirectory(), ec)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file(ec) || name.size() <= 8 || name[0] == '.' ||
        name.compare(name.size() - 8, 8, ".rocrash") != 0) {
      continue;
    }
    found.emplace_back(entry.last_write_time(ec), entry.path().string());
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  for (auto& [time, path] : found) paths.push_back(std::move(path));
  return paths;
}

bool ROReradUzerirud::purgeQueuedCrashReports() {
  bool purged = true;
  for (const auto& path : queuedCrashReportPaths()) purged = unlink(path.c_str()) == 0 && purged;
  return purged;
}

bool ROReradUzerirud::populateCrashReportDirectoryAndReturnError(
    std::shared_ptr<foundation::NSError>* error) {
  // Owner-only from their mkdir on, with the missing folders above them; the
  // engine's own folders are tightened when an earlier version left them open.
  const std::string engineFolder = std::filesystem::path(crashReportDirectory_).parent_path();
  for (const std::string& folder :
       {engineFolder, crashReportDirectory_, queuedCrashReportDirectory()}) {
    std::error_code ec;
    if (!foundation::createPrivateDirectory(folder, foundation::ExistingFolder::makePrivate, &ec)) {
      foundation::setError(error, fileError(folder, ec.value()));
      return false;
    }
  }
  return true;
}

bool ROReradUzerirud::enableCrashReporter() { return enableCrashReporterAndReturnError(nullptr); }

namespace {

// The exception server and its port, made before anything in the process
// changes (they are what fails, short of descriptors or threads), and
// registered for the task once the signal handlers are in place.
struct MachParts {
  std::shared_ptr<ROCrashMachExceptionServer> server;
  std::shared_ptr<ROCrashMachExceptionPort> port;
};

bool makeMachParts(ROCrashMachExceptionHandlerCallback callback, void* context, MachParts* parts,
                   std::shared_ptr<foundation::NSError>* error) {
  sys::exception_mask_t mask = sys::EXC_MASK_BAD_ACCESS | sys::EXC_MASK_BAD_INSTRUCTION |
                               sys::EXC_MASK_ARITHMETIC | sys::EXC_MASK_SOFTWARE |
                               sys::EXC_MASK_BREAKPOINT;
  auto host = ROCrashHostInfo::currentHostInfo();
  if (host && host->darwinVersion().major >= 13) mask |= sys::EXC_MASK_GUARD;

  std::shared_ptr<foundation::NSError> cause;
  parts->server = ROCrashMachExceptionServer::initWithCallBack(callback, context, &cause);
  if (!parts->server) {
    ROCrashPopulateError(error, ROReradUzerirudErrorOperatingSystem,
                         "Failed to instantiate the Mach exception server.", cause);
    return false;
  }
  parts->port = parts->server->exceptionPortWithMask(mask, &cause);
  if (!parts->port) {
    parts->server.reset();
    ROCrashPopulateError(error, ROReradUzerirudErrorOperatingSystem,
                         "Failed to instantiate the Mach exception port.", cause);
    return false;
  }
  return true;
}

bool registerMachParts(const MachParts& parts,
                       std::shared_ptr<ROCrashMachExceptionPortSet>* previousPortSet,
                       std::shared_ptr<foundation::NSError>* error) {
  std::shared_ptr<foundation::NSError> cause;
  if (!parts.port->registerForTask(sys::mach_task_self(), previousPortSet, &cause)) {
    ROCrashPopulateError(error, ROReradUzerirudErrorOperatingSystem,
                         "Failed to set the target task's mach exception ports.", cause);
    return false;
  }
  return true;
}

// What enabling changed in the process so far, to be undone when a later
// step fails: a failed enabling leaves masks, descriptors and signal actions
// as it found them.
struct EnablingUndo {
  sigset_t callerMask;
  bool keptFaultsDeliverable = false;
  bool openedTaskFolder = false;
  int registered = 0;  // kFatalSignals[0, registered) have the signal callback

  void undo() {
    auto handler = ROCrashSignalHandler::sharedHandler();
    while (registered > 0) {
      handler->unregisterHandlerForSignal(kFatalSignals[--registered], signalCallback, &gStorage);
    }
    if (keptFaultsDeliverable) {
      sys::thread_fault_signals_stop_keeping();
      pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
    }
    if (openedTaskFolder) sys::thread_parking_release_folder();
    if (gStorage.reportFile >= 0) close(gStorage.reportFile);
    gStorage.reportFile = -1;
    for (char** path : {&gStorage.reportPath, &gStorage.dataFolder, &gStorage.queueFolder}) {
      free(*path);
      *path = nullptr;
    }
    rocrash_log_writer_free(&gStorage.writer);
  }
};

}  // namespace

bool ROReradUzerirud::enableCrashReporterAndReturnError(
    std::shared_ptr<foundation::NSError>* error) {
  {
    std::lock_guard<std::mutex> lock(gEnableLock);
    if (gEnabledOnce) {
      ROCrashPopulateError(error, ROReradUzerirudErrorBusy,
                           "A ROReradUzerirud instance has already been enabled");
      return false;
    }
    gEnabledOnce = true;
  }
  if (!populateCrashReportDirectoryAndReturnError(error)) return false;

  // What can fail comes before anything in the process changes: the
  // writer's facts (a process without /proc has none) and the exception
  // server (short of descriptors or threads).
  rocrash_error_t started = rocrash_log_writer_init(
      &gStorage.writer, applicationIdentifier_, applicationVersion_, applicationMarketingVersion_,
      mapToAsyncSymbolicationStrategy(config_->symbolicationStrategy()), false);
  if (started != ROCRASH_ERR_NONE) {
    // A writer without its process record would leave reports nobody can
    // place: stay disabled, with no handler installed, and say why.
    rocrash_log_writer_free(&gStorage.writer);
    ROCrashPopulateError(error, ROReradUzerirudErrorOperatingSystem,
                         std::string("Failed to initialize the crash log writer: ") +
                             rocrash_async_strerror(started));
    return false;
  }
  if (customData_) rocrash_log_writer_set_custom_data(&gStorage.writer, &*customData_);
  const uint64_t type = config_->signalHandlerType();
  MachParts mach;
  if (type == ROReradUzerirudSignalHandlerTypeMach &&
      !makeMachParts(machCallback, &gStorage, &mach, error)) {
    rocrash_log_writer_free(&gStorage.writer);
    return false;
  }

  EnablingUndo changes;
  pthread_sigmask(SIG_BLOCK, nullptr, &changes.callerMask);
  gStorage.reportPath = strdup(crashReportPath().c_str());
  gStorage.dataFolder = strdup(crashReportDirectory_.c_str());
  gStorage.queueFolder = strdup(queuedCrashReportDirectory().c_str());
  gStorage.reportFile = open(gStorage.dataFolder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (gStorage.reportFile >= 0 &&
      !sys::descriptor_identify(gStorage.reportFile, &gStorage.reportFileIdentity)) {
    close(gStorage.reportFile);
    gStorage.reportFile = -1;
  }

  // The kernel ends a thread that faults with its fault signal blocked,
  // before any handler runs; the threads that exist now take their alternate
  // stacks (and leave the fault signals unblocked) with the handlers'
  // registration below.
  if (type == ROReradUzerirudSignalHandlerTypeBSD || type == ROReradUzerirudSignalHandlerTypeMach) {
    sys::thread_fault_signals_keep_deliverable();
    changes.keptFaultsDeliverable = true;
  }
  sys::sync_loaded_images();
  changes.openedTaskFolder = sys::thread_parking_prepare();

  auto handler = ROCrashSignalHandler::sharedHandler();
  if (type == ROReradUzerirudSignalHandlerTypeBSD || type == ROReradUzerirudSignalHandlerTypeMach) {
    // In Mach mode SIGABRT never arrives as an exception. The fault signals
    // are caught as signals too, behind the exception bridge (installed
    // after them, so it hands them on here): for a process whose faults no
    // server of its own can take (a forked child), for a fault that could
    // not be sent, and to end the faulting thread once the server is done
    // with it.
    for (int signo : kFatalSignals) {
      if (!handler->registerHandlerForSignal(signo, signalCallback, &gStorage, error)) {
        changes.undo();
        return false;
      }
      ++changes.registered;
    }
  }
  if (type == ROReradUzerirudSignalHandlerTypeMach) {
    if (!registerMachParts(mach, &previousMachPorts_, error)) {
      changes.undo();
      return false;
    }
    machServer_ = mach.server;
    gMachServer = machServer_;
    if (previousMachPorts_) {
      gStorage.previousPorts = previousMachPorts_->asyncSafeRepresentation();
    } else {
      gStorage.previousPorts = {};
    }
  }
  if (config_->shouldRegisterUncaughtExceptionHandler()) {
    rocrash::NSSetUncaughtExceptionHandler(uncaught_exception_handler);
  }
  enabled_ = true;
  return true;
}

std::shared_ptr<ROCrashMachExceptionServer>
ROReradUzerirud::enableMachExceptionServerWithPreviousPortSet(
    std::shared_ptr<ROCrashMachExceptionPortSet>* previousPortSet,
    ROCrashMachExceptionHandlerCallback callback, void* context,
    std::shared_ptr<foundation::NSError>* error) {
  MachParts parts;
  if (!makeMachParts(callback, context, &parts, error) ||
      !registerMachParts(parts, previousPortSet, error)) {
    return nullptr;
  }
  return parts.server;
}

void ROReradUzerirud::setCrashCallbacks(const ROReradUzerirudCallbacks* callbacks) {
  if (enabled_) raiseEngineException("The crash reporter has already been enabled");
  ROCRASH_ASSERT(callbacks->version == 0);
  gStorage.callbackContext = callbacks->context;
  gStorage.handleSignal = callbacks->handleSignal;
}

void ROReradUzerirud::setCustomData(std::optional<std::vector<uint8_t>> data) {
  customData_ = std::move(data);
  rocrash_log_writer_set_custom_data(&gStorage.writer, customData_ ? &*customData_ : nullptr);
}

// ---- Live reports ----

namespace {

struct LiveWrite {
  rocrash_log_writer* writer;
  rocrash_async_file* file;
  const rocrash_log_crash_info* info;
};

rocrash_error_t writeLive(rocrash_async_thread_state* state, void* context) {
  auto* live = static_cast<LiveWrite*>(context);
  return rocrash_log_writer_write(live->writer, rocrash_async_mach_thread_self(), &gImageList,
                                  live->file, live->info, state);
}

}  // namespace

std::optional<std::vector<uint8_t>> ROReradUzerirud::liveReport(
    sys::thread_t thread, objc::NSException* exception, uint64_t returnAddress,
    std::shared_ptr<foundation::NSError>* error) {
  std::string pathTemplate = temporaryFolder() + "/live_crash_report.XXXXXX";
  int fd = mkstemp(pathTemplate.data());
  if (fd < 0) {
    ROCrashPopulateError(error, ROReradUzerirudErrorOperatingSystem,
                         "Failed to create temporary path", posixError(errno));
    return std::nullopt;
  }
  sys::sync_loaded_images();
  sys::thread_parking_prepare();
  beginLiveReport();
  rocrash_log_writer writer;
  rocrash_error_t started = rocrash_log_writer_init(
      &writer, applicationIdentifier_, applicationVersion_, applicationMarketingVersion_,
      mapToAsyncSymbolicationStrategy(config_->symbolicationStrategy()), true);
  if (started != ROCRASH_ERR_NONE) {
    // A report without its process record is no report of this process.
    endLiveReport();
    rocrash_log_writer_free(&writer);
    close(fd);
    unlink(pathTemplate.c_str());
    ROCrashPopulateError(error, ROReradUzerirudErrorUnknown,
                         std::string("Failed to initialize the crash log writer: ") +
                             rocrash_async_strerror(started));
    return std::nullopt;
  }
  // Fitted to the file-size limit, a live report is whole and never raises
  // the limit's signal, which would end the program; with no room at all,
  // nothing is written.
  rocrash_async_file file;
  const uint64_t limit = reportLimit();
  rocrash_async_file_init(&file, fd, limit);
  if (limit == 0) file.refused = true;
  if (customData_) rocrash_log_writer_set_custom_data(&writer, &*customData_);
  if (exception != nullptr) rocrash_log_writer_set_exception(&writer, exception);

  rocrash_async_siginfo si = {SIGTRAP, TRAP_TRACE, returnAddress};
  rocrash_log_crash_info info = {&si, nullptr};
  rocrash_error_t result;
  if (thread == rocrash_async_mach_thread_self()) {
    LiveWrite live = {&writer, &file, &info};
    result = rocrash_async_thread_state_current(writeLive, &live);
  } else {
    result = rocrash_log_writer_write(&writer, thread, &gImageList, &file, &info, nullptr);
  }
  // Closing a writer only ends its use: it reports nothing.
  (void)rocrash_log_writer_close(&writer);
  const bool whole = rocrash_async_file_flush(&file) && !file.refused;
  rocrash_async_file_close(&file);
  endLiveReport();

  std::optional<std::vector<uint8_t>> data;
  if (result == ROCRASH_ERR_NONE && !whole) result = ROCRASH_ERR_OUTPUT;
  if (result != ROCRASH_ERR_NONE) {
    ROCrashLog(std::string("[ROReradUzerirud] Write failed with error ") +
               rocrash_async_strerror(result));
    ROCrashPopulateError(error, ROReradUzerirudErrorUnknown,
                         "Failed to write the crash report to disk");
  } else {
    std::ifstream in(pathTemplate, std::ios::binary);
    if (!in) {
      ROCrashPopulateError(error, ROReradUzerirudErrorUnknown,
                           "Unable to open live crash report for reading");
    } else {
      data = std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>());
    }
  }
  rocrash_log_writer_free(&writer);
  if (unlink(pathTemplate.c_str()) != 0) {
    ROCrashLog(std::string("[ROReradUzerirud] Failure occured deleting live crash report: ") +
               strerror(errno));
  }
  return data;
}

__attribute__((noinline)) std::optional<std::vector<uint8_t>>
ROReradUzerirud::generateLiveReportWithThread(sys::thread_t thread, objc::NSException* exception,
                                              std::shared_ptr<foundation::NSError>* error) {
  auto result =
      liveReport(thread, exception, reinterpret_cast<uint64_t>(__builtin_return_address(0)), error);
  asm volatile("" ::: "memory");
  return result;
}

std::optional<std::vector<uint8_t>> ROReradUzerirud::generateLiveReportWithThread(
    sys::thread_t thread, std::shared_ptr<foundation::NSError>* error) {
  return generateLiveReportWithThread(thread, nullptr, error);
}

std::optional<std::vector<uint8_t>> ROReradUzerirud::generateLiveReportWithThread(
    sys::thread_t thread) {
  return generateLiveReportWithThread(thread, nullptr, nullptr);
}

std::optional<std::vector<uint8_t>> ROReradUzerirud::generateLiveReportWithException(
    objc::NSException* exception, std::shared_ptr<foundation::NSError>* error) {
  return generateLiveReportWithThread(rocrash_async_mach_thread_self(), exception, error);
}

std::optional<std::vector<uint8_t>> ROReradUzerirud::generateLiveReportAndReturnError(
    std::shared_ptr<foundation::NSError>* error) {
  return generateLiveReportWithThread(rocrash_async_mach_thread_self(), nullptr, error);
}

std::optional<std::vector<uint8_t>> ROReradUzerirud::generateLiveReport() {
  return generateLiveReportWithThread(rocrash_async_mach_thread_self(), nullptr, nullptr);
}
