#include "system/ThreadStacks.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "NextDefinition.h"
#include "ThreadsInternal.h"
#include "base/BuildFacts.h"
#include "base/Stacks.h"
#include "system/HandlerStacks.h"
#include "system/SignalSafe.h"
#include "system/Task.h"
#include "system/Threads.h"

namespace sys {
namespace {

// A stack's life: claimed while it is being filled in, offered to an
// existing thread, installed on its thread, or declined (the thread had one).
enum StackState : int32_t {
  kStackFree = 0,
  kStackClaimed = 1,
  kOffered = 2,
  kInstalled = 3,
  kDeclined = 4,
};

// An alternate stack: the start of its guard page and the bytes from there
// to the stack's top.
struct AltStack {
  void* mapping = nullptr;
  size_t total = 0;
};

struct StackSlot {
  std::atomic<int32_t> state{kStackFree};
  std::atomic<int32_t> tid{0};
  AltStack stack;
};

StackSlot gStacks[kThreadCapacity];
std::atomic<size_t> gStackSize{0};

// Set once the fault signals are to stay deliverable (see ThreadStacks.h).
std::atomic<bool> gKeepFaultsDeliverable{false};

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS};

void removeFaultSignals(sigset_t* set) {
  for (int s : kFaultSignals) sigdelset(set, s);
}

size_t pageSize() { return static_cast<size_t>(vm_page_size()); }

// ---- Stacks carved from shared blocks ----
//
// A stack of its own mapping with a protected guard page below costs two
// mappings, and a process has a limited number of them (65,530 by default):
// a thread's own stack costs two already, so the engine would halve how
// many threads a program can have. Where the kernel can install guard pages
// inside a mapping without splitting it (MADV_GUARD_INSTALL, Linux 6.13 on),
// stacks are carved from blocks of kStacksPerBlock, each above a guard page
// of its own, one mapping per block. A stack given back goes back to its
// block with its pages released; blocks are never unmapped. Elsewhere each
// stack is a mapping of its own, unmapped when given back.

constexpr int kStacksPerBlock = 64;
// The kernel's value, where the C library's headers do not have it yet.
constexpr int kMadvGuardInstall = 102;

struct StackBlock {
  StackBlock* next = nullptr;  // set before the block is published
  char* base = nullptr;
  size_t stride = 0;              // a stack with its guard page
  std::atomic<uint64_t> free{0};  // bit i set: stack i is free
};

std::atomic<StackBlock*> gBlocks{nullptr};

// ThreadSanitizer ends its record of a thread in the last round of the
// thread's key destructors, where its stack is given back, and may do so
// first: an atomic operation of the thread after that (giving a stack back to
// its block) faults inside the sanitizer. Under it each stack is a mapping of
// its own, unmapped with a plain call.
constexpr bool kStacksShareBlocks = !KX_TSAN;

// The stacks are made and given back by ordinary threads (a thread's start
// and end, enabling), through the C library, whose wrappers a sanitizer
// follows.
constexpr base::SystemCalls kCalls = base::SystemCalls::library;

enum GuardInstall : int32_t { kGuardsUnknown = 0, kGuardsInstalled = 1, kGuardsMissing = 2 };
std::atomic<int32_t> gGuardInstall{kStacksShareBlocks ? kGuardsUnknown : kGuardsMissing};

// A stack of its own mapping: `usable` bytes above a protected guard page
// (without which a handler that needs more than the stack would run into
// whatever lies below: no stack then).
AltStack mapOwnStack(size_t usable) {
  AltStack stack;
  const size_t total = usable + pageSize();
  char* mapping = base::mapGuardedStack(total, pageSize(), 0, kCalls);
  if (mapping == nullptr) return stack;
  stack.mapping = mapping;
  stack.total = total;
  return stack;
}

// A new block whose first stack is taken; null when there is no memory or
// the kernel cannot install guard pages (then noted for good).
StackBlock* newBlock(size_t stride) {
  auto* block = new (std::nothrow) StackBlock();
  if (block == nullptr) return nullptr;
  const size_t size = stride * kStacksPerBlock;
  char* mapping = base::mapStackMemory(size, 0, kCalls);
  if (mapping == nullptr) {
    delete block;
    return nullptr;
  }
  for (int i = 0; i < kStacksPerBlock; ++i) {
    if (madvise(mapping + i * stride, pageSize(), kMadvGuardInstall) != 0) {
      if (errno == EINVAL) gGuardInstall.store(kGuardsMissing, std::memory_order_release);
      base::unmapStackMemory(mapping, size, kCalls);
      delete block;
      return nullptr;
    }
  }
  gGuardInstall.store(kGuardsInstalled, std::memory_order_release);
  block->base = mapping;
  block->stride = stride;
  block->free.store(~uint64_t{1}, std::memory_order_relaxed);  // stack 0 is the caller's
  StackBlock* head = gBlocks.load(std::memory_order_acquire);
  do {
    block->next = head;
  } while (!gBlocks.compare_exchange_weak(head, block, std::memory_order_acq_rel));
  return block;
}

// An alternate stack of `size` usable bytes (rounded up to pages), with an
// inaccessible guard page below; none when there is no memory. Ordinary
// threads only (it may map memory).
AltStack takeStackMemory(size_t size) {
  const size_t usable = (size + pageSize() - 1) / pageSize() * pageSize();
  const size_t stride = usable + pageSize();
  if (gGuardInstall.load(std::memory_order_acquire) != kGuardsMissing) {
    for (StackBlock* b = gBlocks.load(std::memory_order_acquire); b != nullptr; b = b->next) {
      if (b->stride != stride) continue;
      uint64_t free = b->free.load(std::memory_order_acquire);
      while (free != 0) {
        const int i = __builtin_ctzll(free);
        if (b->free.compare_exchange_weak(free, free & ~(uint64_t{1} << i),
                                          std::memory_order_acq_rel)) {
          return {b->base + i * stride, stride};
        }
      }
    }
    if (StackBlock* b = newBlock(stride)) return {b->base, stride};
  }
  // No block (the kernel cannot guard inside one, or had no room for a
  // whole block): a mapping of its own.
  return mapOwnStack(usable);
}

// Gives back a stack that no thread has as its alternate stack any more.
void giveBackStackMemory(const AltStack& stack) {
  if (stack.mapping == nullptr) return;
  if (!kStacksShareBlocks) {
    base::unmapStackMemory(static_cast<char*>(stack.mapping), stack.total, kCalls);
    return;
  }
  auto* at = static_cast<char*>(stack.mapping);
  for (StackBlock* b = gBlocks.load(std::memory_order_acquire); b != nullptr; b = b->next) {
    if (at < b->base || at >= b->base + b->stride * kStacksPerBlock) continue;
    // The guard page stays; the stack's pages go back to the system.
    madvise(at + pageSize(), stack.total - pageSize(), MADV_DONTNEED);
    const auto i = static_cast<size_t>(at - b->base) / b->stride;
    b->free.fetch_or(uint64_t{1} << i, std::memory_order_acq_rel);
    return;
  }
  base::unmapStackMemory(at, stack.total, kCalls);
}

// A stack of `size` usable bytes, filed in a slot claimed for `tid`. Null
// when there is no memory or no free slot.
StackSlot* newStack(thread_t tid, size_t size) {
  AltStack stack = takeStackMemory(size);
  if (stack.mapping == nullptr) return nullptr;
  for (auto& slot : gStacks) {
    int32_t expected = kStackFree;
    if (slot.state.compare_exchange_strong(expected, kStackClaimed, std::memory_order_acq_rel)) {
      slot.stack = stack;
      slot.tid.store(tid, std::memory_order_release);
      return &slot;
    }
  }
  giveBackStackMemory(stack);
  return nullptr;
}

void releaseSlot(StackSlot* slot) {
  giveBackStackMemory(slot->stack);
  slot->stack = {};
  slot->tid.store(0, std::memory_order_relaxed);
  slot->state.store(kStackFree, std::memory_order_release);
}

stack_t stackOf(const AltStack& memory) {
  stack_t stack;
  stack.ss_sp = static_cast<char*>(memory.mapping) + pageSize();
  stack.ss_size = memory.total - pageSize();
  stack.ss_flags = 0;
  return stack;
}

bool hasAlternateStack() {
  stack_t current;
  return sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0;
}

// Installs the slot's stack on the calling thread unless it has one; the
// slot ends installed or declined. In a signal handler, `interrupted` is the
// handler's context: the return from the handler sets the alternate stack
// its context holds, so that is where the stack must go.
void takeStack(StackSlot* slot, ucontext_t* interrupted = nullptr) {
  stack_t stack = stackOf(slot->stack);
  bool installed = !hasAlternateStack() && sigaltstack(&stack, nullptr) == 0;
  if (installed && interrupted != nullptr) interrupted->uc_stack = stack;
  slot->state.store(installed ? kInstalled : kDeclined, std::memory_order_release);
}

// The start routine and argument a thread was created with, and the
// alternate stack it took as it started (none when it had one, or stacks
// were not enabled yet). It lives as long as the thread: the argument may be
// the only reference to memory the thread owns, and leak checkers find it
// through the record. A thread's own stack is kept here rather than in a
// slot, so that every thread started after enabling has one, however many
// there are.
struct StartRecord {
  void* (*start)(void*);
  void* arg;
  AltStack stack;
  int destructorRounds;
};

// At the end of a thread: gives back the stack of `record` and every stack
// filed for the thread, taking its own off first.
void releaseOwnStacks(StartRecord* record) {
  ErrnoGuard errnoGuard;
  // An offer arriving now would race the release.
  sigset_t parking;
  sigemptyset(&parking);
  sigaddset(&parking, thread_parking_signal());
  pthread_sigmask(SIG_BLOCK, &parking, nullptr);
  const thread_t self = mach_thread_self();
  stack_t current;
  bool haveCurrent = sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0;
  auto takeOff = [&](void* sp) {
    if (haveCurrent && current.ss_sp == sp) {
      stack_t off = {};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
      haveCurrent = false;
    }
  };
  if (record->stack.mapping != nullptr) {
    takeOff(stackOf(record->stack).ss_sp);
    giveBackStackMemory(record->stack);
    record->stack = {};
  }
  for (auto& slot : gStacks) {
    if (slot.tid.load(std::memory_order_acquire) != self) continue;
    int32_t state = slot.state.load(std::memory_order_acquire);
    if (state != kInstalled && state != kOffered && state != kDeclined) continue;
    if (!slot.state.compare_exchange_strong(state, kStackClaimed, std::memory_order_acq_rel))
      continue;
    takeOff(stackOf(slot.stack).ss_sp);
    releaseSlot(&slot);
  }
}

// A thread's end runs its thread_local destructors, then its keys'
// destructors in rounds (as long as one of them sets a value again, up to
// PTHREAD_DESTRUCTOR_ITERATIONS). The stack is given back in the last round,
// so that a stack overflow in any of those destructors still finds it.
pthread_key_t gEndKey;

void endOfThread(void* value) {
  auto* record = static_cast<StartRecord*>(value);
  // In the first round, before the end of a sanitizer's record of the thread
  // (in the last) unmaps whatever alternate stack the thread has: every
  // handler stack it still holds (its work left by a jump, or by
  // pthread_exit) goes back, and the thread has its own alternate stack again.
  if (record->destructorRounds == 0) handler_stacks_thread_ending();
  if (++record->destructorRounds < PTHREAD_DESTRUCTOR_ITERATIONS &&
      pthread_setspecific(gEndKey, record) == 0) {
    return;
  }
  releaseOwnStacks(record);
  free(record);
}

const bool gEndKeyMade = pthread_key_create(&gEndKey, endOfThread) == 0;

void finishThread(void* record) {
  handler_stacks_thread_ending();
  releaseOwnStacks(static_cast<StartRecord*>(record));
  free(record);
}

void* startThread(void* argument) {
  auto* record = static_cast<StartRecord*>(argument);
  // Started as the process's crash is written: it runs none of its code.
  process_crash_hold();
  if (gKeepFaultsDeliverable.load(std::memory_order_acquire)) {
    // The creator may have blocked them (every signal, say) before creating.
    sigset_t faults;
    sigemptyset(&faults);
    for (int s : kFaultSignals) sigaddset(&faults, s);
    pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
  }
  size_t size = gStackSize.load(std::memory_order_acquire);
  if (size != 0 && !hasAlternateStack()) {
    AltStack memory = takeStackMemory(size);
    if (memory.mapping != nullptr) {
      stack_t stack = stackOf(memory);
      if (sigaltstack(&stack, nullptr) == 0) {
        record->stack = memory;
      } else {
        giveBackStackMemory(memory);
      }
    }
  }
  if (gEndKeyMade && pthread_setspecific(gEndKey, record) == 0) {
    return record->start(record->arg);
  }
  void* result;
  pthread_cleanup_push(finishThread, record);
  result = record->start(record->arg);
  pthread_cleanup_pop(1);
  return result;
}

using PthreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

}  // namespace

