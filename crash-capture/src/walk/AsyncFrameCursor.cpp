#include "AsyncFrameCursor.h"

#include "AsyncFrameLookup.h"
#include "safe/AsyncReadCache.h"

namespace {

constexpr const char* kFrameMessages[] = {
    "No error",        "Unknown error",           "No frames are available",
    "Corrupted frame", "Operation not supported", "Invalid argument",
    "Internal error",  "Invalid register",
};

// The unwind tables know nothing of code outside the images, so the return
// address is asked for only once they have declined: ordinary frames never
// pay for it.
constexpr rocrash_async_frame_reader kDefaultReaders[] = {
    rocrash_async_frame_read_compact_unwind,
    rocrash_async_frame_read_dwarf_unwind,
    rocrash_async_frame_read_return_address,
    rocrash_async_frame_read_frame_pointer,
};

// A frame-pointer step spans one frame, or a few without frame records.
// Farther than this is no stack of this process (and would make the check
// below probe that much memory page by page).
constexpr uint64_t kMaxFramePointerStep = uint64_t{64} << 20;

// Whether `address` lies in the code of a listed image. The caller has
// marked the list as being read.
bool inImageCode(rocrash_async_image_list* image_list, uint64_t address) {
  for (rocrash_async_macho* image = rocrash_async_image_list_next(image_list, nullptr);
       image != nullptr; image = rocrash_async_image_list_next(image_list, image)) {
    if (rocrash_async_macho_code_contains_address(image, address)) return true;
  }
  return false;
}

// How many bytes from `start` on, up to `length`, are readable in `task`;
// remembered by the write's read cache, so that a walk up one stack asks the
// kernel about each stretch once. Pages are readable whole: the kernel is
// asked up to the end of the last one, where the next step up the same stack
// mostly ends too.
uint64_t readableFrom(sys::task_t task, uint64_t start, uint64_t length) {
  if (rocrash::async::read_cache_known_readable(task, start, length)) return length;
  uint64_t end = start + length;
  const uint64_t mask = sys::vm_page_mask();
  if (end >= start && end + mask >= end) end = (end + mask) & ~mask;
  const uint64_t readable = sys::task_readable_prefix(task, start, end - start);
  rocrash::async::read_cache_remember_readable(task, start, readable);
  return readable < length ? readable : length;
}

}  // namespace

const char* rocrash_async_frame_strerror(rocrash_async_frame_error error) noexcept {
  if (error < sizeof kFrameMessages / sizeof kFrameMessages[0]) return kFrameMessages[error];
  return "Unhandled error code";
}

rocrash_async_frame_error rocrash_async_frame_cursor_init(
    rocrash_async_frame_cursor* cursor, sys::task_t task,
    const rocrash_async_thread_state* thread_state, rocrash_async_image_list* image_list) noexcept {
  // Task names carry no rights here, so holding the task needs no reference.
  cursor->task = task;
  cursor->image_list = image_list;
  cursor->depth = 0;
  rocrash_async_memset(&cursor->prev_frame, 0, sizeof cursor->prev_frame);
  rocrash_async_thread_state_copy(&cursor->frame, thread_state);
  return FRAME_ERR_NONE;
}

rocrash_async_frame_error rocrash_async_frame_cursor_thread_init(
    rocrash_async_frame_cursor* cursor, sys::task_t task, sys::thread_t thread,
    rocrash_async_image_list* image_list) noexcept {
  rocrash_async_thread_state state;
  if (rocrash_async_thread_state_mach_thread_init(&state, thread) != ROCRASH_ERR_NONE) {
    return FRAME_ERR_INTERNAL;
  }
  return rocrash_async_frame_cursor_init(cursor, task, &state, image_list);
}

rocrash_async_frame_error rocrash_async_frame_cursor_next(
    rocrash_async_frame_cursor* cursor) noexcept {
  return rocrash_async_frame_cursor_next_with_readers(
      cursor, kDefaultReaders, sizeof kDefaultReaders / sizeof kDefaultReaders[0]);
}

