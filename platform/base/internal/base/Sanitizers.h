#pragma once

// The sanitizers' own interfaces, in a build that has them (KX_ASAN,
// KX_TSAN: base/BuildFacts.h), and how the tree's stacks of its own
// (base/StackSwitch.h) are announced to them.

#include <cstddef>

#include "base/BuildFacts.h"

#if KX_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if KX_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace base {

// Forgets what AddressSanitizer knew of [low, low + bytes) of a stack: the
// poison of frames left without returning (by a jump, or by a thread or
// fiber that went on elsewhere), which would make whatever runs there next
// look wrong. Nothing without it.
inline void forgetStackUse([[maybe_unused]] void* low,
                           [[maybe_unused]] std::size_t bytes) noexcept {
#if KX_ASAN
  __asan_unpoison_memory_region(low, bytes);
#endif
}

// A call on another stack that returns, announced as the sanitizers ask of
// a switch between fibers: to AddressSanitizer always, so that it knows the
// stack the code runs on (its allocation and free records walk it, a throw
// cleans it); to ThreadSanitizer only when a fiber's name is given, as a
// fiber of its own, each way synchronised as a call and its return are. The
// sanitizers keep one current stack a thread: the call must come back the
// way it went, so a work that may leave by a jump (a signal handler's) is
// announced otherwise: the crash engine's handler stacks become the thread's
// alternate signal stack, which AddressSanitizer cleans at a jump, and are
// forgotten (forgetStackUse) as each call arrives.
//
//   StackCallAnnouncement note;
//   note.leave(low, bytes, name);      // before the switch, on the caller's stack
//   note.arrive();                     // first thing on the other stack
//   note.leaveBack();                  // last thing there
//   note.back();                       // after the switch has returned
//
// The callee's frames may be walked past the stack's top to the caller's:
// AddressSanitizer's recorded stacks climb only within the bounds it is
// told, so a stack that lies below its caller's can be announced with the
// caller's top as its own (`low` up to the caller's top).
class StackCallAnnouncement {
 public:
  void leave([[maybe_unused]] const void* low, [[maybe_unused]] std::size_t bytes,
             [[maybe_unused]] const char* fiberName) noexcept {
#if KX_TSAN
    if (fiberName != nullptr) caller_ = __tsan_get_current_fiber();
    if (caller_ != nullptr) fiber_ = __tsan_create_fiber(0);
    if (fiber_ != nullptr) {
      __tsan_set_fiber_name(fiber_, fiberName);
      __tsan_switch_to_fiber(fiber_, 0);
    }
#endif
#if KX_ASAN
    __sanitizer_start_switch_fiber(&fakeStack_, low, bytes);
#endif
  }

  void arrive() noexcept {
#if KX_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &callerLow_, &callerBytes_);
#endif
  }

  void leaveBack() noexcept {
#if KX_ASAN
    // Back for good: the other stack's fake frames go.
    __sanitizer_start_switch_fiber(nullptr, callerLow_, callerBytes_);
#endif
  }

  void back() noexcept {
#if KX_ASAN
    __sanitizer_finish_switch_fiber(fakeStack_, nullptr, nullptr);
#endif
#if KX_TSAN
    if (fiber_ != nullptr) {
      __tsan_switch_to_fiber(caller_, 0);
      __tsan_destroy_fiber(fiber_);
    }
#endif
  }

  // The caller's stack as AddressSanitizer knew it, once arrived (null
  // without it).
  const void* callerLow() const noexcept { return callerLow_; }
  std::size_t callerBytes() const noexcept { return callerBytes_; }

 private:
  [[maybe_unused]] void* fakeStack_ = nullptr;
  const void* callerLow_ = nullptr;
  std::size_t callerBytes_ = 0;
  [[maybe_unused]] void* caller_ = nullptr;
  [[maybe_unused]] void* fiber_ = nullptr;
};

}  // namespace base
