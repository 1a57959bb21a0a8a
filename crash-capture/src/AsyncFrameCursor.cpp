#include "crash-capture/AsyncFrameCursor.h"

namespace {

constexpr const char* kFrameMessages[] = {
    "No error",        "Unknown error",           "No frames are available",
    "Corrupted frame", "Operation not supported", "Invalid argument",
    "Internal error",  "Invalid register",
};

constexpr rocrash_async_frame_reader kDefaultReaders[] = {
    rocrash_async_frame_read_compact_unwind,
    rocrash_async_frame_read_dwarf_unwind,
    rocrash_async_frame_read_frame_pointer,
};

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

  uint64_t callerFp;
  uint64_t returnAddress;
  if (rocrash_async_thread_state_get_greg_size(current) == 8) {
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
  const uint64_t width = rocrash_async_thread_state_get_greg_size(current);
  rocrash_async_thread_state_set_reg(next, ROCRASH_REG_SP, fp + 2 * width);
  return FRAME_ERR_NONE;
}
