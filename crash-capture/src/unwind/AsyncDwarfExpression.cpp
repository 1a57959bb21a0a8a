#include "AsyncDwarfExpression.h"

#include <limits>

#include "AsyncDwarfPrimitives.h"

namespace rocrash::async {
namespace {

// Operation codes of the expression language.
enum : uint8_t {
  DW_OP_deref = 0x06,
  DW_OP_const1u = 0x08,
  DW_OP_const1s = 0x09,
  DW_OP_const2u = 0x0A,
  DW_OP_const2s = 0x0B,
  DW_OP_const4u = 0x0C,
  DW_OP_const4s = 0x0D,
  DW_OP_const8u = 0x0E,
  DW_OP_const8s = 0x0F,
  DW_OP_constu = 0x10,
  DW_OP_consts = 0x11,
  DW_OP_dup = 0x12,
  DW_OP_drop = 0x13,
  DW_OP_over = 0x14,
  DW_OP_pick = 0x15,
  DW_OP_swap = 0x16,
  DW_OP_rot = 0x17,
  DW_OP_xderef = 0x18,
  DW_OP_abs = 0x19,
  DW_OP_and = 0x1A,
  DW_OP_div = 0x1B,
  DW_OP_minus = 0x1C,
  DW_OP_mod = 0x1D,
  DW_OP_mul = 0x1E,
  DW_OP_neg = 0x1F,
  DW_OP_not = 0x20,
  DW_OP_or = 0x21,
  DW_OP_plus = 0x22,
  DW_OP_plus_uconst = 0x23,
  DW_OP_shl = 0x24,
  DW_OP_shr = 0x25,
  DW_OP_shra = 0x26,
  DW_OP_xor = 0x27,
  DW_OP_bra = 0x28,
  DW_OP_eq = 0x29,
  DW_OP_ge = 0x2A,
  DW_OP_gt = 0x2B,
  DW_OP_le = 0x2C,
  DW_OP_lt = 0x2D,
  DW_OP_ne = 0x2E,
  DW_OP_skip = 0x2F,
  DW_OP_lit0 = 0x30,
  DW_OP_lit31 = 0x4F,
  DW_OP_breg0 = 0x70,
  DW_OP_breg31 = 0x8F,
  DW_OP_bregx = 0x92,
  DW_OP_deref_size = 0x94,
  DW_OP_xderef_size = 0x95,
  DW_OP_nop = 0x96,
};

// The evaluator's value stack, on the evaluating thread's own stack frame.
template <typename W>
class ValueStack {
 public:
  bool push(W value) {
    if (depth_ == DWARF_EXPRESSION_STACK_MAX) return false;
    values_[depth_++] = value;
    return true;
  }
  bool pop(W* value) {
    if (depth_ == 0) return false;
    *value = values_[--depth_];
    return true;
  }
  // The value `n` below the top (0 = the top).
  bool peek(size_t n, W* value) const {
    if (n >= depth_) return false;
    *value = values_[depth_ - 1 - n];
    return true;
  }
  W* slot(size_t n) { return &values_[depth_ - 1 - n]; }
  size_t depth() const { return depth_; }

