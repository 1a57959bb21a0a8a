#include "AsyncDwarfCFAState.h"

#include <limits>

#include "AsyncDwarfExpression.h"
#include "AsyncDwarfPrimitives.h"

namespace rocrash::async {

// --- the row -------------------------------------------------------------------

template <typename machine_ptr, typename machine_ptr_s>
dwarf_cfa_state<machine_ptr, machine_ptr_s>::dwarf_cfa_state() noexcept {
  for (uint8_t i = 0; i < MAX_REGISTERS; ++i) {
    entries_[i] = Entry{0, 0, ROCRASH_DWARF_CFA_REG_RULE_OFFSET,
                        static_cast<uint8_t>(i + 1 < MAX_REGISTERS ? i + 1 : EMPTY)};
  }
  free_ = 0;
  for (Level& level : levels_) {
    level.cfa = dwarf_cfa_rule<machine_ptr, machine_ptr_s>{};
    level.count = 0;
    for (uint8_t& bucket : level.buckets) bucket = EMPTY;
  }
  level_ = 0;
}

template <typename machine_ptr, typename machine_ptr_s>
uint8_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::takeEntry() noexcept {
  uint8_t index = free_;
  if (index != EMPTY) {
    free_ = entries_[index].next;
    entries_[index].next = EMPTY;
  }
  return index;
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::releaseEntry(uint8_t index) noexcept {
  entries_[index].next = free_;
  free_ = index;
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::clearLevel(uint8_t level) noexcept {
  Level& l = levels_[level];
  for (uint8_t& bucket : l.buckets) {
    for (uint8_t i = bucket; i != EMPTY;) {
      uint8_t next = entries_[i].next;
      releaseEntry(i);
      i = next;
    }
    bucket = EMPTY;
  }
  l.count = 0;
  l.cfa = dwarf_cfa_rule<machine_ptr, machine_ptr_s>{};
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_register(uint32_t regnum,
                                                               rocrash_dwarf_cfa_reg_rule_t rule,
                                                               machine_ptr value) noexcept {
  Level& level = levels_[level_];
  uint8_t* link = &level.buckets[regnum % BUCKET_COUNT];
  while (*link != EMPTY) {
    Entry& entry = entries_[*link];
    if (entry.regnum == regnum) {
      entry.rule = rule;
      entry.value = value;
      return true;
    }
    link = &entry.next;
  }
  uint8_t index = takeEntry();
  if (index == EMPTY) return false;
  entries_[index].regnum = regnum;
  entries_[index].rule = rule;
  entries_[index].value = value;
  *link = index;
  level.count++;
  return true;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::get_register_rule(
    uint32_t regnum, rocrash_dwarf_cfa_reg_rule_t* rule, machine_ptr* value) const noexcept {
  const Level& level = levels_[level_];
  for (uint8_t i = level.buckets[regnum % BUCKET_COUNT]; i != EMPTY; i = entries_[i].next) {
    if (entries_[i].regnum == regnum) {
      *rule = entries_[i].rule;
      *value = entries_[i].value;
      return true;
    }
  }
  return false;
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::remove_register(uint32_t regnum) noexcept {
  Level& level = levels_[level_];
  for (uint8_t* link = &level.buckets[regnum % BUCKET_COUNT]; *link != EMPTY;
       link = &entries_[*link].next) {
    uint8_t index = *link;
    if (entries_[index].regnum == regnum) {
      *link = entries_[index].next;
      releaseEntry(index);
      level.count--;
      return;
    }
  }
}

template <typename machine_ptr, typename machine_ptr_s>
uint8_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::get_register_count() const noexcept {
  return levels_[level_].count;
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_cfa_register(uint32_t regnum,
                                                                   machine_ptr offset) noexcept {
  auto& cfa = levels_[level_].cfa;
  cfa = dwarf_cfa_rule<machine_ptr, machine_ptr_s>{};
  cfa.type = DWARF_CFA_STATE_CFA_TYPE_REGISTER;
  cfa.reg_num = regnum;
  cfa.offset = offset;
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_cfa_register_signed(
    uint32_t regnum, machine_ptr_s offset) noexcept {
  auto& cfa = levels_[level_].cfa;
  cfa = dwarf_cfa_rule<machine_ptr, machine_ptr_s>{};
  cfa.type = DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED;
  cfa.reg_num = regnum;
  cfa.offset = static_cast<machine_ptr>(offset);
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_cfa_expression(rocrash_vm_address_t address,
                                                                     uint64_t length) noexcept {
  auto& cfa = levels_[level_].cfa;
  cfa = dwarf_cfa_rule<machine_ptr, machine_ptr_s>{};
  cfa.type = DWARF_CFA_STATE_CFA_TYPE_EXPRESSION;
  cfa.expression_address = address;
  cfa.expression_length = length;
}

template <typename machine_ptr, typename machine_ptr_s>
dwarf_cfa_rule<machine_ptr, machine_ptr_s>
dwarf_cfa_state<machine_ptr, machine_ptr_s>::get_cfa_rule() const noexcept {
  return levels_[level_].cfa;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::push_state() noexcept {
  if (level_ + 1 >= MAX_STATES) return false;
  const Level& from = levels_[level_];
  Level& to = levels_[level_ + 1];
  to.cfa = from.cfa;
  to.count = from.count;
  for (uint8_t b = 0; b < BUCKET_COUNT; ++b) {
    uint8_t* link = &to.buckets[b];
    *link = EMPTY;
    for (uint8_t i = from.buckets[b]; i != EMPTY; i = entries_[i].next) {
      uint8_t copy = takeEntry();
      if (copy == EMPTY) {
        // Out of rules: give back what was copied and stay where we were.
        for (uint8_t rest = b + 1; rest < BUCKET_COUNT; ++rest) to.buckets[rest] = EMPTY;
        clearLevel(level_ + 1);
        return false;
      }
      entries_[copy] = entries_[i];
      entries_[copy].next = EMPTY;
      *link = copy;
      link = &entries_[copy].next;
    }
  }
  level_++;
  return true;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::pop_state() noexcept {
  if (level_ == 0) return false;
  clearLevel(level_);
  level_--;
  return true;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s>::next(uint32_t* regnum,
                                                                rocrash_dwarf_cfa_reg_rule_t* rule,
                                                                machine_ptr* value) noexcept {
  using State = dwarf_cfa_state<machine_ptr, machine_ptr_s>;
  const auto& level = state_->levels_[state_->level_];
  if (!started_) {
    started_ = true;
    bucket_ = 0;
    entry_ = level.buckets[0];
  } else if (entry_ != State::EMPTY) {
    entry_ = state_->entries_[entry_].next;
  }
  while (entry_ == State::EMPTY) {
    if (++bucket_ >= State::BUCKET_COUNT) return false;
    entry_ = level.buckets[bucket_];
  }
  const auto& e = state_->entries_[entry_];
  *regnum = e.regnum;
  *rule = e.rule;
  *value = e.value;
  return true;
}

// --- the program ---------------------------------------------------------------

namespace {

enum : uint8_t {
  DW_CFA_advance_loc = 0x40,
  DW_CFA_offset = 0x80,
  DW_CFA_restore = 0xC0,
  DW_CFA_nop = 0x00,
  DW_CFA_set_loc = 0x01,
  DW_CFA_advance_loc1 = 0x02,
  DW_CFA_advance_loc2 = 0x03,
  DW_CFA_advance_loc4 = 0x04,
  DW_CFA_offset_extended = 0x05,
  DW_CFA_restore_extended = 0x06,
  DW_CFA_undefined = 0x07,
  DW_CFA_same_value = 0x08,
  DW_CFA_register = 0x09,
  DW_CFA_remember_state = 0x0A,
  DW_CFA_restore_state = 0x0B,
  DW_CFA_def_cfa = 0x0C,
  DW_CFA_def_cfa_register = 0x0D,
  DW_CFA_def_cfa_offset = 0x0E,
  DW_CFA_def_cfa_expression = 0x0F,
  DW_CFA_expression = 0x10,
  DW_CFA_offset_extended_sf = 0x11,
  DW_CFA_def_cfa_sf = 0x12,
  DW_CFA_def_cfa_offset_sf = 0x13,
  DW_CFA_val_offset = 0x14,
  DW_CFA_val_offset_sf = 0x15,
  DW_CFA_val_expression = 0x16,
  DW_CFA_GNU_args_size = 0x2E,
};

}  // namespace

template <typename machine_ptr, typename machine_ptr_s>
rocrash_error_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::eval_program(
    const rocrash_async_mobject* mobj, machine_ptr pc, machine_ptr initial_pc_value,
    const rocrash_async_dwarf_cie_info* cie_info, const gnu_ehptr_reader<machine_ptr>* reader,
    const rocrash_async_byteorder* byteorder, rocrash_vm_address_t address, rocrash_vm_off_t offset,
    rocrash_vm_off_t length) noexcept {
  using W = machine_ptr;
  using S = machine_ptr_s;

  // The rules in force when the program starts are what restore returns to.
  dwarf_cfa_state initial;
  {
    dwarf_cfa_state_iterator<W, S> rules(this);
    uint32_t regnum;
    rocrash_dwarf_cfa_reg_rule_t rule;
    W value;
    while (rules.next(&regnum, &rule, &value)) {
      if (!initial.set_register(regnum, rule, value)) return ROCRASH_ERR_NOMEM;
    }
  }

  const bool hasPointerEncoding = cie_info->has_eh_augmentation &&
                                  cie_info->eh_augmentation.has_pointer_encoding &&
                                  reader != nullptr;
  const auto setLocEncoding =
      static_cast<DW_EH_PE>(hasPointerEncoding ? cie_info->eh_augmentation.pointer_encoding
                                               : static_cast<uint8_t>(DW_EH_PE_absptr));
  gnu_ehptr_reader<W> plainReader(byteorder);
  const gnu_ehptr_reader<W>* pointerReader = reader != nullptr ? reader : &plainReader;

  rocrash_vm_address_t ignored;
  if (!rocrash_async_address_apply_offset(address, offset, &ignored) ||
      (length > 0 && !rocrash_async_address_apply_offset(ignored, length, &ignored))) {
    return ROCRASH_ERR_INVAL;
  }
  W location = initial_pc_value;
  if (pc != 0 && location > pc) return ROCRASH_ERR_NONE;

  dwarf_opstream stream;
  rocrash_error_t err = stream.init(mobj, byteorder, address, offset, length);
  if (err != ROCRASH_ERR_NONE) return err;

  const W codeAlign = static_cast<W>(cie_info->code_alignment_factor);
  // Factored offsets are multiplied in the unsigned word, which wraps where
  // the signed product would be undefined; the bits are the same.
  const W dataAlign = static_cast<W>(cie_info->data_alignment_factor);
  auto factored = [dataAlign](auto n) { return static_cast<W>(static_cast<W>(n) * dataAlign); };

  // Operand readers: each leaves the program with its error.
#define READ_ULEB(var)             \
  uint64_t var;                    \
  err = stream.read_uleb128(&var); \
  if (err != ROCRASH_ERR_NONE) return err
#define READ_SLEB(var)             \
  int64_t var;                     \
  err = stream.read_sleb128(&var); \
  if (err != ROCRASH_ERR_NONE) return err
#define READ_REG(var)                                                              \
  READ_ULEB(var##Wide);                                                            \
  if (var##Wide > std::numeric_limits<uint32_t>::max()) return ROCRASH_ERR_NOTSUP; \
  const auto var = static_cast<uint32_t>(var##Wide)
#define SET_RULE(regnum, rule, value) \
  if (!set_register((regnum), (rule), static_cast<W>(value))) return ROCRASH_ERR_NOMEM

  // The initial rule of a register, or none.
  auto restore = [&](uint32_t regnum) -> rocrash_error_t {
    rocrash_dwarf_cfa_reg_rule_t rule;
    W value;
    if (initial.get_register_rule(regnum, &rule, &value)) {
      if (!set_register(regnum, rule, value)) return ROCRASH_ERR_NOMEM;
    } else {
      remove_register(regnum);
    }
    return ROCRASH_ERR_NONE;
  };
  auto isRegisterCfa = [this]() {
    auto type = levels_[level_].cfa.type;
    return type == DWARF_CFA_STATE_CFA_TYPE_REGISTER ||
           type == DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED;
  };

  while (!stream.at_end()) {
    uint8_t opcode;
    stream.read_intU(&opcode);
    const uint8_t operand = opcode & 0x3F;

    switch (opcode & 0xC0) {
      case DW_CFA_advance_loc:
        location += static_cast<W>(operand * codeAlign);
        break;
      case DW_CFA_offset: {
        READ_ULEB(n);
        SET_RULE(operand, ROCRASH_DWARF_CFA_REG_RULE_OFFSET, factored(n));
        break;
      }
      case DW_CFA_restore:
        err = restore(operand);
        if (err != ROCRASH_ERR_NONE) return err;
        break;
      default:
        switch (opcode) {
          case DW_CFA_nop:
            break;
          case DW_CFA_set_loc: {
            if (cie_info->segment_size != 0) return ROCRASH_ERR_NOTSUP;
            W newLocation;
            size_t size;
            if (pointerReader->read(mobj, stream.get_position(), 0, setLocEncoding, &newLocation,
                                    &size) != ROCRASH_ERR_NONE ||
                !stream.skip(static_cast<rocrash_vm_off_t>(size))) {
              return ROCRASH_ERR_INVAL;
            }
            location = newLocation;
            break;
          }
          case DW_CFA_advance_loc1: {
            uint8_t delta;
            if (!stream.read_intU(&delta)) return ROCRASH_ERR_INVAL;
            location += static_cast<W>(delta * codeAlign);
            break;
          }
          case DW_CFA_advance_loc2: {
            uint16_t delta;
            if (!stream.read_intU(&delta)) return ROCRASH_ERR_INVAL;
            location += static_cast<W>(delta * codeAlign);
            break;
          }
          case DW_CFA_advance_loc4: {
            uint32_t delta;
            if (!stream.read_intU(&delta)) return ROCRASH_ERR_INVAL;
            location += static_cast<W>(delta * codeAlign);
            break;
          }
          case DW_CFA_offset_extended: {
            READ_REG(regnum);
            READ_ULEB(n);
            SET_RULE(regnum, ROCRASH_DWARF_CFA_REG_RULE_OFFSET, factored(n));
            break;
          }
          case DW_CFA_restore_extended: {
            READ_REG(regnum);
            err = restore(regnum);
            if (err != ROCRASH_ERR_NONE) return err;
            break;
          }
          case DW_CFA_undefined: {
            READ_REG(regnum);
            remove_register(regnum);
            break;
          }
          case DW_CFA_same_value: {
            READ_REG(regnum);
            SET_RULE(regnum, ROCRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0);
            break;
          }
          case DW_CFA_register: {
            READ_REG(regnum);
            READ_REG(source);
            SET_RULE(regnum, ROCRASH_DWARF_CFA_REG_RULE_REGISTER, source);
            break;
          }
          case DW_CFA_remember_state:
            if (!push_state()) return ROCRASH_ERR_NOMEM;
            break;
          case DW_CFA_restore_state:
            if (!pop_state()) return ROCRASH_ERR_INVAL;
            break;
          case DW_CFA_def_cfa: {
            READ_REG(regnum);
            READ_ULEB(cfaOffset);
            set_cfa_register(regnum, static_cast<W>(cfaOffset));
            break;
          }
          case DW_CFA_def_cfa_register: {
            READ_REG(regnum);
            if (!isRegisterCfa()) return ROCRASH_ERR_INVAL;
            levels_[level_].cfa.reg_num = regnum;
            break;
          }
          case DW_CFA_def_cfa_offset: {
            READ_ULEB(cfaOffset);
            if (!isRegisterCfa()) return ROCRASH_ERR_INVAL;
            set_cfa_register(levels_[level_].cfa.reg_num, static_cast<W>(cfaOffset));
            break;
          }
          case DW_CFA_def_cfa_sf: {
            READ_REG(regnum);
            READ_SLEB(n);
            set_cfa_register_signed(regnum, static_cast<S>(factored(n)));
            break;
          }
          case DW_CFA_def_cfa_offset_sf: {
            READ_SLEB(n);
            if (!isRegisterCfa()) return ROCRASH_ERR_INVAL;
            set_cfa_register_signed(levels_[level_].cfa.reg_num, static_cast<S>(factored(n)));
            break;
          }
          case DW_CFA_def_cfa_expression: {
            READ_ULEB(blockLength);
            if (blockLength > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
              return ROCRASH_ERR_NOTSUP;
            }
            rocrash_vm_address_t block = stream.get_position();
            if (!stream.skip(static_cast<rocrash_vm_off_t>(blockLength))) return ROCRASH_ERR_INVAL;
            set_cfa_expression(block, blockLength);
            break;
          }
          case DW_CFA_expression:
          case DW_CFA_val_expression: {
            READ_REG(regnum);
            // The rule keeps the address of the block's length; the block is
            // read when the row is applied.
            rocrash_vm_address_t block = stream.get_position();
            READ_ULEB(blockLength);
            if (blockLength > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ||
                !stream.skip(static_cast<rocrash_vm_off_t>(blockLength))) {
              return ROCRASH_ERR_INVAL;
            }
            SET_RULE(regnum,
                     opcode == DW_CFA_expression ? ROCRASH_DWARF_CFA_REG_RULE_EXPRESSION
                                                 : ROCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION,
                     block);
            break;
          }
          case DW_CFA_offset_extended_sf: {
            READ_REG(regnum);
            READ_SLEB(n);
            SET_RULE(regnum, ROCRASH_DWARF_CFA_REG_RULE_OFFSET, factored(n));
            break;
          }
          case DW_CFA_val_offset: {
            READ_REG(regnum);
            READ_ULEB(n);
            SET_RULE(regnum, ROCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, factored(n));
            break;
          }
          case DW_CFA_val_offset_sf: {
            READ_REG(regnum);
            READ_SLEB(n);
            SET_RULE(regnum, ROCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, factored(n));
            break;
          }
          case DW_CFA_GNU_args_size: {
            // The bytes of outgoing arguments pushed at this point: what an
            // exception landing pad must pop. The CFA rule already counts
            // them, so unwinding only skips the operand.
            READ_ULEB(argsSize);
            (void)argsSize;
            break;
          }
          default:
            return ROCRASH_ERR_NOTSUP;
        }
        break;
    }
    if (pc != 0 && location > pc) break;
  }
#undef READ_ULEB
#undef READ_SLEB
#undef READ_REG
#undef SET_RULE
  return ROCRASH_ERR_NONE;
}

// --- applying the row ---------------------------------------------------------

namespace {

template <typename W>
rocrash_error_t readTaskWord(sys::task_t task, const rocrash_async_byteorder* byteorder,
                             rocrash_vm_address_t address, W* value) {
  if constexpr (sizeof(W) == 8) {
    return rocrash_async_task_read_uint64(task, byteorder, address, 0, value);
  } else {
    return rocrash_async_task_read_uint32(task, byteorder, address, 0, value);
  }
}

// Maps the expression block [address, + length) of `task` and evaluates it
// with `initial` values on the stack.
template <typename W, typename S>
rocrash_error_t evaluateBlock(sys::task_t task, const rocrash_async_thread_state* thread_state,
                              const rocrash_async_byteorder* byteorder,
                              rocrash_vm_address_t address, uint64_t length, const W* initial,
                              size_t initialCount, W* result, uint32_t* stepBudget) {
  if (length == 0) {
    // Nothing to map: the result is the top initial value, if any.
    if (initialCount == 0) return ROCRASH_ERR_INVAL;
    *result = initial[initialCount - 1];
    return ROCRASH_ERR_NONE;
  }
  rocrash_async_mobject block;
  rocrash_error_t err = rocrash_async_mobject_init(&block, task, address, length, true);
  if (err != ROCRASH_ERR_NONE) return err;
  err =
      rocrash_async_dwarf_expression_eval<W, S>(&block, task, thread_state, byteorder, address, 0,
                                                length, initial, initialCount, result, stepBudget);
  rocrash_async_mobject_free(&block);
  return err;
}

}  // namespace

template <typename machine_ptr, typename machine_ptr_s>
rocrash_error_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::apply_state(
    sys::task_t task, const rocrash_async_dwarf_cie_info* cie_info,
    const rocrash_async_thread_state* thread_state, const rocrash_async_byteorder* byteorder,
    rocrash_async_thread_state* new_thread_state) noexcept {
  using W = machine_ptr;
  using S = machine_ptr_s;

  rocrash_async_thread_state_copy(new_thread_state, thread_state);
  rocrash_async_thread_state_clear_volatile_regs(new_thread_state);
  // Every expression of the row draws on one budget, so a row of many slow
  // expressions costs no more than one.
  uint32_t stepBudget = DWARF_EXPRESSION_STEP_MAX;

  // The canonical frame address.
  const auto& rule = levels_[level_].cfa;
  W cfa;
  switch (rule.type) {
    case DWARF_CFA_STATE_CFA_TYPE_REGISTER:
    case DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED: {
      rocrash_regnum_t regnum;
      if (!rocrash_async_thread_state_map_dwarf_to_reg(thread_state, rule.reg_num, &regnum)) {
        return ROCRASH_ERR_NOTSUP;
      }
      if (!rocrash_async_thread_state_has_reg(thread_state, regnum)) return ROCRASH_ERR_NOTFOUND;
      // Both kinds hold the offset as a word: a signed one wraps alike.
      cfa = static_cast<W>(
          static_cast<W>(rocrash_async_thread_state_get_reg(thread_state, regnum)) + rule.offset);
      break;
    }
    case DWARF_CFA_STATE_CFA_TYPE_EXPRESSION: {
      rocrash_error_t err =
          evaluateBlock<W, S>(task, thread_state, byteorder, rule.expression_address,
                              rule.expression_length, nullptr, 0, &cfa, &stepBudget);
      if (err != ROCRASH_ERR_NONE) return err;
      break;
    }
    default:
      return ROCRASH_ERR_INVAL;
  }
  rocrash_async_thread_state_set_reg(new_thread_state, ROCRASH_REG_SP, cfa);

  const uint64_t returnAddressColumn = cie_info->return_address_register;
  dwarf_cfa_state_iterator<W, S> rules(this);
  uint32_t dwarfReg;
  rocrash_dwarf_cfa_reg_rule_t kind;
  W operand;
  while (rules.next(&dwarfReg, &kind, &operand)) {
    rocrash_regnum_t target;
    if (!rocrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarfReg, &target)) {
      // Only the return address column may lack a register of its own (as on
      // x86-64): it stands for the caller's pc.
      if (dwarfReg != returnAddressColumn) return ROCRASH_ERR_INVAL;
      target = ROCRASH_REG_IP;
    }
    W value;
    rocrash_error_t err = ROCRASH_ERR_NONE;
    switch (kind) {
      case ROCRASH_DWARF_CFA_REG_RULE_OFFSET:
        err = readTaskWord(task, byteorder, static_cast<W>(cfa + operand), &value);
        break;
      case ROCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET:
        value = static_cast<W>(cfa + operand);
        break;
      case ROCRASH_DWARF_CFA_REG_RULE_REGISTER: {
        rocrash_regnum_t source;
        if (!rocrash_async_thread_state_map_dwarf_to_reg(thread_state, operand, &source)) {
          return ROCRASH_ERR_INVAL;
        }
        if (!rocrash_async_thread_state_has_reg(thread_state, source)) return ROCRASH_ERR_NOTFOUND;
        value = static_cast<W>(rocrash_async_thread_state_get_reg(thread_state, source));
        break;
      }
      case ROCRASH_DWARF_CFA_REG_RULE_EXPRESSION:
      case ROCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION: {
        uint64_t length;
        rocrash_vm_size_t lengthSize;
        err = rocrash_async_dwarf_read_task_uleb128(task, operand, 0, &length, &lengthSize);
        if (err != ROCRASH_ERR_NONE) return err;
        W address;
        err = evaluateBlock<W, S>(task, thread_state, byteorder, operand + lengthSize, length, &cfa,
                                  1, &address, &stepBudget);
        if (err != ROCRASH_ERR_NONE) return err;
        if (kind == ROCRASH_DWARF_CFA_REG_RULE_EXPRESSION) {
          err = readTaskWord(task, byteorder, address, &value);
        } else {
          value = address;
        }
        break;
      }
      case ROCRASH_DWARF_CFA_REG_RULE_SAME_VALUE:
        if (!rocrash_async_thread_state_has_reg(thread_state, target)) return ROCRASH_ERR_NOTFOUND;
        value = static_cast<W>(rocrash_async_thread_state_get_reg(thread_state, target));
        break;
      default:
        return ROCRASH_ERR_INVAL;
    }
    if (err != ROCRASH_ERR_NONE) return err;
    rocrash_async_thread_state_set_reg(new_thread_state, target, value);
    // Where the return address lives in a register of its own (lr), the
    // caller's pc is that register's saved value.
    if (dwarfReg == returnAddressColumn && target != ROCRASH_REG_IP) {
      rocrash_async_thread_state_set_reg(new_thread_state, ROCRASH_REG_IP, value);
    }
  }

  if (rocrash_async_thread_state_has_reg(new_thread_state, ROCRASH_REG_IP)) return ROCRASH_ERR_NONE;
  // No rule saved the return address: it is still in its register (a leaf
  // that never stored its link register).
  rocrash_regnum_t returnRegister;
  if (!rocrash_async_thread_state_map_dwarf_to_reg(thread_state, returnAddressColumn,
                                                   &returnRegister) ||
      !rocrash_async_thread_state_has_reg(thread_state, returnRegister)) {
    return ROCRASH_ERR_INVAL;
  }
  rocrash_async_thread_state_set_reg(
      new_thread_state, ROCRASH_REG_IP,
      rocrash_async_thread_state_get_reg(thread_state, returnRegister));
  return ROCRASH_ERR_NONE;
}

template class dwarf_cfa_state<uint32_t, int32_t>;
template class dwarf_cfa_state<uint64_t, int64_t>;
template class dwarf_cfa_state_iterator<uint32_t, int32_t>;
template class dwarf_cfa_state_iterator<uint64_t, int64_t>;

}  // namespace rocrash::async
