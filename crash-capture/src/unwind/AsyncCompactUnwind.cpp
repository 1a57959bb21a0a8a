#include "AsyncCompactUnwind.h"

namespace {

// Encoding fields shared by every architecture.
constexpr uint32_t kModeMask = 0x0F000000;
constexpr uint32_t kModeShift = 24;

// ARM64 modes and fields.
constexpr uint32_t kArm64ModeFrameless = 2;
constexpr uint32_t kArm64ModeDwarf = 3;
constexpr uint32_t kArm64ModeFrame = 4;
constexpr uint32_t kArm64FramelessStackSizeMask = 0x00FFF000;
constexpr uint32_t kArm64FramelessStackSizeShift = 12;
constexpr uint32_t kArm64DwarfOffsetMask = 0x00FFFFFF;

// x86 and x86-64 modes and fields.
constexpr uint32_t kX86ModeFrame = 1;
constexpr uint32_t kX86ModeFramelessImmediate = 2;
constexpr uint32_t kX86ModeFramelessIndirect = 3;
constexpr uint32_t kX86ModeDwarf = 4;
constexpr uint32_t kX86FrameOffsetMask = 0x00FF0000;
constexpr uint32_t kX86FrameOffsetShift = 16;
constexpr uint32_t kX86FrameRegistersMask = 0x00007FFF;
constexpr uint32_t kX86FramelessSizeMask = 0x00FF0000;
constexpr uint32_t kX86FramelessSizeShift = 16;
constexpr uint32_t kX86FramelessAdjustMask = 0x0000E000;
constexpr uint32_t kX86FramelessAdjustShift = 13;
constexpr uint32_t kX86FramelessCountMask = 0x00001C00;
constexpr uint32_t kX86FramelessCountShift = 10;
constexpr uint32_t kX86FramelessPermutationMask = 0x000003FF;
constexpr uint32_t kX86DwarfOffsetMask = 0x00FFFFFF;

// Second-level page kinds.
constexpr uint32_t kPageRegular = 2;
constexpr uint32_t kPageCompressed = 3;
constexpr uint32_t kFirstLevelEntrySize = 12;
constexpr uint32_t kRegularEntrySize = 8;
constexpr uint32_t kRegularHeaderSize = 8;
constexpr uint32_t kCompressedHeaderSize = 12;

// Register codes 1 to 6 of x86-64 and x86 encodings, as thread-state numbers
// (code 0 is an empty slot).
constexpr uint32_t kX86_64UnwindRegisters[7] = {
    ROCRASH_CFE_REG_NONE, ROCRASH_X86_64_RBX, ROCRASH_X86_64_R12, ROCRASH_X86_64_R13,
    ROCRASH_X86_64_R14,   ROCRASH_X86_64_R15, ROCRASH_X86_64_RBP,
};
constexpr uint32_t kX86UnwindRegisters[7] = {ROCRASH_CFE_REG_NONE, 6, 5, 4, 8, 7, 1};

// The last of `count` sorted keys that is at most `target`, found with the
// search steps the table format was designed for. False when every key is
// above it (or there are none).
template <class KeyAt>
bool searchLastAtMost(uint32_t count, uint64_t target, KeyAt keyAt, uint32_t* found) {
  if (count == 0) return false;
  uint32_t low = 0;
  uint32_t high = count - 1;
  for (;;) {
    uint32_t mid = low + (high - low) / 2;
    uint64_t key = keyAt(mid);
    if (key < target) {
      if (mid == high) {
        *found = mid;
        return true;
      }
      low = mid + 1;
      if (keyAt(low) > target) {
        *found = mid;
        return true;
      }
    } else if (key > target) {
      if (mid == 0) return false;
      high = mid - 1;
    } else {
      *found = mid;
      return true;
    }
    if (high < low) return false;
  }
}

uint32_t mode(uint32_t encoding) { return (encoding & kModeMask) >> kModeShift; }

rocrash_error_t decodeArm64(rocrash_async_cfe_entry* entry, uint32_t encoding) {
  switch (mode(encoding)) {
    case 0:
      entry->type = CFE_ENTRY_NONE;
      return ROCRASH_ERR_NONE;
    case kArm64ModeDwarf:
      entry->type = CFE_ENTRY_DWARF;
      entry->stack_offset = encoding & kArm64DwarfOffsetMask;
      return ROCRASH_ERR_NONE;
    case kArm64ModeFrameless:
    case kArm64ModeFrame:
      break;
    default:
      return ROCRASH_ERR_NOTSUP;
  }
  // Saved pairs from the lowest address up: x28/x27 first when present, x20/x19
  // last (they sit just below the frame record or the top of the frame).
  static constexpr struct {
    uint32_t bit;
    uint32_t first, second;
  } kPairs[] = {
      {0x10, 28, 27}, {0x08, 26, 25}, {0x04, 24, 23}, {0x02, 22, 21}, {0x01, 20, 19},
  };
  uint32_t count = 0;
  for (const auto& pair : kPairs) {
    if ((encoding & pair.bit) == 0) continue;
    entry->register_list[count++] = ROCRASH_ARM64_X0 + pair.first;
    entry->register_list[count++] = ROCRASH_ARM64_X0 + pair.second;
  }
  entry->register_count = count;
  if (mode(encoding) == kArm64ModeFrameless) {
    entry->type = CFE_ENTRY_FRAMELESS_IMMD;
    entry->stack_offset = static_cast<int64_t>((encoding & kArm64FramelessStackSizeMask) >>
                                               kArm64FramelessStackSizeShift) *
                          16;
    entry->return_address_register = ROCRASH_ARM64_LR;
  } else {
    entry->type = CFE_ENTRY_FRAME_PTR;
    entry->stack_offset = -static_cast<int64_t>(8 * count);
  }
  return ROCRASH_ERR_NONE;
}

rocrash_error_t decodeX86(rocrash_async_cfe_entry* entry, uint32_t encoding, bool is64) {
  const uint32_t width = is64 ? 8 : 4;
  const uint32_t* registers = is64 ? kX86_64UnwindRegisters : kX86UnwindRegisters;
  switch (mode(encoding)) {
    case 0:
      entry->type = CFE_ENTRY_NONE;
      return ROCRASH_ERR_NONE;
    case kX86ModeFrame: {
      entry->type = CFE_ENTRY_FRAME_PTR;
      entry->stack_offset =
          -static_cast<int64_t>(((encoding & kX86FrameOffsetMask) >> kX86FrameOffsetShift) * width);
      uint32_t bits = encoding & kX86FrameRegistersMask;
      uint32_t count = 0;
      while (bits != 0) {
        uint32_t code = bits & 0x7;
        if (code == 7) return ROCRASH_ERR_INVAL;
        entry->register_list[count++] = registers[code];
        bits >>= 3;
      }
      entry->register_count = count;
      return ROCRASH_ERR_NONE;
    }
    case kX86ModeFramelessImmediate:
    case kX86ModeFramelessIndirect: {
      uint32_t size = (encoding & kX86FramelessSizeMask) >> kX86FramelessSizeShift;
      if (mode(encoding) == kX86ModeFramelessImmediate) {
        entry->type = CFE_ENTRY_FRAMELESS_IMMD;
        entry->stack_offset = static_cast<int64_t>(size) * width;
      } else {
        entry->type = CFE_ENTRY_FRAMELESS_INDIRECT;
        entry->stack_offset = size;
        entry->stack_adjust =
            ((encoding & kX86FramelessAdjustMask) >> kX86FramelessAdjustShift) * width;
      }
      uint32_t count = (encoding & kX86FramelessCountMask) >> kX86FramelessCountShift;
      uint32_t codes[6];
      rocrash_error_t err =
          rocrash_async_cfe_register_decode(encoding & kX86FramelessPermutationMask, count, codes);
      if (err != ROCRASH_ERR_NONE) return err;
      for (uint32_t i = 0; i < count; ++i) entry->register_list[i] = registers[codes[i]];
      entry->register_count = count;
      return ROCRASH_ERR_NONE;
    }
    case kX86ModeDwarf:
      entry->type = CFE_ENTRY_DWARF;
      entry->stack_offset = encoding & kX86DwarfOffsetMask;
      return ROCRASH_ERR_NONE;
    default:
      return ROCRASH_ERR_NOTSUP;
  }
}

}  // namespace

