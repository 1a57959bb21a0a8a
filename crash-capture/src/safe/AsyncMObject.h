#pragma once

#include <cstdint>

#include "AsyncSafe.h"

// A read-only window on a range of a task's memory. For the own task the
// pages are used in place (no second mapping); in copy mode (other tasks, or
// when tests ask for it) the readable range is copied into an anonymous
// mapping once. Either way every access goes through a bounds check, so a
// reader never touches memory outside what was found readable.
// Async-signal-safe.
struct rocrash_async_mobject {
  sys::task_t task;
  uintptr_t address;                  // local address of the first requested byte
  rocrash_vm_address_t task_address;  // the requested address in the task
  rocrash_vm_size_t length;           // usable bytes from task_address
  int64_t vm_slide;                   // task address minus local address
  uintptr_t vm_address;               // start of the page-aligned window
  rocrash_vm_size_t vm_length;        // its size
  bool copied;                        // the window is our own mapping
};

// The largest window a memory object spans.
inline constexpr rocrash_vm_size_t ROCRASH_ASYNC_MOBJECT_MAX_WINDOW = rocrash_vm_size_t{256} << 20;

// Maps [task_address, task_address + length). With `require_full`, every page
// must be readable; without, the readable head of the range is accepted (at
// most ROCRASH_ASYNC_MOBJECT_MAX_WINDOW bytes of it).
// ROCRASH_ERR_NOMEM: nothing readable (or not all of it with require_full, or
// a longer range than ROCRASH_ASYNC_MOBJECT_MAX_WINDOW);
// ROCRASH_ERR_INTERNAL: the copy mapping could not be made.
rocrash_error_t rocrash_async_mobject_init(rocrash_async_mobject* mobj, sys::task_t task,
                                           rocrash_vm_address_t task_address,
                                           rocrash_vm_size_t length, bool require_full) noexcept;
void rocrash_async_mobject_free(rocrash_async_mobject* mobj) noexcept;

rocrash_vm_address_t rocrash_async_mobject_base_address(const rocrash_async_mobject* mobj) noexcept;
rocrash_vm_size_t rocrash_async_mobject_length(const rocrash_async_mobject* mobj) noexcept;
sys::task_t rocrash_async_mobject_task(const rocrash_async_mobject* mobj) noexcept;

// True when [pointer + offset, + length) lies inside the window, without wrap.
bool rocrash_async_mobject_verify_local_pointer(const rocrash_async_mobject* mobj,
                                                uintptr_t pointer, int64_t offset,
                                                rocrash_vm_size_t length) noexcept;
// The local pointer of task address + offset when `length` bytes from there
// are inside the window, else null.
void* rocrash_async_mobject_remap_address(const rocrash_async_mobject* mobj,
                                          rocrash_vm_address_t address, int64_t offset,
                                          rocrash_vm_size_t length) noexcept;

// Checked reads; ROCRASH_ERR_INVAL outside the window.
rocrash_error_t rocrash_async_mobject_read_uint8(const rocrash_async_mobject* mobj,
                                                 rocrash_vm_address_t address, int64_t offset,
                                                 uint8_t* result) noexcept;
rocrash_error_t rocrash_async_mobject_read_uint16(const rocrash_async_mobject* mobj,
                                                  const rocrash_async_byteorder* byteorder,
                                                  rocrash_vm_address_t address, int64_t offset,
                                                  uint16_t* result) noexcept;
rocrash_error_t rocrash_async_mobject_read_uint32(const rocrash_async_mobject* mobj,
                                                  const rocrash_async_byteorder* byteorder,
                                                  rocrash_vm_address_t address, int64_t offset,
                                                  uint32_t* result) noexcept;
rocrash_error_t rocrash_async_mobject_read_uint64(const rocrash_async_mobject* mobj,
                                                  const rocrash_async_byteorder* byteorder,
                                                  rocrash_vm_address_t address, int64_t offset,
                                                  uint64_t* result) noexcept;

#ifdef KX_TEST_SEAMS
// Test seam: make every memory object a copy, as for a foreign task.
void rocrash_async_mobject_set_copy_mode_for_testing(bool copy) noexcept;
#endif

// Makes the memory objects the calling thread sets up from now on copies
// (true) or views in place (false, the default); returns the previous
// setting. Reading an image while it is listed, outside any crash, uses
// copies: another thread may unload the image meanwhile, and a copy is read
// with checked reads where a view would fault.
bool rocrash_async_mobject_set_thread_copy_mode(bool copy) noexcept;
