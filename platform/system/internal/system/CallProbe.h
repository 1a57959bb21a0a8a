#pragma once

// A system call asked without risk: a sandbox's filter may answer a call it
// does not allow by ending the process (SECCOMP_RET_KILL) or by a signal
// (SECCOMP_RET_TRAP), which a crash must not meet. The call is made first in
// a throwaway process made for the question, which the calling thread's
// filter binds as it binds the caller: only when the throwaway came back
// with the kernel's answer does the caller know what the filter does with
// it. Async-signal-safe: system calls only, no heap, no lock.
namespace sys {

// Makes system call `number` with the arguments `a0` to `a2` (the others 0)
// in a throwaway process that runs in the caller's memory and on its stack,
// as a child of vfork does, while the caller waits: with its own signal
// actions, its own copy of the descriptor table, every signal blocked and no
// core dump. True with the call's result (a negative error number when it
// failed) in `*result`; false when no answer came back: the filter ended or
// trapped the throwaway, or it could not be made (`clone` refused). The
// call's effects are the throwaway's: ask only calls whose answer there is
// the answer here, and whose effects there touch nothing the caller shares.
bool system_call_probe(long number, long a0, long a1, long a2, long* result) noexcept;

}  // namespace sys
