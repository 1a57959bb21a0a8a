#pragma once

// Asymmetric fences. A fast side that runs often (one thread delivering to a
// subject, the thread a lock is biased to) orders its stores before its later
// loads with a compiler barrier only; the rare side (a writer or a thread
// revoking the bias) calls heavyBarrier, which makes every running thread of
// the process execute a full barrier, before it looks at the fast side's
// stores. Either the rare side then sees the fast side's store, or the fast
// side's later load sees the rare side's earlier store.
//
// Available when the kernel offers the process-wide barrier and the build is
// not under ThreadSanitizer, which does not model it; otherwise the fast sides
// use their fenced or locked forms.

#include <atomic>

namespace rv::detail {

// Set once the barrier is registered for the process; never cleared.
inline std::atomic<bool> gAsymmetricFences{false};

// Registers the process for the barrier on the first call; whether it is
// available.
bool enableAsymmetricFences() noexcept;

// Makes every running thread's earlier stores visible to the caller, and the
// caller's earlier stores to every thread's later loads. Does nothing when
// the barrier is not available.
void heavyBarrier() noexcept;

}  // namespace rv::detail
