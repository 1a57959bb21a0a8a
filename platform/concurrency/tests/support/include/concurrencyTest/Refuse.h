#pragma once

// Seccomp filters that refuse the calling thread (and the threads it makes
// later) what a sandbox installed late would: the process-wide barrier, and
// optionally the moves across processors and the kernel's answers about
// another thread's scheduling.

#include <sys/syscall.h>

#include <cerrno>

#include "baseTest/SystemCallFilter.h"

namespace concurrency::testing {

struct Refused {
  // sched_setaffinity.
  bool moves = false;
  // sched_rr_get_interval, and clock_gettime of a thread's processor-time
  // clock (a negative clock id with the per-thread bit).
  bool schedulerAnswers = false;
};

// Installs the filters; false when the kernel refuses them.
inline bool refuseBarrier(Refused also = {}) {
  using base::testing::filterCalls;
  constexpr uint32_t kThreadClock = 0x80000004u;
  const uint32_t refuse = base::testing::callFails(EPERM);
  bool installed = filterCalls({{__NR_membarrier, refuse}}, false);
  if (installed && also.moves) installed = filterCalls({{__NR_sched_setaffinity, refuse}}, false);
  if (installed && also.schedulerAnswers) {
    installed = filterCalls({{__NR_sched_rr_get_interval, refuse},
                             {__NR_clock_gettime, refuse, 0, kThreadClock, kThreadClock}},
                            false);
  }
  return installed;
}

}  // namespace concurrency::testing
