#pragma once

#include <cstdint>

// Descriptors kept open from set-up for use at crash time (the report's file,
// the thread list's folder). A program may close descriptors it did not open
// (`closefrom`, `close_range`, a double close) and then get the same number
// for a file of its own, even on the same inode (ext4 hands a freed inode to
// the next file made in the folder): a kept number is used, or closed, only
// while it still names what it was opened on. Async-signal-safe: system
// calls only (`fstat`, `fcntl`, `ioctl`, and reads of /proc).
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

// A process as a descriptor it kept names it: its id, and its start in clock
// ticks since boot (0 where /proc does not say), which tells it from a
// process given its id after it ended.
struct process_identity {
  int32_t pid = 0;
  uint64_t startTicks = 0;
};

// The calling process's identity, its start read from /proc/self/stat.
process_identity process_identity_self() noexcept;

// Whether the calling process's descriptor table is apart from process
// `owner`'s, so that what one keeps in its table is not the other's, told
// from /proc alone (never by asking the kernel to compare the tables, `kcmp`,
// which a sandbox's filter may answer by ending the process). A process the
// C library's fork made (its fork handlers ran) has a table of its own (not
// so a child in its memory, made by clone with CLONE_VM).
// Another tells with `probe`, a descriptor it has just opened: a table
// `owner` shares (CLONE_FILES) holds it too, at the same number. False where
// it cannot be told: no probe (no descriptor left), `owner` gone or its id
// given to another process (its start differs), /proc hidden or refused, or
// `owner`'s first thread ended (its table shows nothing then).
bool descriptor_table_apart_from(const process_identity& owner, int probe) noexcept;

// Whether the calling process's descriptor table may be its parent's too (a
// child made with CLONE_FILES): as `descriptor_table_apart_from` tells it of
// the parent with `fd`, a descriptor the caller has just opened. The parent
// is looked for by the number /proc gives it, not getppid's, and taken only
// when it started no later than the caller (else its id was given again).
bool descriptor_table_may_be_parents(int fd) noexcept;

// Closes the calling process's copy of `fd`, a descriptor kept by process
// `owner` that the calling process has from it, so that its number serves
// the caller, without closing `owner`'s: where its table is apart from
// `owner`'s (see `descriptor_table_apart_from`, told with `probe`), the
// descriptor is closed there (a table its threads share). Where the table is
// `owner`'s too (CLONE_FILES), or may be, it is closed only `atCrash` when
// the caller has no `probe` to use instead, in a copy of the table made for
// the calling thread (see `descriptor_table_make_own`): the process is
// ending, and a child that used up its descriptors still has one for its
// report. Otherwise, and when no copy can be had, false with `fd` left open:
// the caller uses one of its own for the moment, and keeps nothing more in
// the table (which may be `owner`'s, and outlive the caller).
bool descriptor_close_copy(int fd, const process_identity& owner, bool atCrash, int probe) noexcept;

// Gives the calling thread a copy of its descriptor table, its own, for a
// process that is ending: what the thread opens from then on is closed
// however it ends, whatever other process shared the table (clone with
// CLONE_FILES). close_range's unsharing, or `unshare`, each asked only once
// a throwaway process has shown that the sandbox lets it through (see
// system/CallProbe.h). False when neither can be had.
bool descriptor_table_make_own() noexcept;

// Whether the calling process's signal actions may be another process's too
// (a child made by clone with CLONE_SIGHAND), asked only by a process that is
// ending (its crash written, or lost). A thread that no filter of system
// calls is on (its status says "Seccomp: 0") asks `unshare`, which finds
// them unshared for a process alone in its thread group (it refuses a table
// that is shared, or threads, and leaves one that is not as it is). Under a
// filter, which may end the process for `unshare`, `kcmp` or the `clone`
// that would make a process to ask them first, it asks only what a crash
// asks anyway: signal actions and /proc. An action of SIGURG, SIGWINCH or
// SIGCONT that the program left to the kernel is turned between SIG_DFL and
// SIG_IGN (both ignore these signals) and back while the parent's status
// shows whether its actions follow. That answer rests on /proc numbering
// processes as the caller does, and on the parent being the one sharer
// there can be: one that shares them with another (made with CLONE_PARENT,
// or by a process that ended since) is taken to have its own. Where the
// program handles all three signals, or /proc cannot tell, it asks
// `unshare`, then `kcmp` (whether its actions are its parent's), each only
// once a throwaway process has shown that the sandbox lets it through (see
// system/CallProbe.h), or where no throwaway can ask, itself: a filter that
// ends the process for that (or for the throwaway's `clone`) ends it by
// SIGSYS. One with threads of its own, where it must ask `unshare`, or
// where nothing answers, may share them.
bool signal_actions_may_be_shared() noexcept;

}  // namespace sys
