#pragma once

#include <cstdint>

#include "AsyncFrameCursor.h"

namespace rocrash::async {

// What both unwind-table readers check first: FRAME_ERR_BADFRAME when
// `current` has no pc, FRAME_ERR_NOTSUP when its pc is zero or there is no
// image list to look it up in, else FRAME_ERR_NONE.
inline rocrash_async_frame_error frame_reader_entry_check(
    const rocrash_async_thread_state* current,
    const rocrash_async_image_list* image_list) noexcept {
  if (!rocrash_async_thread_state_has_reg(current, ROCRASH_REG_IP)) return FRAME_ERR_BADFRAME;
  if (rocrash_async_thread_state_get_reg(current, ROCRASH_REG_IP) == 0 || image_list == nullptr) {
    return FRAME_ERR_NOTSUP;
  }
  return FRAME_ERR_NONE;
}

// The address whose unwind rules describe `frame`. Every frame but the first
// and those interrupted by a signal holds a return address: the instruction
// after a call, which may already lie in the next function when the call was
// the last instruction of its own (a call that never returns). Its rules are
// those of the call itself, so one byte before is looked up. The first frame
// and a frame a signal interrupted hold the exact pc of the next instruction
// to run, which is used as it is. The caller has marked the image list as
// being read.
uint64_t frame_lookup_address(sys::task_t task, rocrash_async_image_list* image_list,
                              const rocrash_async_thread_state* frame,
                              const rocrash_async_thread_state* previous) noexcept;

// True when `frame` is a signal trampoline: the call-frame information of its
// pc is marked as describing a signal frame. The caller has marked the image
// list as being read.
bool frame_is_signal_frame(sys::task_t task, rocrash_async_image_list* image_list,
                           const rocrash_async_thread_state* frame) noexcept;

}  // namespace rocrash::async
