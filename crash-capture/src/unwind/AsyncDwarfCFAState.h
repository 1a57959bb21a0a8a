#pragma once

#include <cstddef>
#include <cstdint>

#include "AsyncDwarfCFA.h"
#include "AsyncThreadState.h"

// The row of the call-frame table at one pc: how to find the canonical frame
// address (CFA) and where each register of the caller was saved. It is built
// by running a CIE's and an FDE's instructions and then applied to a frame
// to produce the caller's frame. Fixed capacity, so it lives on the stack:
// 6 levels of remembered state, 100 register rules shared by all levels.

namespace rocrash::async {

// How a register of the caller is recovered.
enum rocrash_dwarf_cfa_reg_rule_t : uint8_t {
  ROCRASH_DWARF_CFA_REG_RULE_OFFSET = 0,          // saved at CFA + N
  ROCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET = 1,      // the value is CFA + N
  ROCRASH_DWARF_CFA_REG_RULE_REGISTER = 2,        // the value of register N
  ROCRASH_DWARF_CFA_REG_RULE_EXPRESSION = 3,      // saved at the address an expression yields
  ROCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION = 4,  // the value an expression yields
  ROCRASH_DWARF_CFA_REG_RULE_SAME_VALUE = 5,      // unchanged
};

// How the CFA is found.
enum dwarf_cfa_rule_type : uint8_t {
  DWARF_CFA_STATE_CFA_TYPE_UNDEFINED = 0,
  DWARF_CFA_STATE_CFA_TYPE_EXPRESSION = 1,       // an expression block
  DWARF_CFA_STATE_CFA_TYPE_REGISTER = 2,         // register + unsigned offset
  DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED = 3,  // register + signed offset
};

template <typename machine_ptr, typename machine_ptr_s>
struct dwarf_cfa_rule {
  dwarf_cfa_rule_type type = DWARF_CFA_STATE_CFA_TYPE_UNDEFINED;
  uint32_t reg_num = 0;
  machine_ptr offset = 0;  // register kinds (the signed kind as two's complement)
  rocrash_vm_address_t expression_address = 0;  // expression kind: the block's task address
  uint64_t expression_length = 0;

  machine_ptr_s signed_offset() const noexcept { return static_cast<machine_ptr_s>(offset); }
};

template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state_iterator;

template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state {
 public:
  static constexpr uint8_t MAX_REGISTERS = 100;
  static constexpr uint8_t MAX_STATES = 6;
  static constexpr uint8_t BUCKET_COUNT = 14;
  static constexpr uint8_t EMPTY = 255;

  dwarf_cfa_state() noexcept;

  // Sets the rule of `regnum` in the current level. False when a new rule is
  // needed and all 100 are in use.
  bool set_register(uint32_t regnum, rocrash_dwarf_cfa_reg_rule_t rule, machine_ptr value) noexcept;
  // False when the current level has no rule for `regnum`.
  bool get_register_rule(uint32_t regnum, rocrash_dwarf_cfa_reg_rule_t* rule,
                         machine_ptr* value) const noexcept;
  void remove_register(uint32_t regnum) noexcept;
  uint8_t get_register_count() const noexcept;

  void set_cfa_register(uint32_t regnum, machine_ptr offset) noexcept;
  void set_cfa_register_signed(uint32_t regnum, machine_ptr_s offset) noexcept;
  void set_cfa_expression(rocrash_vm_address_t address, uint64_t length) noexcept;
  dwarf_cfa_rule<machine_ptr, machine_ptr_s> get_cfa_rule() const noexcept;

  // Remembers the current level (its CFA rule and register rules) as a new
  // current level; false at the last level or when the rules do not fit.
  bool push_state() noexcept;
  // Returns to the previous level; false at level 0.
  bool pop_state() noexcept;

  // Runs the instructions in [address + offset, + length) of `mobj` from
  // location `initial_pc_value` until the location passes `pc` (all of them
  // when `pc` is 0). The rules of the current level when the program starts
  // are the initial rules that restore instructions return to. `reader`
  // (may be null) reads set_loc addresses. ROCRASH_ERR_NOTSUP for
  // instructions outside the supported set and register numbers wider than
  // 32 bits, ROCRASH_ERR_INVAL for operands past the end and misplaced
  // CFA changes, ROCRASH_ERR_NOMEM when the rules or levels run out.
  rocrash_error_t eval_program(const rocrash_async_mobject* mobj, machine_ptr pc,
                               machine_ptr initial_pc_value,
                               const rocrash_async_dwarf_cie_info* cie_info,
                               const gnu_ehptr_reader<machine_ptr>* reader,
                               const rocrash_async_byteorder* byteorder,
                               rocrash_vm_address_t address, rocrash_vm_off_t offset,
                               rocrash_vm_off_t length) noexcept;

  // Produces the caller's frame of `thread_state` from the current level's
  // rules. ROCRASH_ERR_INVAL for an undefined CFA, rules for registers the
  // state has no place for, or no way to the return address;
  // ROCRASH_ERR_NOTSUP for a CFA register without a counterpart;
  // ROCRASH_ERR_NOTFOUND for registers the rules need that are not valid;
  // memory and expression errors as they come. The row's expressions share
  // one budget of DWARF_EXPRESSION_STEP_MAX operations (ROCRASH_ERR_INVAL once
  // spent).
  rocrash_error_t apply_state(sys::task_t task, const rocrash_async_dwarf_cie_info* cie_info,
                              const rocrash_async_thread_state* thread_state,
                              const rocrash_async_byteorder* byteorder,
                              rocrash_async_thread_state* new_thread_state) noexcept;

 private:
  friend class dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s>;

  struct Entry {
    machine_ptr value;
    uint32_t regnum;
    rocrash_dwarf_cfa_reg_rule_t rule;
    uint8_t next;  // EMPTY ends a chain
  };
  struct Level {
    dwarf_cfa_rule<machine_ptr, machine_ptr_s> cfa;
    uint8_t count;
    uint8_t buckets[BUCKET_COUNT];
  };

  uint8_t takeEntry() noexcept;
  void releaseEntry(uint8_t index) noexcept;
  void clearLevel(uint8_t level) noexcept;

  Entry entries_[MAX_REGISTERS];
  Level levels_[MAX_STATES];
  uint8_t level_;
  uint8_t free_;  // head of the free list
};

// Visits every rule of a state's current level: buckets in order, each chain
// in order. The state must not change while it is visited.
template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state_iterator {
 public:
  explicit dwarf_cfa_state_iterator(
      const dwarf_cfa_state<machine_ptr, machine_ptr_s>* state) noexcept
      : state_(state) {}
  bool next(uint32_t* regnum, rocrash_dwarf_cfa_reg_rule_t* rule, machine_ptr* value) noexcept;

 private:
  const dwarf_cfa_state<machine_ptr, machine_ptr_s>* state_;
  uint8_t bucket_ = 0;
  uint8_t entry_ = dwarf_cfa_state<machine_ptr, machine_ptr_s>::EMPTY;
  bool started_ = false;
};

extern template class dwarf_cfa_state<uint32_t, int32_t>;
extern template class dwarf_cfa_state<uint64_t, int64_t>;
extern template class dwarf_cfa_state_iterator<uint32_t, int32_t>;
extern template class dwarf_cfa_state_iterator<uint64_t, int64_t>;

}  // namespace rocrash::async
