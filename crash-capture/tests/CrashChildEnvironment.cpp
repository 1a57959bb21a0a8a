// The crash child's situations of faults the kernel names (signal, code and
// address) and of programs that change their environment after enabling
// (CrashChild.h).
#include <alloca.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "CrashChild.h"
#include "CrashChildSandbox.h"
#include "crash-capture/ROReradUzerirud.h"
#include "system/Threads.h"
#include "systemTest/DescriptorTables.h"

namespace crashchild {
namespace {

using sys::testing::useUpDescriptors;

// ---- Faults the kernel names: signal, code and address ----

// Marks where the kernel will say the program faulted: from `from` up to
// (not including) `to`.
void markFault(const void* from, const void* to) {
  mark("pid.fault", reinterpret_cast<uint64_t>(from));
  mark("pid.fault.end", reinterpret_cast<uint64_t>(to));
}

__attribute__((noinline)) void storeToReadOnly(volatile int* at) {
  *at = 1;
  asm volatile("" ::: "memory");
}

const CrashMode kKernelNamedFaults[] = {
    {"read-only-store", false,
     [](const std::string&) -> int {
       void* page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
       if (page == MAP_FAILED) return 5;
       auto* at = reinterpret_cast<volatile int*>(static_cast<char*>(page) + 16);
       markFault(const_cast<int*>(at), const_cast<int*>(at) + 1);
       storeToReadOnly(at);
       waitForTheEnd();
     }},
    {"thread-overflow", false,
     [](const std::string&) -> int {
       std::thread([] {
         pthread_attr_t attributes;
         pthread_getattr_np(pthread_self(), &attributes);
         void* low = nullptr;
         size_t size = 0, guard = 0;
         pthread_attr_getstack(&attributes, &low, &size);
         pthread_attr_getguardsize(&attributes, &guard);
         pthread_attr_destroy(&attributes);
         markFault(static_cast<char*>(low) - guard, low);  // the guard page below the stack
         overflow(0);
       }).join();
       waitForTheEnd();
     }},
    {"illegal-instruction", false,
     [](const std::string&) -> int {
       auto* at = reinterpret_cast<char*>(kx_child_illegal);
       markFault(at, at + 1);
       kx_child_illegal();
       waitForTheEnd();
     }},
    {"divide-by-zero", false,
     [](const std::string&) -> int {
       static const int zero = 0;
       auto* at = reinterpret_cast<char*>(kx_child_divide);
       markFault(at, at + 1);
       kx_child_divide(&zero);
       waitForTheEnd();
     }},
};

// ---- Situations of programs that change their environment after enabling ----

__attribute__((noinline)) void cloneChildCrashes() { faultWith(28); }

// A child made by clone with `shared` (CLONE_VM: in the program's memory)
// crashes; the program waits for it (awaitCrashedChild).
bool runCloneChild(int shared) {
  constexpr size_t kStackSize = 256 * 1024;
  void* stack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) return false;
  auto crashes = [](void*) -> int {
    cloneChildCrashes();
    return 1;
  };
  const pid_t child =
      clone(crashes, static_cast<char*>(stack) + kStackSize, shared | SIGCHLD, nullptr);
  if (child < 0) return false;
  mark("child", static_cast<uint64_t>(child));
  mark("child.parent", static_cast<uint64_t>(getpid()));
  awaitCrashedChild(child);
  return true;
}

__attribute__((noinline)) void faultWithTheInodeTaken() { faultWith(25); }
__attribute__((noinline)) void faultAfterARetriedEnable() { faultWith(26); }
__attribute__((noinline)) void faultAfterTheProgramsHandler() { faultWith(27); }

pid_t gProgram = 0;
std::atomic<bool> gWaiterWoken{false};

// A mount namespace of the program's own, in which it may cover /proc later:
// directly with the administration capability, else in a user namespace of
// its own too, with its own ids mapped, which only a process of one thread
// may enter.
bool enterNamespaces() {
  const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
  const bool entered = unshare(CLONE_NEWNS) == 0 ||
                       (unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
                        crash_child_write_text("/proc/self/setgroups", "deny") &&
                        crash_child_write_text("/proc/self/uid_map", uid + " " + uid + " 1") &&
                        crash_child_write_text("/proc/self/gid_map", gid + " " + gid + " 1"));
  return entered && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// A thread that waits for the parking signal with `sigwaitinfo`, as a
// program's signal thread waits for its own.
void startSignalWaiter() {
  std::atomic<bool> ready{false};
  std::thread([&ready] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sys::thread_parking_signal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    ready = true;
    siginfo_t info;
    while (sigwaitinfo(&set, &info) < 0) {
    }
    gWaiterWoken = true;
    waitForTheEnd();
  }).detach();
  while (!ready.load()) std::this_thread::yield();
}

// The program closes the engine's unnamed report file and makes one of its
// own in the same folder, into which it writes data of its own: the file
// system hands it the freed inode, in the same descriptor number.
constexpr char kPrivateData[] = "the program's private data\n";
int gPrivateFile = -1;

bool takeTheReportFilesInode() {
  int reserved = 3;
  while (reserved < 1024 && !isEnginesReportFile(descriptorTarget(reserved))) ++reserved;
  struct stat engine, mine;
  if (reserved == 1024 || fstat(reserved, &engine) != 0) return false;
  close(reserved);
  const std::string folder = gFolder + "/org.kestrix.crash-capture/com.example.child";
  for (int attempt = 0; attempt < 16; ++attempt) {
    // A file that did not get the inode stays open, so it is not handed out again.
    int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 || fstat(fd, &mine) != 0) return false;
    if (mine.st_dev != engine.st_dev || mine.st_ino != engine.st_ino) continue;
    if (fd != reserved && (dup2(fd, reserved) != reserved || close(fd) != 0)) return false;
    gPrivateFile = reserved;
    return write(reserved, kPrivateData, sizeof kPrivateData - 1) ==
           static_cast<ssize_t>(sizeof kPrivateData - 1);
  }
  // Another process on the file system took the inode first: the situation
  // could not be arranged this time, which the test tells from a failure.
  mark("not-arranged", 1);
  return false;
}

