#include "system/ThreadStacks.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <ucontext.h>

#include <atomic>
#include <cstdlib>

#include "ThreadsInternal.h"
#include "system/Task.h"
#include "system/Threads.h"

namespace sys {
namespace {

// A stack's life: claimed while it is being filled in, offered to an
// existing thread, installed on its thread, or declined (the thread had one).
enum StackState : int32_t {
  kFree = 0,
  kClaimed = 1,
  kOffered = 2,
  kInstalled = 3,
  kDeclined = 4,
};

struct StackSlot {
  std::atomic<int32_t> state{kFree};
  std::atomic<int32_t> tid{0};
  void* mapping = nullptr;
  size_t mappingSize = 0;
};

StackSlot gStacks[kThreadCapacity];
std::atomic<size_t> gStackSize{0};

// Keeps errno as the interrupted or calling code left it.
class ErrnoGuard {
 public:
  ErrnoGuard() : saved_(errno) {}
  ~ErrnoGuard() { errno = saved_; }

 private:
  int saved_;
};

size_t pageSize() { return static_cast<size_t>(vm_page_size()); }

// A stack of `size` usable bytes above an inaccessible guard page, filed in a
// slot claimed for `tid`. Null when there is no memory or no free slot.
StackSlot* newStack(thread_t tid, size_t size) {
  size_t page = pageSize();
  size_t usable = (size + page - 1) / page * page;
  size_t total = usable + page;
  void* mapping = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  mprotect(mapping, page, PROT_NONE);
  for (auto& slot : gStacks) {
    int32_t expected = kFree;
    if (slot.state.compare_exchange_strong(expected, kClaimed, std::memory_order_acq_rel)) {
      slot.mapping = mapping;
      slot.mappingSize = total;
      slot.tid.store(tid, std::memory_order_release);
      return &slot;
    }
  }
  munmap(mapping, total);
  return nullptr;
}

void releaseSlot(StackSlot* slot) {
  munmap(slot->mapping, slot->mappingSize);
  slot->mapping = nullptr;
  slot->mappingSize = 0;
  slot->tid.store(0, std::memory_order_relaxed);
  slot->state.store(kFree, std::memory_order_release);
}

stack_t stackOf(const StackSlot& slot) {
  stack_t stack;
  stack.ss_sp = static_cast<char*>(slot.mapping) + pageSize();
  stack.ss_size = slot.mappingSize - pageSize();
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
  stack_t stack = stackOf(*slot);
  bool installed = !hasAlternateStack() && sigaltstack(&stack, nullptr) == 0;
  if (installed && interrupted != nullptr) interrupted->uc_stack = stack;
  slot->state.store(installed ? kInstalled : kDeclined, std::memory_order_release);
}

// At the end of a thread: gives back every stack filed for it, taking its
// own off first.
void releaseOwnStacks() {
  ErrnoGuard errnoGuard;
  // An offer arriving now would race the release.
  sigset_t parking;
  sigemptyset(&parking);
  sigaddset(&parking, thread_parking_signal());
  pthread_sigmask(SIG_BLOCK, &parking, nullptr);
  const thread_t self = mach_thread_self();
  stack_t current;
  bool haveCurrent = sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0;
  for (auto& slot : gStacks) {
    if (slot.tid.load(std::memory_order_acquire) != self) continue;
    int32_t state = slot.state.load(std::memory_order_acquire);
    if (state != kInstalled && state != kOffered && state != kDeclined) continue;
    if (!slot.state.compare_exchange_strong(state, kClaimed, std::memory_order_acq_rel)) continue;
    if (haveCurrent && current.ss_sp == stackOf(slot).ss_sp) {
      stack_t off = {};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
      haveCurrent = false;
    }
    releaseSlot(&slot);
  }
}

// The start routine and argument a thread was created with. It lives as long
// as the thread: the argument may be the only reference to memory the
// thread owns, and leak checkers find it through the record.
struct StartRecord {
  void* (*start)(void*);
  void* arg;
};

void finishThread(void* record) {
  releaseOwnStacks();
  free(record);
}

void* startThread(void* record) {
  const StartRecord* start = static_cast<StartRecord*>(record);
  size_t size = gStackSize.load(std::memory_order_acquire);
  if (size != 0 && !hasAlternateStack()) {
    if (StackSlot* slot = newStack(mach_thread_self(), size)) takeStack(slot);
  }
  void* result;
  pthread_cleanup_push(finishThread, record);
  result = start->start(start->arg);
  pthread_cleanup_pop(1);
  return result;
}

using PthreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

int64_t monotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

void detail::thread_alternate_stack_offered(void* context) noexcept {
  const thread_t self = mach_thread_self();
  for (auto& slot : gStacks) {
    if (slot.state.load(std::memory_order_acquire) == kOffered &&
        slot.tid.load(std::memory_order_relaxed) == self) {
      takeStack(&slot, static_cast<ucontext_t*>(context));
      return;
    }
  }
}

void thread_alternate_stacks_enable(size_t size) noexcept {
  size_t expected = 0;
  if (size == 0 || !gStackSize.compare_exchange_strong(expected, size)) return;
  ErrnoGuard errnoGuard;
  thread_parking_prepare();
  const thread_t self = mach_thread_self();
  if (!hasAlternateStack()) {
    if (StackSlot* slot = newStack(self, size)) takeStack(slot);
  }
  static thread_t threads[kThreadCapacity];
  uint32_t count = 0;
  task_threads(mach_task_self(), threads, kThreadCapacity, &count);
  for (uint32_t i = 0; i < count; ++i) {
    if (threads[i] == self) continue;
    StackSlot* slot = newStack(threads[i], size);
    if (slot == nullptr) break;
    slot->state.store(kOffered, std::memory_order_release);
    if (!detail::thread_send_parking_signal(threads[i], detail::kAlternateStackRequest)) {
      // The thread is gone (unless its own end already gave the stack back).
      int32_t offered = kOffered;
      if (slot->state.compare_exchange_strong(offered, kClaimed, std::memory_order_acq_rel)) {
        releaseSlot(slot);
      }
    }
  }
  // Give the threads a moment to answer; the stacks they declined go back.
  const int64_t deadline = monotonicNs() + 100'000'000;
  for (;;) {
    bool waiting = false;
    for (auto& slot : gStacks) {
      if (slot.state.load(std::memory_order_acquire) == kOffered) waiting = true;
    }
    if (!waiting || monotonicNs() >= deadline) break;
    struct timespec pause = {0, 1'000'000};
    nanosleep(&pause, nullptr);
  }
  for (auto& slot : gStacks) {
    int32_t declined = kDeclined;
    if (slot.state.compare_exchange_strong(declined, kClaimed, std::memory_order_acq_rel)) {
      releaseSlot(&slot);
    }
  }
}

size_t thread_alternate_stack_size() noexcept { return gStackSize.load(); }

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
  static const auto next =
      __interceptor_pthread_create != nullptr
          ? __interceptor_pthread_create
          : reinterpret_cast<sys::PthreadCreate>(dlsym(RTLD_NEXT, "pthread_create"));
  if (next == nullptr) return EAGAIN;
  auto* record = static_cast<sys::StartRecord*>(malloc(sizeof(sys::StartRecord)));
  if (record == nullptr) return EAGAIN;
  record->start = start;
  record->arg = arg;
  int result = next(thread, attr, sys::startThread, record);
  if (result != 0) free(record);
  return result;
}
