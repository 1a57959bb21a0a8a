#pragma once

#include <cstddef>
#include <cstdint>

#include "safe/AsyncSafe.h"
#include "system/Threads.h"

// The register state of one stack frame, and the ways of obtaining it: from
// a suspended thread, from a signal's machine context, from the calling
// thread itself. Three layouts exist: the host's x86-64 state (what real
// threads of this process have), and the 64-bit and 32-bit ARM states (for
// images and stacks of those machines, read from Mach-O files or built by
// hand). Copied as a whole by value; everything is async-signal-safe.

// CPU types a state can be made for; x86-64 is the host's, which the image
// records of the host's own objects carry too.
inline constexpr uint32_t ROCRASH_CPU_TYPE_ARM = 12;
inline constexpr uint32_t ROCRASH_CPU_TYPE_ARM64 = 0x0100000C;
inline constexpr uint32_t ROCRASH_CPU_TYPE_X86_64 = 0x01000007;

// Layout flavours and their sizes in 32-bit words.
inline constexpr uint32_t ROCRASH_ARM_THREAD_STATE64 = 6;
inline constexpr uint32_t ROCRASH_ARM_THREAD_STATE64_COUNT = 68;
inline constexpr uint32_t ROCRASH_ARM_THREAD_STATE32 = 9;
inline constexpr uint32_t ROCRASH_ARM_THREAD_STATE32_COUNT = 17;
inline constexpr uint32_t ROCRASH_X86_THREAD_STATE64 = 4;
inline constexpr uint32_t ROCRASH_X86_THREAD_STATE64_COUNT = 42;

// Stack directions.
inline constexpr uint32_t ROCRASH_ASYNC_STACK_DIRECTION_UP = 1;
inline constexpr uint32_t ROCRASH_ASYNC_STACK_DIRECTION_DOWN = 2;

// Register numbers. 0, 1 and 2 are the generic pc, frame pointer and stack
// pointer of every layout.
using rocrash_regnum_t = uint32_t;
inline constexpr rocrash_regnum_t ROCRASH_REG_IP = 0;
inline constexpr rocrash_regnum_t ROCRASH_REG_FP = 1;
inline constexpr rocrash_regnum_t ROCRASH_REG_SP = 2;

// x86-64: rip, rbp, rsp, rax, rbx, rcx, rdx, rdi, rsi, r8-r15, rflags, cs, fs,
// gs (21 registers).
enum : rocrash_regnum_t {
  ROCRASH_X86_64_RIP = 0,
  ROCRASH_X86_64_RBP,
  ROCRASH_X86_64_RSP,
  ROCRASH_X86_64_RAX,
  ROCRASH_X86_64_RBX,
  ROCRASH_X86_64_RCX,
  ROCRASH_X86_64_RDX,
  ROCRASH_X86_64_RDI,
  ROCRASH_X86_64_RSI,
  ROCRASH_X86_64_R8,
  ROCRASH_X86_64_R9,
  ROCRASH_X86_64_R10,
  ROCRASH_X86_64_R11,
  ROCRASH_X86_64_R12,
  ROCRASH_X86_64_R13,
  ROCRASH_X86_64_R14,
  ROCRASH_X86_64_R15,
  ROCRASH_X86_64_RFLAGS,
  ROCRASH_X86_64_CS,
  ROCRASH_X86_64_FS,
  ROCRASH_X86_64_GS,
  ROCRASH_X86_64_REG_COUNT,
};

// 64-bit ARM: pc, fp, sp, x0-x28, lr, cpsr (34 registers).
enum : rocrash_regnum_t {
  ROCRASH_ARM64_PC = 0,
  ROCRASH_ARM64_FP,
  ROCRASH_ARM64_SP,
  ROCRASH_ARM64_X0,
  ROCRASH_ARM64_X19 = ROCRASH_ARM64_X0 + 19,
  ROCRASH_ARM64_X28 = ROCRASH_ARM64_X0 + 28,
  ROCRASH_ARM64_LR,
  ROCRASH_ARM64_CPSR,
  ROCRASH_ARM64_REG_COUNT,
};

// 32-bit ARM: pc, r7 (the frame pointer), sp, r0-r6, r8-r12, lr, cpsr (17).
enum : rocrash_regnum_t {
  ROCRASH_ARM_PC = 0,
  ROCRASH_ARM_R7,
  ROCRASH_ARM_SP,
  ROCRASH_ARM_R0,
  ROCRASH_ARM_R6 = ROCRASH_ARM_R0 + 6,
  ROCRASH_ARM_R8,
  ROCRASH_ARM_R12 = ROCRASH_ARM_R8 + 4,
  ROCRASH_ARM_LR,
  ROCRASH_ARM_CPSR,
  ROCRASH_ARM_REG_COUNT,
};

struct rocrash_arm_thread_state64 {
  uint64_t x[29];
  uint64_t fp;
  uint64_t lr;
  uint64_t sp;
  uint64_t pc;
  uint32_t cpsr;
  uint32_t pad;
};

struct rocrash_arm_thread_state32 {
  uint32_t r[13];
  uint32_t sp;
  uint32_t lr;
  uint32_t pc;
  uint32_t cpsr;
};

