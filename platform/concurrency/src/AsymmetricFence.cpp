#include "concurrency/AsymmetricFence.h"

#include <linux/membarrier.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/FatalError.h"

namespace concurrency {
namespace {

// The fallback barrier interrupts every processor that runs a thread of the
// process, and an interrupt on a processor that keeps its stores in order
// (x86) makes that thread's earlier stores visible before the interrupt
// completes. Elsewhere there would be no sound way back from a failed
// barrier, so the light sides never leave their fenced forms there.
#if defined(__x86_64__) || defined(__i386__)
constexpr bool kFallbackBarrier = true;
#else
constexpr bool kFallbackBarrier = false;
#endif

std::atomic<bool> gFailed{false};
std::atomic<bool> gFailNext{false};

bool registerBarrier() noexcept {
  if (!kFallbackBarrier) return false;
  if (syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) != 0) return false;
  FenceMode expected = FenceMode::symmetric;
  detail::gFenceMode.compare_exchange_strong(expected, FenceMode::asymmetric,
                                             std::memory_order_seq_cst);
  return true;
}

// Whether the process is registered; the first call registers it. A heavy
// side asks this rather than the mode, so that it never skips the barrier a
// light side that already saw the asymmetric mode relies on.
bool registered() noexcept {
  static const bool done = registerBarrier();
  return done;
}

// Changes the protection of a page this process has written: the kernel
// must then flush that page from the TLB of every processor running a
// thread of the process, which it does with an interrupt to each.
void fallbackBarrier() noexcept {
  static std::mutex* const mutex = new std::mutex;
  static const long pageSize = sysconf(_SC_PAGESIZE);
  static void* const page = mmap(nullptr, static_cast<size_t>(pageSize), PROT_READ | PROT_WRITE,
                                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) {
    base::fatalError("The process-wide memory barrier failed, and so did its fallback");
  }
  std::lock_guard<std::mutex> guard(*mutex);
  if (mprotect(page, static_cast<size_t>(pageSize), PROT_READ | PROT_WRITE) != 0) {
    base::fatalError("The process-wide memory barrier failed, and so did its fallback");
  }
  *static_cast<volatile char*>(page) = 1;
  if (mprotect(page, static_cast<size_t>(pageSize), PROT_READ) != 0) {
    base::fatalError("The process-wide memory barrier failed, and so did its fallback");
  }
}

// The first failure switches the light sides to symmetric fences for good;
// those that began plainly are covered by the fallback barrier, which every
// heavy side runs from then on.
void fallBack(int error) noexcept {
  static std::once_flag once;
  std::call_once(once, [error] {
    detail::gFenceMode.store(FenceMode::symmetric, std::memory_order_seq_cst);
    gFailed.store(true, std::memory_order_seq_cst);
    std::fprintf(stderr,
                 "Warning: the process-wide memory barrier failed (%s); the process uses fenced "
                 "paths from now on\n",
                 std::strerror(error));
  });
  fallbackBarrier();
}

}  // namespace

bool enableAsymmetricFences() noexcept { return registered() && asymmetricFences(); }

void heavyFence() noexcept {
  if (!registered()) return;
  if (gFailed.load(std::memory_order_seq_cst)) {
    fallbackBarrier();
    return;
  }
  int error = 0;
  if (gFailNext.exchange(false, std::memory_order_relaxed)) {
    error = ENOMEM;
  } else if (syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0) {
    error = errno;
  }
  if (error != 0) fallBack(error);
}

bool setFenceModeForTesting(FenceMode mode) noexcept {
  const bool available = registered();
  if (gFailed.load(std::memory_order_seq_cst)) return mode == FenceMode::symmetric;
  if (mode == FenceMode::asymmetric && !available) return false;
  detail::gFenceMode.store(mode, std::memory_order_seq_cst);
  return true;
}

void failNextBarrierForTesting() noexcept { gFailNext.store(true, std::memory_order_relaxed); }

bool barrierFailed() noexcept { return gFailed.load(std::memory_order_seq_cst); }

}  // namespace concurrency
