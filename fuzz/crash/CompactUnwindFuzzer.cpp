// Feeds a compact unwind table to its reader: the encoding of a pc, its
// decoding, and one unwinding step with it on a scratch stack.
//
// Input: one byte choosing the CPU (x86-64, arm64, x86), the pc as an offset
// from the image (4 bytes), the stack and frame pointers as offsets into the
// scratch stack (2 bytes each), then the "__unwind_info" section's bytes.
#include <cstddef>
#include <cstdint>

#include "InputMemory.h"
#include "unwind/AsyncCompactUnwind.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint32_t kCpus[] = {ROCRASH_CPU_TYPE_X86_64, ROCRASH_CPU_TYPE_ARM64,
                                   ROCRASH_CPU_TYPE_X86};
  const uint32_t cpu = kCpus[fuzzing::takeLE(data, size, 1) % 3];
  const uint64_t pc = fuzzing::takeLE(data, size, 4);
  const uint64_t sp = fuzzing::kStackAddress + fuzzing::takeLE(data, size, 2) % fuzzing::kStackSize;
  const uint64_t fp = fuzzing::kStackAddress + fuzzing::takeLE(data, size, 2) % fuzzing::kStackSize;
  const uint64_t section = fuzzing::InputMemory::shared().lay(data, size);

  rocrash_async_mobject mobj;
  if (rocrash_async_mobject_init(&mobj, sys::mach_task_self(), section, size, true) !=
      ROCRASH_ERR_NONE) {
    return 0;
  }
  rocrash_async_cfe_reader reader;
  uint64_t function = 0;
  uint32_t encoding = 0;
  if (rocrash_async_cfe_reader_init(&reader, &mobj, cpu) == ROCRASH_ERR_NONE &&
      rocrash_async_cfe_reader_find_pc(&reader, pc, &function, &encoding) == ROCRASH_ERR_NONE) {
    if (function > pc) __builtin_trap();  // the function holding pc starts at or before it
    rocrash_async_cfe_entry entry;
    if (rocrash_async_cfe_entry_init(&entry, cpu, encoding) == ROCRASH_ERR_NONE) {
      uint32_t registers[ROCRASH_CFE_SAVED_REGISTER_MAX];
      if (rocrash_async_cfe_entry_register_count(&entry) > ROCRASH_CFE_SAVED_REGISTER_MAX) {
        __builtin_trap();
      }
      rocrash_async_cfe_entry_register_list(&entry, registers);
      rocrash_async_thread_state state;
      // There is no 32-bit x86 state: the 32-bit ARM one has the same width.
      if (rocrash_async_thread_state_init(
              &state, cpu == ROCRASH_CPU_TYPE_X86 ? ROCRASH_CPU_TYPE_ARM : cpu) ==
          ROCRASH_ERR_NONE) {
        rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_IP, section + pc);
        rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_SP, sp);
        rocrash_async_thread_state_set_reg(&state, ROCRASH_REG_FP, fp);
        if (cpu == ROCRASH_CPU_TYPE_ARM64) {
          rocrash_async_thread_state_set_reg(&state, ROCRASH_ARM64_LR, section + 8);
        }
        rocrash_async_thread_state next;
        (void)rocrash_async_cfe_entry_apply(sys::mach_task_self(), section + function, &state,
                                            &entry, &next);
      }
      rocrash_async_cfe_entry_free(&entry);
    }
  }
  rocrash_async_cfe_reader_free(&reader);
  rocrash_async_mobject_free(&mobj);
  return 0;
}
