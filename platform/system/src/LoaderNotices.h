#pragma once

// The loader notices' own machinery, for ImageEvents.cpp: what tells the
// image registry that the loader's list of objects may have changed.
namespace sys::detail {

// Starts following the loader for this process (idempotent; again in a
// forked child, where the parent's watching thread does not exist): the
// program's `dlopen` and `dlclose` announce what they load and unload as
// they return, and a watching thread announces within about a tenth of a
// second what is loaded or unloaded past them (by the C library itself, by a
// library bound to the C library's own `dlopen` through RTLD_DEEPBIND, by
// `dlmopen`). Not async-signal-safe.
void loader_notices_start() noexcept;

// For the fork handlers (ImageEvents.cpp): takes the image registry's lock
// before a fork, and gives it back after it, in the parent, or in the child
// (`child`), where the thread holding it has another thread id.
void registry_lock_for_fork() noexcept;
void registry_unlock_after_fork(bool child) noexcept;

}  // namespace sys::detail
