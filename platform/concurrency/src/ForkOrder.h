#pragma once

// The order in which the library's locks are taken around fork. The handover
// after a failed barrier takes the hazard slots' locks before the fence
// threads' list (a retire polls the heavy fence while it holds them), so the
// prepare handlers take them in that order too: the list's handlers are
// registered first, and prepare handlers run in the reverse order of
// registration.

#include <cstdint>

namespace concurrency::detail {

// Registers the fork handlers of the fence threads' list, once. A component
// whose locks are held while the list is taken calls it before it registers
// its own handlers.
void registerFenceThreadsForFork() noexcept;

// How many forks lie between the first process of this memory and the
// calling one: a child's is its parent's plus one (the list's child handler
// counts it). A state one thread of a process leaves for the others to wait
// on, tagged with it, tells a child that the thread it waits for is not
// there.
uint32_t forkGeneration() noexcept;

}  // namespace concurrency::detail
