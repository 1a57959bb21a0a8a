#include "baseTest/SystemCallFilter.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstddef>
#include <vector>

namespace base::testing {

uint32_t callFails(int error) {
  return SECCOMP_RET_ERRNO | (static_cast<uint32_t>(error) & SECCOMP_RET_DATA);
}
const uint32_t callTraps = SECCOMP_RET_TRAP;
const uint32_t callEndsTheProcess = SECCOMP_RET_KILL_PROCESS;

bool filterCalls(std::initializer_list<FilteredCall> calls, bool allThreads) {
  std::vector<sock_filter> rules = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  for (const FilteredCall& call : calls) {
    const bool withArgument = call.argument >= 0 && call.argument < 6;
    rules.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    // A call of another number skips the rest of this one's rules.
    const uint8_t skip = withArgument ? 4 : 1;
    rules.push_back(
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(call.number), 0, skip));
    if (withArgument) {
      // The argument's low half (the data is little-endian here).
      const auto at = static_cast<uint32_t>(offsetof(seccomp_data, args) +
                                            sizeof(uint64_t) * static_cast<size_t>(call.argument));
      rules.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, at));
      rules.push_back(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, call.mask));
      rules.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call.value, 0, 1));
    }
    rules.push_back(BPF_STMT(BPF_RET | BPF_K, call.action));
  }
  rules.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog program{static_cast<unsigned short>(rules.size()), rules.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, allThreads ? SECCOMP_FILTER_FLAG_TSYNC : 0,
                 &program) == 0;
}

bool allowOnly(std::initializer_list<long> calls, uint32_t otherwise) {
  std::vector<sock_filter> rules = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, otherwise),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
  };
  for (const long call : calls) {
    rules.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(call), 0, 1));
    rules.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  }
  rules.push_back(BPF_STMT(BPF_RET | BPF_K, otherwise));
  const sock_fprog program{static_cast<unsigned short>(rules.size()), rules.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &program) == 0;
}

void setTrappedCallResult(void* uap, long result) {
  static_cast<ucontext_t*>(uap)->uc_mcontext.gregs[REG_RAX] = result;
}

}  // namespace base::testing
