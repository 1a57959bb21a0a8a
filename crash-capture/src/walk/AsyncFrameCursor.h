#pragma once

#include <cstdint>

#include "images/AsyncImageList.h"
#include "unwind/AsyncThreadState.h"

// Walks a thread's stack frame by frame. Each step asks the frame readers in
// a fixed order (compact unwind information, DWARF call-frame information,
// the frame-pointer chain); the first that produces the caller's frame wins.
// Runs at crash time: the cursor lives on the walker's stack, allocates
// nothing and reads memory only through task reads and memory objects.

// (Left unformatted: clang-format 14 breaks an attribute before an underlying type.)
// clang-format off
enum [[nodiscard]] rocrash_async_frame_error : uint32_t {
  FRAME_ERR_NONE = 0,
  FRAME_ERR_UNKNOWN = 1,
  FRAME_ERR_NOFRAME = 2,
  FRAME_ERR_BADFRAME = 3,
  FRAME_ERR_NOTSUP = 4,
  FRAME_ERR_INVAL = 5,
  FRAME_ERR_INTERNAL = 6,
  FRAME_ERR_BADREG = 7,
};
// clang-format on

// The fixed message of `error`; "Unhandled error code" past the table.
const char* rocrash_async_frame_strerror(rocrash_async_frame_error error) noexcept;

// Produces the caller's frame of `current` in `next`. `previous` is the frame
// walked before `current`, null for the first step.
using rocrash_async_frame_reader = rocrash_async_frame_error (*)(
    sys::task_t task, rocrash_async_image_list* image_list,
    const rocrash_async_thread_state* current, const rocrash_async_thread_state* previous,
    rocrash_async_thread_state* next);

// Recovers the caller of a frame that is about to run code no image holds (a
// call through a null or dangling pointer, a jump into the heap): the first
// frame, or one a signal interrupted, whose pc is 0 or outside every listed
// image's code. Nothing ran there yet, so the return address the call pushed
// is at the stack pointer; it is taken when it points into a listed image's
// code. Host (x86-64) states only; FRAME_ERR_NOTSUP for every other frame.
rocrash_async_frame_error rocrash_async_frame_read_return_address(
    sys::task_t task, rocrash_async_image_list* image_list,
    const rocrash_async_thread_state* current, const rocrash_async_thread_state* previous,
    rocrash_async_thread_state* next) noexcept;
// Unwinds with the image's "__unwind_info" table.
rocrash_async_frame_error rocrash_async_frame_read_compact_unwind(
    sys::task_t task, rocrash_async_image_list* image_list,
    const rocrash_async_thread_state* current, const rocrash_async_thread_state* previous,
    rocrash_async_thread_state* next) noexcept;
// Unwinds with the image's "__eh_frame" (or "__debug_frame") call-frame
// information; for ELF images, with their `.eh_frame`.
rocrash_async_frame_error rocrash_async_frame_read_dwarf_unwind(
    sys::task_t task, rocrash_async_image_list* image_list,
    const rocrash_async_thread_state* current, const rocrash_async_thread_state* previous,
    rocrash_async_thread_state* next) noexcept;
// Follows the saved frame-pointer chain: [fp] is the caller's frame pointer,
// [fp + width] the return address, and fp + 2 x width the caller's stack
// pointer. The record must lie on the stack the current frame is on: above
// its stack pointer, with every page in between readable. A frame pointer
// left over from another stack (a makecontext context starts with its
// creator's) ends the walk with FRAME_ERR_BADFRAME instead of jumping there.
rocrash_async_frame_error rocrash_async_frame_read_frame_pointer(
    sys::task_t task, rocrash_async_image_list* image_list,
    const rocrash_async_thread_state* current, const rocrash_async_thread_state* previous,
    rocrash_async_thread_state* next) noexcept;

struct rocrash_async_frame_cursor {
  sys::task_t task;
  rocrash_async_image_list* image_list;  // borrowed
  uint32_t depth;                        // frames delivered; 0 before the first step
  rocrash_async_thread_state prev_frame;
  rocrash_async_thread_state frame;
};

// Starts a walk at `thread_state` (copied).
rocrash_async_frame_error rocrash_async_frame_cursor_init(
    rocrash_async_frame_cursor* cursor, sys::task_t task,
    const rocrash_async_thread_state* thread_state, rocrash_async_image_list* image_list) noexcept;
// Starts a walk at the saved state of a suspended thread; FRAME_ERR_INTERNAL
// when it has none.
rocrash_async_frame_error rocrash_async_frame_cursor_thread_init(
    rocrash_async_frame_cursor* cursor, sys::task_t task, sys::thread_t thread,
    rocrash_async_image_list* image_list) noexcept;

// One step with the four readers in order (compact unwind, DWARF, return
// address, frame pointer). The first step delivers the initial state
// itself. FRAME_ERR_NOFRAME when the caller's frame has no pc or a pc within
// the first page (the end of the stack).
rocrash_async_frame_error rocrash_async_frame_cursor_next(
    rocrash_async_frame_cursor* cursor) noexcept;
// The same with the given readers; FRAME_ERR_INVAL for an empty list. When
// every reader fails, the last one's error is returned and the cursor stays.
rocrash_async_frame_error rocrash_async_frame_cursor_next_with_readers(
    rocrash_async_frame_cursor* cursor, const rocrash_async_frame_reader* readers,
    size_t count) noexcept;

// FRAME_ERR_NOTSUP when the register is not valid in the current frame.
rocrash_async_frame_error rocrash_async_frame_cursor_get_reg(rocrash_async_frame_cursor* cursor,
                                                             rocrash_regnum_t regnum,
                                                             uint64_t* value) noexcept;
// The address the current frame's code is looked up by, for its unwind rules
// and for its name: the pc itself for the first frame and for a frame a
// signal interrupted, which are about to run the instruction there; one byte
// before it for every other frame, whose pc is a return address (the call
// that never returns may be its function's last instruction, so that the
// return address is the next function's first). 0 when the frame has no pc.
uint64_t rocrash_async_frame_cursor_get_lookup_address(rocrash_async_frame_cursor* cursor) noexcept;
const char* rocrash_async_frame_cursor_get_regname(rocrash_async_frame_cursor* cursor,
                                                   rocrash_regnum_t regnum) noexcept;
size_t rocrash_async_frame_cursor_get_regcount(rocrash_async_frame_cursor* cursor) noexcept;
void rocrash_async_frame_cursor_free(rocrash_async_frame_cursor* cursor) noexcept;
