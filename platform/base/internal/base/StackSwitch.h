#pragma once

// The one stack switch of the tree (src/CallOnStack.S), for x86-64 and
// AArch64: the crash engine's handler stacks and the reactive library's
// deletion stacks both call through it. Elsewhere it is not defined, and
// KX_HAVE_CALL_ON_STACK is 0. And how a call on another stack is announced to
// the sanitizers the running program has (src/StackSwitch.cpp).

#include "base/BuildFacts.h"

#if KX_X86_64 || KX_AARCH64
#define KX_HAVE_CALL_ON_STACK 1
#else
#define KX_HAVE_CALL_ON_STACK 0
#endif

#include <cstddef>

// Calls `function(argument)` with the stack pointer at `top` rounded down to
// 16 bytes (stacks grow down here), and returns on the caller's stack once it
// returns. Its frame record, kept by the frame pointer and named by its
// call-frame information at every instruction, links the callee's frames to
// the caller's: a walk by frame pointers or by unwind tables goes on from the
// other stack to the caller. A debugger takes a walk that climbs to a lower
// address for a corrupt stack: for one to go on, the other stack lies below
// the caller's. Nothing is saved but that record, and no signal is masked.
// Hidden, so bound when the program or library is linked: a call through a
// table the loader fills in at the first call would use the stack it leaves,
// which a handler on a nearly full stack cannot spare.
extern "C" __attribute__((visibility("hidden"))) void kx_call_on_stack(void* top,
                                                                       void (*function)(void*),
                                                                       void* argument) noexcept;

namespace base {

// Whether the running program has AddressSanitizer, or ThreadSanitizer: a
// library built without them, linked into a program built with one, finds it
// at run time (its interface, where the program has it), and announces its
// stacks all the same. Async-signal-safe.
bool addressSanitizerRuns() noexcept;
bool threadSanitizerRuns() noexcept;

// Forgets what AddressSanitizer knew of [low, low + bytes) of a stack: the
// poison of frames left without returning (by a jump, or by a thread or
// fiber that went on elsewhere), which would make whatever runs there next
// look wrong. Nothing without it.
void forgetStackUse(void* low, std::size_t bytes) noexcept;

// For a hand-over ThreadSanitizer cannot see (through atomics of a library
// built without it): what the calling thread did before handing `token`
// over happens, to ThreadSanitizer, before what the thread that takes it
// does afterwards. Nothing without it.
void handOver(void* token) noexcept;
void takeOver(void* token) noexcept;

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
  void leave(const void* low, std::size_t bytes, const char* fiberName) noexcept;
  void arrive() noexcept;
  void leaveBack() noexcept;
  void back() noexcept;

  // The caller's stack as AddressSanitizer knew it, once arrived (null
  // without it).
  const void* callerLow() const noexcept { return callerLow_; }
  std::size_t callerBytes() const noexcept { return callerBytes_; }

 private:
  void* fakeStack_ = nullptr;
  const void* callerLow_ = nullptr;
  std::size_t callerBytes_ = 0;
  void* caller_ = nullptr;
  void* fiber_ = nullptr;
};

}  // namespace base