void detail::thread_alternate_stack_offered(void* context) noexcept {
  const thread_t self = mach_thread_self();
  // The mask the thread goes back to when the offer's handler returns.
  if (context != nullptr && gKeepFaultsDeliverable.load(std::memory_order_acquire)) {
    removeFaultSignals(&static_cast<ucontext_t*>(context)->uc_sigmask);
  }
  for (auto& slot : gStacks) {
    if (slot.state.load(std::memory_order_acquire) == kOffered &&
        slot.tid.load(std::memory_order_relaxed) == self) {
      takeStack(&slot, static_cast<ucontext_t*>(context));
      return;
    }
  }
}

void thread_alternate_stacks_enable(size_t size) noexcept {
  if (size == 0) return;
  ErrnoGuard errnoGuard;
  size_t expected = 0;
  const bool first = gStackSize.compare_exchange_strong(expected, size);
  const thread_t self = mach_thread_self();
  if (!hasAlternateStack()) {
    if (StackSlot* slot = newStack(self, first ? size : expected)) takeStack(slot);
  }
  if (!first) return;
  thread_parking_prepare();
  static thread_t threads[kThreadCapacity];
  static bool blocked[kThreadCapacity];
  uint32_t count = 0;
  // A list cut short by a failed read still holds threads that can take
  // their stacks now.
  (void)task_threads(mach_task_self(), threads, kThreadCapacity, &count);
  // A thread that keeps the parking signal blocked waits for signals of its
  // own: it is left alone (and without a stack). One that blocks it only for
  // a moment is offered its stack once it unblocks it.
  struct Offer {
    size_t size;
    bool full;
  } offer = {size, false};
  auto offerStack = [](uint32_t index, void* context) {
    auto* o = static_cast<Offer*>(context);
    if (o->full) return;
    StackSlot* slot = newStack(threads[index], o->size);
    if (slot == nullptr) {
      o->full = true;
      return;
    }
    slot->state.store(kOffered, std::memory_order_release);
    if (!detail::thread_send_parking_signal(threads[index], detail::kAlternateStackRequest)) {
      // The thread is gone (unless its own end already gave the stack back).
      int32_t offered = kOffered;
      if (slot->state.compare_exchange_strong(offered, kStackClaimed, std::memory_order_acq_rel)) {
        releaseSlot(slot);
      }
    }
  };
  bool anyBlocked = false;
  for (uint32_t i = 0; i < count; ++i) {
    blocked[i] = false;
    if (threads[i] == self) continue;
    if (detail::thread_blocks_parking_signal(threads[i])) {
      blocked[i] = anyBlocked = true;
    } else {
      offerStack(i, &offer);
    }
  }
  if (anyBlocked)
    detail::thread_await_parking_unblocked(threads, count, blocked, offerStack, &offer);
  // Give the threads a moment to answer; the stacks they declined go back.
  const int64_t deadline = monotonic_ns() + 100'000'000;
  for (;;) {
    bool waiting = false;
    for (auto& slot : gStacks) {
      if (slot.state.load(std::memory_order_acquire) == kOffered) waiting = true;
    }
    if (!waiting || monotonic_ns() >= deadline) break;
    struct timespec pause = {0, 1'000'000};
    nanosleep(&pause, nullptr);
  }
  for (auto& slot : gStacks) {
    int32_t declined = kDeclined;
    if (slot.state.compare_exchange_strong(declined, kStackClaimed, std::memory_order_acq_rel)) {
      releaseSlot(&slot);
    }
  }
}

