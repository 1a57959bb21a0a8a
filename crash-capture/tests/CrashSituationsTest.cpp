// Real crashes in the situations a program may be in (CrashSituations.h):
// children, namespaces, sandboxes, images; each leaves its own whole report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "CrashChildSandbox.h"
#include "CrashSituations.h"
#include "base/BuildFacts.h"
#include "dispatchTest/Processes.h"

namespace {

using crashsituations::ChildRun;
using crashsituations::CrashSituation;
using crashsituations::DecodedThread;
using crashsituations::kTrapsBeyondThreadSanitizer;
using crashsituations::runChild;

// The names of a plugin situation's first frames, from the faulting one
// (the plugins are CrashChildImages.cpp's).
std::vector<std::string> plugin(const std::string& letter, const std::string& caller) {
  const std::string prefix = "_kx_plugin_" + letter + "_";
  return {prefix + "fault",
          prefix + "descend",
          prefix + "descend",
          prefix + "descend",
          prefix + "descend",
          prefix + "run",
          caller};
}

std::vector<std::string> pluginCalledFromPlugin() {
  std::vector<std::string> names = plugin("b", "_kx_plugin_a_call");
  names.push_back("_kx_child_enter_call");
  return names;
}

const std::vector<std::string> kProgramFrames = {"_kx_child_fault", "_kx_child_descend",
                                                 "_kx_child_descend", "_kx_child_descend",
                                                 "_kx_child_descend"};

// Situations of ordinary programs, each in both handler modes: every
// process that crashes leaves its own whole report, naming it, and nothing
// hangs.
const CrashSituation kSituations[] = {
    // Forked processes: a child made through the C library or by the raw
    // system call (no fork handlers), then the parent's own crash; a daemon
    // whose parent is gone; a child that can map nothing more, or open
    // nothing more; eight children at once.
    {"fork-child", {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"raw-fork-child", {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"daemon", {{"daemon", {"daemonCrashes"}}}},
    {"tight-child", {{"child", {"forkedChildCrashes"}}}},
    {"descriptors-child", {{"child", {"forkedChildCrashes"}}}},
    {"children-together", {{"child", {"childrenCrashTogether"}}}},
    // Writing: no descriptor and no memory left; 8 KiB alternate stacks
    // (above a guard page) the program installed before or after enabling; a
    // handler that used most of its alternate stack.
    {"no-descriptors", {{"pid", {"faultWithoutDescriptors"}}}},
    {"memory-exhausted", {{"pid", {"faultWithoutMemory"}}}},
    {"small-stack-before", {{"pid", {"overflow"}}}},
    {"small-stack-after", {{"pid", {"overflow"}}}},
    {"used-alternate-stack", {{"pid", {"handlerFaults", "usedMostOfTheStack"}}}},
    // Threads: past the slots, in their destructors, with every signal
    // blocked by their creator or by themselves after enabling.
    {"threads-past-the-slots", {{"pid", {"overflow"}}}},
    {"thread-local-destructor", {{"pid", {"overflow"}}}},
    {"key-destructor", {{"pid", {"overflow"}}}},
    {"blocked-worker", {{"pid", {"blockedWorkerFaults"}}}},
    {"masks-after-enable", {{"pid", {"maskedThreadFaults"}}}},
    // A program's fault handler installed after enabling runs first, and
    // hands on what it does not repair.
    {"repairing-handler", {{"pid", {"faultPastTheRepairs"}}}, false, {}, {}, "repaired"},
    // Images: plugins opened after enabling (by the program, by another
    // plugin, bound deep), closed again, or deleted or replaced on disk; the
    // program's own file deleted or replaced; a plugin's search table
    // rotated, reversed or zeroed in memory. The walk goes through every
    // frame of the plugins and the program, each named.
    {"plugin", {{"pid", {}, plugin("a", "_kx_child_enter_plugin")}}, false, "libkx_plugin_a.so"},
    {"plugin-from-plugin", {{"pid", {}, pluginCalledFromPlugin()}}, false, "libkx_plugin_b.so"},
    {"plugin-deepbind", {{"pid", {}, pluginCalledFromPlugin()}}, false, "libkx_plugin_b.so"},
    {"plugin-closed",
     {{"pid", {}, plugin("a", "_kx_child_enter_plugin")}},
     false,
     "libkx_plugin_a.so",
     "libkx_plugin_b.so"},
    {"plugin-deleted",
     {{"pid", {}, plugin("a", "_kx_child_enter_plugin")}},
     false,
     "plugins/libkx_plugin_a.so"},
    {"plugin-replaced",
     {{"pid", {}, plugin("a", "_kx_child_enter_plugin")}},
     false,
     "plugins/libkx_plugin_a.so"},
    {"program-deleted", {{"pid", {}, kProgramFrames}}},
    {"program-replaced", {{"pid", {}, kProgramFrames}}},
    {"hdr-rotated", {{"pid", {}, plugin("a", "_kx_child_enter_plugin")}}},
    {"hdr-reversed", {{"pid", {}, plugin("a", "_kx_child_enter_plugin")}}},
    {"hdr-zeroed", {{"pid", {}, plugin("a", "_kx_child_enter_plugin")}}},
    // Images no notice lists before the crash, each with its span and build
    // id: a module the C library opens by itself, the crash right after; a
    // library whose constructor crashes inside the dlopen.
    {"library-module", {{"pid", {}, kProgramFrames}}, false, "/IBM037.so", {}, {}, 0, true},
    {"constructor-image",
     {{"pid", {"_kx_plugin_c_fault"}}},
     false,
     "libkx_plugin_c.so",
     {},
     {},
     0,
     true},
    // Programs around the engine: a child made by vfork crashes in the
    // program's memory, then the program asks for a live report and crashes;
    // a worker crashes after the main thread ended with pthread_exit; the
    // program closed the engine's descriptors and gave their numbers to its
    // own log, which stays as it was; a file-size limit below the report's
    // size; a fault in a global destructor of the program.
    {"vfork-child",
     {{"child", {"vforkChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"main-exited", {{"pid", {"workerCrashesAfterMainExited"}}}},
    {"descriptor-reused", {{"pid", {"faultWithReusedDescriptors"}}}, false, {}, {}, "untouched"},
    {"file-size-limit", {{"pid", {"faultUnderFileSizeLimit"}}}, false, {}, {}, {}, SIGSEGV},
    {"global-destructor", {{"pid", {"destructorFaults"}}}},
    // Faults the kernel names, reported in either mode as it gave them: a
    // store to read-only memory, a worker's stack overflow (both on a
    // protected page), an illegal instruction and an integer division by 0.
    {"read-only-store", {{"pid", {"storeToReadOnly"}, {}, "SIGSEGV", "SEGV_ACCERR"}}},
    {"thread-overflow", {{"pid", {"overflow"}, {}, "SIGSEGV", "SEGV_ACCERR"}}},
    {"illegal-instruction", {{"pid", {"kx_child_illegal"}, {}, "SIGILL", "ILL_ILLOPN"}}},
    {"divide-by-zero", {{"pid", {"kx_child_divide"}, {}, "SIGFPE", "FPE_INTDIV"}}},
    // Programs that change their environment after enabling: /proc covered
    // (a forked child crashes, then the program, whose thread waiting for
    // signals is left alone).
    {"proc-hidden",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "waiter-untouched"},
    // The program's own unnamed file took the inode of the engine's, in its
    // number: it is left as it was, and the report goes elsewhere.
    {"inode-reused", {{"pid", {"faultWithTheInodeTaken"}}}, false, {}, {}, "private-untouched"},
    // A first enabling failed (its folder could not be made); the second
    // one, into a good folder, holds.
    {"enable-retried", {{"pid", {"faultAfterARetriedEnable"}}}},
    // The enabling thread had an alternate stack of 1 MiB: it keeps it, and
    // the program's handler uses 96 KiB of it.
    {"own-alternate-stack",
     {{"pid", {"faultAfterTheProgramsHandler"}}},
     false,
     {},
     {},
     "own-stack-kept"},
    // Children made by clone in the program's memory that share its signal
    // actions or its descriptors crash; the program's own crash, with no
    // descriptor left, follows.
    {"clone-sighand", {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"clone-files", {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    // The same in a program that a process of its own forked: the child
    // still shares the program's table.
    {"clone-files+forked", {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    // The same children where kcmp is refused, as a container's filter
    // refuses it: each still ends, and reports, as it does where the kernel
    // answers, and the parent's crash after is still reported.
    {"vfork-child+kcmp-eperm",
     {{"child", {"vforkChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"vfork-child+kcmp-enosys",
     {{"child", {"vforkChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"descriptors-child+kcmp-eperm", {{"child", {"forkedChildCrashes"}}}},
    {"descriptors-child+kcmp-enosys", {{"child", {"forkedChildCrashes"}}}},
    {"clone-sighand+kcmp-eperm",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"clone-files+kcmp-enosys",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    // A program whose filter ends any process that asks the kernel what it
    // shares with another (kcmp), or traps it: one started by running the
    // program enables, makes live reports and crashes, and so do its
    // children, which tell what they share from /proc.
    {"live-race+kcmp-ends", {{"pid", {"faultHere"}}}},
    {"fork-child+kcmp-ends", {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"fork-child+kcmp-traps", {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"clone-files+kcmp-ends", {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"clone-sighand+kcmp-traps",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    // Where unshare ends the process, traps or is refused, every kind of
    // child reports, one in the program's memory ending by its own signal,
    // and so does the program after it.
    {"fork-child+unshare-ends",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"raw-fork-child+unshare-ends",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"fork-files+unshare-ends",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"vfork-child+unshare-ends",
     {{"child", {"vforkChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"clone-vm+unshare-ends",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"clone-files+unshare-ends",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"fork-child+unshare-traps",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"raw-fork-child+unshare-traps",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"fork-files+unshare-traps",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"vfork-child+unshare-traps",
     {{"child", {"vforkChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"clone-vm+unshare-traps",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"clone-files+unshare-traps",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"fork-child+unshare-eperm",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"raw-fork-child+unshare-eperm",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"fork-files+unshare-eperm",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"vfork-child+unshare-eperm",
     {{"child", {"vforkChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"clone-vm+unshare-eperm",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"clone-files+unshare-eperm",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    // Where the clone that asks what a sandbox allows ends the process or
    // traps: children in the program's memory report.
    {"clone-sighand+clone-vfork-traps",
     {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    // And where /proc is covered too: the program's report goes through a
    // hidden file, made in the descriptor table it has.
    {"proc-hidden+clone-vfork-ends",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "waiter-untouched"},
    // Under an allow-list of the calls a crash makes (docs/LIMITS.md), that ends
    // the process for any other: every kind of child (those in the program's
    // memory below), then the program.
    {"fork-child+allow-list", {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"raw-fork-child+allow-list",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"fork-files+allow-list", {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    // Where the kernel wipes no page in a forked child: a child of the raw
    // system call, and children in the program's memory, whose crashes
    // leave the program's own report as it would be (its id, its report's
    // id).
    {"raw-fork-child+no-wipe",
     {{"child", {"forkedChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    {"vfork-child+no-wipe",
     {{"child", {"vforkChildCrashes"}}, {"pid", {"parentCrashesLater"}}},
     false,
     {},
     {},
     "child-ended-by-its-signal"},
    {"clone-sighand+no-wipe", {{"child", {"cloneChildCrashes"}}, {"pid", {"parentCrashesLater"}}}},
    // Children forked while the program's crash is written, from the crash
    // callback (the crash a fault, or an uncaught exception) or from another
    // thread: each gets a live report, and its own crash (a fault, or an
    // uncaught exception of its own) is reported as its own, without the
    // program's exception. One that returns from the callback ends by the
    // program's signal.
    {"fork-in-callback",
     {{"child", {"crashingProgramsChildFaults"}}, {"pid", {"programCrashesBeforeItsChild"}}},
     false,
     {},
     {},
     "live-in-child returning-child-ended"},
    {"fork-in-callback-exception",
     {{"child", {"crashingProgramsChildFaults"}, {}, {}, {}, "ChildsException"},
      {"pid", {"programCrashesBeforeItsChild"}, {}, {}, {}, "ProgramsException"}},
     true,
     {},
     {},
     "live-in-child returning-child-ended"},
    {"fork-while-writing",
     {{"child", {"crashingProgramsChildFaults"}}, {"pid", {"programCrashesBeforeItsChild"}}},
     false,
     {},
     {},
     "live-in-child"},
    // A child in the program's memory that shares its signal actions, made
    // in the crash callback, faults: it ends, as such a child does, rather
    // than waiting for the program's crash to end.
    {"clone-in-callback",
     {{"child", {"crashingProgramsChildFaults"}}, {"pid", {"programCrashesBeforeItsChild"}}},
     false,
     {},
     {},
     "clone-child-ended"},
    // A thread crashes while the enabling that installed the handler fails
    // and is undone: it waits in the handler until the enabling returned,
    // then reports with what the enabling had set up (as a signal: no
    // exception server was made).
    {"enable-fails-under-crash",
     {{"pid", {"crashDuringFailedEnabling"}}},
     true,
     {},
     {},
     "enable-failed",
     SIGSEGV},
    // A fault in a library of the last of many loader namespaces: the
    // library is listed, however many objects the namespaces hold.
    {"namespaces", {{"pid", {}}}, false, "libm.so.6", {}, {}, 0, true},
};

// Children in the program's memory where the throwaway that asks what a
// sandbox allows cannot be made (a pids limit, clone refused), or its end
// collected (wait4 ends the process), where clone ends the process or traps,
// and under an allow-list of the calls a crash makes: each reports and ends
// by its signal.
std::vector<CrashSituation> withoutAThrowaway() {
  std::vector<CrashSituation> rows;
  auto add = [&rows](const std::string& child, const std::string& sandbox, const char* marked) {
    const char* crashes = child == "vfork-child" ? "vforkChildCrashes" : "cloneChildCrashes";
    rows.push_back({child + "+" + sandbox,
                    {{"child", {crashes}}, {"pid", {"parentCrashesLater"}}},
                    false,
                    {},
                    {},
                    marked});
  };
  for (const char* sandbox : {"pids-limit", "clone-vfork-eperm", "wait4-ends", "clone-vfork-ends",
                              "clone-vfork-traps", "allow-list"}) {
    for (const char* child : {"vfork-child", "clone-vm", "clone-files"}) {
      add(child, sandbox, "child-ended-by-its-signal");
    }
  }
  // A program that handles SIGURG and SIGWINCH, as runtimes that preempt
  // their threads by signal do, where clone ends the process: children in its
  // memory tell whether they share its actions by SIGCONT's, and leave its
  // handlers as they were. Where it handles SIGCONT too, the child asks
  // through a throwaway, and the filter ends it.
  add("vfork-child", "handles-urg-winch+clone-vfork-ends",
      "child-ended-by-its-signal handlers-untouched");
  add("clone-sighand", "handles-urg-winch+clone-vfork-ends",
      "child-ended-by-sigkill handlers-untouched");
  add("clone-vm", "handles-urg-winch-cont+clone-vfork-ends",
      "child-ended-by-sigsys handlers-untouched");
  return rows;
}

// A child made by clone in the program's memory, without thread-local
// storage of its own, runs on its parent's ThreadSanitizer state.
constexpr const char* kCloneChildBeyondThreadSanitizer =
    "ThreadSanitizer keeps each thread's state in its thread-local storage, which a clone child "
    "without its own shares with its parent, so its signal handling and interceptors run on the "
    "parent's "
    "state";

constexpr const char* kForkInHandlerBeyondThreadSanitizer =
    "the crash callback forks and allocates inside the signal handler, which ThreadSanitizer "
    "reports as a signal-unsafe call, ending the process with its report";

// The situations ThreadSanitizer cannot host, and why: it fails there
// itself, before the engine's handler runs.
const std::map<std::string, std::string> kBeyondThreadSanitizer = {
    {"memory-exhausted",
     "ThreadSanitizer maps a thread's signal context at its first signal, and no memory is left"},
    {"tight-child",
     "ThreadSanitizer maps a thread's signal context at its first signal, and no memory is left"},
    {"used-alternate-stack",
     "ThreadSanitizer's own signal interception needs more than the little stack left"},
    {"main-exited",
     "ThreadSanitizer fails its own check (a thread number past its limit) once the main thread "
     "has exited"},
    {"threads-past-the-slots",
     "ThreadSanitizer gives each thread some 14 mappings and 1 MiB: 4,104 threads take 4 GiB and "
     "59,000 of the 65,530 mappings a process may have, and minutes on a loaded machine"},
    {"enable-fails-under-crash", kTrapsBeyondThreadSanitizer},
    {"clone-sighand", kCloneChildBeyondThreadSanitizer},
    {"clone-files", kCloneChildBeyondThreadSanitizer},
    {"clone-vm", kCloneChildBeyondThreadSanitizer},
    {"clone-in-callback", kCloneChildBeyondThreadSanitizer},
    {"fork-in-callback", kForkInHandlerBeyondThreadSanitizer},
    {"fork-in-callback-exception", kForkInHandlerBeyondThreadSanitizer},
};

// Whether a process may enter a mount namespace of its own, with the
// capability or in a user namespace, and cover /proc there (sandboxes may
// forbid it), asked of a forked child.
bool namespacesAllowed() {
  pid_t pid = fork();
  if (pid == 0) {
    _exit(base::testing::unshareNamespaces(CLONE_NEWNS) &&
                  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  mount("none", "/proc", "tmpfs", 0, nullptr) == 0
              ? 0
              : 1);
  }
  int status = 0;
  return pid > 0 && crashsituations::waitForChild(pid, &status, crashsituations::childDeadline()) &&
         WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether the file system under /tmp hands a freed inode to the next file
// made (ext4 does, tmpfs does not).
bool inodesReused() {
  struct stat first, next;
  int fd = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 || fstat(fd, &first) != 0) return false;
  close(fd);
  fd = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  const bool reused = fd >= 0 && fstat(fd, &next) == 0 && next.st_ino == first.st_ino;
  if (fd >= 0) close(fd);
  return reused;
}

bool pidsGroupsAllowed() {
  std::string group;
  return crash_child_make_pids_group(&group) && rmdir(group.c_str()) == 0;
}

// Situations that need what the sandbox or the file system may not give:
// the check, and why the situation is skipped without it.
const std::map<std::string, std::pair<bool (*)(), std::string>> kNeeds = {
    {"proc-hidden",
     {namespacesAllowed,
      "no mount namespace without the capability, and no user namespace to have it in (the "
      "sandbox forbids it, or the process has a thread, as under ThreadSanitizer)"}},
    {"inode-reused", {inodesReused, "the file system under /tmp does not reuse inodes at once"}},
    {"pids-limit",
     {pidsGroupsAllowed, "no pids cgroup can be made here (no controller, or no right to)"}},
};

// The first process (pid 1) of a pid namespace, as a container's is, whose
// child in its memory is the first process of a namespace of its own (clone
// with CLONE_VM and CLONE_NEWPID): both are pid 1. The child's crash is a
// report of its own, queued, that lists its one thread; the program's crash
// after it is the pending report.
TEST(CrashChildSignals, ChildInTheMemoryOfAPidOneWithPidOneToo) {
  if (KX_TSAN) GTEST_SKIP() << kCloneChildBeyondThreadSanitizer;
  ChildRun run;
  runChild("clone-vm-newpid+pid-one", "signals", &run, true);
  if (WIFEXITED(run.status) && WEXITSTATUS(run.status) == 7) {
    GTEST_SKIP() << "the system gives no pid namespace";
  }
  // The program's own parent passes on how it ended.
  EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 128 + SIGSEGV) << run.status;
  ASSERT_TRUE(run.report.ok) << run.report.text;
  ASSERT_NE(run.report.crashed(), nullptr);
  EXPECT_EQ(run.report.processID, 1u);
  auto names = [](const DecodedThread& thread, const std::string& function) {
    for (const auto& symbol : thread.symbols) {
      if (symbol.find(function) != std::string::npos) return true;
    }
    return false;
  };
  EXPECT_TRUE(names(*run.report.crashed(), "parentCrashesLater"));
  ASSERT_EQ(run.queued.size(), 1u);
  const auto& child = run.queued[0];
  ASSERT_TRUE(child.ok) << child.text;
  EXPECT_EQ(child.processID, 1u);
  ASSERT_EQ(child.threads.size(), 1u) << child.text;
  ASSERT_NE(child.crashed(), nullptr);
  EXPECT_TRUE(names(*child.crashed(), "cloneChildCrashes"));
  EXPECT_NE(run.marker("child-ended-by-its-signal"), 0u);
}

class CrashSituations : public ::testing::TestWithParam<std::tuple<CrashSituation, std::string>> {};

TEST_P(CrashSituations, EveryCrashedProcessLeavesItsOwnWholeReport) {
  const std::string& mode = std::get<0>(GetParam()).mode;
  if (KX_TSAN) {
    auto beyond = kBeyondThreadSanitizer.find(mode.substr(0, mode.find('+')));
    if (beyond != kBeyondThreadSanitizer.end()) GTEST_SKIP() << beyond->second;
    if (mode.find("+allow-list") != std::string::npos) {
      GTEST_SKIP() << "ThreadSanitizer's runtime makes system calls of its own, which the list "
                      "of those a crash makes leaves out";
    }
  }
  for (const auto& part : {mode.substr(0, mode.find('+')), mode.substr(mode.find('+') + 1)}) {
    if (auto need = kNeeds.find(part); need != kNeeds.end() && !need->second.first()) {
      GTEST_SKIP() << need->second.second;
    }
  }
  crashsituations::expectSituation(std::get<0>(GetParam()), std::get<1>(GetParam()));
}

std::string situationName(
    const ::testing::TestParamInfo<std::tuple<CrashSituation, std::string>>& info) {
  std::string name = std::get<0>(info.param).mode + "_" + std::get<1>(info.param);
  for (char& c : name) {
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Table, CrashSituations,
                         ::testing::Combine(::testing::ValuesIn(kSituations),
                                            ::testing::Values("signals", "mach")),
                         situationName);
INSTANTIATE_TEST_SUITE_P(WithoutAThrowaway, CrashSituations,
                         ::testing::Combine(::testing::ValuesIn(withoutAThrowaway()),
                                            ::testing::Values("signals", "mach")),
                         situationName);

}  // namespace
