#include "CrashChildSandbox.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "CrashChildImages.h"
#include "baseTest/Polling.h"
#include "baseTest/SystemCallFilter.h"

namespace {

using base::testing::callEndsTheProcess;
using base::testing::callFails;
using base::testing::callTraps;
using base::testing::filterCalls;

void handleTraps(void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSYS, &action, nullptr);
}

// ---- pids-limit ----

std::string gPidsGroup;

std::string readText(const std::string& path) {
  char text[64] = {};
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && read(fd, text, sizeof text - 1) < 0) text[0] = '\0';
  if (fd >= 0) close(fd);
  return text;
}

// ---- handles-urg-winch, handles-urg-winch-cont ----

// The signals the program handles, each by a handler of its own.
constexpr int kIgnoredByDefault[] = {SIGURG, SIGWINCH, SIGCONT};
bool gHandles[3] = {};

void handled(int) {}

// ---- temporary-writer ----

char gRenaming[4096];

// The naming of the whole report traps here.
void waitInsteadOfNaming(int, siginfo_t*, void*) {
  const int fd = open(gRenaming, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  const char byte = 1;
  if (fd >= 0 && write(fd, &byte, 1) != 1) close(fd);
  for (;;) pause();
}

// ---- enable-fails-under-crash ----

constexpr int kEnablingAtItsLastAction = 1;
constexpr int kCrashing = 2;
constexpr int kEnablingReturned = 3;
std::atomic<int> gStage{0};
std::atomic<pid_t> gEnabling{0};
std::atomic<pid_t> gCrashing{0};

int* futexWord() { return reinterpret_cast<int*>(&gStage); }

void reach(int stage) {
  gStage.store(stage);
  syscall(SYS_futex, futexWord(), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void await(int stage) {
  for (int now; (now = gStage.load()) < stage;) {
    syscall(SYS_futex, futexWord(), FUTEX_WAIT_PRIVATE, now, nullptr, nullptr, 0);
  }
}

// Whether thread `tid` of this process sleeps in the kernel.
bool asleep(pid_t tid) {
  char path[64], text[512];
  snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
  if (fd >= 0) close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  const char* end = strrchr(text, ')');
  return end != nullptr && end[1] == ' ' && end[2] == 'S';
}

// The enabling's last signal action, and the crashing write's first call
// (for the file-size limit), trap here.
void holdTheCourse(int, siginfo_t*, void* uap) {
  const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  if (self == gEnabling.load()) {
    // The crash comes now; the action is refused once the crashing thread
    // sleeps in the handler, however far it got.
    reach(kEnablingAtItsLastAction);
    await(kCrashing);
    base::testing::within([] { return asleep(gCrashing.load()); });
  } else if (self == gCrashing.load()) {
    await(kEnablingReturned);
  }
  base::testing::setTrappedCallResult(uap, -EPERM);
}

// 0, read at run time: the store below is not known to fault.
volatile uintptr_t gLowAddress = 0;

__attribute__((noinline)) void crashDuringFailedEnabling() {
  *reinterpret_cast<volatile int*>(gLowAddress + 0x10) = 29;
  asm volatile("" ::: "memory");
}

int enableFailsUnderCrash(const char* type, const char* folder) {
  handleTraps(holdTheCourse);
  std::thread([] {
    gCrashing = static_cast<pid_t>(syscall(SYS_gettid));
    if (!filterCalls({{SYS_prlimit64, callTraps}}, false)) _exit(8);
    await(kEnablingAtItsLastAction);
    reach(kCrashing);
    crashDuringFailedEnabling();
  }).detach();
  gEnabling = static_cast<pid_t>(syscall(SYS_gettid));
  if (!filterCalls({{SYS_rt_sigaction, callTraps, 0, 0xFFFFFFFFu, SIGTRAP}}, false)) return 8;
  auto reporter = crash_child_reporter(type, folder);
  if (reporter->enableCrashReporter()) return 9;
  crash_child_mark("enable-failed", 1);
  reach(kEnablingReturned);
  for (;;) pause();
}

}  // namespace

bool crash_child_sandbox(const std::string& sandbox, const std::string& folder, bool enabled) {
  if (const size_t plus = sandbox.find('+'); plus != std::string::npos) {
    return crash_child_sandbox(sandbox.substr(0, plus), folder, enabled) &&
           crash_child_sandbox(sandbox.substr(plus + 1), folder, enabled);
  }
  if (sandbox == "handles-urg-winch" || sandbox == "handles-urg-winch-cont") {
    for (size_t i = 0; i < 3 && !enabled; ++i) {
      gHandles[i] = i < 2 || sandbox == "handles-urg-winch-cont";
      if (gHandles[i]) signal(kIgnoredByDefault[i], handled);
    }
    return true;
  }
  if (sandbox == "kcmp-eperm" || sandbox == "kcmp-enosys") {
    const int error = sandbox == "kcmp-eperm" ? EPERM : ENOSYS;
    return !enabled || filterCalls({{SYS_kcmp, callFails(error)}}, true);
  }
  if (sandbox == "kcmp-ends" || sandbox == "kcmp-traps") {
    return enabled ||
           filterCalls({{SYS_kcmp, sandbox == "kcmp-ends" ? callEndsTheProcess : callTraps}}, true);
  }
  if (sandbox == "unshare-ends" || sandbox == "unshare-traps" || sandbox == "unshare-eperm") {
    const uint32_t action = sandbox == "unshare-ends"    ? callEndsTheProcess
                            : sandbox == "unshare-traps" ? callTraps
                                                         : callFails(EPERM);
    return enabled || filterCalls({{SYS_unshare, action}}, true);
  }
  if (sandbox == "clone-vfork-ends" || sandbox == "clone-vfork-traps" ||
      sandbox == "clone-vfork-eperm") {
    const uint32_t action = sandbox == "clone-vfork-ends"    ? callEndsTheProcess
                            : sandbox == "clone-vfork-traps" ? callTraps
                                                             : callFails(EPERM);
    return !enabled || filterCalls({{SYS_clone, action, 0, CLONE_VM | CLONE_VFORK | CLONE_THREAD,
                                     CLONE_VM | CLONE_VFORK}},
                                   true);
  }
  if (sandbox == "wait4-ends") {
    return !enabled || filterCalls({{SYS_wait4, callEndsTheProcess}}, true);
  }
  if (sandbox == "pids-limit") {
    const long now = enabled ? std::atol(readText(gPidsGroup + "/pids.current").c_str()) : 0;
    return !enabled ||
           (now > 0 && crash_child_write_text(gPidsGroup + "/pids.max", std::to_string(now + 1)));
  }
  if (sandbox == "allow-list") {
    // The calls docs/LIMITS.md lists as those a crash makes, and what the program
    // itself does from here on.
    return !enabled ||
           base::testing::allowOnly(
               {// A crash's.
                SYS_rt_sigaction, SYS_rt_sigprocmask, SYS_rt_sigreturn, SYS_sigaltstack, SYS_tgkill,
                SYS_rt_tgsigqueueinfo, SYS_kill, SYS_futex, SYS_nanosleep, SYS_clock_gettime,
                SYS_gettid, SYS_getpid, SYS_getppid, SYS_getuid, SYS_mmap, SYS_munmap, SYS_mprotect,
                SYS_madvise, SYS_mincore, SYS_process_vm_readv, SYS_pipe2, SYS_openat, SYS_read,
                SYS_write, SYS_pread64, SYS_pwrite64, SYS_lseek, SYS_close, SYS_newfstatat,
                SYS_fstat, SYS_fcntl, SYS_ioctl, SYS_getdents64, SYS_readlink, SYS_faccessat2,
                SYS_linkat, SYS_link, SYS_renameat2, SYS_unlink, SYS_prlimit64, SYS_getrandom,
                SYS_exit_group, SYS_sendto, SYS_recvfrom, SYS_poll, SYS_clone, SYS_exit, SYS_wait4,
                // The program's: its children, its markers, its memory.
                SYS_fork, SYS_vfork, SYS_waitid, SYS_set_robust_list, SYS_brk,
                // The sanitizers' runtime.
                SYS_sched_getaffinity},
               callEndsTheProcess);
  }
  if (sandbox == "no-wipe" || sandbox == "forked" || sandbox == "pid-one") return true;
  if (sandbox == "temporary-writer") {
    if (enabled) return true;
    snprintf(gRenaming, sizeof gRenaming, "%s/renaming", folder.c_str());
    handleTraps(waitInsteadOfNaming);
    return filterCalls({{SYS_openat, callFails(EOPNOTSUPP), 2, __O_TMPFILE, __O_TMPFILE},
                        {SYS_renameat2, callTraps}},
                       true);
  }
  return sandbox.empty();
}

bool crash_child_handlers_untouched() {
  for (size_t i = 0; i < 3; ++i) {
    struct sigaction now;
    if (sigaction(kIgnoredByDefault[i], nullptr, &now) != 0 ||
        now.sa_handler != (gHandles[i] ? handled : SIG_DFL)) {
      return false;
    }
  }
  return true;
}

int crash_child_without_wipe(char** argv) {
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  const bool refused = page == MAP_FAILED || madvise(page, 4096, MADV_WIPEONFORK) != 0;
  if (page != MAP_FAILED) munmap(page, 4096);
  if (refused) return -1;
  if (!filterCalls({{SYS_madvise, callFails(EINVAL), 2, ~0u, MADV_WIPEONFORK}}, true)) return 8;
  execv("/proc/self/exe", argv);
  return 8;
}

int crash_child_in_pids_group() {
  if (!crash_child_make_pids_group(&gPidsGroup)) return 7;
  const pid_t program = fork();
  if (program == 0) {
    if (!crash_child_write_text(gPidsGroup + "/cgroup.procs", std::to_string(getpid()))) _exit(7);
    return -1;
  }
  int status = 0;
  waitpid(program, &status, 0);
  rmdir(gPidsGroup.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int crash_child_sandboxed(const char* mode, const char* type, const char* folder) {
  if (std::string(mode) == "enable-fails-under-crash") return enableFailsUnderCrash(type, folder);
  return -1;
}
