#pragma once

#include <cstddef>
#include <cstdint>

#include "AsyncThreadState.h"
#include "safe/AsyncMObject.h"

// The linker's compact unwind table ("__TEXT","__unwind_info", version 1): a
// two-level index from function offsets (relative to the image's header) to
// 32-bit encodings that say how each function set up its frame. The reader
// finds the encoding for a pc, decodes it into an entry, and applies the entry
// to a frame to produce the caller's frame. Everything here runs at crash
// time: the table is read only through its memory object, the stack only
// through task reads; nothing is allocated.

inline constexpr uint32_t ROCRASH_CPU_TYPE_X86 = 7;

// How a function's frame is unwound.
enum rocrash_async_cfe_entry_type : uint32_t {
  CFE_ENTRY_FRAME_PTR = 1,           // a frame-pointer record; saved registers below it
  CFE_ENTRY_FRAMELESS_IMMD = 2,      // a fixed stack size in the encoding
  CFE_ENTRY_FRAMELESS_INDIRECT = 3,  // the stack size is an immediate inside the function
  CFE_ENTRY_DWARF = 4,               // the function is described by DWARF call-frame data
  CFE_ENTRY_NONE = 5,                // no unwind information
};

// A register-list slot that holds no register, and the return address
// register of entries whose return address is on the stack.
inline constexpr uint32_t ROCRASH_CFE_REG_NONE = 0x7FFFFFFF;
inline constexpr uint32_t ROCRASH_CFE_SAVED_REGISTER_MAX = 10;

struct rocrash_async_cfe_reader {
  rocrash_async_mobject* mobj;  // the section, borrowed
  uint32_t cputype;
  struct {
    uint32_t version;
    uint32_t commonEncodingsArraySectionOffset;
    uint32_t commonEncodingsArrayCount;
    uint32_t personalityArraySectionOffset;
    uint32_t personalityArrayCount;
    uint32_t indexSectionOffset;
    uint32_t indexCount;
  } header;
  const rocrash_async_byteorder* byteorder;  // always the direct one
};

struct rocrash_async_cfe_entry {
  uint32_t type;  // rocrash_async_cfe_entry_type
  uint32_t cpu_type;
  // Frame pointer: offset of the saved registers from the frame pointer
  // (negative). Frameless: the stack size, or for indirect entries the offset
  // of the stack-size immediate from the function's start. DWARF: the FDE's
  // offset in the call-frame section.
  int64_t stack_offset;
  uint32_t stack_adjust;  // indirect frameless only, in bytes
  // A register number of the thread state, or ROCRASH_CFE_REG_NONE when the
  // return address is on the stack.
  uint32_t return_address_register;
  uint32_t register_count;
  // Saved registers from the lowest address upward; ROCRASH_CFE_REG_NONE marks
  // a slot to skip.
  uint32_t register_list[ROCRASH_CFE_SAVED_REGISTER_MAX];
};

// Reads the section header. ROCRASH_ERR_NOTSUP for a CPU type other than x86,
// x86-64 and ARM64 or a version other than 1; ROCRASH_ERR_INVAL when the
// 28-byte header is not inside the mapping. `mobj` must outlive the reader.
rocrash_error_t rocrash_async_cfe_reader_init(rocrash_async_cfe_reader* reader,
                                              rocrash_async_mobject* mobj,
                                              uint32_t cputype) noexcept;

// Finds the encoding of the function holding `pc` (an offset from the image's
// header address) and that function's start offset. ROCRASH_ERR_NOTFOUND when
// no function of the table holds it; ROCRASH_ERR_INVAL for tables that reach
// outside the section or have pages of an unknown kind.
rocrash_error_t rocrash_async_cfe_reader_find_pc(rocrash_async_cfe_reader* reader, uint64_t pc,
                                                 uint64_t* function_base,
                                                 uint32_t* encoding) noexcept;
void rocrash_async_cfe_reader_free(rocrash_async_cfe_reader* reader) noexcept;

// Decodes `encoding` for `cpu_type`. ROCRASH_ERR_NOTSUP for modes that cannot
// be decoded, ROCRASH_ERR_INVAL for register fields that name no register.
rocrash_error_t rocrash_async_cfe_entry_init(rocrash_async_cfe_entry* entry, uint32_t cpu_type,
                                             uint32_t encoding) noexcept;
uint32_t rocrash_async_cfe_entry_type(const rocrash_async_cfe_entry* entry) noexcept;
int64_t rocrash_async_cfe_entry_stack_offset(const rocrash_async_cfe_entry* entry) noexcept;
uint32_t rocrash_async_cfe_entry_stack_adjust(const rocrash_async_cfe_entry* entry) noexcept;
uint32_t rocrash_async_cfe_entry_return_address_register(
    const rocrash_async_cfe_entry* entry) noexcept;
uint32_t rocrash_async_cfe_entry_register_count(const rocrash_async_cfe_entry* entry) noexcept;
// Copies the entry's register_count registers to `register_list`.
void rocrash_async_cfe_entry_register_list(const rocrash_async_cfe_entry* entry,
                                           uint32_t* register_list) noexcept;
void rocrash_async_cfe_entry_free(rocrash_async_cfe_entry* entry) noexcept;

// Produces the caller's frame of `thread_state` in `new_thread_state`, for
// the function starting at `function_address` (needed by indirect frameless
// entries). ROCRASH_ERR_NOTSUP for DWARF and empty entries,
// ROCRASH_ERR_NOTFOUND when a register the entry needs is not valid, the task
// read's error when the stack cannot be read.
rocrash_error_t rocrash_async_cfe_entry_apply(
    sys::task_t task, rocrash_vm_address_t function_address,
    const rocrash_async_thread_state* thread_state, const rocrash_async_cfe_entry* entry,
    rocrash_async_thread_state* new_thread_state) noexcept;

// The register-order permutation of frameless x86 encodings. `decode` turns a
// permutation number into `count` register codes (1 to 6, each once);
// ROCRASH_ERR_INVAL for a count above 6 or a number that picks no code.
// `encode` is its inverse (codes outside 1 to 6 give 0).
rocrash_error_t rocrash_async_cfe_register_decode(uint32_t permutation, uint32_t count,
                                                  uint32_t* result) noexcept;
uint32_t rocrash_async_cfe_register_encode(const uint32_t* registers, uint32_t count) noexcept;
