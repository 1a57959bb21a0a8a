#include "base/StackSwitch.h"

#include <cstddef>

// The sanitizers' interface, declared weak: null where the running program
// has no such sanitizer, whatever this file was built with (it includes none
// of their headers, which declare these otherwise). Each sanitizer's runtime
// defines its own: AddressSanitizer's the first three, ThreadSanitizer's the
// rest.
extern "C" {
__attribute__((weak)) void __sanitizer_start_switch_fiber(void** fakeStackSave, const void* bottom,
                                                          std::size_t size);
__attribute__((weak)) void __sanitizer_finish_switch_fiber(void* fakeStackSave,
                                                           const void** bottomOld,
                                                           std::size_t* sizeOld);
__attribute__((weak)) void __asan_unpoison_memory_region(void const volatile* address,
                                                         std::size_t size);
__attribute__((weak)) void* __tsan_get_current_fiber();
__attribute__((weak)) void* __tsan_create_fiber(unsigned flags);
__attribute__((weak)) void __tsan_destroy_fiber(void* fiber);
__attribute__((weak)) void __tsan_switch_to_fiber(void* fiber, unsigned flags);
__attribute__((weak)) void __tsan_set_fiber_name(void* fiber, const char* name);
__attribute__((weak)) void __tsan_acquire(void* address);
__attribute__((weak)) void __tsan_release(void* address);
}

namespace base {

bool addressSanitizerRuns() noexcept {
  return __sanitizer_start_switch_fiber != nullptr && __sanitizer_finish_switch_fiber != nullptr &&
         __asan_unpoison_memory_region != nullptr;
}

bool threadSanitizerRuns() noexcept {
  return __tsan_get_current_fiber != nullptr && __tsan_create_fiber != nullptr &&
         __tsan_destroy_fiber != nullptr && __tsan_switch_to_fiber != nullptr &&
         __tsan_set_fiber_name != nullptr && __tsan_acquire != nullptr && __tsan_release != nullptr;
}

void forgetStackUse(void* low, std::size_t bytes) noexcept {
  if (addressSanitizerRuns()) __asan_unpoison_memory_region(low, bytes);
}

void handOver(void* token) noexcept {
  if (threadSanitizerRuns()) __tsan_release(token);
}

void takeOver(void* token) noexcept {
  if (threadSanitizerRuns()) __tsan_acquire(token);
}

void StackCallAnnouncement::leave(const void* low, std::size_t bytes,
                                  const char* fiberName) noexcept {
  if (fiberName != nullptr && threadSanitizerRuns()) {
    caller_ = __tsan_get_current_fiber();
    fiber_ = __tsan_create_fiber(0);
    if (fiber_ != nullptr) {
      __tsan_set_fiber_name(fiber_, fiberName);
      __tsan_switch_to_fiber(fiber_, 0);
    }
  }
  if (addressSanitizerRuns()) __sanitizer_start_switch_fiber(&fakeStack_, low, bytes);
}

void StackCallAnnouncement::arrive() noexcept {
  if (addressSanitizerRuns()) __sanitizer_finish_switch_fiber(nullptr, &callerLow_, &callerBytes_);
}

void StackCallAnnouncement::leaveBack() noexcept {
  // Back for good: the other stack's fake frames go.
  if (addressSanitizerRuns()) __sanitizer_start_switch_fiber(nullptr, callerLow_, callerBytes_);
}

void StackCallAnnouncement::back() noexcept {
  if (addressSanitizerRuns()) __sanitizer_finish_switch_fiber(fakeStack_, nullptr, nullptr);
  if (fiber_ != nullptr) {
    __tsan_switch_to_fiber(caller_, 0);
    __tsan_destroy_fiber(fiber_);
  }
}

}  // namespace base
