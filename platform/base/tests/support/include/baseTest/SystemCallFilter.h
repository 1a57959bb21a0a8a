#pragma once

#include <cstdint>
#include <initializer_list>

// Seccomp filters for tests that need the kernel to answer a call as a
// sandbox would: the call fails with an error of the test's choosing, traps
// (SIGSYS, for a handler of the test's to act on), or ends the process. A
// filter stays for the life of the process and of the processes it makes:
// install it in a child of the test.
namespace base::testing {

struct FilteredCall {
  long number;  // the system call
  // The action: callFails(error), callTraps or callEndsTheProcess.
  uint32_t action;
  // With 0 to 5, only calls whose argument `argument` (its low 32 bits),
  // masked with `mask`, is `value`.
  int argument = -1;
  uint32_t mask = 0xFFFFFFFFu;
  uint32_t value = 0;
};

uint32_t callFails(int error);
extern const uint32_t callTraps;
extern const uint32_t callEndsTheProcess;

// Installs a filter for `calls`, for every thread of the process with
// `allThreads`, else for the calling thread alone (and the threads it makes
// from now on). False when it cannot be installed.
bool filterCalls(std::initializer_list<FilteredCall> calls, bool allThreads);

// Installs a filter that lets only `calls` through, for every thread of the
// process, and answers every other call with `otherwise` (as a sandbox's
// allow-list does). False when it cannot be installed.
bool allowOnly(std::initializer_list<long> calls, uint32_t otherwise);

// In a SIGSYS handler, for a call that trapped: the value the call returns
// once the handler returns (a negative error number for a failure).
void setTrappedCallResult(void* uap, long result);

}  // namespace base::testing
