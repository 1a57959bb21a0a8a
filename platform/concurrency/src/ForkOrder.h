#pragma once

// The order in which the library's locks are taken around fork. The handover
// after a failed barrier takes the hazard slots' locks before the fence
// threads' list (a retire polls the heavy fence while it holds them), so the
// prepare handlers take them in that order too: the list's handlers are
// registered first, and prepare handlers run in the reverse order of
// registration.

namespace concurrency::detail {

// Registers the fork handlers of the fence threads' list, once. A component
// whose locks are held while the list is taken calls it before it registers
// its own handlers.
void registerFenceThreadsForFork() noexcept;

}  // namespace concurrency::detail
