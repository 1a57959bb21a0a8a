#include "AsyncFrameLookup.h"
#include "crash-capture/AsyncFrameCursor.h"

namespace {

// Finds the FDE covering `pc` in the mapped call-frame section, runs its CIE's
// and its own instructions up to `pc` and applies the row to `current`. The
// call-frame reader has not been written yet: until it is, every lookup is
// "not supported" and the walk goes on with the frame pointers.
rocrash_async_frame_error unwindWithSection(sys::task_t, rocrash_async_macho*,
                                            rocrash_async_mobject*, bool /*debugFrame*/, uint64_t,
                                            const rocrash_async_thread_state*,
                                            rocrash_async_thread_state*) {
  return FRAME_ERR_NOTSUP;
}

// Maps the image's call-frame section: "__TEXT","__eh_frame", else
// "__DWARF","__debug_frame" for Mach-O images; `.eh_frame` for ELF images.
bool mapFrameSection(rocrash_async_macho* image, rocrash_async_mobject* section, bool* debugFrame) {
  *debugFrame = false;
  if (image->elf != nullptr) {
    if (image->elf->ehFrameAddress == 0 || image->elf->ehFrameSize == 0) return false;
    return rocrash_async_mobject_init(section, image->task, image->elf->ehFrameAddress,
                                      image->elf->ehFrameSize, true) == ROCRASH_ERR_NONE;
  }
  if (rocrash_async_macho_map_section(image, "__TEXT", "__eh_frame", section) == ROCRASH_ERR_NONE) {
    return true;
  }
  if (rocrash_async_macho_map_section(image, "__DWARF", "__debug_frame", section) ==
      ROCRASH_ERR_NONE) {
    *debugFrame = true;
    return true;
  }
  return false;
}

}  // namespace

rocrash_async_frame_error rocrash_async_frame_read_dwarf_unwind(
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
    // 32-bit images keep 32-bit addresses.
    if (!image->m64) pc &= 0xFFFFFFFFULL;
    rocrash_async_mobject section;
    bool debugFrame;
    if (!mapFrameSection(image, &section, &debugFrame)) {
      result = FRAME_ERR_NOFRAME;
    } else {
      result = unwindWithSection(task, image, &section, debugFrame, pc, current, next);
      rocrash_async_mobject_free(&section);
    }
  }
  rocrash_async_image_list_set_reading(image_list, false);
  return result;
}

namespace rocrash::async {

bool frame_is_signal_frame(sys::task_t, rocrash_async_image_list*,
                           const rocrash_async_thread_state*) noexcept {
  // Signal frames are told by their call-frame information, which is not read
  // yet.
  return false;
}

}  // namespace rocrash::async