rocrash_error_t rocrash_async_cfe_reader_init(rocrash_async_cfe_reader* reader,
                                              rocrash_async_mobject* mobj,
                                              uint32_t cputype) noexcept {
  switch (cputype) {
    case ROCRASH_CPU_TYPE_X86:
    case ROCRASH_CPU_TYPE_X86_64:
    case ROCRASH_CPU_TYPE_ARM64:
      break;
    default:
      return ROCRASH_ERR_NOTSUP;
  }
  reader->mobj = mobj;
  reader->cputype = cputype;
  reader->byteorder = rocrash_async_byteorder_direct();
  const void* header = rocrash_async_mobject_remap_address(
      mobj, rocrash_async_mobject_base_address(mobj), 0, sizeof reader->header);
  if (header == nullptr) return ROCRASH_ERR_INVAL;
  rocrash_async_memcpy(&reader->header, header, sizeof reader->header);
  if (reader->header.version != 1) return ROCRASH_ERR_NOTSUP;
  return ROCRASH_ERR_NONE;
}

rocrash_error_t rocrash_async_cfe_reader_find_pc(rocrash_async_cfe_reader* reader, uint64_t pc,
                                                 uint64_t* function_base,
                                                 uint32_t* encoding) noexcept {
  const rocrash_async_mobject* mobj = reader->mobj;
  const rocrash_async_byteorder* bo = reader->byteorder;
  const rocrash_vm_address_t section = rocrash_async_mobject_base_address(mobj);
  const uint32_t commonCount = reader->header.commonEncodingsArrayCount;
  const uint32_t indexCount = reader->header.indexCount;

  const auto* common = static_cast<const uint8_t*>(rocrash_async_mobject_remap_address(
      mobj, section, reader->header.commonEncodingsArraySectionOffset,
      static_cast<uint64_t>(commonCount) * 4));
  if (common == nullptr) return ROCRASH_ERR_INVAL;
  // The last first-level entry is a sentinel (the end of the last function):
  // it is never matched, and a table with nothing before it covers nothing.
  if (indexCount < 2) return ROCRASH_ERR_NOTFOUND;
  const uint32_t firstLevelCount = indexCount - 1;
  const auto* index = static_cast<const uint8_t*>(rocrash_async_mobject_remap_address(
      mobj, section, reader->header.indexSectionOffset,
      static_cast<uint64_t>(firstLevelCount) * kFirstLevelEntrySize));
  if (index == nullptr) return ROCRASH_ERR_INVAL;

  auto load32 = [bo](const uint8_t* p) {
    uint32_t v;
    rocrash_async_memcpy(&v, p, 4);
    return bo->swap32(v);
  };
  auto load16 = [bo](const uint8_t* p) {
    uint16_t v;
    rocrash_async_memcpy(&v, p, 2);
    return bo->swap16(v);
  };

  uint32_t first;
  auto firstLevelKey = [&](uint32_t i) -> uint64_t {
    return load32(index + i * kFirstLevelEntrySize);
  };
  if (!searchLastAtMost(firstLevelCount, pc, firstLevelKey, &first)) return ROCRASH_ERR_NOTFOUND;
  const uint8_t* firstEntry = index + first * kFirstLevelEntrySize;
  const uint32_t firstFunction = load32(firstEntry);
  const uint32_t pageOffset = load32(firstEntry + 4);

  uint32_t kind;
  if (rocrash_async_mobject_read_uint32(mobj, bo, section, pageOffset, &kind) != ROCRASH_ERR_NONE) {
    return ROCRASH_ERR_INVAL;
  }
  if (kind == kPageRegular) {
    const auto* page = static_cast<const uint8_t*>(
        rocrash_async_mobject_remap_address(mobj, section, pageOffset, kRegularHeaderSize));
    if (page == nullptr) return ROCRASH_ERR_INVAL;
    uint16_t entriesOffset = load16(page + 4);
    uint16_t entriesCount = load16(page + 6);
    const auto* entries = static_cast<const uint8_t*>(rocrash_async_mobject_remap_address(
        mobj, section, static_cast<int64_t>(pageOffset) + entriesOffset,
        static_cast<uint64_t>(entriesCount) * kRegularEntrySize));
    if (entries == nullptr) return ROCRASH_ERR_INVAL;
    auto key = [&](uint32_t i) -> uint64_t { return load32(entries + i * kRegularEntrySize); };
    uint32_t found;
    if (!searchLastAtMost(entriesCount, pc, key, &found)) return ROCRASH_ERR_NOTFOUND;
    *function_base = load32(entries + found * kRegularEntrySize);
    *encoding = load32(entries + found * kRegularEntrySize + 4);
    return ROCRASH_ERR_NONE;
  }
  if (kind != kPageCompressed) return ROCRASH_ERR_INVAL;

  const auto* page = static_cast<const uint8_t*>(
      rocrash_async_mobject_remap_address(mobj, section, pageOffset, kCompressedHeaderSize));
  if (page == nullptr) return ROCRASH_ERR_INVAL;
  uint16_t entriesOffset = load16(page + 4);
  uint16_t entriesCount = load16(page + 6);
  uint16_t encodingsOffset = load16(page + 8);
  uint16_t encodingsCount = load16(page + 10);
  const auto* entries = static_cast<const uint8_t*>(rocrash_async_mobject_remap_address(
      mobj, section, static_cast<int64_t>(pageOffset) + entriesOffset,
      static_cast<uint64_t>(entriesCount) * 4));
  if (entries == nullptr) return ROCRASH_ERR_INVAL;
  auto key = [&](uint32_t i) -> uint64_t {
    return static_cast<uint64_t>(firstFunction) + (load32(entries + i * 4) & 0x00FFFFFF);
  };
  uint32_t found;
  if (!searchLastAtMost(entriesCount, pc, key, &found)) return ROCRASH_ERR_NOTFOUND;
  uint32_t packed = load32(entries + found * 4);
  uint32_t encodingIndex = packed >> 24;
  *function_base = static_cast<uint64_t>(firstFunction) + (packed & 0x00FFFFFF);
  if (encodingIndex < commonCount) {
    *encoding = load32(common + encodingIndex * 4);
    return ROCRASH_ERR_NONE;
  }
  uint32_t own = encodingIndex - commonCount;
  if (own >= encodingsCount) return ROCRASH_ERR_INVAL;
  if (rocrash_async_mobject_read_uint32(
          mobj, bo, section, static_cast<int64_t>(pageOffset) + encodingsOffset + own * 4,
          encoding) != ROCRASH_ERR_NONE) {
    return ROCRASH_ERR_INVAL;
  }
  return ROCRASH_ERR_NONE;
}