size_t thread_alternate_stack_size() noexcept { return gStackSize.load(); }

void thread_fault_signals_stop_keeping() noexcept {
  gKeepFaultsDeliverable.store(false, std::memory_order_release);
}

void thread_fault_signals_keep_deliverable() noexcept {
  gKeepFaultsDeliverable.store(true, std::memory_order_release);
  sigset_t faults;
  sigemptyset(&faults);
  for (int s : kFaultSignals) sigaddset(&faults, s);
  pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
}

namespace {

// Sets the mask through `next` with the fault signals taken out of `set`
// once they are kept deliverable. The result as pthread_sigmask gives it.
int maskWithFaultsDeliverable(int how, const sigset_t* set, sigset_t* old,
                              int (*next)(int, const sigset_t*, sigset_t*)) noexcept {
  sigset_t kept;
  if (set != nullptr && how != SIG_UNBLOCK && gKeepFaultsDeliverable.load()) {
    kept = *set;
    removeFaultSignals(&kept);
    set = &kept;
  }
  if (next != nullptr) return next(how, set, old);
  // Before the next definition is known (while the program loads): the
  // kernel's call, keeping the C library's own two signals as it does.
  uint64_t mask = 0;
  if (set != nullptr) {
    std::memcpy(&mask, set, sizeof mask);
    if (how != SIG_UNBLOCK) mask &= ~((uint64_t{1} << (32 - 1)) | (uint64_t{1} << (33 - 1)));
  }
  if (old != nullptr) sigemptyset(old);
  long rc = syscall(SYS_rt_sigprocmask, how, set != nullptr ? &mask : nullptr, old, sizeof mask);
  return rc == 0 ? 0 : errno;
}

}  // namespace

}  // namespace sys

