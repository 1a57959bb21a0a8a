#include "crash-capture/AsyncFrameCursor.h"

namespace {

// Looks up the compact unwind encoding of `pc` in the mapped "__unwind_info"
// section and applies it to `current`. The table reader has not been written
// yet: until it is, every lookup is "not supported" and the walk goes on with
// the next reader.
rocrash_async_frame_error unwindWithSection(sys::task_t, rocrash_async_macho*,
                                            rocrash_async_mobject*, uint64_t,
                                            const rocrash_async_thread_state*,
                                            rocrash_async_thread_state*) {
  return FRAME_ERR_NOTSUP;
}

}  // namespace

rocrash_async_frame_error rocrash_async_frame_read_compact_unwind(
    sys::task_t task, rocrash_async_image_list* image_list,
    const rocrash_async_thread_state* current, const rocrash_async_thread_state*,
    rocrash_async_thread_state* next) noexcept {
  if (!rocrash_async_thread_state_has_reg(current, ROCRASH_REG_IP)) return FRAME_ERR_BADFRAME;
  uint64_t pc = rocrash_async_thread_state_get_reg(current, ROCRASH_REG_IP);
  if (pc == 0 || image_list == nullptr) return FRAME_ERR_NOTSUP;

  rocrash_async_image_list_set_reading(image_list, true);
  rocrash_async_frame_error result = FRAME_ERR_NOTSUP;
  rocrash_async_macho* image = rocrash_async_image_containing_address(image_list, pc);
  if (image != nullptr) {
    rocrash_async_mobject section;
    if (rocrash_async_macho_map_section(image, "__TEXT", "__unwind_info", &section) ==
        ROCRASH_ERR_NONE) {
      result = unwindWithSection(task, image, &section, pc, current, next);
      rocrash_async_mobject_free(&section);
    }
  }
  rocrash_async_image_list_set_reading(image_list, false);
  return result;
}
