// Feeds call-frame information to the crash-time DWARF readers as one step
// of a stack walk does: find the FDE covering a pc, parse it and its CIE,
// run both instruction programs up to the pc and apply the resulting row to
// a frame whose registers point into a scratch stack. A table built over the
// section must find what the walk over it finds.
//
// Input: a flags byte (bit 0: 64-bit image, bit 1: debug-frame data, bit 2:
// other byte order), the offset of an entry in the section (4 bytes) whose
// pc range picks the pc, the pc's distance into that range (4 bytes), then
// the section's bytes. When that entry is no FDE, the pc is the section's
// address plus the distance.
#include <cstddef>
#include <cstdint>

#include "InputMemory.h"
#include "unwind/AsyncDwarfCFA.h"
#include "unwind/AsyncDwarfCFAState.h"
#include "unwind/AsyncDwarfFdeIndex.h"

namespace {

using rocrash::async::rocrash_async_dwarf_cie_info;
using rocrash::async::rocrash_async_dwarf_fde_info;

template <typename machine_ptr, typename machine_ptr_s>
void step(const rocrash_async_dwarf_frame_reader* reader, uint64_t section, uint64_t entry,
          uint64_t distance) {
  const rocrash_async_mobject* mobj = reader->mobj;
  rocrash_async_dwarf_fde_info fde;
  uint64_t pc = section + distance;
  if (rocrash::async::rocrash_async_dwarf_fde_info_init<machine_ptr>(
          &fde, mobj, reader->byteorder, section + entry, reader->debug_frame) ==
      ROCRASH_ERR_NONE) {
    const uint64_t span = fde.pc_end - fde.pc_start;
    pc = fde.pc_start + (span == 0 ? 0 : distance % span);
  }
  const rocrash_error_t walked =
      rocrash_async_dwarf_frame_reader_find_fde(reader, 0, static_cast<machine_ptr>(pc), &fde);
  rocrash_async_dwarf_fde_index index;
  if (rocrash_async_dwarf_fde_index_build(&index, reader)) {
    rocrash_async_dwarf_fde_info indexed;
    const rocrash_error_t found = rocrash_async_dwarf_frame_reader_find_fde_indexed(
        reader, &index, static_cast<machine_ptr>(pc), &indexed);
    rocrash_async_dwarf_fde_index_free(&index);
    if (found != walked || (found == ROCRASH_ERR_NONE && indexed.fde_offset != fde.fde_offset)) {
      __builtin_trap();
    }
  }
  if (walked != ROCRASH_ERR_NONE) return;
  rocrash::async::gnu_ehptr_reader<machine_ptr> pointers(reader->byteorder);
  rocrash_async_dwarf_cie_info cie;
  if (rocrash::async::rocrash_async_dwarf_cie_info_init<machine_ptr>(
          &cie, mobj, reader->byteorder, &pointers, section + fde.cie_offset) != ROCRASH_ERR_NONE) {
    return;
  }
  rocrash::async::dwarf_cfa_state<machine_ptr, machine_ptr_s> state;
  const auto start = static_cast<machine_ptr>(fde.pc_start);
  const auto at = static_cast<machine_ptr>(pc);
  if (state.eval_program(mobj, at, start, &cie, &pointers, reader->byteorder, section,
                         static_cast<rocrash_vm_off_t>(cie.initial_instructions_offset),
                         static_cast<rocrash_vm_off_t>(cie.initial_instructions_length)) !=
          ROCRASH_ERR_NONE ||
      state.eval_program(mobj, at, start, &cie, &pointers, reader->byteorder, section,
                         static_cast<rocrash_vm_off_t>(fde.instructions_offset),
                         static_cast<rocrash_vm_off_t>(fde.instructions_length)) !=
          ROCRASH_ERR_NONE) {
    return;
  }
  rocrash_async_thread_state current;
  if (rocrash_async_thread_state_init(
          &current, sizeof(machine_ptr) == 8 ? ROCRASH_CPU_TYPE_X86_64 : ROCRASH_CPU_TYPE_ARM) !=
      ROCRASH_ERR_NONE) {
    return;
  }
  const size_t registers = rocrash_async_thread_state_get_reg_count(&current);
  for (size_t i = 0; i < registers; ++i) {
    rocrash_async_thread_state_set_reg(&current, static_cast<rocrash_regnum_t>(i),
                                       fuzzing::kStackAddress + i * 0x100);
  }
  rocrash_async_thread_state_set_reg(&current, ROCRASH_REG_IP, pc);
  rocrash_async_thread_state next;
  (void)state.apply_state(sys::mach_task_self(), &cie, &current, reader->byteorder, &next);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint64_t flags = fuzzing::takeLE(data, size, 1);
  const uint64_t entry = fuzzing::takeLE(data, size, 4);
  const uint64_t distance = fuzzing::takeLE(data, size, 4);
  if (size == 0) return 0;
  const uint64_t section = fuzzing::InputMemory::shared().lay(data, size);
  rocrash_async_mobject mobj;
  if (rocrash_async_mobject_init(&mobj, sys::mach_task_self(), section, size, true) !=
      ROCRASH_ERR_NONE) {
    return 0;
  }
  const bool m64 = flags & 1;
  rocrash_async_dwarf_frame_reader reader;
  if (rocrash_async_dwarf_frame_reader_init(
          &reader, &mobj,
          (flags & 4) ? rocrash_async_byteorder_swapped() : rocrash_async_byteorder_direct(), m64,
          (flags & 2) != 0) == ROCRASH_ERR_NONE) {
    if (m64) {
      step<uint64_t, int64_t>(&reader, section, entry, distance);
    } else {
      step<uint32_t, int32_t>(&reader, section, entry, distance);
    }
    rocrash_async_dwarf_frame_reader_free(&reader);
  }
  rocrash_async_mobject_free(&mobj);
  return 0;
}
