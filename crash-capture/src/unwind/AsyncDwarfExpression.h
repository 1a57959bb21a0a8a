#pragma once

#include <cstddef>
#include <cstdint>

#include "AsyncThreadState.h"
#include "safe/AsyncMObject.h"

namespace rocrash::async {

// The value stack's capacity, in machine words.
inline constexpr size_t DWARF_EXPRESSION_STACK_MAX = 100;

// The operations one evaluation may run. Skips and branches may go backwards,
// so a damaged or hostile block can loop; at crash time that would hang the
// report, so the evaluation fails instead once the budget is spent.
inline constexpr uint32_t DWARF_EXPRESSION_STEP_MAX = 10000;

// Runs the DWARF expression in [address + offset, + length) of `mobj` at crash
// time and stores the value left on top of its stack in `*result`. The
// machine word is `machine_ptr` (uint32_t or uint64_t, with `machine_ptr_s`
// its signed counterpart), chosen with the image's width. `initial_state`
// holds `initial_count` values pushed in order before the program runs.
// Registers come from `thread_state`, memory through task reads of `task`.
// At most DWARF_EXPRESSION_STEP_MAX operations run; when `step_budget` is
// given, each one is also taken from `*step_budget`, a budget the caller
// shares between several evaluations.
//
// Fails, leaving `*result` alone, with ROCRASH_ERR_NOTSUP for an operation
// outside the supported set, ROCRASH_ERR_INVAL for operands or branch targets
// outside the block, stack underflow of the stack-shuffling operations,
// division by zero, an empty stack at the end or a spent step budget,
// ROCRASH_ERR_INTERNAL for a
// stack overflow or underflow of the computing operations,
// ROCRASH_ERR_NOTFOUND for a register not valid in `thread_state`, and the
// task read's error for unreadable memory. Allocates nothing.
template <typename machine_ptr, typename machine_ptr_s>
rocrash_error_t rocrash_async_dwarf_expression_eval(
    const rocrash_async_mobject* mobj, sys::task_t task,
    const rocrash_async_thread_state* thread_state, const rocrash_async_byteorder* byteorder,
    rocrash_vm_address_t address, rocrash_vm_off_t offset, rocrash_vm_size_t length,
    const machine_ptr* initial_state, size_t initial_count, machine_ptr* result,
    uint32_t* step_budget = nullptr) noexcept;

extern template rocrash_error_t rocrash_async_dwarf_expression_eval<uint32_t, int32_t>(
    const rocrash_async_mobject*, sys::task_t, const rocrash_async_thread_state*,
    const rocrash_async_byteorder*, rocrash_vm_address_t, rocrash_vm_off_t, rocrash_vm_size_t,
    const uint32_t*, size_t, uint32_t*, uint32_t*) noexcept;
extern template rocrash_error_t rocrash_async_dwarf_expression_eval<uint64_t, int64_t>(
    const rocrash_async_mobject*, sys::task_t, const rocrash_async_thread_state*,
    const rocrash_async_byteorder*, rocrash_vm_address_t, rocrash_vm_off_t, rocrash_vm_size_t,
    const uint64_t*, size_t, uint64_t*, uint32_t*) noexcept;

}  // namespace rocrash::async
