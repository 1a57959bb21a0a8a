#pragma once

// The hooks the tests steer the system layer with; built only with the tests.

#include <cstdint>

namespace sys {

// Refuse the kernel's cross-process copy so that reads take the
// pipe path, as on a system where the call is denied.
void setProcessVmReadvRefusedForTesting(bool refused) noexcept;

// The loader's record for debuggers that the lists are read from
// (an `r_debug` of the test's own); 0 finds the loader's again.
void setLoaderDebugRecordForTesting(uint64_t record) noexcept;

// Called as a handler stack has just been mapped (see system/HandlerStacks.h),
// with its top, before its guard page is made: the claim that maps it is half
// done until the hook returns. Null (the default) calls nothing.
void setHandlerStackMappedHookForTesting(void (*hook)(const void* top)) noexcept;

// Called as a claim of a handler stack has found the thread `holder` that
// held a place ended, before it takes the place: a thread given that id now
// is another one. Null (the default) calls nothing.
void setHandlerStackHolderEndedHookForTesting(void (*hook)(int32_t holder)) noexcept;

// Called as a process under a filter asks /proc whether its signal actions
// are its parent's (see system/ReservedDescriptors.h), with the signal it
// turns: `step` 1 once the parent's status was first read, 2 while the
// action is turned. Null (the default) calls nothing.
void setSignalActionsAskedHookForTesting(void (*hook)(int signo, int step)) noexcept;

// How many waits parking has begun in this process so far (see
// system/Threads.h): each is one deadline, by which the threads asked
// together must park, or those found with the parking signal blocked must
// unblock it, however many threads share it. Async-signal-safe.
uint64_t threadParkingWaitsForTesting() noexcept;

}  // namespace sys