rocrash_async_frame_error rocrash_async_frame_cursor_next_with_readers(
    rocrash_async_frame_cursor* cursor, const rocrash_async_frame_reader* readers,
    size_t count) noexcept {
  if (cursor->depth == 0) {
    cursor->depth = 1;
    return FRAME_ERR_NONE;
  }
  if (count == 0) return FRAME_ERR_INVAL;

  const rocrash_async_thread_state* previous = cursor->depth == 1 ? nullptr : &cursor->prev_frame;
  rocrash_async_thread_state next;
  rocrash_async_frame_error error = FRAME_ERR_UNKNOWN;
  for (size_t i = 0; i < count; ++i) {
    error = readers[i](cursor->task, cursor->image_list, &cursor->frame, previous, &next);
    if (error == FRAME_ERR_NONE) break;
  }
  if (error != FRAME_ERR_NONE) return error;

  // A frame without a pc, or with one in the first page, is the end of the
  // stack (the outermost frames hold 0 there).
  if (!rocrash_async_thread_state_has_reg(&next, ROCRASH_REG_IP)) return FRAME_ERR_NOFRAME;
  if (rocrash_async_thread_state_get_reg(&next, ROCRASH_REG_IP) <= sys::vm_page_size()) {
    return FRAME_ERR_NOFRAME;
  }

  rocrash_async_thread_state_copy(&cursor->prev_frame, &cursor->frame);
  rocrash_async_thread_state_copy(&cursor->frame, &next);
  cursor->depth++;
  return FRAME_ERR_NONE;
}

rocrash_async_frame_error rocrash_async_frame_cursor_get_reg(rocrash_async_frame_cursor* cursor,
                                                             rocrash_regnum_t regnum,
                                                             uint64_t* value) noexcept {
  if (!rocrash_async_thread_state_has_reg(&cursor->frame, regnum)) return FRAME_ERR_NOTSUP;
  *value = rocrash_async_thread_state_get_reg(&cursor->frame, regnum);
  return FRAME_ERR_NONE;
}

uint64_t rocrash_async_frame_cursor_get_lookup_address(
    rocrash_async_frame_cursor* cursor) noexcept {
  if (cursor->depth == 0 || !rocrash_async_thread_state_has_reg(&cursor->frame, ROCRASH_REG_IP)) {
    return 0;
  }
  const uint64_t pc = rocrash_async_thread_state_get_reg(&cursor->frame, ROCRASH_REG_IP);
  if (cursor->depth == 1 || pc == 0) return pc;
  // Without images no frame is known to be a signal trampoline.
  if (cursor->image_list == nullptr) return pc - 1;
  rocrash_async_image_list_set_reading(cursor->image_list, true);
  const uint64_t lookup = rocrash::async::frame_lookup_address(cursor->task, cursor->image_list,
                                                               &cursor->frame, &cursor->prev_frame);
  rocrash_async_image_list_set_reading(cursor->image_list, false);
  return lookup;
}

const char* rocrash_async_frame_cursor_get_regname(rocrash_async_frame_cursor* cursor,
                                                   rocrash_regnum_t regnum) noexcept {
  return rocrash_async_thread_state_get_reg_name(&cursor->frame, regnum);
}

size_t rocrash_async_frame_cursor_get_regcount(rocrash_async_frame_cursor* cursor) noexcept {
  return rocrash_async_thread_state_get_reg_count(&cursor->frame);
}

void rocrash_async_frame_cursor_free(rocrash_async_frame_cursor* cursor) noexcept {
  cursor->image_list = nullptr;
}

rocrash_async_frame_error rocrash_async_frame_read_return_address(
    sys::task_t task, rocrash_async_image_list* image_list,
    const rocrash_async_thread_state* current, const rocrash_async_thread_state* previous,
    rocrash_async_thread_state* next) noexcept {
  // Only the host pushes return addresses on the stack (ARM keeps them in a
  // register).
  if (image_list == nullptr || current->state.flavor != ROCRASH_X86_THREAD_STATE64 ||
      !rocrash_async_thread_state_has_reg(current, ROCRASH_REG_IP) ||
      !rocrash_async_thread_state_has_reg(current, ROCRASH_REG_SP)) {
    return FRAME_ERR_NOTSUP;
  }
  const uint64_t pc = rocrash_async_thread_state_get_reg(current, ROCRASH_REG_IP);
  const uint64_t sp = rocrash_async_thread_state_get_reg(current, ROCRASH_REG_SP);
  rocrash_async_frame_error result = FRAME_ERR_NOTSUP;
  rocrash_async_image_list_set_reading(image_list, true);
  // A caller's frame holds a return address: whatever it points at, the call
  // before it was made from an image.
  const bool exact =
      previous == nullptr || rocrash::async::frame_is_signal_frame(task, image_list, previous);
  uint64_t returnAddress = 0;
  if (exact && !inImageCode(image_list, pc) &&
      rocrash_async_task_read(task, sp, 0, &returnAddress, sizeof returnAddress) ==
          ROCRASH_ERR_NONE &&
      inImageCode(image_list, returnAddress)) {
    // Every register but the pc and the stack pointer is still the caller's.
    rocrash_async_thread_state_copy(next, current);
    rocrash_async_thread_state_clear_volatile_regs(next);
    rocrash_async_thread_state_set_reg(next, ROCRASH_REG_IP, returnAddress);
    rocrash_async_thread_state_set_reg(next, ROCRASH_REG_SP, sp + sizeof returnAddress);
    result = FRAME_ERR_NONE;
  }
  rocrash_async_image_list_set_reading(image_list, false);
  return result;
}

