#include "AsyncFrameLookup.h"
#include "crash-capture/AsyncDwarfCFA.h"
#include "crash-capture/AsyncDwarfCFAState.h"
#include "crash-capture/AsyncFrameCursor.h"

namespace {

using rocrash::async::dwarf_cfa_state;
using rocrash::async::gnu_ehptr_reader;
using rocrash::async::rocrash_async_dwarf_cie_info;
using rocrash::async::rocrash_async_dwarf_fde_info;

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

// Finds the FDE covering `pc` and parses its CIE.
template <typename machine_ptr>
bool findEntries(const rocrash_async_dwarf_frame_reader* reader, machine_ptr pc,
                 rocrash_async_dwarf_fde_info* fde, rocrash_async_dwarf_cie_info* cie,
                 const gnu_ehptr_reader<machine_ptr>* pointers) {
  if (rocrash_async_dwarf_frame_reader_find_fde(reader, 0, pc, fde) != ROCRASH_ERR_NONE) {
    return false;
  }
  return rocrash::async::rocrash_async_dwarf_cie_info_init<machine_ptr>(
             cie, reader->mobj, reader->byteorder, pointers,
             rocrash_async_mobject_base_address(reader->mobj) + fde->cie_offset) ==
         ROCRASH_ERR_NONE;
}

// Runs the CIE's and the FDE's instructions up to `pc` and applies the row to
// `current`.
template <typename machine_ptr, typename machine_ptr_s>
rocrash_async_frame_error unwindWithSection(sys::task_t task,
                                            const rocrash_async_dwarf_frame_reader* reader,
                                            machine_ptr pc,
                                            const rocrash_async_thread_state* current,
                                            rocrash_async_thread_state* next) {
  rocrash_async_dwarf_fde_info fde;
  rocrash_async_dwarf_cie_info cie;
  gnu_ehptr_reader<machine_ptr> pointers(reader->byteorder);
  if (!findEntries(reader, pc, &fde, &cie, &pointers)) return FRAME_ERR_NOTSUP;

  const rocrash_vm_address_t section = rocrash_async_mobject_base_address(reader->mobj);
  const auto start = static_cast<machine_ptr>(fde.pc_start);
  dwarf_cfa_state<machine_ptr, machine_ptr_s> state;
  if (state.eval_program(reader->mobj, pc, start, &cie, &pointers, reader->byteorder, section,
                         static_cast<rocrash_vm_off_t>(cie.initial_instructions_offset),
                         static_cast<rocrash_vm_off_t>(cie.initial_instructions_length)) !=
          ROCRASH_ERR_NONE ||
      state.eval_program(reader->mobj, pc, start, &cie, &pointers, reader->byteorder, section,
                         static_cast<rocrash_vm_off_t>(fde.instructions_offset),
                         static_cast<rocrash_vm_off_t>(fde.instructions_length)) !=
          ROCRASH_ERR_NONE) {
    return FRAME_ERR_NOTSUP;
  }
  if (state.apply_state(task, &cie, current, reader->byteorder, next) != ROCRASH_ERR_NONE) {
    return FRAME_ERR_NOFRAME;
  }
  return FRAME_ERR_NONE;
}

}  // namespace

rocrash_async_frame_error rocrash_async_frame_read_dwarf_unwind(
    sys::task_t task, rocrash_async_image_list* image_list,
    const rocrash_async_thread_state* current, const rocrash_async_thread_state* previous,
    rocrash_async_thread_state* next) noexcept {
  if (!rocrash_async_thread_state_has_reg(current, ROCRASH_REG_IP)) return FRAME_ERR_BADFRAME;
  if (rocrash_async_thread_state_get_reg(current, ROCRASH_REG_IP) == 0 || image_list == nullptr) {
    return FRAME_ERR_NOTSUP;
  }

  rocrash_async_image_list_set_reading(image_list, true);
  uint64_t pc = rocrash::async::frame_lookup_address(task, image_list, current, previous);
  rocrash_async_frame_error result = FRAME_ERR_NOTSUP;
  rocrash_async_macho* image = rocrash_async_image_containing_address(image_list, pc);
  if (image != nullptr) {
    rocrash_async_mobject section;
    bool debugFrame;
    if (!mapFrameSection(image, &section, &debugFrame)) {
      result = FRAME_ERR_NOFRAME;
    } else {
      rocrash_async_dwarf_frame_reader reader;
      if (rocrash_async_dwarf_frame_reader_init(&reader, &section, image->byteorder, image->m64,
                                                debugFrame) != ROCRASH_ERR_NONE) {
        result = FRAME_ERR_INVAL;
      } else if (image->m64) {
        result = unwindWithSection<uint64_t, int64_t>(task, &reader, pc, current, next);
      } else {
        // 32-bit images keep 32-bit addresses.
        result = unwindWithSection<uint32_t, int32_t>(task, &reader, static_cast<uint32_t>(pc),
                                                      current, next);
      }
      rocrash_async_dwarf_frame_reader_free(&reader);
      rocrash_async_mobject_free(&section);
    }
  }
  rocrash_async_image_list_set_reading(image_list, false);
  return result;
}

namespace rocrash::async {

bool frame_is_signal_frame(sys::task_t, rocrash_async_image_list* image_list,
                           const rocrash_async_thread_state* frame) noexcept {
  if (!rocrash_async_thread_state_has_reg(frame, ROCRASH_REG_IP)) return false;
  // A trampoline is entered by a return, so its pc is a return address and
  // is looked up one byte before.
  uint64_t pc = rocrash_async_thread_state_get_reg(frame, ROCRASH_REG_IP);
  if (pc == 0) return false;
  pc -= 1;
  rocrash_async_macho* image = rocrash_async_image_containing_address(image_list, pc);
  if (image == nullptr) return false;
  rocrash_async_mobject section;
  bool debugFrame;
  if (!mapFrameSection(image, &section, &debugFrame)) return false;
  rocrash_async_dwarf_frame_reader reader;
  rocrash_async_dwarf_frame_reader_init(&reader, &section, image->byteorder, image->m64,
                                        debugFrame);
  rocrash_async_dwarf_fde_info fde;
  rocrash_async_dwarf_cie_info cie;
  bool found;
  if (image->m64) {
    gnu_ehptr_reader<uint64_t> pointers(image->byteorder);
    found = findEntries<uint64_t>(&reader, pc, &fde, &cie, &pointers);
  } else {
    gnu_ehptr_reader<uint32_t> pointers(image->byteorder);
    found = findEntries<uint32_t>(&reader, static_cast<uint32_t>(pc), &fde, &cie, &pointers);
  }
  rocrash_async_dwarf_frame_reader_free(&reader);
  rocrash_async_mobject_free(&section);
  return found && cie.has_eh_augmentation && cie.eh_augmentation.signal_frame;
}

}  // namespace rocrash::async