struct rocrash_x86_thread_state64 {
  uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp;
  uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  uint64_t rip, rflags, cs, fs, gs;
};

struct rocrash_async_thread_state {
  uint32_t stack_direction;  // ROCRASH_ASYNC_STACK_DIRECTION_*
  uint32_t greg_size;        // 4 or 8
  uint64_t valid_regs;       // bit n: register n holds a known value
  struct {
    uint32_t flavor;  // ROCRASH_*_THREAD_STATE*
    uint32_t count;
    union {
      rocrash_arm_thread_state64 ts_64;
      rocrash_arm_thread_state32 ts_32;
      rocrash_x86_thread_state64 x86_64;
    } uts;
  } state;
};

// Zeroes `state` and sets the header for `cpu_type`: ARM (12) gives the
// 32-bit ARM layout, ARM64 the 64-bit one, x86-64 the host layout; stack
// direction down, no valid register. ROCRASH_ERR_NOTSUP for any other type.
rocrash_error_t rocrash_async_thread_state_init(rocrash_async_thread_state* state,
                                                uint32_t cpu_type) noexcept;

// The host state of a signal's machine context (`ucontext_t.uc_mcontext`,
// given as the ucontext's address): every register valid.
void rocrash_async_thread_state_mcontext_init(rocrash_async_thread_state* state,
                                              const void* ucontext) noexcept;

// The host state from a register block as Linux saves it (23 gregs).
void rocrash_async_thread_state_gregs_init(rocrash_async_thread_state* state,
                                           const sys::thread_gregs* gregs) noexcept;

// The saved state of a suspended thread of the own task (or the faulting
// context of a thread waiting in the exception bridge). ROCRASH_ERR_INTERNAL
// when the thread has none.
rocrash_error_t rocrash_async_thread_state_mach_thread_init(rocrash_async_thread_state* state,
                                                            sys::thread_t thread) noexcept;

using rocrash_async_thread_state_current_callback =
    rocrash_error_t (*)(rocrash_async_thread_state* state, void* context);

// Captures the calling thread and calls `callback` with the state on the same
// stack. The captured frame is the caller's: pc is the return address into
// the caller, sp the caller's stack pointer at the call, the frame pointer and
// the callee-saved registers as the caller had them. Returns the callback's
// result.
extern "C" rocrash_error_t rocrash_async_thread_state_current(
    rocrash_async_thread_state_current_callback callback, void* context) noexcept;

void rocrash_async_thread_state_copy(rocrash_async_thread_state* dest,
                                     const rocrash_async_thread_state* source) noexcept;
void rocrash_async_thread_state_clear_all_regs(rocrash_async_thread_state* state) noexcept;
bool rocrash_async_thread_state_has_reg(const rocrash_async_thread_state* state,
                                        rocrash_regnum_t regnum) noexcept;
void rocrash_async_thread_state_clear_reg(rocrash_async_thread_state* state,
                                          rocrash_regnum_t regnum) noexcept;
// Keeps only the callee-saved registers valid (x86-64: rbx, rbp, r12-r15;
// ARM64: x19-x28 and fp; ARM: r4-r8, r10, r11).
void rocrash_async_thread_state_clear_volatile_regs(rocrash_async_thread_state* state) noexcept;
uint32_t rocrash_async_thread_state_get_stackdir(const rocrash_async_thread_state* state) noexcept;
size_t rocrash_async_thread_state_get_greg_size(const rocrash_async_thread_state* state) noexcept;
// 21 (x86-64), 34 (ARM64) or 17 (ARM).
size_t rocrash_async_thread_state_get_reg_count(const rocrash_async_thread_state* state) noexcept;
// The register's name; null for a number past the count.
const char* rocrash_async_thread_state_get_reg_name(const rocrash_async_thread_state* state,
                                                    rocrash_regnum_t regnum) noexcept;
// The value (32-bit registers widened), whatever the valid mask says. In the
// ARM64 state pc, fp, sp and lr keep only their low 36 bits (pointer
// authentication codes stripped). 0 for a number past the count.
uint64_t rocrash_async_thread_state_get_reg(const rocrash_async_thread_state* state,
                                            rocrash_regnum_t regnum) noexcept;
// Stores the value (truncated in the 32-bit state) and marks it valid;
// numbers past the count are ignored.
void rocrash_async_thread_state_set_reg(rocrash_async_thread_state* state, rocrash_regnum_t regnum,
                                        uint64_t value) noexcept;

// DWARF register numbers of the state's layout (x86-64: DWARF 0-15; ARM64:
// 0-31; ARM: 0-15). False when the number has no counterpart.
bool rocrash_async_thread_state_map_reg_to_dwarf(const rocrash_async_thread_state* state,
                                                 rocrash_regnum_t regnum,
                                                 uint64_t* dwarf_reg) noexcept;
bool rocrash_async_thread_state_map_dwarf_to_reg(const rocrash_async_thread_state* state,
                                                 uint64_t dwarf_reg,
                                                 rocrash_regnum_t* regnum) noexcept;
