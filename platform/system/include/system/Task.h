#pragma once

#include <cstddef>
#include <cstdint>

// Task and thread names and safe reads of a task's memory, as the crash engine
// expects them of the kernel. A task is named by its process id and a thread by
// its kernel thread id; names carry no rights, so nothing needs releasing.
// Every function here is async-signal-safe: no heap, no locks.
namespace sys {

using task_t = int32_t;
using thread_t = int32_t;
// The result of the Mach-style calls of this layer. Every call that returns
// one is [[nodiscard]]: a caller checks it, or drops it with (void) where no
// failure needs an answer (a right released on the way out, say).
using kern_return_t = int32_t;
using vm_address_t = uint64_t;
using vm_size_t = uint64_t;

inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ADDRESS = 1;
inline constexpr kern_return_t KERN_PROTECTION_FAILURE = 2;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
inline constexpr kern_return_t KERN_FAILURE = 5;

// The calling process's task name: its pid, as the process learned it with
// its token (base/ProcessToken.h, `process_token_id`), asked of the kernel
// once per process, however the process was made. A child in its parent's
// memory goes by its parent's name; where the kernel clears no memory in a
// child (before 4.14, or a filter refuses it), a child made without fork
// handlers asks the kernel at each call.
task_t mach_task_self() noexcept;

// Whether `task` names the calling process: its own name, or the name of a
// process it was forked from, recorded before the fork. A child runs on a copy
// of its parent's memory, and task names kept in that memory mean "this
// process" there, as the task's self name does on the system the engine was
// written for: reads through them read the child's own memory, never the
// parent's (which may be gone).
bool task_is_self(task_t task) noexcept;

// Whether the calling process runs in the memory of the process it was made
// from: a child made by `vfork` (or by `clone` with CLONE_VM, not as a
// thread). Every store it makes lands in its parent's memory, and the parent
// goes on when the child ends, so crash-time code must change nothing there.
// Such a child goes by its parent's name (and reads its memory through it,
// which is its own). The token's answer (base/ProcessToken.h,
// `process_in_parents_memory`): known where the kernel clears memory in
// forked children (4.14 on); elsewhere true of every child made without fork
// handlers. Async-signal-safe: asks the kernel for the process id.
bool task_shares_parent_memory() noexcept;

// The calling thread's name (its kernel thread id).
thread_t mach_thread_self() noexcept;

// The page size and mask of this machine.
vm_size_t vm_page_size() noexcept;
vm_size_t vm_page_mask() noexcept;

// Copies `size` bytes at `address` of `task` into `data`, all or nothing.
// KERN_INVALID_ADDRESS: a page of the range is not mapped;
// KERN_PROTECTION_FAILURE: a page is mapped but not readable;
// KERN_INVALID_ARGUMENT: `task` names no process (it has ended);
// KERN_FAILURE: the copy failed for another reason. On failure the
// destination is undefined. `*outsize` (may be null) gets the copied count.
// A zero size copies nothing and succeeds; errno is kept. The own process's
// memory is read through the calling thread once the main thread has ended
// (pthread_exit): the kernel no longer finds it through the process id then.
[[nodiscard]] kern_return_t mach_vm_read_overwrite(task_t task, vm_address_t address,
                                                   vm_size_t size, void* data,
                                                   vm_size_t* outsize) noexcept;

// True when every page of [address, address + size) of the own task is
// mapped and readable; `*unreadable` (may be null) gets the first page that
// is not. Checked as `task_readable_prefix` does.
bool task_range_readable(vm_address_t address, vm_size_t size,
                         vm_address_t* unreadable = nullptr) noexcept;

// Memory regions: how many bytes from `address` (page aligned) are readable
// before the first page of `task` that is not, up to `size`. One kernel call
// checks a batch of pages (128), not one call per page. Async-signal-safe.
vm_size_t task_readable_prefix(task_t task, vm_address_t address, vm_size_t size) noexcept;

}  // namespace sys
