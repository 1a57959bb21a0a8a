#include "AsyncFrameCache.h"
#include "AsyncFrameCursor.h"
#include "AsyncFrameLookup.h"
#include "unwind/AsyncDwarfCFA.h"
#include "unwind/AsyncDwarfCFAState.h"
#include "unwind/AsyncDwarfFdeIndex.h"

namespace {

using rocrash::async::dwarf_cfa_state;
using rocrash::async::gnu_ehptr_reader;
using rocrash::async::rocrash_async_dwarf_cie_info;
using rocrash::async::rocrash_async_dwarf_fde_info;

// Finds the FDE covering `pc` through the image's index and parses its CIE.
template <typename machine_ptr>
bool findEntries(const rocrash_async_dwarf_frame_reader* reader,
                 const rocrash_async_dwarf_fde_index* index, machine_ptr pc,
                 rocrash_async_dwarf_fde_info* fde, rocrash_async_dwarf_cie_info* cie) {
  if (rocrash_async_dwarf_frame_reader_find_fde_indexed(reader, index, pc, fde) !=
      ROCRASH_ERR_NONE) {
    return false;
  }
  gnu_ehptr_reader<machine_ptr> pointers(reader->byteorder);
  return rocrash::async::rocrash_async_dwarf_cie_info_init<machine_ptr>(
             cie, reader->mobj, reader->byteorder, &pointers,
             rocrash_async_mobject_base_address(reader->mobj) + fde->cie_offset) ==
         ROCRASH_ERR_NONE;
}

// What the call-frame information says of one pc, with the frame section
// mapped while it is used.
struct Lookup {
  rocrash_async_frame_cache_entry found;  // by value: the cache may reuse its entry
  rocrash_async_mobject section;
  bool mapped = false;
  bool debugFrame = false;

