#include "AsyncFrameCache.h"
#include "AsyncFrameCursor.h"
#include "AsyncFrameLookup.h"
#include "unwind/AsyncCompactUnwind.h"

namespace {

// Looks up the compact unwind encoding of `pc` in the image's mapped
// "__unwind_info" section and applies it to `current`.
rocrash_async_frame_error unwindWithSection(sys::task_t task, rocrash_async_macho* image,
                                            rocrash_async_mobject* section, uint64_t pc,
                                            const rocrash_async_thread_state* current,
                                            rocrash_async_thread_state* next) {
  rocrash_async_cfe_reader reader;
  if (rocrash_async_cfe_reader_init(&reader, section, rocrash_async_macho_cpu_type(image)) !=
      ROCRASH_ERR_NONE) {
    return FRAME_ERR_INVAL;
  }
  rocrash_async_frame_error result = FRAME_ERR_NOTSUP;
  uint64_t functionOffset;
  uint32_t encoding;
  rocrash_async_cfe_entry entry;
  if (rocrash_async_cfe_reader_find_pc(&reader, pc - image->header_addr, &functionOffset,
                                       &encoding) == ROCRASH_ERR_NONE &&
      rocrash_async_cfe_entry_init(&entry, rocrash_async_macho_cpu_type(image), encoding) ==
          ROCRASH_ERR_NONE) {
    rocrash_vm_address_t functionStart;
    if (rocrash_async_cfe_entry_type(&entry) == CFE_ENTRY_NONE) {
      result = FRAME_ERR_NOFRAME;
    } else if (!rocrash_async_address_apply_offset(
                   image->header_addr, static_cast<int64_t>(functionOffset), &functionStart)) {
      result = FRAME_ERR_INVAL;
    } else {
      result = rocrash_async_cfe_entry_apply(task, functionStart, current, &entry, next) ==
                       ROCRASH_ERR_NONE
                   ? FRAME_ERR_NONE
                   : FRAME_ERR_NOFRAME;
    }
    rocrash_async_cfe_entry_free(&entry);
  }
  rocrash_async_cfe_reader_free(&reader);
  return result;
}

}  // namespace

rocrash_async_frame_error rocrash_async_frame_read_compact_unwind(
    sys::task_t task, rocrash_async_image_list* image_list,
    const rocrash_async_thread_state* current, const rocrash_async_thread_state* previous,
    rocrash_async_thread_state* next) noexcept {
  const rocrash_async_frame_error refused =
      rocrash::async::frame_reader_entry_check(current, image_list);
  if (refused != FRAME_ERR_NONE) return refused;

  rocrash_async_image_list_set_reading(image_list, true);
  // Most images (all ELF ones) have no table: find that out before asking
  // whether the frame below was a signal trampoline, which is costly.
  uint64_t pc = rocrash_async_thread_state_get_reg(current, ROCRASH_REG_IP);
  const uint64_t likely = previous != nullptr ? pc - 1 : pc;
  rocrash_async_frame_error result = FRAME_ERR_NOTSUP;
  rocrash_async_macho* image = rocrash::async::image_containing_address(image_list, likely);
  rocrash_async_mobject section;
  if (image != nullptr && rocrash_async_macho_map_section(image, "__TEXT", "__unwind_info",
                                                          &section) == ROCRASH_ERR_NONE) {
    pc = rocrash::async::frame_lookup_address(task, image_list, current, previous);
    if (rocrash_async_macho_contains_address(image, pc)) {
      result = unwindWithSection(task, image, &section, pc, current, next);
    }
    rocrash_async_mobject_free(&section);
  }
  rocrash_async_image_list_set_reading(image_list, false);
  return result;
}