// A sanitizer's own wrapper of thread creation, when one is linked in. A
// runtime linked statically into the program defines it beside this file's
// definition, where looking for the next definition in line would pass it by
// (and the sanitizer would not know the thread).
extern "C" int __interceptor_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*),
                                            void*) __attribute__((weak));

// Every thread the program creates starts in `startThread`, which takes an
// alternate stack for it once stacks are enabled and gives it back when the
// thread ends. A sanitizer's wrapper, or else the next definition in line
// (the C library's), does the creating.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) noexcept {
  static const auto next = sys::detail::next_definition<sys::PthreadCreate>(
      __interceptor_pthread_create, "pthread_create");
  if (next == nullptr) return EAGAIN;
  auto* record = static_cast<sys::StartRecord*>(malloc(sizeof(sys::StartRecord)));
  if (record == nullptr) return EAGAIN;
  record->start = start;
  record->arg = arg;
  record->stack = sys::AltStack();
  record->destructorRounds = 0;
  int result = next(thread, attr, sys::startThread, record);
  if (result != 0) free(record);
  return result;
}

// Masks set after the fault signals are kept deliverable leave them out (see
// ThreadStacks.h). The next definitions are found while the program loads,
// never in a signal handler, where a mask may be set too.
extern "C" int __interceptor_pthread_sigmask(int, const sigset_t*, sigset_t*) __attribute__((weak));
extern "C" int __interceptor_sigprocmask(int, const sigset_t*, sigset_t*) __attribute__((weak));

namespace {

using MaskCall = int (*)(int, const sigset_t*, sigset_t*);

const MaskCall gNextPthreadSigmask =
    sys::detail::next_definition<MaskCall>(__interceptor_pthread_sigmask, "pthread_sigmask");
const MaskCall gNextSigprocmask =
    sys::detail::next_definition<MaskCall>(__interceptor_sigprocmask, "sigprocmask");

}  // namespace

extern "C" int pthread_sigmask(int how, const sigset_t* set, sigset_t* old) noexcept {
  return sys::maskWithFaultsDeliverable(how, set, old, gNextPthreadSigmask);
}

extern "C" int sigprocmask(int how, const sigset_t* set, sigset_t* old) noexcept {
  int rc = sys::maskWithFaultsDeliverable(how, set, old, gNextSigprocmask);
  if (gNextSigprocmask == nullptr && rc != 0) {
    errno = rc;
    return -1;
  }
  return rc;
}