  ~Lookup() {
    if (mapped) rocrash_async_mobject_free(&section);
  }
};

// Looks `pc` up in the image list and the image's frame section: from the
// write's frame cache when it holds the pc, else afresh (and then kept
// there). With `withSection`, a found FDE comes with its section mapped.
void lookUp(rocrash_async_image_list* image_list, uint64_t pc, bool withSection, Lookup* out) {
  bool filled = false;
  rocrash_async_frame_cache_entry* cached = rocrash::async::frame_cache_entry(pc, &filled);
  rocrash_async_frame_cache_entry& found = out->found;
  if (filled) {
    found = *cached;
    if (!withSection || found.status != ROCRASH_ASYNC_FRAME_ENTRIES_FOUND) return;
    out->mapped =
        rocrash_async_macho_map_frame_section(found.image, &out->section, &out->debugFrame);
    if (!out->mapped) found.status = ROCRASH_ASYNC_FRAME_ENTRIES_NO_SECTION;
    return;
  }
  found.pc = pc;
  found.used = true;
  found.status = ROCRASH_ASYNC_FRAME_ENTRIES_NO_IMAGE;
  found.image = rocrash::async::image_containing_address(image_list, pc);
  if (found.image != nullptr) {
    rocrash_async_macho* image = found.image;
    out->mapped = rocrash_async_macho_map_frame_section(image, &out->section, &out->debugFrame);
    if (!out->mapped) {
      found.status = ROCRASH_ASYNC_FRAME_ENTRIES_NO_SECTION;
    } else {
      rocrash_async_dwarf_frame_reader reader;
      // Setting up a reader only stores its arguments: it cannot fail.
      (void)rocrash_async_dwarf_frame_reader_init(&reader, &out->section, image->byteorder,
                                                  image->m64, out->debugFrame);
      // 32-bit images keep 32-bit addresses.
      const bool entries =
          image->m64 ? findEntries<uint64_t>(&reader, &image->fde_index, pc, &found.fde, &found.cie)
                     : findEntries<uint32_t>(&reader, &image->fde_index, static_cast<uint32_t>(pc),
                                             &found.fde, &found.cie);
      found.status =
          entries ? ROCRASH_ASYNC_FRAME_ENTRIES_FOUND : ROCRASH_ASYNC_FRAME_ENTRIES_NOT_FOUND;
      rocrash_async_dwarf_frame_reader_free(&reader);
    }
  }
  if (cached != nullptr) *cached = found;
  if (out->mapped && (!withSection || found.status != ROCRASH_ASYNC_FRAME_ENTRIES_FOUND)) {
    rocrash_async_mobject_free(&out->section);
    out->mapped = false;
  }
}

// Runs the CIE's and the FDE's instructions up to `pc` and applies the row to
// `current`.
template <typename machine_ptr, typename machine_ptr_s>
rocrash_async_frame_error unwindWithEntries(sys::task_t task, const Lookup& lookup, machine_ptr pc,
                                            const rocrash_async_thread_state* current,
                                            rocrash_async_thread_state* next) {
  const rocrash_async_byteorder* byteorder = lookup.found.image->byteorder;
  const rocrash_async_dwarf_fde_info& fde = lookup.found.fde;
  const rocrash_async_dwarf_cie_info& cie = lookup.found.cie;
  gnu_ehptr_reader<machine_ptr> pointers(byteorder);
  const rocrash_vm_address_t section = rocrash_async_mobject_base_address(&lookup.section);
  const auto start = static_cast<machine_ptr>(fde.pc_start);
  dwarf_cfa_state<machine_ptr, machine_ptr_s> state;
  if (state.eval_program(&lookup.section, pc, start, &cie, &pointers, byteorder, section,
                         static_cast<rocrash_vm_off_t>(cie.initial_instructions_offset),
                         static_cast<rocrash_vm_off_t>(cie.initial_instructions_length)) !=
          ROCRASH_ERR_NONE ||
      state.eval_program(&lookup.section, pc, start, &cie, &pointers, byteorder, section,
                         static_cast<rocrash_vm_off_t>(fde.instructions_offset),
                         static_cast<rocrash_vm_off_t>(fde.instructions_length)) !=
          ROCRASH_ERR_NONE) {
    return FRAME_ERR_NOTSUP;
  }
  if (state.apply_state(task, &cie, current, byteorder, next) != ROCRASH_ERR_NONE) {
    return FRAME_ERR_NOFRAME;
  }
  return FRAME_ERR_NONE;
}

}  // namespace

rocrash_async_frame_error rocrash_async_frame_read_dwarf_unwind(
    sys::task_t task, rocrash_async_image_list* image_list,
    const rocrash_async_thread_state* current, const rocrash_async_thread_state* previous,
    rocrash_async_thread_state* next) noexcept {
  const rocrash_async_frame_error refused =
      rocrash::async::frame_reader_entry_check(current, image_list);
  if (refused != FRAME_ERR_NONE) return refused;

  rocrash_async_image_list_set_reading(image_list, true);
  const uint64_t pc = rocrash::async::frame_lookup_address(task, image_list, current, previous);
  rocrash_async_frame_error result = FRAME_ERR_NOTSUP;
  {
    Lookup lookup;
    lookUp(image_list, pc, true, &lookup);
    switch (lookup.found.status) {
      case ROCRASH_ASYNC_FRAME_ENTRIES_NO_SECTION:
        result = FRAME_ERR_NOFRAME;
        break;
      case ROCRASH_ASYNC_FRAME_ENTRIES_FOUND:
        result = lookup.found.image->m64
                     ? unwindWithEntries<uint64_t, int64_t>(task, lookup, pc, current, next)
                     : unwindWithEntries<uint32_t, int32_t>(task, lookup, static_cast<uint32_t>(pc),
                                                            current, next);
        break;
      default:
        break;
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
  Lookup lookup;
  lookUp(image_list, pc - 1, false, &lookup);
  const rocrash_async_dwarf_cie_info& cie = lookup.found.cie;
  return lookup.found.status == ROCRASH_ASYNC_FRAME_ENTRIES_FOUND && cie.has_eh_augmentation &&
         cie.eh_augmentation.signal_frame;
}

}  // namespace rocrash::async
