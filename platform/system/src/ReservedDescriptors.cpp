#include "system/ReservedDescriptors.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <linux/fs.h>
#include <linux/kcmp.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "base/Fork.h"
#include "base/ProcFiles.h"
#include "base/ProcStat.h"
#include "base/ProcessToken.h"
#include "system/CallProbe.h"
#include "system/SignalSafe.h"

#ifdef KX_TEST_SEAMS
#include "system/TestSeams.h"
#endif

namespace sys {
namespace {

// What `fd` is open on now, into `identity`, with its size and links; false
// when it is not open. The generation is asked for only `withGeneration`.
bool identifyNow(int fd, descriptor_identity* identity, struct stat* st, bool withGeneration) {
  if (fd < 0 || fstat(fd, st) != 0) return false;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  identity->device = static_cast<uint64_t>(st->st_dev);
  identity->inode = static_cast<uint64_t>(st->st_ino);
  identity->flags = flags;
  int generation = 0;
  identity->generationKnown = withGeneration && ioctl(fd, FS_IOC_GETVERSION, &generation) == 0;
  identity->generation = identity->generationKnown ? static_cast<uint32_t>(generation) : 0;
  return true;
}

}  // namespace

bool descriptor_identify(int fd, descriptor_identity* identity) noexcept {
  ErrnoGuard guard;
  struct stat st;
  return identifyNow(fd, identity, &st, true);
}

bool descriptor_still_names(int fd, const descriptor_identity& identity, bool unwritten) noexcept {
  ErrnoGuard guard;
  struct stat st;
  descriptor_identity now;
  // Generations are kept per file system: on the same device and inode, one
  // that had none has none.
  return identifyNow(fd, &now, &st, identity.generationKnown) && now.device == identity.device &&
         now.inode == identity.inode && now.flags == identity.flags &&
         now.generationKnown == identity.generationKnown && now.generation == identity.generation &&
         (!unwritten || (st.st_nlink == 0 && st.st_size == 0));
}

namespace {

// What the stat file of process `pid` (0, base::kProcSelf: the calling one)
// says of it.
bool statFacts(long pid, base::ProcStat* facts) {
  return base::proc_stat_read(base::ProcPath(pid).file("stat").c_str(), facts);
}

// The token (base/ProcessToken.h) of the process the C library's fork made,
// set by its fork handler: fork never shares the table it copies, so such a
// process's table is apart from every other's for good, and it needs no
// descriptor to tell (it may have used them all up).
std::atomic<uint32_t> gTableCopiedFor{0};

void tableCopied() { gTableCopiedFor.store(base::process_token(), std::memory_order_release); }

__attribute__((constructor)) void tableCopiedJoinedAtLoad() {
  base::fork_join_or_stop(base::ForkPhase::system, {.child = tableCopied});
}

// Whether `owner` still runs with its first thread, whose table /proc shows.
bool runsAsKnown(const process_identity& owner) {
  base::ProcStat facts;
  return owner.pid > 0 && owner.startTicks != 0 && statFacts(owner.pid, &facts) &&
         facts.startTicks == owner.startTicks && facts.state != 'Z' && facts.state != 'X';
}

// Whether `probe`, a descriptor of the calling process open on `object`,
// still is.
bool stillOpenOn(int probe, const struct stat& object) {
  struct stat now;
  return fstat(probe, &now) == 0 && now.st_dev == object.st_dev && now.st_ino == object.st_ino;
}

}  // namespace

process_identity process_identity_self() noexcept {
  ErrnoGuard guard;
  process_identity self;
  self.pid = static_cast<int32_t>(syscall(SYS_getpid));
  base::ProcStat facts;
  if (statFacts(0, &facts)) self.startTicks = facts.startTicks;
  return self;
}

bool descriptor_table_apart_from(const process_identity& owner, int probe) noexcept {
  ErrnoGuard guard;
  // A child in the memory of a process fork made has its token, not its
  // table (clone with CLONE_VM may share the table too).
  if (gTableCopiedFor.load(std::memory_order_acquire) == base::process_token() &&
      !base::process_in_parents_memory()) {
    return true;
  }
  if (probe < 0 || owner.pid == syscall(SYS_getpid) || !runsAsKnown(owner)) return false;
  // The probe's number in the owner's table: missing, or open on another
  // file, while the caller's still holds the probe, in a table the owner
  // does not share.
  struct stat own, theirs;
  if (fstat(probe, &own) != 0) return false;
  const base::ProcPath path = base::ProcPath(owner.pid).file("fd").id(probe);
  bool apart = stat(path.c_str(), &theirs) == 0
                   ? theirs.st_dev != own.st_dev || theirs.st_ino != own.st_ino
                   : errno == ENOENT;
  // Nor has the owner's first thread ended meanwhile (its table shows
  // nothing then).
  return apart && stillOpenOn(probe, own) && runsAsKnown(owner);
}

bool descriptor_table_may_be_parents(int fd) noexcept {
  ErrnoGuard guard;
  base::ProcStat self, parent;
  if (!statFacts(0, &self) || self.parent <= 0 || !statFacts(self.parent, &parent) ||
      parent.startTicks > self.startTicks) {
    return true;
  }
  process_identity identity;
  identity.pid = static_cast<int32_t>(self.parent);
  identity.startTicks = parent.startTicks;
  return !descriptor_table_apart_from(identity, fd);
}

bool descriptor_close_copy(int fd, const process_identity& owner, bool atCrash,
                           int probe) noexcept {
  ErrnoGuard guard;
  // Closed where only this process's threads can see it: a copy of the
  // table for this thread would leave them a table of their own, where a
  // descriptor one opens is not the other's.
  if (descriptor_table_apart_from(owner, probe)) {
    close(fd);
    return true;
  }
  if (!atCrash || probe >= 0 || !descriptor_table_make_own()) return false;
  close(fd);
  return true;
}

bool descriptor_table_make_own() noexcept {
  ErrnoGuard guard;
  // The table the C library's fork copied is the process's alone: nothing to
  // ask (the throwaway that asks is made by clone, which a filter may answer
  // by ending the process).
  if (gTableCopiedFor.load(std::memory_order_acquire) == base::process_token() &&
      !base::process_in_parents_memory()) {
    return true;
  }
  // close_range unshares the table and closes nothing past the last
  // descriptor; unshare where it is missing (before 5.9) or refused.
  long allowed = -1;
  if (system_call_probe(SYS_close_range, ~0u, ~0u, CLOSE_RANGE_UNSHARE, &allowed) ==
          call_probe::answered &&
      allowed == 0 && syscall(SYS_close_range, ~0u, ~0u, CLOSE_RANGE_UNSHARE) == 0) {
    return true;
  }
  return system_call_probe(SYS_unshare, CLONE_FILES, 0, 0, &allowed) == call_probe::answered &&
         allowed == 0 && syscall(SYS_unshare, CLONE_FILES) == 0;
}

namespace {

// The kernel's signal action, read and set directly: the C library's call
// may be the program's or a sanitizer's to wrap, which keeps what it is
// given in memory that a child in its parent's memory shares with the
// parent.
struct SignalAction {
  uintptr_t handler;
  unsigned long flags;
  uintptr_t restorer;
  uint64_t mask;

