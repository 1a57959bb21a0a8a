// Feeds a DWARF expression to the crash-time evaluator, with registers that
// point into a scratch stack so that memory operations read real memory.
// Every evaluation ends (the evaluator bounds its steps) with a value or an
// error.
//
// Input: a flags byte (bit 0: 64-bit machine, bit 1: other byte order), the
// count of initial stack values (0 to 3) and those values (8 bytes each),
// then the expression's bytes.
#include <cstddef>
#include <cstdint>

#include "InputMemory.h"
#include "unwind/AsyncDwarfExpression.h"

namespace {

template <typename machine_ptr, typename machine_ptr_s>
void evaluate(const rocrash_async_byteorder* byteorder, const uint64_t* initial, size_t count,
              uint64_t address, size_t size) {
  rocrash_async_thread_state state;
  if (rocrash_async_thread_state_init(
          &state, sizeof(machine_ptr) == 8 ? ROCRASH_CPU_TYPE_X86_64 : ROCRASH_CPU_TYPE_ARM) !=
      ROCRASH_ERR_NONE) {
    return;
  }
  const size_t registers = rocrash_async_thread_state_get_reg_count(&state);
  for (size_t i = 0; i < registers; ++i) {
    rocrash_async_thread_state_set_reg(&state, static_cast<rocrash_regnum_t>(i),
                                       fuzzing::kStackAddress + i * 0x100);
  }
  machine_ptr values[3];
  for (size_t i = 0; i < count; ++i) values[i] = static_cast<machine_ptr>(initial[i]);

  rocrash_async_mobject mobj;
  if (rocrash_async_mobject_init(&mobj, sys::mach_task_self(), address, size, true) !=
      ROCRASH_ERR_NONE) {
    return;
  }
  machine_ptr result = 0;
  (void)rocrash::async::rocrash_async_dwarf_expression_eval<machine_ptr, machine_ptr_s>(
      &mobj, sys::mach_task_self(), &state, byteorder, address, 0, size, values, count, &result);
  rocrash_async_mobject_free(&mobj);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint64_t flags = fuzzing::takeLE(data, size, 1);
  const size_t count = fuzzing::takeLE(data, size, 1) % 4;
  uint64_t initial[3] = {};
  for (size_t i = 0; i < count; ++i) initial[i] = fuzzing::takeLE(data, size, 8);
  if (size == 0) return 0;
  const uint64_t address = fuzzing::InputMemory::shared().lay(data, size);
  const rocrash_async_byteorder* byteorder =
      (flags & 2) ? rocrash_async_byteorder_swapped() : rocrash_async_byteorder_direct();
  if (flags & 1) {
    evaluate<uint64_t, int64_t>(byteorder, initial, count, address, size);
  } else {
    evaluate<uint32_t, int32_t>(byteorder, initial, count, address, size);
  }
  return 0;
}