// The program's own 1 MiB alternate stack on the enabling thread, and a
// handler of its own that runs there and uses 96 KiB of it.
stack_t gProgramStack;
std::atomic<bool> gHandlerOnItsStack{false};

void usesNinetySixKiB(int, siginfo_t*, void*) {
  auto* here = static_cast<char*>(__builtin_frame_address(0));
  auto* low = static_cast<char*>(gProgramStack.ss_sp);
  const bool onItsStack = here > low && here <= low + gProgramStack.ss_size;
  constexpr size_t kUsed = 96 * 1024;
  auto* block = static_cast<volatile char*>(alloca(kUsed));
  for (size_t i = 0; i < kUsed; i += 256) block[i] = 1;
  gHandlerOnItsStack = onItsStack;
}

// clone-vm, clone-vm-newpid, fork-files: a child in the program's memory
// (and in a pid namespace of its own), or one that shares the program's
// descriptor table, crashes; then the program.
int crashWithAChildThatShares(const std::string&) {
  const int shared = gMode == "clone-vm"          ? CLONE_VM
                     : gMode == "clone-vm-newpid" ? CLONE_VM | CLONE_NEWPID
                                                  : CLONE_FILES;
  if (!runCloneChild(shared)) return 8;
  parentCrashesLater();
  waitForTheEnd();
}

const CrashMode kChanges[] = {
    {"proc-hidden", false,
     [](const std::string&) -> int {
       // /proc covered, as a sandbox entered after enabling covers it; a
       // forked child crashes, then the program, whose signal thread is left
       // alone. The program crashes on a thread of its own: under
       // AddressSanitizer the main thread's stack is found through /proc.
       startSignalWaiter();
       if (mount("none", "/proc", "tmpfs", 0, nullptr) != 0) return 7;
       pid_t child = fork();
       if (child == 0) crashAsChild(Short::nothing);
       waitFor(child);
       std::thread([] { parentCrashesLater(); }).join();
       waitForTheEnd();
     }},
    {"inode-reused", false,
     [](const std::string&) -> int {
       if (!takeTheReportFilesInode()) return 8;
       faultWithTheInodeTaken();
       waitForTheEnd();
     }},
    {"enable-retried", false,
     [](const std::string&) -> int {
       faultAfterARetriedEnable();
       waitForTheEnd();
     }},
    {"own-alternate-stack", false,
     [](const std::string&) -> int {
       // The handler runs on the program's stack, and the heap below is whole.
       std::vector<std::string> strings;
       for (int i = 0; i < 2000; ++i) strings.push_back("heap string number " + std::to_string(i));
       raise(SIGUSR1);
       bool whole = true;
       for (int i = 0; i < 2000; ++i)
         whole = whole && strings[i] == "heap string number " + std::to_string(i);
       if (whole && gHandlerOnItsStack.load()) mark("own-stack-kept", 1);
       faultAfterTheProgramsHandler();
       waitForTheEnd();
     }},
    {"clone-sighand", false,
     [](const std::string&) -> int {
       if (!runCloneChild(CLONE_VM | CLONE_SIGHAND)) return 8;
       parentCrashesLater();
       waitForTheEnd();
     }},
    {"clone-vm", false, crashWithAChildThatShares},
    {"fork-files", false, crashWithAChildThatShares},
    {"clone-vm-newpid", false, crashWithAChildThatShares},
    {"clone-files", false,
     [](const std::string&) -> int {
       // The program's own crash finds no descriptor left but the ones the
       // engine keeps.
       if (!runCloneChild(CLONE_VM | CLONE_FILES)) return 8;
       useUpDescriptors();
       parentCrashesLater();
       waitForTheEnd();
     }},
};

}  // namespace

void prepareTheChange() {
  gProgram = getpid();
  if (gMode == "proc-hidden" && !enterNamespaces()) _exit(7);
  if (gMode == "own-alternate-stack") {
    installAlternateStack(1024 * 1024);
    sigaltstack(nullptr, &gProgramStack);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = usesNinetySixKiB;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
  }
  if (gMode == "enable-retried") {
    // A first enabling into a folder that cannot be made (a file is in its
    // way) fails.
    const std::string file = gFolder + "/a-file";
    close(open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    auto first = ROReradUzerirud::initWithApplicationIdentifier(
        "com.example.child", "7", "1.0", ROReradUzerirudConfig::initWithBasePath(file));
    if (first->enableCrashReporter()) _exit(9);
  }
}

void checkAfterTheChange() {
  if (getpid() != gProgram) return;
  if (gMode == "proc-hidden" && !gWaiterWoken.load()) markFromCallback("waiter-untouched", 1);
  struct stat st;
  if (gMode == "inode-reused" && fstat(gPrivateFile, &st) == 0 && st.st_nlink == 0 &&
      st.st_size == sizeof kPrivateData - 1 && lseek(gPrivateFile, 0, SEEK_CUR) == st.st_size) {
    markFromCallback("private-untouched", 1);
  }
}

int faultAsTheKernelNames(const std::string& mode) { return crashInMode(kKernelNamedFaults, mode); }

int crashAfterTheChange(const std::string& mode) { return crashInMode(kChanges, mode); }

}  // namespace crashchild
