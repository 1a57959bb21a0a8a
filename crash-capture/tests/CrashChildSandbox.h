#pragma once

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
//   clone-vfork-ends, clone-vfork-traps: installed once enabled, clone for
//     a process in the caller's memory that the caller waits for
//     (CLONE_VM | CLONE_VFORK) ends the process, or traps, as filters that
//     let only threads and forks through do;
//   allow-list: installed once enabled, every call but those a crash makes
//     (as README.md lists them) and the program's own ends the process;
//   temporary-writer: installed before enabling, no file can be made without
//     a name (O_TMPFILE), and the writer of a report, once it is whole, opens
//     the FIFO "<folder>/renaming", writes a byte to it and waits there for
//     ever instead of naming it.
//   no-wipe: from the program's start, the kernel refuses to wipe a page in
//     a forked child (MADV_WIPEONFORK), as before Linux 4.14 (see
//     crash_child_without_wipe);
//   forked: the program runs in a child of the C library's fork (CrashChild.cpp);
//   pid-one: the program runs as the first process (pid 1) of a pid
//     namespace of its own, with the /proc of the one it came from.
// Installs what `sandbox` asks at the time `enabled` says (before enabling,
// or once enabled); false when that fails. Nothing for an empty `sandbox`.
bool crash_child_sandbox(const std::string& sandbox, const std::string& folder, bool enabled);

// For no-wipe, before the program does anything: installs the filter and
// runs the program again with `argv` (the filter stays), unless it is that
// run (the advice is refused already): -1 then, else the exit status.
int crash_child_without_wipe(char** argv);

// The sandboxed situations with a course of their own:
//   enable-fails-under-crash: a thread crashes while the enabling that
//     installed the handler fails (its last signal action is refused) and is
//     undone, and waits in the handler until the enabling has returned; the
//     program marks "enable-failed" when it did fail.
// When `mode` is one of them, runs it with the handler `type` ("signals" or
// "mach"), reporting under `folder`; the return value is the exit status
// when it does not crash. -1 when `mode` is another one.
int crash_child_sandboxed(const char* mode, const char* type, const char* folder);
