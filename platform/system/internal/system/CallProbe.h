#pragma once

// A system call asked without risk: a sandbox's filter may answer a call it
// does not allow by ending the process (SECCOMP_RET_KILL) or by a signal
// (SECCOMP_RET_TRAP), which a crash must not meet. The call is made first in
// a throwaway process made for the question, which the calling thread's
// filter binds as it binds the caller: only when the throwaway came back
// with the kernel's answer does the caller know what the filter does with
// it. Async-signal-safe: system calls only, no heap, no lock.
namespace sys {

// What came of asking.
enum class call_probe {
  // The throwaway came back with the kernel's answer.
  answered,
  // The filter ended or trapped the throwaway at the call: here the call
  // would end or trap the caller.
  stopped,
  // The call was not tried: no throwaway could be made (`clone` refused, or
  // a limit on processes reached), or the filter ends the wait that would
  // collect it. What the filter does with the call is not known.
  unasked,
};

// Makes system call `number` with the arguments `a0` to `a2` (the others 0)
// in a throwaway process that runs in the caller's memory and on its stack,
// as a child of vfork does, while the caller waits: with its own signal
// actions, its own copy of the descriptor table, every signal blocked and no
// core dump. Only when answered is the call's result (a negative error number
// when it failed) in `*result`. The call's effects are the throwaway's: ask
// only calls whose answer there is the answer here, and whose effects there
// touch nothing the caller shares.
call_probe system_call_probe(long number, long a0, long a1, long a2, long* result) noexcept;

}  // namespace sys
