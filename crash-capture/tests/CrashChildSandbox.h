#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

// The crash child's sandboxed situations: system calls refused as a
// container's filter refuses them, or trapped to hold a crash at a chosen
// point (CrashChild.cpp).
//
// A mode "<mode>+<sandbox>" runs <mode> under one of these filters:
//   kcmp-eperm, kcmp-enosys: installed once the reporter is enabled, kcmp
//     fails with EPERM or ENOSYS, as in a container without the ptrace
//     capability;
//   kcmp-ends, kcmp-traps: installed before enabling, kcmp ends the process,
//     or traps (SIGSYS), as filters that list the calls they allow do;
//   unshare-ends, unshare-traps, unshare-eperm: installed before enabling,
//     unshare ends the process, traps, or fails with EPERM (as in a
//     container without the administration capability);
//   clone-vfork-ends, clone-vfork-traps, clone-vfork-eperm: installed once
//     enabled, clone for a process in the caller's memory that the caller
//     waits for (CLONE_VM | CLONE_VFORK) ends the process, traps, or fails
//     with EPERM, as filters that let only threads and forks through do;
//   wait4-ends: installed once enabled, wait4 ends the process (the program
//     waits for its children with waitid);
//   pids-limit: the program runs in a pids cgroup of its own (see
//     crash_child_in_pids_group), which, once enabled, lets it make one more
//     process or thread;
//   allow-list: installed once enabled, every call but those a crash makes
//     (as docs/LIMITS.md lists them) and the program's own ends the process;
//   temporary-writer: installed before enabling, no file can be made without
//     a name (O_TMPFILE), and the writer of a report, once it is whole, opens
//     the FIFO "<folder>/renaming", writes a byte to it and waits there for
//     ever instead of naming it.
//   no-wipe: from the program's start, the kernel refuses to wipe a page in
//     a forked child (MADV_WIPEONFORK), as before Linux 4.14 (see
//     crash_child_without_wipe);
//   forked: the program runs in a child of the C library's fork (CrashChild.cpp);
//   pid-one: the program runs as the first process (pid 1) of a pid
//     namespace of its own, with the /proc of the one it came from;
//   handles-urg-winch, handles-urg-winch-cont: before enabling, the program
//     handles SIGURG and SIGWINCH (as runtimes that preempt their threads
//     by signal do), and SIGCONT too.
// Several apart by "+" are installed in turn.
// Installs what `sandbox` asks at the time `enabled` says (before enabling,
// or once enabled); false when that fails. Nothing for an empty `sandbox`.
bool crash_child_sandbox(const std::string& sandbox, const std::string& folder, bool enabled);

// Whether SIGURG, SIGWINCH and SIGCONT have the actions the sandbox gave
// them (SIG_DFL where it gave none).
bool crash_child_handlers_untouched();

// For no-wipe, before the program does anything: installs the filter and
// runs the program again with `argv` (the filter stays), unless it is that
// run (the advice is refused already): -1 then, else the exit status.
int crash_child_without_wipe(char** argv);

// Writes `text` into the existing file `path`; false when it cannot.
inline bool crash_child_write_text(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const bool written =
      fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  return written;
}

// For pids-limit, before the program does anything: makes a pids cgroup,
// forks the program into it, and removes the group once the program ended:
// its exit status then (128 + the signal that ended it), 7 when no group can
// be made; -1 in the program.
int crash_child_in_pids_group();

// Makes a pids cgroup of the calling process's own, into `path`: false
// where none can be made (no controller, or no right to).
inline bool crash_child_make_pids_group(std::string* path) {
  // Version 1's pids hierarchy, or version 2's root where it hands the
  // controller on to the groups made in it.
  const char* groups =
      access("/sys/fs/cgroup/pids", F_OK) == 0 ? "/sys/fs/cgroup/pids/" : "/sys/fs/cgroup/";
  *path = groups + ("kx-crash-child-" + std::to_string(getpid()));
  if (mkdir(path->c_str(), 0755) != 0) return false;
  if (access((*path + "/pids.max").c_str(), W_OK) == 0) return true;
  rmdir(path->c_str());
  return false;
}

// The sandboxed situations with a course of their own:
//   enable-fails-under-crash: a thread crashes while the enabling that
//     installed the handler fails (its last signal action is refused) and is
//     undone, and waits in the handler until the enabling has returned; the
//     program marks "enable-failed" when it did fail.
// When `mode` is one of them, runs it with the handler `type` ("signals" or
// "mach"), reporting under `folder`; the return value is the exit status
// when it does not crash. -1 when `mode` is another one.
int crash_child_sandboxed(const char* mode, const char* type, const char* folder);
