#pragma once

// Seccomp filters that refuse the calling thread (and the threads it makes
// later) what a sandbox installed late would: the process-wide barrier, and
// optionally the moves across processors and the kernel's answers about
// another thread's scheduling.

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <vector>

namespace concurrency::testing {

struct Refused {
  // sched_setaffinity.
  bool moves = false;
  // sched_rr_get_interval, and clock_gettime of a thread's processor-time
  // clock (a negative clock id with the per-thread bit).
  bool schedulerAnswers = false;
};

// Installs the filter; false when the kernel refuses it.
inline bool refuseBarrier(Refused also = {}) {
  constexpr unsigned kThreadClock = 0x80000004u;
  const sock_filter refuse = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM);
  std::vector<sock_filter> rules{BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
  auto refuseCall = [&](unsigned call) {
    rules.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 1));
    rules.push_back(refuse);
  };
  refuseCall(__NR_membarrier);
  if (also.moves) refuseCall(__NR_sched_setaffinity);
  if (also.schedulerAnswers) {
    refuseCall(__NR_sched_rr_get_interval);
    rules.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clock_gettime, 0, 4));
    rules.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
    rules.push_back(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, kThreadClock));
    rules.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kThreadClock, 0, 1));
    rules.push_back(refuse);
  }
  rules.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog program{static_cast<unsigned short>(rules.size()), rules.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace concurrency::testing