  bool operator==(const SignalAction&) const = default;
};
constexpr uintptr_t kActionDefault = 0, kActionIgnore = 1;  // SIG_DFL, SIG_IGN

bool exchangeAction(int signo, const SignalAction* set, SignalAction* was) {
  return syscall(SYS_rt_sigaction, signo, set, was, sizeof(uint64_t)) == 0;
}

// Whether process `pid`'s actions ignore `signo` (SIG_IGN), as its status
// says: 1 or 0, -1 where it cannot be read.
int ignoredBy(long pid, int signo) {
  base::ProcStatus status;
  if (!base::proc_status_read(base::ProcPath(pid).file("status").c_str(), &status) ||
      (status.found & base::ProcStatus::kIgnored) == 0) {
    return -1;
  }
  return static_cast<int>(status.ignored >> (signo - 1) & 1);
}

enum class Sharing { shared, apart, unknown };

#ifdef KX_TEST_SEAMS
std::atomic<void (*)(int, int)> gActionsAskedHook{nullptr};
void actionsAsked(int signo, int step) {
  if (auto* hook = gActionsAskedHook.load(std::memory_order_acquire)) hook(signo, step);
}
#else
constexpr void actionsAsked(int, int) {}
#endif

// Signals whose default action is to ignore them, and which SIG_IGN ignores
// alike (not SIGCHLD, whose SIG_IGN leaves no ended child to wait for;
// SIGCONT continues a stopped process whatever its action): one whose
// action is either can be set to the other and back with no change to what
// any process that has it does, however the signal comes. A blocked one
// stays pending either way; setting either discards those pending in the
// caller alone, which is ending.
constexpr int kIgnoredEitherWay[] = {SIGURG, SIGWINCH, SIGCONT};

// Whether the calling process's signal actions are its parent's (`parent`,
// by the number /proc gives it), told by system calls no filter is likely to
// forbid, as a crash makes them: the action of the first signal above that
// the program left to the kernel (a runtime that preempts its threads by
// signal handles SIGURG) is turned from SIG_DFL to SIG_IGN (or back) and
// back, and the parent's status read before and while it is: actions it
// shares follow; a status that differs from them shows actions apart. A
// change another made to that action meanwhile (a thread of the caller's,
// or the parent, when it shares them) is put back as it was made and taken
// as sharing; so is a parent that changed the same action the same way at
// the same moment. What rests on it: that no other changes it twice over
// while it is asked, and that the parent is the one process that can share
// them. A process forked meanwhile (by the parent when it shares them, or by
// a thread of the caller's) keeps the turned action, which ignores the
// signal alike. Unknown where the program handles all three, the parent's
// status cannot be read (/proc hidden), or the parent ended meanwhile.
Sharing actionsFollow(long parent) {
  for (const int signo : kIgnoredEitherWay) {
    SignalAction ours, now;
    if (!exchangeAction(signo, nullptr, &ours) ||
        (ours.handler != kActionDefault && ours.handler != kActionIgnore)) {
      continue;
    }
    const int ignored = ours.handler == kActionIgnore ? 1 : 0;
    const int before = ignoredBy(parent, signo);
    if (before < 0) return Sharing::unknown;
    actionsAsked(signo, 1);
    if (before != ignored) {
      // Apart already, unless the action changed meanwhile.
      if (!exchangeAction(signo, nullptr, &now)) continue;
      if (!(now == ours)) return Sharing::shared;
      return syscall(SYS_getppid) == parent ? Sharing::apart : Sharing::unknown;
    }
    SignalAction flipped = ours;
    flipped.handler = ignored == 1 ? kActionDefault : kActionIgnore;
    if (!exchangeAction(signo, &flipped, &now)) continue;
    if (now == ours) {
      const int during = ignoredBy(parent, signo);
      actionsAsked(signo, 2);
      exchangeAction(signo, &ours, &now);
      if (now == flipped) {
        if (during < 0 || syscall(SYS_getppid) != parent) return Sharing::unknown;
        return during == ignored ? Sharing::apart : Sharing::shared;
      }
    }
    // Changed meanwhile by another: what it set is put back.
    exchangeAction(signo, &now, nullptr);
    return Sharing::shared;
  }
  return Sharing::unknown;
}

}  // namespace

bool signal_actions_may_be_shared() noexcept {
  ErrnoGuard guard;
  static constexpr base::ProcPath kOwnStatus = base::ProcPath(base::kProcThreadSelf).file("status");
  base::ProcStatus own;
  const bool known = base::proc_status_read(kOwnStatus.c_str(), &own);
  // unshare, with nothing to unshare, changes nothing; with a shared table,
  // or other threads, it fails (EINVAL). Made at once by a thread no filter
  // is on.
  if (known && (own.found & base::ProcStatus::kSeccomp) != 0 && own.seccomp == 0) {
    return syscall(SYS_unshare, CLONE_SIGHAND) != 0;
  }
  // Under a filter, whether they are the parent's, told from /proc where it
  // numbers processes as this one does.
  const long parent = syscall(SYS_getppid);
  if (known && base::proc_status_numbers_as_own(own) && parent > 0) {
    switch (actionsFollow(parent)) {
      case Sharing::shared:
        return true;
      case Sharing::apart:
        return false;
      case Sharing::unknown:
        break;
    }
  }
  // Else unshare, asked once a throwaway process (whose actions are its
  // own) has shown that the sandbox lets it through: a filter may end the
  // process that asks, or trap the call. Where no throwaway could ask (a
  // limit on processes, clone refused, the wait that collects it ended), the
  // call is made here: the caller, which is ending, has nothing left to lose
  // but the signal it ends by, which the filter would make SIGSYS.
  long answer = -1;
  const call_probe unshared = system_call_probe(SYS_unshare, CLONE_SIGHAND, 0, 0, &answer);
  if (unshared == call_probe::answered && answer == 0) {
    return syscall(SYS_unshare, CLONE_SIGHAND) != 0;
  }
  if (unshared == call_probe::unasked) {
    if (syscall(SYS_unshare, CLONE_SIGHAND) == 0) return false;
    if (errno == EINVAL) return true;
  }
  // Else the kernel's comparison with the parent's actions, asked the same
  // way (a sandbox that refuses unshare may let kcmp through).
  const long self = syscall(SYS_getpid);
  if (parent <= 0) return true;
  switch (system_call_probe(SYS_kcmp, self, parent, KCMP_SIGHAND, &answer)) {
    case call_probe::answered:
      break;
    case call_probe::stopped:
      return true;
    case call_probe::unasked:
      answer = syscall(SYS_kcmp, self, parent, KCMP_SIGHAND, 0, 0);
      break;
  }
  return answer < 1 || answer > 2;
}

#ifdef KX_TEST_SEAMS
void setSignalActionsAskedHookForTesting(void (*hook)(int, int)) noexcept {
  gActionsAskedHook.store(hook, std::memory_order_release);
}
#endif

}  // namespace sys