 private:
  W values_[DWARF_EXPRESSION_STACK_MAX];
  size_t depth_ = 0;
};

template <typename W>
rocrash_error_t readTaskWord(sys::task_t task, const rocrash_async_byteorder* byteorder,
                             rocrash_vm_address_t address, uint8_t size, W* value) {
  uint64_t wide = 0;
  rocrash_error_t err;
  switch (size) {
    case 1: {
      uint8_t v;
      err = rocrash_async_task_read_uint8(task, address, 0, &v);
      wide = v;
      break;
    }
    case 2: {
      uint16_t v;
      err = rocrash_async_task_read_uint16(task, byteorder, address, 0, &v);
      wide = v;
      break;
    }
    case 4: {
      uint32_t v;
      err = rocrash_async_task_read_uint32(task, byteorder, address, 0, &v);
      wide = v;
      break;
    }
    case 8:
      err = rocrash_async_task_read_uint64(task, byteorder, address, 0, &wide);
      break;
    default:
      return ROCRASH_ERR_INVAL;
  }
  if (err != ROCRASH_ERR_NONE) return err;
  *value = static_cast<W>(wide);
  return ROCRASH_ERR_NONE;
}

// Shifts done in 64 bits and cut to the word, so a count at or past the
// word's width gives what the wider shift gives instead of undefined results.
template <typename W, typename S>
W shiftLeft(W value, unsigned count) {
  return count >= 64 ? 0 : static_cast<W>(static_cast<uint64_t>(value) << count);
}
template <typename W, typename S>
W shiftRight(W value, unsigned count) {
  return count >= sizeof(W) * 8 ? 0 : static_cast<W>(value >> count);
}
template <typename W, typename S>
W shiftRightArithmetic(W value, unsigned count) {
  const unsigned bits = sizeof(W) * 8;
  const bool negative = static_cast<S>(value) < 0;
  if (count >= bits) return negative ? static_cast<W>(~W{0}) : W{0};
  W shifted = static_cast<W>(value >> count);
  if (negative && count != 0) shifted |= static_cast<W>(~W{0} << (bits - count));
  return shifted;
}

}  // namespace

template <typename machine_ptr, typename machine_ptr_s>
rocrash_error_t rocrash_async_dwarf_expression_eval(
    const rocrash_async_mobject* mobj, sys::task_t task,
    const rocrash_async_thread_state* thread_state, const rocrash_async_byteorder* byteorder,
    rocrash_vm_address_t address, rocrash_vm_off_t offset, rocrash_vm_size_t length,
    const machine_ptr* initial_state, size_t initial_count, machine_ptr* result,
    uint32_t* step_budget) noexcept {
  using W = machine_ptr;
  using S = machine_ptr_s;

  if (length > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return ROCRASH_ERR_INVAL;
  }
  dwarf_opstream stream;
  rocrash_error_t err =
      stream.init(mobj, byteorder, address, offset, static_cast<rocrash_vm_off_t>(length));
  if (err != ROCRASH_ERR_NONE) return err;

  ValueStack<W> stack;
  for (size_t i = 0; i < initial_count; ++i) {
    if (!stack.push(initial_state[i])) return ROCRASH_ERR_INTERNAL;
  }

// Stack and operand helpers: each leaves the evaluation with its error.
#define PUSH(value)                                                      \
  do {                                                                   \
    if (!stack.push(static_cast<W>(value))) return ROCRASH_ERR_INTERNAL; \
  } while (0)
#define POP(var, error) \
  W var;                \
  if (!stack.pop(&var)) return (error)
#define OPERAND(type, var) \
  type var;                \
  if (!stream.read_intU(&var)) return ROCRASH_ERR_INVAL

  uint32_t steps = DWARF_EXPRESSION_STEP_MAX;
  while (!stream.at_end()) {
    if (steps == 0 || (step_budget != nullptr && *step_budget == 0)) return ROCRASH_ERR_INVAL;
    --steps;
    if (step_budget != nullptr) --*step_budget;
    uint8_t opcode;
    stream.read_intU(&opcode);

    if (opcode >= DW_OP_lit0 && opcode <= DW_OP_lit31) {
      PUSH(opcode - DW_OP_lit0);
      continue;
    }
    if ((opcode >= DW_OP_breg0 && opcode <= DW_OP_breg31) || opcode == DW_OP_bregx) {
      uint64_t dwarfReg = opcode - DW_OP_breg0;
      if (opcode == DW_OP_bregx) {
        err = stream.read_uleb128(&dwarfReg);
        if (err != ROCRASH_ERR_NONE) return err;
      }
      int64_t addend;
      err = stream.read_sleb128(&addend);
      if (err != ROCRASH_ERR_NONE) return err;
      rocrash_regnum_t regnum;
      if (!rocrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarfReg, &regnum)) {
        return ROCRASH_ERR_NOTSUP;
      }
      if (!rocrash_async_thread_state_has_reg(thread_state, regnum)) return ROCRASH_ERR_NOTFOUND;
      PUSH(static_cast<W>(rocrash_async_thread_state_get_reg(thread_state, regnum)) +
           static_cast<W>(addend));
      continue;
    }

    switch (opcode) {
      case DW_OP_deref: {
        POP(addr, ROCRASH_ERR_INTERNAL);
        W value;
        err = readTaskWord(task, byteorder, addr, sizeof(W), &value);
        if (err != ROCRASH_ERR_NONE) return err;
        PUSH(value);
        break;
      }
      case DW_OP_const1u: {
        OPERAND(uint8_t, v);
        PUSH(v);
        break;
      }
      case DW_OP_const1s: {
        OPERAND(uint8_t, v);
        PUSH(static_cast<S>(static_cast<int8_t>(v)));
        break;
      }
      case DW_OP_const2u: {
        OPERAND(uint16_t, v);
        PUSH(v);
        break;
      }
      case DW_OP_const2s: {
        OPERAND(uint16_t, v);
        PUSH(static_cast<S>(static_cast<int16_t>(v)));
        break;
      }
      case DW_OP_const4u: {
        OPERAND(uint32_t, v);
        PUSH(v);
        break;
      }
      case DW_OP_const4s: {
        OPERAND(uint32_t, v);
        PUSH(static_cast<S>(static_cast<int32_t>(v)));
        break;
      }
      case DW_OP_const8u:
      case DW_OP_const8s: {
        OPERAND(uint64_t, v);
        PUSH(v);
        break;
      }
      case DW_OP_constu: {
        uint64_t v;
        err = stream.read_uleb128(&v);
        if (err != ROCRASH_ERR_NONE) return err;
        PUSH(v);
        break;
      }
      case DW_OP_consts: {
        int64_t v;
        err = stream.read_sleb128(&v);
        if (err != ROCRASH_ERR_NONE) return err;
        PUSH(v);
        break;
      }
      case DW_OP_dup: {
        W top;
        if (!stack.peek(0, &top)) return ROCRASH_ERR_INVAL;
        PUSH(top);
        break;
      }
      case DW_OP_drop: {
        POP(ignored, ROCRASH_ERR_INVAL);
        (void)ignored;
        break;
      }
      case DW_OP_over: {
        W second;
        if (!stack.peek(1, &second)) return ROCRASH_ERR_INVAL;
        PUSH(second);
        break;
      }
      case DW_OP_pick: {
        OPERAND(uint8_t, n);
        W picked;
        if (!stack.peek(n, &picked)) return ROCRASH_ERR_INVAL;
        PUSH(picked);
        break;
      }
      case DW_OP_swap: {
        if (stack.depth() < 2) return ROCRASH_ERR_INVAL;
        W top = *stack.slot(0);
        *stack.slot(0) = *stack.slot(1);
        *stack.slot(1) = top;
        break;
      }
      case DW_OP_rot: {
        // [.., a, b, top] becomes [.., top, a, b].
        if (stack.depth() < 3) return ROCRASH_ERR_INVAL;
        W top = *stack.slot(0);
        *stack.slot(0) = *stack.slot(1);
        *stack.slot(1) = *stack.slot(2);
        *stack.slot(2) = top;
        break;
      }
      case DW_OP_xderef: {
        POP(addr, ROCRASH_ERR_INVAL);
        POP(addressSpace, ROCRASH_ERR_INVAL);
        (void)addressSpace;  // one address space: the task's
        W value;
        err = readTaskWord(task, byteorder, addr, sizeof(W), &value);
        if (err != ROCRASH_ERR_NONE) return err;
        PUSH(value);
        break;
      }
      case DW_OP_abs: {
        POP(v, ROCRASH_ERR_INTERNAL);
        PUSH(static_cast<S>(v) < 0 ? W{0} - v : v);
        break;
      }
      case DW_OP_neg: {
        POP(v, ROCRASH_ERR_INTERNAL);
        PUSH(W{0} - v);
        break;
      }
      case DW_OP_not: {
        POP(v, ROCRASH_ERR_INTERNAL);
        PUSH(~v);
        break;
      }
      case DW_OP_plus_uconst: {
        uint64_t addend;
        err = stream.read_uleb128(&addend);
        if (err != ROCRASH_ERR_NONE) return err;
        POP(v, ROCRASH_ERR_INTERNAL);
        PUSH(v + static_cast<W>(addend));
        break;
      }
      case DW_OP_and:
      case DW_OP_div:
      case DW_OP_minus:
      case DW_OP_mod:
      case DW_OP_mul:
      case DW_OP_or:
      case DW_OP_plus:
      case DW_OP_shl:
      case DW_OP_shr:
      case DW_OP_shra:
      case DW_OP_xor:
      case DW_OP_eq:
      case DW_OP_ge:
      case DW_OP_gt:
      case DW_OP_le:
      case DW_OP_lt:
      case DW_OP_ne: {
        POP(top, ROCRASH_ERR_INTERNAL);
        POP(second, ROCRASH_ERR_INTERNAL);
        const S sTop = static_cast<S>(top);
        const S sSecond = static_cast<S>(second);
        const unsigned shift = static_cast<unsigned>(top & 63);
        W value = 0;
        switch (opcode) {
          case DW_OP_and:
            value = second & top;
            break;
          case DW_OP_div:
            if (top == 0) return ROCRASH_ERR_INVAL;
            // The most negative word divided by -1 does not fit: it wraps to
            // itself rather than trapping.
            if (sTop == -1) {
              value = W{0} - second;
            } else {
              value = static_cast<W>(sSecond / sTop);
            }
            break;
          case DW_OP_minus:
            value = second - top;
            break;
          case DW_OP_mod:
            if (top == 0) return ROCRASH_ERR_INVAL;
            value = second % top;
            break;
          case DW_OP_mul:
            value = static_cast<W>(second * top);
            break;
          case DW_OP_or:
            value = second | top;
            break;
          case DW_OP_plus:
            value = second + top;
            break;
          case DW_OP_shl:
            value = shiftLeft<W, S>(second, shift);
            break;
          case DW_OP_shr:
            value = shiftRight<W, S>(second, shift);
            break;
          case DW_OP_shra:
            value = shiftRightArithmetic<W, S>(second, shift);
            break;
          case DW_OP_xor:
            value = second ^ top;
            break;
          case DW_OP_eq:
            value = sSecond == sTop;
            break;
          case DW_OP_ge:
            value = sSecond >= sTop;
            break;
          case DW_OP_gt:
            value = sSecond > sTop;
            break;
          case DW_OP_le:
            value = sSecond <= sTop;
            break;
          case DW_OP_lt:
            value = sSecond < sTop;
            break;
          default:  // DW_OP_ne
            value = sSecond != sTop;
            break;
        }
        PUSH(value);
        break;
      }
      case DW_OP_bra: {
        OPERAND(uint16_t, raw);
        POP(condition, ROCRASH_ERR_INTERNAL);
        if (condition != 0 && !stream.skip(static_cast<int16_t>(raw))) return ROCRASH_ERR_INVAL;
        break;
      }
      case DW_OP_skip: {
        OPERAND(uint16_t, raw);
        if (!stream.skip(static_cast<int16_t>(raw))) return ROCRASH_ERR_INVAL;
        break;
      }
      case DW_OP_deref_size:
      case DW_OP_xderef_size: {
        OPERAND(uint8_t, size);
        if (size != 1 && size != 2 && size != 4 && size != 8) return ROCRASH_ERR_INVAL;
        W addr;
        if (opcode == DW_OP_deref_size) {
          if (!stack.pop(&addr)) return ROCRASH_ERR_INTERNAL;
        } else {
          W addressSpace;
          if (!stack.pop(&addr) || !stack.pop(&addressSpace)) return ROCRASH_ERR_INVAL;
        }
        W value;
        err = readTaskWord(task, byteorder, addr, size, &value);
        if (err != ROCRASH_ERR_NONE) return err;
        PUSH(value);
        break;
      }
      case DW_OP_nop:
        break;
      default:
        // Register locations, frame-base and piece operations describe where
        // a variable lives, not an address or a value: not for unwinding.
        return ROCRASH_ERR_NOTSUP;
    }
  }
#undef PUSH
#undef POP
#undef OPERAND

  W top;
  if (!stack.peek(0, &top)) return ROCRASH_ERR_INVAL;
  *result = top;
  return ROCRASH_ERR_NONE;
}

template rocrash_error_t rocrash_async_dwarf_expression_eval<uint32_t, int32_t>(
    const rocrash_async_mobject*, sys::task_t, const rocrash_async_thread_state*,
    const rocrash_async_byteorder*, rocrash_vm_address_t, rocrash_vm_off_t, rocrash_vm_size_t,
    const uint32_t*, size_t, uint32_t*, uint32_t*) noexcept;
template rocrash_error_t rocrash_async_dwarf_expression_eval<uint64_t, int64_t>(
    const rocrash_async_mobject*, sys::task_t, const rocrash_async_thread_state*,
    const rocrash_async_byteorder*, rocrash_vm_address_t, rocrash_vm_off_t, rocrash_vm_size_t,
    const uint64_t*, size_t, uint64_t*, uint32_t*) noexcept;

}  // namespace rocrash::async