rocrash_async_frame_error rocrash_async_frame_read_frame_pointer(
    sys::task_t task, rocrash_async_image_list*, const rocrash_async_thread_state* current,
    const rocrash_async_thread_state* previous, rocrash_async_thread_state* next) noexcept {
  if (!rocrash_async_thread_state_has_reg(current, ROCRASH_REG_FP)) return FRAME_ERR_BADFRAME;
  uint64_t fp = rocrash_async_thread_state_get_reg(current, ROCRASH_REG_FP);
  if (fp == 0) return FRAME_ERR_NOFRAME;

  // The chain must move toward the stack's base, or it is corrupt (and a
  // walk along it could loop).
  if (previous != nullptr && rocrash_async_thread_state_has_reg(previous, ROCRASH_REG_FP)) {
    uint64_t previousFp = rocrash_async_thread_state_get_reg(previous, ROCRASH_REG_FP);
    uint32_t direction = rocrash_async_thread_state_get_stackdir(current);
    if (direction == ROCRASH_ASYNC_STACK_DIRECTION_DOWN && fp < previousFp) {
      return FRAME_ERR_BADFRAME;
    }
    if (direction == ROCRASH_ASYNC_STACK_DIRECTION_UP && fp > previousFp) {
      return FRAME_ERR_BADFRAME;
    }
  }

  // The caller's record lies above the current frame on the same stack. A
  // stack pointer that cannot be read itself (it was the fault) tells no
  // stack: the record is then only read.
  const uint64_t width = rocrash_async_thread_state_get_greg_size(current);
  if (rocrash_async_thread_state_has_reg(current, ROCRASH_REG_SP) &&
      rocrash_async_thread_state_get_stackdir(current) == ROCRASH_ASYNC_STACK_DIRECTION_DOWN) {
    const uint64_t sp = rocrash_async_thread_state_get_reg(current, ROCRASH_REG_SP);
    const uint64_t recordEnd = fp + 2 * width;
    if (fp >= sp && recordEnd > fp && recordEnd - sp <= kMaxFramePointerStep) {
      const uint64_t readable = readableFrom(task, sp, recordEnd - sp);
      if (readable > 0 && readable < recordEnd - sp) return FRAME_ERR_BADFRAME;
    } else if (readableFrom(task, sp, 1) == 1) {
      return FRAME_ERR_BADFRAME;
    }
  }

  uint64_t callerFp;
  uint64_t returnAddress;
  if (width == 8) {
    uint64_t words[2];
    if (rocrash_async_task_read(task, fp, 0, words, sizeof words) != ROCRASH_ERR_NONE) {
      return FRAME_ERR_BADFRAME;
    }
    callerFp = words[0];
    returnAddress = words[1];
  } else {
    uint32_t words[2];
    if (rocrash_async_task_read(task, fp, 0, words, sizeof words) != ROCRASH_ERR_NONE) {
      return FRAME_ERR_BADFRAME;
    }
    callerFp = words[0];
    returnAddress = words[1];
  }

  rocrash_async_thread_state_copy(next, current);
  rocrash_async_thread_state_clear_all_regs(next);
  rocrash_async_thread_state_set_reg(next, ROCRASH_REG_FP, callerFp);
  rocrash_async_thread_state_set_reg(next, ROCRASH_REG_IP, returnAddress);
  // The frame record sits right below the caller's stack pointer at the call
  // (the return address was pushed or stored last), so the caller's stack
  // pointer is known too: a later step may then unwind the caller by its
  // call-frame information, which most rules base on the stack pointer.
  rocrash_async_thread_state_set_reg(next, ROCRASH_REG_SP, fp + 2 * width);
  return FRAME_ERR_NONE;
}
