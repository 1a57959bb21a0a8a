#include "AsyncThreadState.h"

#include <sys/ucontext.h>

#include <cstddef>

namespace {

struct RegisterDescription {
  const char* name;
  size_t offset;  // inside the layout's union member
};

#define X86_REG(field) \
  { #field, offsetof(rocrash_x86_thread_state64, field) }
constexpr RegisterDescription kX86_64Registers[ROCRASH_X86_64_REG_COUNT] = {
    X86_REG(rip), X86_REG(rbp), X86_REG(rsp), X86_REG(rax), X86_REG(rbx), X86_REG(rcx),
    X86_REG(rdx), X86_REG(rdi), X86_REG(rsi), X86_REG(r8),  X86_REG(r9),  X86_REG(r10),
    X86_REG(r11), X86_REG(r12), X86_REG(r13), X86_REG(r14), X86_REG(r15), X86_REG(rflags),
    X86_REG(cs),  X86_REG(fs),  X86_REG(gs),
};
#undef X86_REG

constexpr const char* kArm64Names[ROCRASH_ARM64_REG_COUNT] = {
    "pc",  "fp",  "sp",  "x0",  "x1",  "x2",  "x3",  "x4",  "x5",  "x6",   "x7",  "x8",
    "x9",  "x10", "x11", "x12", "x13", "x14", "x15", "x16", "x17", "x18",  "x19", "x20",
    "x21", "x22", "x23", "x24", "x25", "x26", "x27", "x28", "lr",  "cpsr",
};

constexpr const char* kArm32Names[ROCRASH_ARM_REG_COUNT] = {
    "pc", "r7", "sp", "r0",  "r1",  "r2",  "r3", "r4",   "r5",
    "r6", "r8", "r9", "r10", "r11", "r12", "lr", "cpsr",
};

// (register number, DWARF number) pairs in DWARF order, searched linearly.
struct DwarfPair {
  rocrash_regnum_t regnum;
  uint64_t dwarf;
};

constexpr DwarfPair kX86_64Dwarf[] = {
    {ROCRASH_X86_64_RAX, 0},  {ROCRASH_X86_64_RDX, 1},  {ROCRASH_X86_64_RCX, 2},
    {ROCRASH_X86_64_RBX, 3},  {ROCRASH_X86_64_RSI, 4},  {ROCRASH_X86_64_RDI, 5},
    {ROCRASH_X86_64_RBP, 6},  {ROCRASH_X86_64_RSP, 7},  {ROCRASH_X86_64_R8, 8},
    {ROCRASH_X86_64_R9, 9},   {ROCRASH_X86_64_R10, 10}, {ROCRASH_X86_64_R11, 11},
    {ROCRASH_X86_64_R12, 12}, {ROCRASH_X86_64_R13, 13}, {ROCRASH_X86_64_R14, 14},
    {ROCRASH_X86_64_R15, 15},
};

constexpr DwarfPair makeArm64Pair(uint64_t dwarf) {
  if (dwarf <= 28) return {static_cast<rocrash_regnum_t>(ROCRASH_ARM64_X0 + dwarf), dwarf};
  if (dwarf == 29) return {ROCRASH_ARM64_FP, 29};
  if (dwarf == 30) return {ROCRASH_ARM64_LR, 30};
  return {ROCRASH_ARM64_SP, 31};
}

constexpr DwarfPair kArm64Dwarf[] = {
    makeArm64Pair(0),  makeArm64Pair(1),  makeArm64Pair(2),  makeArm64Pair(3),  makeArm64Pair(4),
    makeArm64Pair(5),  makeArm64Pair(6),  makeArm64Pair(7),  makeArm64Pair(8),  makeArm64Pair(9),
    makeArm64Pair(10), makeArm64Pair(11), makeArm64Pair(12), makeArm64Pair(13), makeArm64Pair(14),
    makeArm64Pair(15), makeArm64Pair(16), makeArm64Pair(17), makeArm64Pair(18), makeArm64Pair(19),
    makeArm64Pair(20), makeArm64Pair(21), makeArm64Pair(22), makeArm64Pair(23), makeArm64Pair(24),
    makeArm64Pair(25), makeArm64Pair(26), makeArm64Pair(27), makeArm64Pair(28), makeArm64Pair(29),
    makeArm64Pair(30), makeArm64Pair(31),
};

constexpr DwarfPair kArm32Dwarf[] = {
    {ROCRASH_ARM_R0, 0},     {ROCRASH_ARM_R0 + 1, 1},  {ROCRASH_ARM_R0 + 2, 2},
    {ROCRASH_ARM_R0 + 3, 3}, {ROCRASH_ARM_R0 + 4, 4},  {ROCRASH_ARM_R0 + 5, 5},
    {ROCRASH_ARM_R6, 6},     {ROCRASH_ARM_R7, 7},      {ROCRASH_ARM_R8, 8},
    {ROCRASH_ARM_R8 + 1, 9}, {ROCRASH_ARM_R8 + 2, 10}, {ROCRASH_ARM_R8 + 3, 11},
    {ROCRASH_ARM_R12, 12},   {ROCRASH_ARM_SP, 13},     {ROCRASH_ARM_LR, 14},
    {ROCRASH_ARM_PC, 15},
};

// Pointer authentication codes live above bit 35 of ARM64 code and stack
// pointers.
constexpr uint64_t kArm64PointerMask = 0xFFFFFFFFFULL;

size_t regCount(const rocrash_async_thread_state* state) {
  switch (state->state.flavor) {
    case ROCRASH_X86_THREAD_STATE64:
      return ROCRASH_X86_64_REG_COUNT;
    case ROCRASH_ARM_THREAD_STATE64:
      return ROCRASH_ARM64_REG_COUNT;
    case ROCRASH_ARM_THREAD_STATE32:
      return ROCRASH_ARM_REG_COUNT;
    default:
      return 0;
  }
}

uint64_t* x86Slot(rocrash_async_thread_state* state, rocrash_regnum_t regnum) {
  auto* base = reinterpret_cast<uint8_t*>(&state->state.uts.x86_64);
  return reinterpret_cast<uint64_t*>(base + kX86_64Registers[regnum].offset);
}

uint64_t* arm64Slot(rocrash_async_thread_state* state, rocrash_regnum_t regnum) {
  auto& ts = state->state.uts.ts_64;
  switch (regnum) {
    case ROCRASH_ARM64_PC:
      return &ts.pc;
    case ROCRASH_ARM64_FP:
      return &ts.fp;
    case ROCRASH_ARM64_SP:
      return &ts.sp;
    case ROCRASH_ARM64_LR:
      return &ts.lr;
    default:
      return &ts.x[regnum - ROCRASH_ARM64_X0];
  }
}

uint32_t* arm32Slot(rocrash_async_thread_state* state, rocrash_regnum_t regnum) {
  auto& ts = state->state.uts.ts_32;
  switch (regnum) {
    case ROCRASH_ARM_PC:
      return &ts.pc;
    case ROCRASH_ARM_R7:
      return &ts.r[7];
    case ROCRASH_ARM_SP:
      return &ts.sp;
    case ROCRASH_ARM_LR:
      return &ts.lr;
    case ROCRASH_ARM_CPSR:
      return &ts.cpsr;
    default:
      if (regnum <= ROCRASH_ARM_R6) return &ts.r[regnum - ROCRASH_ARM_R0];
      return &ts.r[8 + (regnum - ROCRASH_ARM_R8)];
  }
}

const DwarfPair* dwarfTable(const rocrash_async_thread_state* state, size_t* count) {
  switch (state->state.flavor) {
    case ROCRASH_X86_THREAD_STATE64:
      *count = sizeof kX86_64Dwarf / sizeof kX86_64Dwarf[0];
      return kX86_64Dwarf;
    case ROCRASH_ARM_THREAD_STATE64:
      *count = sizeof kArm64Dwarf / sizeof kArm64Dwarf[0];
      return kArm64Dwarf;
    case ROCRASH_ARM_THREAD_STATE32:
      *count = sizeof kArm32Dwarf / sizeof kArm32Dwarf[0];
      return kArm32Dwarf;
    default:
      *count = 0;
      return nullptr;
  }
}

uint64_t allValid(size_t count) { return count >= 64 ? ~0ULL : (1ULL << count) - 1; }

}  // namespace

rocrash_error_t rocrash_async_thread_state_init(rocrash_async_thread_state* state,
                                                uint32_t cpu_type) noexcept {
  rocrash_async_memset(state, 0, sizeof *state);
  state->stack_direction = ROCRASH_ASYNC_STACK_DIRECTION_DOWN;
  switch (cpu_type) {
    case ROCRASH_CPU_TYPE_ARM:
      state->greg_size = 4;
      state->state.flavor = ROCRASH_ARM_THREAD_STATE32;
      state->state.count = ROCRASH_ARM_THREAD_STATE32_COUNT;
      return ROCRASH_ERR_NONE;
    case ROCRASH_CPU_TYPE_ARM64:
      state->greg_size = 8;
      state->state.flavor = ROCRASH_ARM_THREAD_STATE64;
      state->state.count = ROCRASH_ARM_THREAD_STATE64_COUNT;
      return ROCRASH_ERR_NONE;
    case ROCRASH_CPU_TYPE_X86_64:
      state->greg_size = 8;
      state->state.flavor = ROCRASH_X86_THREAD_STATE64;
      state->state.count = ROCRASH_X86_THREAD_STATE64_COUNT;
      return ROCRASH_ERR_NONE;
    default:
      return ROCRASH_ERR_NOTSUP;
  }
}

void rocrash_async_thread_state_gregs_init(rocrash_async_thread_state* state,
                                           const sys::thread_gregs* gregs) noexcept {
  // x86-64 is always supported: the only failure is an unknown type.
  (void)rocrash_async_thread_state_init(state, ROCRASH_CPU_TYPE_X86_64);
  const uint64_t* g = gregs->gregs;
  auto& ts = state->state.uts.x86_64;
  ts.rax = g[REG_RAX];
  ts.rbx = g[REG_RBX];
  ts.rcx = g[REG_RCX];
  ts.rdx = g[REG_RDX];
  ts.rdi = g[REG_RDI];
  ts.rsi = g[REG_RSI];
  ts.rbp = g[REG_RBP];
  ts.rsp = g[REG_RSP];
  ts.r8 = g[REG_R8];
  ts.r9 = g[REG_R9];
  ts.r10 = g[REG_R10];
  ts.r11 = g[REG_R11];
  ts.r12 = g[REG_R12];
  ts.r13 = g[REG_R13];
  ts.r14 = g[REG_R14];
  ts.r15 = g[REG_R15];
  ts.rip = g[REG_RIP];
  ts.rflags = g[REG_EFL];
  // cs, gs and fs share one word: cs in bits 0-15, gs in 16-31, fs in 32-47.
  uint64_t csgsfs = g[REG_CSGSFS];
  ts.cs = csgsfs & 0xFFFF;
  ts.gs = (csgsfs >> 16) & 0xFFFF;
  ts.fs = (csgsfs >> 32) & 0xFFFF;
  state->valid_regs = allValid(ROCRASH_X86_64_REG_COUNT);
}

void rocrash_async_thread_state_mcontext_init(rocrash_async_thread_state* state,
                                              const void* ucontext) noexcept {
  const auto* uc = static_cast<const ucontext_t*>(ucontext);
  sys::thread_gregs gregs;
  for (int i = 0; i < sys::kThreadGregCount; ++i) {
    gregs.gregs[i] = static_cast<uint64_t>(uc->uc_mcontext.gregs[i]);
  }
  rocrash_async_thread_state_gregs_init(state, &gregs);
}

rocrash_error_t rocrash_async_thread_state_mach_thread_init(rocrash_async_thread_state* state,
                                                            sys::thread_t thread) noexcept {
  sys::thread_gregs gregs;
  if (sys::thread_get_state(thread, &gregs) != sys::KERN_SUCCESS) return ROCRASH_ERR_INTERNAL;
  rocrash_async_thread_state_gregs_init(state, &gregs);
  return ROCRASH_ERR_NONE;
}

// Called by the assembly entry with the register block it built on its own
// stack; the block is in Linux gregs order.
extern "C" rocrash_error_t rocrash_async_thread_state_current_stub(
    const sys::thread_gregs* gregs, rocrash_async_thread_state_current_callback callback,
    void* context) noexcept {
  rocrash_async_thread_state state;
  rocrash_async_thread_state_gregs_init(&state, gregs);
  return callback(&state, context);
}

void rocrash_async_thread_state_copy(rocrash_async_thread_state* dest,
                                     const rocrash_async_thread_state* source) noexcept {
  rocrash_async_memcpy(dest, source, sizeof *dest);
}

void rocrash_async_thread_state_clear_all_regs(rocrash_async_thread_state* state) noexcept {
  state->valid_regs = 0;
}

bool rocrash_async_thread_state_has_reg(const rocrash_async_thread_state* state,
                                        rocrash_regnum_t regnum) noexcept {
  if (regnum >= 64) return false;
  return (state->valid_regs & (1ULL << regnum)) != 0;
}

void rocrash_async_thread_state_clear_reg(rocrash_async_thread_state* state,
                                          rocrash_regnum_t regnum) noexcept {
  if (regnum >= 64) return;
  state->valid_regs &= ~(1ULL << regnum);
}

void rocrash_async_thread_state_clear_volatile_regs(rocrash_async_thread_state* state) noexcept {
  uint64_t keep = 0;
  switch (state->state.flavor) {
    case ROCRASH_X86_THREAD_STATE64:
      keep = (1ULL << ROCRASH_X86_64_RBX) | (1ULL << ROCRASH_X86_64_RBP) |
             (1ULL << ROCRASH_X86_64_R12) | (1ULL << ROCRASH_X86_64_R13) |
             (1ULL << ROCRASH_X86_64_R14) | (1ULL << ROCRASH_X86_64_R15);
      break;
    case ROCRASH_ARM_THREAD_STATE64:
      keep = 1ULL << ROCRASH_ARM64_FP;
      for (rocrash_regnum_t r = ROCRASH_ARM64_X19; r <= ROCRASH_ARM64_X28; ++r) keep |= 1ULL << r;
      break;
    case ROCRASH_ARM_THREAD_STATE32:
      // r4, r5, r6, r7, r8, r10, r11
      keep = (1ULL << (ROCRASH_ARM_R0 + 4)) | (1ULL << (ROCRASH_ARM_R0 + 5)) |
             (1ULL << ROCRASH_ARM_R6) | (1ULL << ROCRASH_ARM_R7) | (1ULL << ROCRASH_ARM_R8) |
             (1ULL << (ROCRASH_ARM_R8 + 2)) | (1ULL << (ROCRASH_ARM_R8 + 3));
      break;
    default:
      break;
  }
  state->valid_regs &= keep;
}

uint32_t rocrash_async_thread_state_get_stackdir(const rocrash_async_thread_state* state) noexcept {
  return state->stack_direction;
}

size_t rocrash_async_thread_state_get_greg_size(const rocrash_async_thread_state* state) noexcept {
  return state->greg_size;
}

size_t rocrash_async_thread_state_get_reg_count(const rocrash_async_thread_state* state) noexcept {
  return regCount(state);
}

const char* rocrash_async_thread_state_get_reg_name(const rocrash_async_thread_state* state,
                                                    rocrash_regnum_t regnum) noexcept {
  if (regnum >= regCount(state)) return nullptr;
  switch (state->state.flavor) {
    case ROCRASH_X86_THREAD_STATE64:
      return kX86_64Registers[regnum].name;
    case ROCRASH_ARM_THREAD_STATE64:
      return kArm64Names[regnum];
    default:
      return kArm32Names[regnum];
  }
}

uint64_t rocrash_async_thread_state_get_reg(const rocrash_async_thread_state* state,
                                            rocrash_regnum_t regnum) noexcept {
  if (regnum >= regCount(state)) return 0;
  // The slot helpers take a mutable state; nothing is written through them here.
  auto* mutableState = const_cast<rocrash_async_thread_state*>(state);
  switch (state->state.flavor) {
    case ROCRASH_X86_THREAD_STATE64:
      return *x86Slot(mutableState, regnum);
    case ROCRASH_ARM_THREAD_STATE64:
      if (regnum == ROCRASH_ARM64_CPSR) return state->state.uts.ts_64.cpsr;
      if (regnum == ROCRASH_ARM64_PC || regnum == ROCRASH_ARM64_FP || regnum == ROCRASH_ARM64_SP ||
          regnum == ROCRASH_ARM64_LR) {
        return *arm64Slot(mutableState, regnum) & kArm64PointerMask;
      }
      return *arm64Slot(mutableState, regnum);
    default:
      return *arm32Slot(mutableState, regnum);
  }
}

void rocrash_async_thread_state_set_reg(rocrash_async_thread_state* state, rocrash_regnum_t regnum,
                                        uint64_t value) noexcept {
  if (regnum >= regCount(state)) return;
  switch (state->state.flavor) {
    case ROCRASH_X86_THREAD_STATE64:
      *x86Slot(state, regnum) = value;
      break;
    case ROCRASH_ARM_THREAD_STATE64:
      if (regnum == ROCRASH_ARM64_CPSR) {
        state->state.uts.ts_64.cpsr = static_cast<uint32_t>(value);
      } else {
        *arm64Slot(state, regnum) = value;
      }
      break;
    default:
      *arm32Slot(state, regnum) = static_cast<uint32_t>(value);
      break;
  }
  state->valid_regs |= 1ULL << regnum;
}

bool rocrash_async_thread_state_map_reg_to_dwarf(const rocrash_async_thread_state* state,
                                                 rocrash_regnum_t regnum,
                                                 uint64_t* dwarf_reg) noexcept {
  size_t count;
  const DwarfPair* table = dwarfTable(state, &count);
  for (size_t i = 0; i < count; ++i) {
    if (table[i].regnum == regnum) {
      *dwarf_reg = table[i].dwarf;
      return true;
    }
  }
  return false;
}

bool rocrash_async_thread_state_map_dwarf_to_reg(const rocrash_async_thread_state* state,
                                                 uint64_t dwarf_reg,
                                                 rocrash_regnum_t* regnum) noexcept {
  size_t count;
  const DwarfPair* table = dwarfTable(state, &count);
  for (size_t i = 0; i < count; ++i) {
    if (table[i].dwarf == dwarf_reg) {
      *regnum = table[i].regnum;
      return true;
    }
  }
  return false;
}
