#pragma once

#include <cstdint>

#include "AsyncFrameCursor.h"

namespace rocrash::async {

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
