#include "AsyncFrameLookup.h"

namespace rocrash::async {

uint64_t frame_lookup_address(sys::task_t task, rocrash_async_image_list* image_list,
                              const rocrash_async_thread_state* frame,
                              const rocrash_async_thread_state* previous) noexcept {
  uint64_t pc = rocrash_async_thread_state_get_reg(frame, ROCRASH_REG_IP);
  if (previous == nullptr || pc == 0) return pc;
  if (frame_is_signal_frame(task, image_list, previous)) return pc;
  return pc - 1;
}

}  // namespace rocrash::async
