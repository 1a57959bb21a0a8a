#pragma once

// The loader notices' own machinery, for ImageEvents.cpp: what tells the
// image registry that the loader's list of objects may have changed.
namespace sys::detail {

// Starts following the loader for this process (idempotent): the program's
// `dlopen` and `dlclose` announce what they load and unload as they return.
// Not async-signal-safe.
void loader_notices_start() noexcept;

// Starts the watching thread of this process (idempotent; again in a forked
// child, where the parent's does not exist), which announces within about a
// tenth of a second what is loaded or unloaded past the program's `dlopen`
// and `dlclose`: by the C library itself, by a library bound to the C
// library's `dlopen` through RTLD_DEEPBIND (in this namespace). It starts once
// there is a sign of such loads, so that a program that never has any runs
// no extra thread. Not async-signal-safe.
void loader_watch_start() noexcept;

// The sync after the program's own `dlopen` or `dlclose`: a change it finds
// is that call's, not a sign of loads past it.
void sync_after_own_call() noexcept;

// For the fork handlers (ImageEvents.cpp): takes the image registry's lock
// before a fork, so that the child's copy of the registry is whole, and gives
// it back after it in the parent; the child takes a lock of its own.
void registry_lock_for_fork() noexcept;
void registry_unlock_after_fork() noexcept;

}  // namespace sys::detail
