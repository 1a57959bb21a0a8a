#pragma once

#include "system/Threads.h"

// What the parking signal and the alternate stacks share inside this layer.
namespace sys::detail {

// The parking signal's value that asks a thread to take the alternate stack
// offered to it (parking requests carry a slot index, never negative).
inline constexpr int kAlternateStackRequest = -2;

// Sends the parking signal with `value` to `thread` of the own process.
bool thread_send_parking_signal(thread_t thread, int value) noexcept;

// Runs in the parking signal's handler of a thread asked to take its offered
// alternate stack; `context` is the handler's ucontext.
void thread_alternate_stack_offered(void* context) noexcept;

}  // namespace sys::detail