void rocrash_async_cfe_reader_free(rocrash_async_cfe_reader*) noexcept {}

rocrash_error_t rocrash_async_cfe_entry_init(rocrash_async_cfe_entry* entry, uint32_t cpu_type,
                                             uint32_t encoding) noexcept {
  rocrash_async_memset(entry, 0, sizeof *entry);
  entry->cpu_type = cpu_type;
  entry->return_address_register = ROCRASH_CFE_REG_NONE;
  switch (cpu_type) {
    case ROCRASH_CPU_TYPE_ARM64:
      return decodeArm64(entry, encoding);
    case ROCRASH_CPU_TYPE_X86_64:
      return decodeX86(entry, encoding, true);
    case ROCRASH_CPU_TYPE_X86:
      return decodeX86(entry, encoding, false);
    default:
      return ROCRASH_ERR_NOTSUP;
  }
}

uint32_t rocrash_async_cfe_entry_type(const rocrash_async_cfe_entry* entry) noexcept {
  return entry->type;
}

int64_t rocrash_async_cfe_entry_stack_offset(const rocrash_async_cfe_entry* entry) noexcept {
  return entry->stack_offset;
}

uint32_t rocrash_async_cfe_entry_stack_adjust(const rocrash_async_cfe_entry* entry) noexcept {
  return entry->stack_adjust;
}

