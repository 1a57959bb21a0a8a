#include "RvStreams/ProcessBarrier.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "RvStreams/Base.h"

namespace rv::detail {
namespace {

bool registerBarrier() noexcept {
#if defined(__SANITIZE_THREAD__)
  return false;
#else
  if (syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) != 0) return false;
  gAsymmetricFences.store(true, std::memory_order_seq_cst);
  return true;
#endif
}

}  // namespace

bool enableAsymmetricFences() noexcept {
  static const bool available = registerBarrier();
  return available;
}

void heavyBarrier() noexcept {
  if (!gAsymmetricFences.load(std::memory_order_relaxed)) return;
  if (syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0) {
    fatalError("The process-wide memory barrier failed");
  }
}

}  // namespace rv::detail
