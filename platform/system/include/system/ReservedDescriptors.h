#pragma once

#include <cstdint>

// Descriptors kept open from set-up for use at crash time (the report's file,
// the thread list's folder). A program may close descriptors it did not open
// (`closefrom`, `close_range`, a double close) and then get the same number
// for a file of its own, even on the same inode (ext4 hands a freed inode to
// the next file made in the folder): a kept number is used, or closed, only
// while it still names what it was opened on. Async-signal-safe: `fstat`,
// `fcntl` and `ioctl` only.
namespace sys {

// What a descriptor was opened on, and how.
struct descriptor_identity {
  uint64_t device = 0;
  uint64_t inode = 0;
  // The inode's generation, drawn anew each time the file system hands the
  // inode out, where the file system keeps one (`generationKnown`).
  uint32_t generation = 0;
  bool generationKnown = false;
  // The open flags (`fcntl(F_GETFL)`).
  int flags = 0;
};

// What `fd` is open on; false when it is not open.
bool descriptor_identify(int fd, descriptor_identity* identity) noexcept;

// Whether `fd` is still open on `identity`, with the flags it was opened
// with; with `unwritten`, also on a file that no folder links and that holds
// nothing (one made without a name, not named or written since: a file of the
// program's that took the freed inode has a name, or its data).
bool descriptor_still_names(int fd, const descriptor_identity& identity, bool unwritten) noexcept;

// What a process made by `clone` may share with the process it was made
// from besides memory.
enum class shared_table { descriptors, signal_actions };

// Whether the calling process uses the same `table` as process `owner` (it is
// `owner`, or a process made with CLONE_FILES or CLONE_SIGHAND from it):
// then a descriptor or action kept in the table is `owner`'s too, and the
// calling process leaves it as it is. Asked of the kernel (`kcmp`), which
// knows a process by its first thread. A first thread that ended (with
// `pthread_exit`) has no descriptor table left to compare, whatever the
// others share: given `probe`, a descriptor `owner`'s table holds, an answer
// of "another table" counts only while that thread still holds it. Where
// `kcmp` is refused (a sandbox's filter) or `owner` is gone, a process alone
// in its thread group learns of its signal actions from `unshare`, which
// refuses a table that is shared and leaves one it has alone as it is;
// anything else the kernel will not tell counts as shared.
bool table_shared_with(int owner, shared_table table, int probe = -1) noexcept;

// Whether the calling process's descriptor table may be its parent's too
// (a child made with CLONE_FILES), told without `kcmp`, which a sandbox's
// filter may answer by ending the process: `fd`, a descriptor the caller has
// just opened, is looked for in the parent's table through /proc. True where
// that cannot tell: /proc hidden or refused (a parent the caller may not
// inspect), a parent /proc does not show (it is another pid namespace's), or
// one whose first thread has ended (which shows no table there). The parent
// is looked for by the number /proc gives it, not getppid's.
bool descriptor_table_may_be_parents(int fd) noexcept;

// Closes the calling process's copy of `fd`, a descriptor kept by process
// `owner` that the calling process has from it, so that its number serves
// the caller, without closing `owner`'s. Where the descriptor table is the
// caller's own (its threads may share it), the descriptor is closed there.
// Where the table is `owner`'s too (CLONE_FILES), or may be (see
// `table_shared_with`: `kcmp` refused, `owner` gone), it is closed only
// `atCrash`, in a copy of the table made for the calling thread
// (close_range's unsharing, or `unshare`): the process is ending, and a
// child that used up its descriptors still has one for its report.
// Otherwise, and when no copy can be had, false with `fd` left open: the
// caller uses one of its own for the moment, and keeps nothing more in the
// table (which may be `owner`'s, and outlive the caller).
bool descriptor_close_copy(int fd, int owner, bool atCrash) noexcept;

// Marks the calling process as ending by a crash whose report is being
// written: from then on its thread list closes a descriptor it keeps from a
// parent as `descriptor_close_copy` does at crash time. Kept with the
// process's token (base/ProcessToken.h): a child forked later is not ending.
void descriptor_tables_crash_began() noexcept;
// Whether the calling process has been marked so.
bool descriptor_tables_crashing() noexcept;

}  // namespace sys