uint32_t rocrash_async_cfe_entry_return_address_register(
    const rocrash_async_cfe_entry* entry) noexcept {
  return entry->return_address_register;
}

uint32_t rocrash_async_cfe_entry_register_count(const rocrash_async_cfe_entry* entry) noexcept {
  return entry->register_count;
}

void rocrash_async_cfe_entry_register_list(const rocrash_async_cfe_entry* entry,
                                           uint32_t* register_list) noexcept {
  for (uint32_t i = 0; i < entry->register_count; ++i) register_list[i] = entry->register_list[i];
}

void rocrash_async_cfe_entry_free(rocrash_async_cfe_entry*) noexcept {}

namespace {

rocrash_error_t readWord(sys::task_t task, rocrash_vm_address_t address, size_t width,
                         uint64_t* value) {
  if (width == 8) {
    return rocrash_async_task_read_uint64(task, rocrash_async_byteorder_direct(), address, 0,
                                          value);
  }
  uint32_t v32;
  rocrash_error_t err =
      rocrash_async_task_read_uint32(task, rocrash_async_byteorder_direct(), address, 0, &v32);
  *value = v32;
  return err;
}

}  // namespace

rocrash_error_t rocrash_async_cfe_entry_apply(
    sys::task_t task, rocrash_vm_address_t function_address,
    const rocrash_async_thread_state* thread_state, const rocrash_async_cfe_entry* entry,
    rocrash_async_thread_state* new_thread_state) noexcept {
  const size_t width = rocrash_async_thread_state_get_greg_size(thread_state);
  rocrash_async_thread_state_copy(new_thread_state, thread_state);
  rocrash_async_thread_state_clear_volatile_regs(new_thread_state);

  rocrash_vm_address_t registerBase;
  switch (entry->type) {
    case CFE_ENTRY_FRAME_PTR: {
      if (!rocrash_async_thread_state_has_reg(thread_state, ROCRASH_REG_FP)) {
        return ROCRASH_ERR_NOTFOUND;
      }
      uint64_t fp = rocrash_async_thread_state_get_reg(thread_state, ROCRASH_REG_FP);
      rocrash_vm_address_t sp;
      if (!rocrash_async_address_apply_offset(fp, static_cast<int64_t>(2 * width), &sp)) {
        return ROCRASH_ERR_INVAL;
      }
      uint64_t callerFp, returnAddress;
      rocrash_error_t err = readWord(task, fp, width, &callerFp);
      if (err == ROCRASH_ERR_NONE) err = readWord(task, fp + width, width, &returnAddress);
      if (err != ROCRASH_ERR_NONE) return err;
      if (!rocrash_async_address_apply_offset(fp, entry->stack_offset, &registerBase)) {
        return ROCRASH_ERR_INVAL;
      }
      rocrash_async_thread_state_set_reg(new_thread_state, ROCRASH_REG_SP, sp);
      rocrash_async_thread_state_set_reg(new_thread_state, ROCRASH_REG_FP, callerFp);
      rocrash_async_thread_state_set_reg(new_thread_state, ROCRASH_REG_IP, returnAddress);
      break;
    }
    case CFE_ENTRY_FRAMELESS_IMMD:
    case CFE_ENTRY_FRAMELESS_INDIRECT: {
      if (!rocrash_async_thread_state_has_reg(thread_state, ROCRASH_REG_SP)) {
        return ROCRASH_ERR_NOTFOUND;
      }
      uint64_t sp = rocrash_async_thread_state_get_reg(thread_state, ROCRASH_REG_SP);
      uint64_t stackSize = static_cast<uint64_t>(entry->stack_offset);
      if (entry->type == CFE_ENTRY_FRAMELESS_INDIRECT) {
        // The function subtracts a 32-bit immediate from the stack pointer;
        // the encoding says where that immediate sits in its code.
        uint32_t immediate;
        rocrash_error_t err =
            rocrash_async_task_read_uint32(task, rocrash_async_byteorder_direct(), function_address,
                                           entry->stack_offset, &immediate);
        if (err != ROCRASH_ERR_NONE) return err;
        stackSize = static_cast<uint64_t>(immediate) + entry->stack_adjust;
      }
      const uint64_t newSp = sp + stackSize;
      const uint64_t savedSize = width * entry->register_count;
      uint64_t returnAddress;
      if (entry->return_address_register != ROCRASH_CFE_REG_NONE) {
        if (!rocrash_async_thread_state_has_reg(thread_state, entry->return_address_register)) {
          return ROCRASH_ERR_NOTFOUND;
        }
        returnAddress =
            rocrash_async_thread_state_get_reg(thread_state, entry->return_address_register);
        registerBase = newSp - savedSize;
      } else {
        rocrash_error_t err = readWord(task, newSp - width, width, &returnAddress);
        if (err != ROCRASH_ERR_NONE) return err;
        registerBase = newSp - width - savedSize;
      }
      rocrash_async_thread_state_set_reg(new_thread_state, ROCRASH_REG_SP, newSp);
      rocrash_async_thread_state_set_reg(new_thread_state, ROCRASH_REG_IP, returnAddress);
      break;
    }
    default:
      return ROCRASH_ERR_NOTSUP;
  }

  for (uint32_t i = 0; i < entry->register_count && i < ROCRASH_CFE_SAVED_REGISTER_MAX; ++i) {
    if (entry->register_list[i] == ROCRASH_CFE_REG_NONE) continue;
    uint64_t value;
    rocrash_error_t err = readWord(task, registerBase + i * width, width, &value);
    if (err != ROCRASH_ERR_NONE) return err;
    rocrash_async_thread_state_set_reg(new_thread_state, entry->register_list[i], value);
  }
  return ROCRASH_ERR_NONE;
}

rocrash_error_t rocrash_async_cfe_register_decode(uint32_t permutation, uint32_t count,
                                                  uint32_t* result) noexcept {
  if (count > 6) return ROCRASH_ERR_INVAL;
  // The permutation is a number in a mixed (factorial) base: digit i chooses
  // among the 6 - i codes still unused.
  uint32_t digits[6] = {};
  const uint32_t n = permutation;
  switch (count) {
    case 6:
    case 5:
      digits[0] = n / 120;
      digits[1] = n % 120 / 24;
      digits[2] = n % 24 / 6;
      digits[3] = n % 6 / 2;
      digits[4] = n % 2;
      break;
    case 4:
      digits[0] = n / 60;
      digits[1] = n % 60 / 12;
      digits[2] = n % 12 / 3;
      digits[3] = n % 3;
      break;
    case 3:
      digits[0] = n / 20;
      digits[1] = n % 20 / 4;
      digits[2] = n % 4;
      break;
    case 2:
      digits[0] = n / 5;
      digits[1] = n % 5;
      break;
    case 1:
      digits[0] = n;
      break;
    default:
      return ROCRASH_ERR_NONE;
  }
  bool used[7] = {};
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t unusedSeen = 0;
    uint32_t code = 0;
    for (uint32_t candidate = 1; candidate <= 6; ++candidate) {
      if (used[candidate]) continue;
      if (unusedSeen == digits[i]) {
        code = candidate;
        break;
      }
      ++unusedSeen;
    }
    if (code == 0) return ROCRASH_ERR_INVAL;  // the digit points past the codes left
    used[code] = true;
    result[i] = code;
  }
  return ROCRASH_ERR_NONE;
}

uint32_t rocrash_async_cfe_register_encode(const uint32_t* registers, uint32_t count) noexcept {
  if (count == 0 || count > 6) return 0;
  uint32_t digits[6] = {};
  bool used[7] = {};
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t code = registers[i];
    if (code < 1 || code > 6 || used[code]) return 0;
    uint32_t rank = 0;
    for (uint32_t smaller = 1; smaller < code; ++smaller) {
      if (!used[smaller]) ++rank;
    }
    digits[i] = rank;
    used[code] = true;
  }
  switch (count) {
    case 6:
    case 5:
      return digits[0] * 120 + digits[1] * 24 + digits[2] * 6 + digits[3] * 2 + digits[4];
    case 4:
      return digits[0] * 60 + digits[1] * 12 + digits[2] * 3 + digits[3];
    case 3:
      return digits[0] * 20 + digits[1] * 4 + digits[2];
    case 2:
      return digits[0] * 5 + digits[1];
    default:
      return digits[0];
  }
}
